#include "bar/panel.h"

#include "bar/parent_background.h"
#include "bar/command_actions.h"
#include "bar/event_questions.h"
#include "bar/record_events.h"

#include <commctrl.h>
#include <shlwapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "browser/download_creation.h"
#include "browser/web_browsers_holder.h"
#include "dialogs/dialog_controls.h"
#include "engine/file_icon.h"
#include "framework/automation.h"
#include "framework/error.h"
#include "framework/module.h"
#include "resources/resource.h"
#include "store/settings_store.h"
#include "tdm_h.h"
#include "text/language.h"
#include "text/message_box.h"

namespace tdm {

namespace {

constexpr UINT_PTR kRefreshTimer = 0;
constexpr UINT kRefreshInterval = 1000;

// The main toolbar: image resources in image-list order, normal and disabled.
constexpr WORD kToolbarIcons[] = {206, 210, 214, 226, 225, 223, 229, 230, 233, 249, 257, 288, 289, 287};
constexpr WORD kToolbarDisabledIcons[] = {208, 212, 216, 227, 222, 224, 228, 231, 232, 250, 258, 286, 286, 286};

struct ToolbarButton
{
    int image;  // -1: separator
    WORD command;
    UINT label;
    BYTE style;
};

constexpr ToolbarButton kToolbarButtons[] = {
    {0, kCommandStart, IDS_LABEL_START, BTNS_BUTTON},
    {1, kCommandPause, IDS_LABEL_PAUSE, BTNS_BUTTON},
    {-1, 0, 0, BTNS_SEP},
    {3, kCommandStartAll, IDS_LABEL_START_ALL, BTNS_BUTTON},
    {4, kCommandPauseAll, IDS_LABEL_PAUSE_ALL, BTNS_BUTTON},
    {-1, 0, 0, BTNS_SEP},
    {2, kCommandDelete, IDS_LABEL_DELETE, BTNS_BUTTON},
    {6, kCommandDeleteAll, IDS_LABEL_DELETE_ALL, BTNS_BUTTON},
    {-1, 0, 0, BTNS_SEP},
    {9, kCommandAdd, IDS_LABEL_ADD, BTNS_BUTTON},
    {-1, 0, 0, BTNS_SEP},
    {5, kCommandLog, IDS_LABEL_LOG, BTNS_BUTTON},
    {-1, 0, 0, BTNS_SEP},
    {8, kCommandSettings, IDS_SETTINGS, BTNS_BUTTON},
    {10, kCommandProperties, IDS_PROPERTIES, BTNS_BUTTON},
    {-1, 0, 0, BTNS_SEP},
    {7, 0, IDS_HELP, BTNS_WHOLEDROPDOWN},
};

constexpr WORD kDownloadCommands[] = {kCommandStart,     kCommandPause,     kCommandStartAll, kCommandPauseAll,
                                      kCommandDelete,    kCommandDeleteAll, kCommandLog,      kCommandProperties};

// Replaces the first "%u" of `text` with `value`.
std::string FillNumber(std::string text, ULONG value)
{
    const size_t at = text.find("%u");
    if (at != std::string::npos)
        text.replace(at, 2, std::to_string(value));
    return text;
}

bool HasNoFileName(const CTolInfoDownload& record)
{
    const UINT length = ::SysStringLen(record.path.get());
    return length == 0 || record.path.get()[length - 1] == L'\\';
}

}  // namespace

CMyDlg::CMyDlg() noexcept
{
    m_msimg32.reset(::LoadLibraryW(L"msimg32.dll"));
    if (m_msimg32)
        m_gradientFill =
            reinterpret_cast<decltype(&::GradientFill)>(::GetProcAddress(m_msimg32.get(), "GradientFill"));
}

CMyDlg::~CMyDlg()
{
    if (m_window)
        ::DestroyWindow(m_window);
}

HWND CMyDlg::CreatePanel(HWND parent) noexcept { return Create(parent); }

// --- connection to the browser and the engine ------------------------------------

void CMyDlg::SetBrowser(IWebBrowser2* browser) noexcept
{
    m_browser = com_ptr<IWebBrowser2>(browser);
    if (m_iconicFrame)
        m_iconicFrame->SetBrowser(browser);
    if (browser)
        LOG_IF_FAILED(CWebBrowsersHolder::AddBrowser(browser));
    else
        CWebBrowsersHolder::RemoveBrowser();
}

void CMyDlg::SetEngine(IDownloadEngine* engine)
{
    m_engine = CEngine(com_ptr<IDownloadEngine>(engine));
    if (m_iconicFrame)
        m_iconicFrame->SetEngine(engine);
    if (!engine)
        return;
    (void)m_engine.GetOptions(-1);
    m_logOption = m_engine.GetLogSettings().logPerDownload;
    ApplyLanguage(m_engine.GetLanguage(), true);
    (void)m_engine.GetTrafficMode();
}

void CMyDlg::FillFromEngineList(const VARIANT& list)
{
    std::vector<std::unique_ptr<CTolInfoDownload>> records;
    RaiseIfFailed(MakeRecordsFromList(list, records), IID_IDownloadEngine);
    bool active = false;
    for (const std::unique_ptr<CTolInfoDownload>& record : records)
        active = active || (record->state & kStateTransferring) != 0;
    m_list.InsertRows(std::move(records));
    // Counted from the rows the list took (a repeated id makes no second row).
    m_activeRows = m_finishedRows = 0;
    for (int row = 0; row < m_list.RowCount(); ++row)
        CountRecord(*m_list.RecordOf(row), +1);
    UpdateCommandStates(-1);
    SortRows();
    if (m_list.RowCount() > 0)
        m_list.EnsureVisible(m_list.RowCount() - 1);
    if (active)
        StartTimer();
}

void CMyDlg::ClearDownloads() noexcept
{
    if (m_iconicFrame)
        m_iconicFrame->ClearDownloads();
    m_list.DeleteAllRows();
    m_activeRows = 0;
    m_finishedRows = 0;
}

HWND CMyDlg::BrowserTopWindow() const noexcept { return m_browser ? BrowserOwnerWindow(m_browser.get()) : nullptr; }

bool CMyDlg::Claim(HWND owner, LONG scope) const noexcept { return ClaimNotice(BrowserTopWindow(), owner, scope); }

void CMyDlg::BringBrowserForward() const noexcept { BringForward(BrowserTopWindow()); }

// --- window ----------------------------------------------------------------------

LRESULT CMyDlg::OnInitDialog(UINT, WPARAM, LPARAM, bool&)
{
    m_iconic = GetIsIconic();
    m_restoredHeight = GetRestoredHeight();
    m_iconicTopOffset = GetIconicTopOffset();
    ReloadSettings();
    const HWND list = ::GetDlgItem(m_window, kListId);
    if (list && m_list.Setup(list, m_window) && !m_iconic)
        ::ShowWindow(list, SW_SHOW);
    BuildToolbars();
    if (m_iconic)
        CreateIconicFrame();
    return TRUE;
}

void CMyDlg::ReloadSettings() noexcept
{
    m_settings.deleteCompleted = GetDelete();
    m_settings.start = GetStart();
    m_settings.saveFileDefault = GetSaveFileDefault();
    m_settings.showToolbarLabels = GetShowToolbarLabels();
    m_settings.showToolbar = GetShowToolbar();
    m_settings.confirmFileOpen = GetConfirmFileOpen();
    const bool notifications = GetNotifications();
    m_settings.informWhenCompleted = notifications && GetInformWhenCompleted();
    m_settings.playSounds = notifications && GetPlaySounds();
}

void CMyDlg::BuildToolbars() noexcept
{
    DestroyToolbars();
    const DWORD style = WS_CHILD | CCS_NODIVIDER | CCS_NOMOVEY | CCS_NORESIZE | TBSTYLE_FLAT | TBSTYLE_WRAPABLE |
                        TBSTYLE_TOOLTIPS | TBSTYLE_TRANSPARENT | (m_settings.showToolbarLabels ? TBSTYLE_LIST : 0);
    m_toolbar.reset(::CreateWindowExW(0, TOOLBARCLASSNAMEW, nullptr, style, 0, 0, 0, 0, m_window,
                                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kToolbarId)),
                                      CModule::Instance().ModuleInstance(), nullptr));
    const HWND toolbar = m_toolbar.get();
    if (!toolbar)
        return;
    ::SendMessageW(toolbar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    ::SendMessageW(toolbar, TB_SETEXTENDEDSTYLE, 0, TBSTYLE_EX_DRAWDDARROWS);
    ::SendMessageW(toolbar, TB_SETBUTTONSIZE, 0, MAKELPARAM(24, 22));
    auto makeImages = [](const WORD* icons, size_t count) {
        unique_himagelist images(::ImageList_Create(16, 16, ILC_COLOR24 | ILC_MASK, 14, 2));
        for (size_t i = 0; images && i < count; ++i)
        {
            unique_hicon icon(static_cast<HICON>(::LoadImageW(CModule::Instance().ModuleInstance(),
                                                              MAKEINTRESOURCEW(icons[i]), IMAGE_ICON, 16, 16, 0)));
            ::ImageList_AddIcon(images.get(), icon.get());
        }
        return images;
    };
    m_toolbarImages = makeImages(kToolbarIcons, std::size(kToolbarIcons));
    m_toolbarDisabledImages = makeImages(kToolbarDisabledIcons, std::size(kToolbarDisabledIcons));
    ::SendMessageW(toolbar, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(m_toolbarImages.get()));
    ::SendMessageW(toolbar, TB_SETDISABLEDIMAGELIST, 0, reinterpret_cast<LPARAM>(m_toolbarDisabledImages.get()));

    std::vector<std::wstring> labels;
    labels.reserve(std::size(kToolbarButtons));
    std::vector<TBBUTTON> buttons;
    for (const ToolbarButton& button : kToolbarButtons)
    {
        TBBUTTON added{};
        added.iBitmap = button.image < 0 ? 0 : button.image;
        added.idCommand = button.command;
        added.fsState = TBSTATE_ENABLED;
        added.fsStyle = static_cast<BYTE>(button.style | (button.image < 0 ? 0 : BTNS_AUTOSIZE));
        added.iString = -1;
        if (button.image >= 0 && m_settings.showToolbarLabels)
        {
            labels.push_back(LoadUiStringW(button.label));
            added.iString = reinterpret_cast<INT_PTR>(labels.back().c_str());
        }
        buttons.push_back(added);
    }
    ::SendMessageW(toolbar, TB_ADDBUTTONSW, buttons.size(), reinterpret_cast<LPARAM>(buttons.data()));
    ::SendMessageW(toolbar, TB_AUTOSIZE, 0, 0);
    if (m_engine)
    {
        try
        {
            (void)m_engine.GetTrafficMode();
        }
        catch (const CComError& error)
        {
            ShowComError(error);
        }
    }
    ::ShowWindow(toolbar, m_settings.showToolbar && !m_iconic ? SW_SHOW : SW_HIDE);
    DisableDownloadCommands();
}

void CMyDlg::DestroyToolbars() noexcept
{
    m_toolbar.reset();
    m_toolbarImages.reset();
    m_toolbarDisabledImages.reset();
}

LRESULT CMyDlg::OnSize(UINT, WPARAM wParam, LPARAM, bool&)
{
    if (wParam != SIZE_MINIMIZED)
        Layout();
    return 0;
}

LRESULT CMyDlg::OnDestroy(UINT, WPARAM, LPARAM, bool& handled)
{
    StopTimer();
    ClearDownloads();
    m_iconicFrame.reset();
    m_bandBar.GiveBack();
    m_dropRegistered = false;
    DestroyToolbars();
    m_captionButtons.reset();
    handled = false;
    return 0;
}

LRESULT CMyDlg::OnTimer(UINT, WPARAM wParam, LPARAM, bool& handled)
{
    if (wParam != kRefreshTimer)
    {
        handled = false;
        return 0;
    }
    m_list.Tick();
    return 0;
}

LRESULT CMyDlg::OnSelectDownload(UINT, WPARAM wParam, LPARAM, bool&)
{
    if (m_iconic)
        Restore();
    const int row = m_list.FindRow(static_cast<LONG>(wParam));
    if (row >= 0)
    {
        m_list.SelectOnly(row);
        ::SetFocus(m_list.Window());
    }
    return 0;
}

LRESULT CMyDlg::OnConflictQuery(UINT message, WPARAM wParam, LPARAM lParam, bool&)
{
    const auto* text = reinterpret_cast<const char*>(lParam);
    if (!text)
        return 0;
    const std::wstring wide = WideFromNarrow(text);
    const LONG skip = static_cast<LONG>(wParam);
    const CTolInfoDownload* other = message == kQueryPathConflict ? m_list.FindOtherByPath(skip, wide)
                                                                         : m_list.FindOtherByUrl(skip, wide);
    return reinterpret_cast<LRESULT>(other);
}

LRESULT CMyDlg::OnNotify(UINT, WPARAM, LPARAM lParam, bool& handled)
{
    auto* header = reinterpret_cast<NMHDR*>(lParam);
    if (!header)
    {
        handled = false;
        return 0;
    }
    if (header->code == TTN_GETDISPINFOW)
    {
        ToolTipFromStringTable(*reinterpret_cast<NMTTDISPINFOW*>(header));
        return 0;
    }
    if (header->code == TBN_DROPDOWN && header->hwndFrom == m_toolbar.get())
    {
        OnHelpDropDown(*reinterpret_cast<NMTOOLBARW*>(header));
        return TBDDRET_DEFAULT;
    }
    if (header->idFrom != kListId || header->hwndFrom != m_list.Window())
    {
        handled = false;
        return 0;
    }
    switch (header->code)
    {
    case LVN_GETDISPINFOW:
        m_list.OnGetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(header));
        return 0;
    case NM_CUSTOMDRAW:
        return m_list.OnCustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(header));
    case LVN_ODFINDITEMW:
        return m_list.OnFindItem(*reinterpret_cast<NMLVFINDITEMW*>(header));
    case LVN_KEYDOWN:
        OnListKey(*reinterpret_cast<NMLVKEYDOWN*>(header));
        return 0;
    case NM_DBLCLK:
    {
        const int row = reinterpret_cast<NMITEMACTIVATE*>(header)->iItem;
        if (row >= 0)
            OpenDownloadedFile(row);
        return 0;
    }
    case LVN_COLUMNCLICK:
        m_list.ColumnClick(reinterpret_cast<NMLISTVIEW*>(header)->iSubItem);
        SortRows();
        return 0;
    case LVN_ITEMCHANGED:
    {
        // The list holds no items of its own (owner data): a change of many rows
        // at once (iItem -1, or LVN_ODSTATECHANGED for a range) says nothing of
        // which rows are selected now, so the states follow the first selected row.
        const auto* change = reinterpret_cast<NMLISTVIEW*>(header);
        if (change->uNewState == change->uOldState)
            return 0;
        const CTolInfoDownload* record = (change->uNewState & LVIS_SELECTED) && change->iItem >= 0
                                             ? m_list.RecordOf(change->iItem)
                                             : nullptr;
        if (record)
            UpdateCommandStates(record->id);
        else
            RefreshForFirstSelected();
        return 0;
    }
    case LVN_ODSTATECHANGED:
        RefreshForFirstSelected();
        return 0;
    default:
        handled = false;
        return 0;
    }
}

// --- command states and timer ----------------------------------------------------

void CMyDlg::EnableCommand(WORD command, bool enable) noexcept
{
    if (m_toolbar)
        ::SendMessageW(m_toolbar.get(), TB_ENABLEBUTTON, command, MAKELPARAM(enable ? TRUE : FALSE, 0));
}

void CMyDlg::DisableDownloadCommands() noexcept
{
    for (WORD command : kDownloadCommands)
        EnableCommand(command, false);
}

void CMyDlg::UpdateCommandStates(LONG id) noexcept
{
    const int rows = m_list.RowCount();
    EnableCommand(kCommandLog, m_logOption && rows > 0 && m_list.FirstSelected() >= 0);
    if (const CTolInfoDownload* record = m_list.FindRecord(id))
    {
        const bool running = record->IsRunning();
        EnableCommand(kCommandStart, !running);
        EnableCommand(kCommandPause, running);
        EnableCommand(kCommandDelete, true);
        EnableCommand(kCommandProperties, true);
    }
    if (rows == 0)
    {
        StopTimer();
        EnableCommand(kCommandStartAll, false);
        EnableCommand(kCommandPauseAll, false);
        EnableCommand(kCommandDeleteAll, false);
        return;
    }
    EnableCommand(kCommandStartAll, m_activeRows + m_finishedRows != rows);
    EnableCommand(kCommandPauseAll, m_activeRows > 0);
    if (m_activeRows == 0)
        StopTimer();
    EnableCommand(kCommandDeleteAll, true);
}

void CMyDlg::RefreshForFirstSelected() noexcept
{
    if (const CTolInfoDownload* record = m_list.RecordOf(m_list.FirstSelected()))
    {
        UpdateCommandStates(record->id);
        return;
    }
    DisableDownloadCommands();
    UpdateCommandStates(-1);
}

void CMyDlg::RefreshForSelection(LONG id) noexcept
{
    const CTolInfoDownload* selected = m_list.RecordOf(m_list.FirstSelected());
    UpdateCommandStates(selected && selected->id == id ? id : -1);
}

void CMyDlg::StartTimer() noexcept
{
    if (!m_timerRunning && m_window)
        m_timerRunning = ::SetTimer(m_window, kRefreshTimer, kRefreshInterval, nullptr) != 0;
}

void CMyDlg::StopTimer() noexcept
{
    if (m_timerRunning && m_window)
        ::KillTimer(m_window, kRefreshTimer);
    m_timerRunning = false;
}

void CMyDlg::CountRecord(const CTolInfoDownload& record, int sign) noexcept
{
    if (record.IsActive())
        m_activeRows += sign;
    else if (record.IsComplete())
        m_finishedRows += sign;
}

void CMyDlg::SetRecordState(CTolInfoDownload& record, LONG state) noexcept
{
    CountRecord(record, -1);
    record.state = state;
    CountRecord(record, +1);
}

void CMyDlg::SortRows() noexcept
{
    if (!m_list.Sort())
        return;
    try
    {
        const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
        HWND toolbar = nullptr;
        if (FAILED(helper->GetToolbarHWND(static_cast<LONG>(::GetCurrentThreadId()), &toolbar)) || !toolbar)
            return;
        DownloadRecordCopies copies;
        if (SUCCEEDED(m_list.CopyRecords(copies)))
            ::SendMessageW(toolbar, kSortedRecords, 0, reinterpret_cast<LPARAM>(&copies));
    }
    catch (const CComError& error)
    {
        LOG_IF_FAILED(error.Status());
    }
}

CTolInfoDownload* CMyDlg::Find(LONG id, int& row) const noexcept
{
    row = m_list.FindRow(id);
    return row >= 0 ? m_list.RecordOf(row) : nullptr;
}

void CMyDlg::ApplyLanguage(LANGID language, bool force) noexcept
{
    if (!force && language == m_language)
        return;
    if (language != GetUiLanguage())
        SetUiLanguage(language);
    m_language = language;
    if (!m_window)
        return;
    BuildToolbars();
    m_list.ReloadTexts();
    RefreshForSelection(-1);
    Layout();
}

// --- engine events -----------------------------------------------------------------

void CMyDlg::OnDownloadAdded(LONG id, BSTR url, BSTR folder, BSTR fileName, LONG state, LONG priority)
{
    if (m_list.FindRow(id) >= 0)
        return;
    auto record = MakeAddedRecord(id, url, folder, fileName, state, priority);
    const CTolInfoDownload& kept = *record;
    if (m_list.InsertRow(std::move(record)) < 0)
        return;
    CountRecord(kept, +1);
    UpdateCommandStates(id);
    SortRows();
    m_list.EnsureVisible(m_list.FindRow(id));
    if ((state & kStateTransferring) != 0)
        StartTimer();
}

void CMyDlg::OnDownloadStateChanged(LONG id, LONG state, double elapsed)
{
    int row = -1;
    CTolInfoDownload* record = Find(id, row);
    if (!record)
        return;
    record->elapsed = TimeSpan::FromDays(elapsed);
    SetRecordState(*record, state);
    record->fresh = false;
    if ((state & kStateTransferring) != 0)
        StartTimer();
    m_list.UpdateRow(row);
    RefreshForSelection(id);
    if (m_list.SortColumn() > kListColumnFileName)
        SortRows();
}

void CMyDlg::OnDownloadStopped(LONG id, LONG state, double elapsed, HWND, LONG, VARIANT_BOOL*)
{
    if (TakeTimesAndState(id, state, elapsed))
        RefreshForSelection(id);
}

bool CMyDlg::TakeTimesAndState(LONG id, LONG state, double elapsed) noexcept
{
    int row = -1;
    CTolInfoDownload* record = Find(id, row);
    if (!record)
        return false;
    record->elapsed = TimeSpan::FromDays(elapsed);
    SetRecordState(*record, state);
    record->fresh = true;
    m_list.UpdateRow(row);
    return true;
}

void CMyDlg::OnDownloadCompleted(LONG id, LONG state, double elapsed, HWND owner, LONG scope, VARIANT_BOOL* claimed)
{
    OnDownloadStopped(id, state, elapsed, owner, scope, claimed);
    int row = -1;
    if (CTolInfoDownload* record = Find(id, row))
    {
        LookUpIcon(*record);
        m_list.RedrawRow(row);
    }
}

void CMyDlg::OnDownloadDeleted(LONG id)
{
    int row = -1;
    const CTolInfoDownload* record = Find(id, row);
    if (!record)
        return;
    CountRecord(*record, -1);
    m_list.DeleteRow(row);
    if (m_list.RowCount() == 0)
    {
        DisableDownloadCommands();
        UpdateCommandStates(-1);
        return;
    }
    m_list.SelectOnly(row > 0 ? row - 1 : 0);
}

void CMyDlg::OnDownloadFileInfo(const FileInfo& info)
{
    int row = -1;
    CTolInfoDownload* record = Find(info.id, row);
    if (!record)
        return;
    record->totalSize = info.totalSize;
    record->loadedSize = info.loadedSize;
    if (!record->sections.empty())
        record->sections.front().length = info.totalSize != 0 ? info.totalSize : static_cast<ULONG>(-1);
    m_list.UpdateTransferCells(row);
    NegotiateFileName(info, *record);
}

void CMyDlg::NegotiateFileName(const FileInfo& info, CTolInfoDownload& record)
{
    if (*info.claimed != VARIANT_FALSE)
    {
        // Settled (by this bar or another): take the name the engine now reports.
        if ((info.state & kStateTransferring) != 0)
            StartTimer();
        if (!SetText(record.path, JoinPath(TextOf(*info.folder), TextOf(*info.fileName))))
            throw std::bad_alloc();
        SetRecordState(record, info.state);
        LookUpIcon(record);
        int row = m_list.FindRow(record.id);
        m_list.UpdateRow(row);
        RefreshForSelection(record.id);
        if (m_list.SortColumn() == kListColumnFileName)
            SortRows();
        return;
    }
    ReloadSettings();
    const LONG id = record.id;
    AskFileName(info, !HasNoFileName(record), m_settings.saveFileDefault, BrowserTopWindow(),
                [&] {
                    if (!Claim(info.owner, info.scope))
                        return false;
                    BringBrowserForward();
                    return true;
                },
                [&](const std::wstring& path) { return m_list.FindOtherByPath(id, path); });
}

void CMyDlg::OnResumeSupportChanged(LONG id, bool resumable)
{
    int row = -1;
    if (CTolInfoDownload* record = Find(id, row))
    {
        record->resumable = resumable ? 1 : 0;
        m_list.RedrawRow(row);
    }
}

void CMyDlg::OnDownloadProgress(const Progress& progress)
{
    int row = -1;
    CTolInfoDownload* record = Find(progress.id, row);
    if (!record)
        return;
    const bool sorted = m_list.SortColumn() >= 0;
    ListSortKey before;
    if (sorted)
        before = m_list.SortKeyOf(*record);
    ApplyProgress(*record, progress);
    m_list.UpdateTransferCells(row);
    if (sorted && m_list.WouldResort(before, *record))
        SortRows();
}

void CMyDlg::OnDownloadError(LONG id, LONG state, LONG, VARIANT_BOOL*)
{
    int row = -1;
    CTolInfoDownload* record = Find(id, row);
    if (!record)
        return;
    SetRecordState(*record, state);
    m_list.UpdateRow(row);
    RefreshForSelection(id);
}

void CMyDlg::OnDownloadInfoChanged(LONG id, const VARIANT& info)
{
    int row = -1;
    CTolInfoDownload* record = Find(id, row);
    if (!record)
        return;
    CDownloadListReader reader;
    ULONG loaded = 0;
    std::vector<SectionInfo> sections;
    if (FAILED(LOG_IF_FAILED(reader.Open(info))) || reader.RowCount() != 1 ||
        FAILED(LOG_IF_FAILED(reader.ReadUInt(0, kColumnLoadedSize, loaded))) ||
        FAILED(LOG_IF_FAILED(reader.ReadSections(0, kColumnSections, sections))))
        return;
    record->loadedSize = loaded;
    record->sections = std::move(sections);
    m_list.UpdateRow(row);
}

void CMyDlg::OnDownloadRestarted(LONG id, ULONG, ULONG, LONG state, double elapsed)
{
    (void)TakeTimesAndState(id, state, elapsed);
}

void CMyDlg::OnCredentialsRequired(const Credentials& request) { AnswerCredentials(request, BrowserTopWindow()); }

void CMyDlg::OnLogOptionChanged(bool logPerDownload)
{
    m_logOption = logPerDownload;
    UpdateCommandStates(-1);
}

void CMyDlg::OnLanguageChanged(LANGID language) { ApplyLanguage(language, false); }

void CMyDlg::OnSectionsChanged(LONG id, const VARIANT& sections)
{
    int row = -1;
    CTolInfoDownload* record = Find(id, row);
    if (!record)
        return;
    std::vector<SectionInfo> read;
    if (FAILED(LOG_IF_FAILED(ReadSectionArray(sections, read))))
        return;
    record->sections = std::move(read);
    m_list.RedrawRow(row);
}

void CMyDlg::OnSectionProgress(LONG id, LONG section, LONG sectionCount, ULONG loadedSize, ULONG sectionLoaded)
{
    int row = -1;
    CTolInfoDownload* record = Find(id, row);
    if (!record)
        return;
    if (loadedSize != record->loadedSize)
    {
        record->loadedSize = loadedSize;
        record->UpdateProgress();
    }
    if (sectionCount > 1 && section >= 1 && static_cast<size_t>(section) <= record->sections.size())
        record->sections[static_cast<size_t>(section) - 1].loaded = sectionLoaded;
    m_list.RedrawRow(row);
}

void CMyDlg::OnSectionFinished(LONG id, LONG section, LONG sectionCount)
{
    int row = -1;
    CTolInfoDownload* record = Find(id, row);
    if (!record || sectionCount <= 1 || section < 1 || static_cast<size_t>(section) > record->sections.size())
        return;
    record->sections[static_cast<size_t>(section) - 1].done = true;
    m_list.RedrawRow(row);
}

void CMyDlg::OnPriorityChanged(LONG id, LONG priority)
{
    int row = -1;
    CTolInfoDownload* record = Find(id, row);
    if (!record)
        return;
    record->priority = priority;
    m_list.UpdateRow(row);
    RefreshForSelection(id);
}

void CMyDlg::OnDownloadRenamed(LONG id, BSTR url, BSTR path)
{
    int row = -1;
    CTolInfoDownload* record = Find(id, row);
    if (!record)
        return;
    if (!SetText(record->url, TextOf(url)) || !SetText(record->path, TextOf(path)))
        throw std::bad_alloc();
    LookUpIcon(*record);
    m_list.UpdateRow(row);
    RefreshForSelection(id);
}

void CMyDlg::OnInterfaceChanged(bool)
{
    if (!m_window)
        return;
    BuildToolbars();
    m_list.ReloadTexts();
    RefreshForSelection(-1);
    if (::IsWindowVisible(m_window))
    {
        RECT client{};
        ::GetClientRect(m_window, &client);
        ::PostMessageW(m_window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
        ::InvalidateRect(m_window, nullptr, TRUE);
    }
}

// --- completion notice -----------------------------------------------------------------

LRESULT CMyDlg::OnCompletionNotice(UINT, WPARAM wParam, LPARAM lParam, bool&)
{
    ReloadSettings();
    if (lParam != kNoticeCompleted)
    {
        if (m_settings.playSounds)
            ::MessageBeep(MB_ICONEXCLAMATION);
        return 0;
    }
    if (m_settings.playSounds)
        ::MessageBeep(MB_OK);
    const LONG id = static_cast<LONG>(wParam);
    int row = -1;
    const CTolInfoDownload* record = Find(id, row);
    if (!record)
        return 0;
    if (m_settings.informWhenCompleted)
    {
        BringBrowserForward();
        std::string text = FillTemplate(LoadUiString(IDS_DOWNLOAD_COMPLETED_FMT),
                                        {NarrowFromBstr(record->url.get()), NarrowFromBstr(record->path.get())});
        text += "\n" + FillNumber(LoadUiString(IDS_BYTES_RECEIVED_FMT), record->loadedSize);
        if (record->totalSize != 0)
            text += " " + FillNumber(LoadUiString(IDS_FILE_SIZE_FMT), record->totalSize);
        ShowMessageBox(text, BrowserTopWindow(), MB_ICONHAND);
        // The box ran a message loop: the download may be gone meanwhile.
        record = Find(id, row);
        if (!record)
            return 0;
    }
    if (record->IsComplete() && m_settings.deleteCompleted && m_engine)
    {
        try
        {
            m_engine.DeleteDownload(id);
        }
        catch (const CComError& error)
        {
            ShowComError(error);
        }
    }
    return 0;
}

}  // namespace tdm
