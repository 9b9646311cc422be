#include "toolbar/toolbar_frame.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "bar/command_actions.h"
#include "bar/download_menu.h"
#include "bar/event_questions.h"
#include "bar/parent_background.h"
#include "bar/record_events.h"
#include "browser/download_creation.h"
#include "dialogs/dialog_controls.h"
#include "dialogs/download_properties.h"
#include "dialogs/help_dialog.h"
#include "framework/automation.h"
#include "framework/module.h"
#include "resources/resource.h"
#include "store/settings_store.h"
#include "tdm_h.h"
#include "text/case_fold.h"
#include "text/language.h"
#include "text/message_box.h"

namespace tdm {

namespace {

constexpr WORD kNormalIcons[] = {244, 226, 225, 249, 233, 230};
constexpr WORD kDisabledIcons[] = {243, 227, 222, 250, 232, 231};
constexpr UINT kDropTargetTip = 196;

// A download as the frame's questions list it: its path, " -> " and its URL.
std::string Line(const CTolInfoDownload& record)
{
    return "\n" + NarrowFromBstr(record.path.get()) + " -> " + NarrowFromBstr(record.url.get());
}


unique_himagelist MakeImages(const WORD* icons, size_t count)
{
    unique_himagelist images(::ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 5, 2));
    for (size_t i = 0; images && i < count; ++i)
    {
        unique_hicon icon(static_cast<HICON>(::LoadImageW(CModule::Instance().ModuleInstance(),
                                                          MAKEINTRESOURCEW(icons[i]), IMAGE_ICON, 16, 16, 0)));
        ::ImageList_AddIcon(images.get(), icon.get());
    }
    return images;
}

void TakeTimesAndState(CTolInfoDownload& record, LONG state, double elapsed, bool fresh) noexcept
{
    record.state = state;
    record.elapsed = TimeSpan::FromDays(elapsed);
    record.fresh = fresh;
}

}  // namespace

CTolToolbarFrame::CTolToolbarFrame() noexcept = default;

CTolToolbarFrame::~CTolToolbarFrame()
{
    if (m_window)
        ::DestroyWindow(m_window);
}

WNDCLASSEXW CTolToolbarFrame::ClassInfo() noexcept
{
    WNDCLASSEXW info{};
    info.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    info.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    info.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    return info;
}

std::unique_ptr<IIconicView> CreateBarStripFrame(HWND panel) noexcept
{
    std::unique_ptr<CTolToolbarFrame> frame(new (std::nothrow) CTolToolbarFrame());
    if (!frame || !frame->CreateFrame(panel, false))
        return nullptr;
    return frame;
}

HWND CTolToolbarFrame::CreateFrame(HWND host, bool toolbarHost) noexcept
{
    m_toolbarHost = toolbarHost;
    const RECT frame{0, 0, kDefaultWidth, kHeight};
    if (!Create(host, frame, L"", WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS))
        return nullptr;
    const HINSTANCE module = CModule::Instance().ModuleInstance();
    m_dropTarget.Create(m_window, RECT{2, 1, 35, kHeight - 3}, L"", WS_CHILD | WS_VISIBLE);

    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_BAR_CLASSES | ICC_PAGESCROLLER_CLASS};
    ::InitCommonControlsEx(&controls);
    m_toolbar.reset(::CreateWindowExW(WS_EX_TOOLWINDOW, TOOLBARCLASSNAMEW, L"Tolvane",
                                      WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | TBSTYLE_TOOLTIPS |
                                          TBSTYLE_WRAPABLE | TBSTYLE_FLAT | TBSTYLE_TRANSPARENT | CCS_NODIVIDER |
                                          CCS_NORESIZE,
                                      35, 0, 100, kHeight, m_window, nullptr, module, nullptr));
    if (m_toolbar)
    {
        const HWND toolbar = m_toolbar.get();
        ::SendMessageW(toolbar, TB_SETEXTENDEDSTYLE, 0, TBSTYLE_EX_DRAWDDARROWS);
        m_images = MakeImages(kNormalIcons, std::size(kNormalIcons));
        m_disabledImages = MakeImages(kDisabledIcons, std::size(kDisabledIcons));
        ::SendMessageW(toolbar, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(m_images.get()));
        ::SendMessageW(toolbar, TB_SETDISABLEDIMAGELIST, 0, reinterpret_cast<LPARAM>(m_disabledImages.get()));
        ::SendMessageW(toolbar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
        std::vector<TBBUTTON> buttons;
        auto add = [&](int image, int command, BYTE style) {
            TBBUTTON button{};
            button.iBitmap = image;
            button.idCommand = command;
            button.fsState = TBSTATE_ENABLED;
            button.fsStyle = style;
            button.iString = -1;
            buttons.push_back(button);
        };
        add(0, 0, BTNS_SEP);
        if (toolbarHost)
        {
            add(0, kToggleBarCommand, BTNS_CHECK);
            add(0, 0, BTNS_SEP);
        }
        add(1, kCommandStartAll, BTNS_BUTTON);
        add(2, kCommandPauseAll, BTNS_BUTTON);
        add(3, kCommandAdd, BTNS_BUTTON);
        add(4, kCommandSettings, BTNS_BUTTON);
        add(5, 0, BTNS_WHOLEDROPDOWN);
        add(0, 0, BTNS_SEP);
        ::SendMessageW(toolbar, TB_ADDBUTTONSW, buttons.size(), reinterpret_cast<LPARAM>(buttons.data()));
        const int buttonWidth = LOWORD(::SendMessageW(toolbar, TB_GETBUTTONSIZE, 0, 0));
        m_toolbarWidth = toolbarHost ? 6 * buttonWidth + 34 : 5 * buttonWidth + 26;
        ::SetWindowPos(toolbar, nullptr, 35, 0, m_toolbarWidth, kHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    const int left = 35 + m_toolbarWidth;
    m_indicator.SetDownloads(&m_downloads);
    m_indicator.SetLogQuery(&CTolToolbarFrame::LogPerDownload, this);
    m_indicator.Create(m_window, RECT{left, 0, std::max(left, kDefaultWidth - 4), kHeight - 3}, L"",
                       WS_CHILD | WS_VISIBLE);
    UpdateButtons();

    m_tip.reset(::CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_window, nullptr, module, nullptr));
    if (m_tip && m_dropTarget.Window())
    {
        std::wstring text = LoadUiStringW(kDropTargetTip);
        TOOLINFOW tool{};
        tool.cbSize = sizeof(tool);
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = m_window;
        tool.uId = reinterpret_cast<UINT_PTR>(m_dropTarget.Window());
        tool.lpszText = text.data();
        ::SendMessageW(m_tip.get(), TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        ::SendMessageW(m_tip.get(), TTM_ACTIVATE, TRUE, 0);
    }
    return m_window;
}

bool CTolToolbarFrame::LogPerDownload(void* frame)
{
    bool perDownload = false;
    RunCommand([&] {
        const CEngine& engine = static_cast<CTolToolbarFrame*>(frame)->m_engine;
        perDownload = engine && engine.GetLogSettings().logPerDownload;
    });
    return perDownload;
}

HWND CTolToolbarFrame::BrowserTopWindow() const noexcept { return BrowserOwnerWindow(m_browser.get()); }

bool CTolToolbarFrame::Claim(HWND owner, LONG scope) const noexcept
{
    return ClaimNotice(BrowserTopWindow(), owner, scope);
}

DWORD CTolToolbarFrame::HelpTopic() const noexcept
{
    return kDialogTopicBase + (m_toolbarHost ? kToolbarTemplateId : kBarViewTemplateId);
}

// --- layout and background ---------------------------------------------------------------

LRESULT CTolToolbarFrame::OnSize(UINT, WPARAM, LPARAM lParam, bool&)
{
    const int cx = GET_X_LPARAM(lParam), cy = GET_Y_LPARAM(lParam);
    if (cy == 0 || !m_toolbar)
        return 0;
    RECT drop{};
    ::GetWindowRect(m_dropTarget.Window(), &drop);
    ::MapWindowPoints(nullptr, m_window, reinterpret_cast<POINT*>(&drop), 2);
    ::SetWindowPos(m_dropTarget.Window(), nullptr, 0, 0, drop.right - drop.left, cy - 3,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT bar{};
    ::GetWindowRect(m_toolbar.get(), &bar);
    const int barHeight = bar.bottom - bar.top;
    ::SetWindowPos(m_toolbar.get(), nullptr, drop.right, std::max(0, (cy - barHeight) / 2), 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::SetWindowPos(m_indicator.Window(), nullptr, drop.right + m_toolbarWidth, 0,
                   std::max(0, cx - m_toolbarWidth - static_cast<int>(drop.right) - 4), cy - 3,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    ::RedrawWindow(m_window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    return 0;
}

LRESULT CTolToolbarFrame::OnEraseBackground(UINT, WPARAM wParam, LPARAM, bool&)
{
    return PaintParentBackground(m_window, reinterpret_cast<HDC>(wParam));
}

// --- downloads ---------------------------------------------------------------------------

CTolInfoDownload* CTolToolbarFrame::Find(LONG id, size_t* index) const noexcept
{
    for (size_t i = 0; i < m_downloads.size(); ++i)
    {
        if (m_downloads[i]->id == id)
        {
            if (index)
                *index = i;
            return m_downloads[i].get();
        }
    }
    return nullptr;
}

void CTolToolbarFrame::Changed(LONG id) noexcept
{
    m_indicator.Refresh(id);
    UpdateButtons();
}

void CTolToolbarFrame::UpdateButtons() noexcept
{
    if (!m_toolbar)
        return;
    size_t running = 0, complete = 0;
    for (const auto& download : m_downloads)
    {
        if (download->state & kStateTransferring)
            ++running;
        else if (download->IsComplete())
            ++complete;
    }
    const bool any = !m_downloads.empty();
    ::SendMessageW(m_toolbar.get(), TB_ENABLEBUTTON, kCommandStartAll,
                   MAKELPARAM(any && running + complete != m_downloads.size(), 0));
    ::SendMessageW(m_toolbar.get(), TB_ENABLEBUTTON, kCommandPauseAll, MAKELPARAM(any && running > 0, 0));
}

void CTolToolbarFrame::FillFromEngineList(const VARIANT& list)
{
    DownloadRecords records;
    RaiseIfFailed(MakeRecordsFromList(list, records), IID_IDownloadEngine);
    SetDownloads(std::move(records));
}

void CTolToolbarFrame::SetDownloads(DownloadRecords records) noexcept
{
    m_downloads = std::move(records);
    Changed(-1);
}

void CTolToolbarFrame::ClearDownloads() noexcept { SetDownloads({}); }

LRESULT CTolToolbarFrame::OnSortedRecords(UINT, WPARAM, LPARAM lParam, bool&)
{
    const auto* sorted = reinterpret_cast<const DownloadRecords*>(lParam);
    if (!sorted)
        return 0;
    DownloadRecords copies;
    copies.reserve(sorted->size());
    for (const auto& record : *sorted)
    {
        std::unique_ptr<CTolInfoDownload> copy;
        if (!record || FAILED(CTolInfoDownload::Clone(*record, copy)))
            return 0;
        copies.push_back(std::move(copy));
    }
    SetDownloads(std::move(copies));
    return 0;
}

// --- engine events -----------------------------------------------------------------------

void CTolToolbarFrame::OnDownloadAdded(LONG id, BSTR url, BSTR folder, BSTR fileName, LONG state, LONG priority)
{
    if (Find(id))
        return;
    m_downloads.push_back(MakeAddedRecord(id, url, folder, fileName, state, priority));
    Changed(-1);
}

void CTolToolbarFrame::OnDownloadStateChanged(LONG id, LONG state, double elapsed)
{
    if (CTolInfoDownload* record = Find(id))
    {
        TakeTimesAndState(*record, state, elapsed, false);
        Changed(id);
    }
}

void CTolToolbarFrame::OnDownloadStopped(LONG id, LONG state, double elapsed, HWND owner, LONG scope,
                                         VARIANT_BOOL* claimed)
{
    CTolInfoDownload* record = Find(id);
    if (record && scope == 0)
    {
        TakeTimesAndState(*record, state, elapsed, true);
        Changed(id);
    }
    if (*claimed == VARIANT_FALSE && (state & kStateError) && Claim(owner, scope))
    {
        *claimed = VARIANT_TRUE;
        ::PostMessageW(m_window, kCompletionNotice, static_cast<WPARAM>(id), kNoticeStopped);
    }
}

void CTolToolbarFrame::OnDownloadCompleted(LONG id, LONG state, double elapsed, HWND owner, LONG scope,
                                           VARIANT_BOOL* claimed)
{
    CTolInfoDownload* record = Find(id);
    if (record && scope == 0)
    {
        TakeTimesAndState(*record, state, elapsed, true);
        LookUpIcon(*record);
        Changed(id);
    }
    if (*claimed == VARIANT_FALSE && Claim(owner, scope))
    {
        *claimed = VARIANT_TRUE;
        ::PostMessageW(m_window, kCompletionNotice, static_cast<WPARAM>(id), kNoticeCompleted);
    }
}

void CTolToolbarFrame::OnDownloadDeleted(LONG id)
{
    size_t index = 0;
    if (Find(id, &index))
    {
        m_downloads.erase(m_downloads.begin() + static_cast<std::ptrdiff_t>(index));
        Changed(-1);
    }
}

void CTolToolbarFrame::OnDownloadFileInfo(const FileInfo& info)
{
    CTolInfoDownload* record = Find(info.id);
    if (!record)
        return;
    record->totalSize = info.totalSize;
    record->loadedSize = info.loadedSize;
    record->UpdateProgress();
    if (*info.claimed != VARIANT_FALSE)
    {
        if (!SetText(record->path, JoinPath(TextOf(*info.folder), TextOf(*info.fileName))))
            throw std::bad_alloc();
        record->state = info.state;
        LookUpIcon(*record);
        Changed(info.id);
        return;
    }
    Changed(info.id);
    const LONG id = info.id;
    const UINT length = ::SysStringLen(record->path.get());
    const bool hasFileName = length != 0 && record->path.get()[length - 1] != L'\\';
    AskFileName(info, hasFileName, GetSaveFileDefault(), BrowserTopWindow(),
                [&] {
                    if (!Claim(info.owner, info.scope))
                        return false;
                    BringForward(BrowserTopWindow());
                    return true;
                },
                [&](const std::wstring& path) -> const CTolInfoDownload* {
                    for (const auto& other : m_downloads)
                        if (other->id != id && other->path && EqualsIgnoreCase(NarrowFromBstr(other->path.get()),
                                                                               NarrowFromWide(path.data(), path.size())))
                            return other.get();
                    return nullptr;
                });
}

void CTolToolbarFrame::OnDownloadProgress(const Progress& progress)
{
    if (CTolInfoDownload* record = Find(progress.id))
    {
        ApplyProgress(*record, progress);
        Changed(progress.id);
    }
}

void CTolToolbarFrame::OnDownloadError(LONG id, LONG state, LONG, VARIANT_BOOL* claimed)
{
    if (CTolInfoDownload* record = Find(id))
    {
        record->state = state;
        Changed(id);
    }
    *claimed = VARIANT_TRUE;
}

void CTolToolbarFrame::OnDownloadInfoChanged(LONG id, const VARIANT& info)
{
    CTolInfoDownload* record = Find(id);
    CDownloadListReader reader;
    ULONG loaded = 0;
    std::vector<SectionInfo> sections;
    if (!record || FAILED(reader.Open(info)) || reader.RowCount() != 1 ||
        FAILED(reader.ReadUInt(0, kColumnLoadedSize, loaded)) ||
        FAILED(reader.ReadSections(0, kColumnSections, sections)))
        return;
    record->loadedSize = loaded;
    record->sections = std::move(sections);
    record->UpdateProgress();
    Changed(id);
}

void CTolToolbarFrame::OnDownloadRestarted(LONG id, ULONG, ULONG, LONG state, double elapsed)
{
    if (CTolInfoDownload* record = Find(id))
    {
        TakeTimesAndState(*record, state, elapsed, true);
        Changed(id);
    }
}

void CTolToolbarFrame::OnCredentialsRequired(const Credentials& request)
{
    if (*request.claimed != VARIANT_FALSE || !Claim(request.owner, request.scope))
        return;
    *request.claimed = VARIANT_TRUE;
    AnswerCredentials(request, BrowserTopWindow());
}

void CTolToolbarFrame::OnLanguageChanged(LANGID language)
{
    if (language != GetUiLanguage())
        SetUiLanguage(language);
    Changed(-1);
}

void CTolToolbarFrame::OnSectionsChanged(LONG id, const VARIANT& sections)
{
    CTolInfoDownload* record = Find(id);
    std::vector<SectionInfo> read;
    if (record && SUCCEEDED(ReadSectionArray(sections, read)))
    {
        record->sections = std::move(read);
        Changed(id);
    }
}

void CTolToolbarFrame::OnSectionProgress(LONG id, LONG section, LONG sectionCount, ULONG loadedSize,
                                         ULONG sectionLoaded)
{
    CTolInfoDownload* record = Find(id);
    if (!record)
        return;
    record->loadedSize = loadedSize;
    record->UpdateProgress();
    if (sectionCount > 1 && section >= 1 && static_cast<size_t>(section) <= record->sections.size())
        record->sections[static_cast<size_t>(section) - 1].loaded = sectionLoaded;
    Changed(id);
}

void CTolToolbarFrame::OnPriorityChanged(LONG id, LONG priority)
{
    if (CTolInfoDownload* record = Find(id))
        record->priority = priority;
}

void CTolToolbarFrame::OnDownloadRenamed(LONG id, BSTR url, BSTR path)
{
    CTolInfoDownload* record = Find(id);
    if (!record)
        return;
    if (!SetText(record->url, TextOf(url)) || !SetText(record->path, TextOf(path)))
        throw std::bad_alloc();
    LookUpIcon(*record);
    Changed(id);
}

void CTolToolbarFrame::OnInterfaceChanged(bool)
{
    Changed(-1);
    ::InvalidateRect(m_window, nullptr, TRUE);
}

// --- notices and messages ----------------------------------------------------------------------

LRESULT CTolToolbarFrame::OnCompletionNotice(UINT, WPARAM wParam, LPARAM lParam, bool&)
{
    const bool notifications = GetNotifications();
    const bool playSounds = notifications && GetPlaySounds();
    const bool inform = notifications && GetInformWhenCompleted();
    if (lParam != 0)
    {
        if (playSounds)
            ::MessageBeep(MB_ICONEXCLAMATION);
        return 0;
    }
    if (playSounds)
        ::MessageBeep(MB_OK);
    const LONG id = static_cast<LONG>(wParam);
    const CTolInfoDownload* record = Find(id);
    if (!record)
        return 0;
    if (inform)
    {
        BringForward(BrowserTopWindow());
        std::string text = FillTemplate(LoadUiString(IDS_DOWNLOAD_COMPLETED_FMT),
                                        {NarrowFromBstr(record->url.get()), NarrowFromBstr(record->path.get())});
        std::string received = LoadUiString(IDS_BYTES_RECEIVED_FMT);
        if (const size_t at = received.find("%u"); at != std::string::npos)
            received.replace(at, 2, std::to_string(record->loadedSize));
        text += "\n" + received;
        if (record->totalSize != 0)
        {
            std::string size = LoadUiString(IDS_FILE_SIZE_FMT);
            if (const size_t at = size.find("%u"); at != std::string::npos)
                size.replace(at, 2, std::to_string(record->totalSize));
            text += " " + size;
        }
        ShowInfoBox(text, BrowserTopWindow());
        record = Find(id);
    }
    if (record && record->IsComplete() && GetDelete())
        RunCommand([&] {
            if (m_engine)
                m_engine.DeleteDownload(id);
        });
    return 0;
}

LRESULT CTolToolbarFrame::OnBarState(UINT, WPARAM wParam, LPARAM, bool&)
{
    if (m_toolbar)
        ::SendMessageW(m_toolbar.get(), TB_CHECKBUTTON, kToggleBarCommand, MAKELPARAM(wParam != 0, 0));
    return 0;
}

LRESULT CTolToolbarFrame::OnSelectDownload(UINT message, WPARAM wParam, LPARAM lParam, bool&)
{
    RunCommand([&] {
        const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
        const LONG thread = static_cast<LONG>(::GetCurrentThreadId());
        HWND bar = nullptr;
        CallTwice(IID_ITolDownloadHelper, [&] { return helper->GetBandHWND(thread, &bar); });
        if (!bar || !::IsWindowVisible(bar))
        {
            CallTwice(IID_ITolDownloadHelper, [&] { return helper->ShowTolDownloadBand(VARIANT_TRUE); });
            CallTwice(IID_ITolDownloadHelper, [&] { return helper->GetBandHWND(thread, &bar); });
        }
        if (bar)
            ::PostMessageW(bar, message, wParam, lParam);
    });
    return 0;
}

LRESULT CTolToolbarFrame::OnConflictQuery(UINT message, WPARAM wParam, LPARAM lParam, bool&)
{
    const auto* text = reinterpret_cast<const char*>(lParam);
    if (!text)
        return 0;
    const LONG skip = static_cast<LONG>(wParam);
    for (const auto& record : m_downloads)
    {
        if (record->id == skip)
            continue;
        BSTR value = message == kQueryPathConflict ? record->path.get() : record->url.get();
        const UINT length = ::SysStringLen(value);
        if (length == 0 || (message == kQueryPathConflict && value[length - 1] == L'\\'))
            continue;
        if (EqualsIgnoreCase(NarrowFromBstr(value), text))
            return reinterpret_cast<LRESULT>(record.get());
    }
    return 0;
}

LRESULT CTolToolbarFrame::OnContextMenu(UINT message, WPARAM wParam, LPARAM lParam, bool& handled)
{
    if (m_toolbarHost)
    {
        handled = false;
        return 0;
    }
    return ::SendMessageW(m_indicator.Window(), message, wParam, lParam);
}

LRESULT CTolToolbarFrame::OnHelp(UINT, WPARAM, LPARAM, bool&)
{
    ShowHelpOrComplain(m_window, HelpTopic());
    return TRUE;
}

LRESULT CTolToolbarFrame::OnContextHelp(WORD, WORD, HWND, bool&)
{
    ShowHelpOrComplain(m_window, HelpTopic());
    return 0;
}

LRESULT CTolToolbarFrame::OnHelpContents(WORD, WORD, HWND, bool&)
{
    ShowHelpOrComplain(m_window, kHelpContents);
    return 0;
}

LRESULT CTolToolbarFrame::OnNotify(UINT, WPARAM, LPARAM lParam, bool& handled)
{
    auto* header = reinterpret_cast<NMHDR*>(lParam);
    if (header && header->code == TTN_GETDISPINFOW && header->hwndFrom != m_tip.get())
    {
        ToolTipFromStringTable(*reinterpret_cast<NMTTDISPINFOW*>(header));
        return 0;
    }
    if (header && header->code == TBN_DROPDOWN && header->hwndFrom == m_toolbar.get())
    {
        const auto* button = reinterpret_cast<NMTOOLBARW*>(header);
        const unique_hmenu menu = BuildHelpMenu();
        RECT rect{};
        ::SendMessageW(m_toolbar.get(), TB_GETRECT, button->iItem, reinterpret_cast<LPARAM>(&rect));
        POINT corner{rect.left, rect.bottom};
        ::ClientToScreen(m_toolbar.get(), &corner);
        ::TrackPopupMenu(menu.get(), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, corner.x, corner.y, 0, m_window,
                         nullptr);
        return TBDDRET_DEFAULT;
    }
    handled = false;
    return 0;
}

// --- commands ------------------------------------------------------------------------------------

int CTolToolbarFrame::Ask(const std::string& text, UINT type) const
{
    CFocusRestorer focus;
    return ShowMessageBox(text, BrowserTopWindow(), type);
}

LRESULT CTolToolbarFrame::OnToggleBar(WORD, WORD, HWND, bool&)
{
    RunCommand([] {
        const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
        HWND bar = nullptr;
        CallTwice(IID_ITolDownloadHelper,
                  [&] { return helper->GetBandHWND(static_cast<LONG>(::GetCurrentThreadId()), &bar); });
        const bool visible = bar && ::IsWindowVisible(bar);
        CallTwice(IID_ITolDownloadHelper,
                  [&] { return helper->ShowTolDownloadBand(visible ? VARIANT_FALSE : VARIANT_TRUE); });
    });
    return 0;
}

LRESULT CTolToolbarFrame::OnStartAll(WORD, WORD, HWND, bool&)
{
    RunCommand([&] {
        std::vector<LONG> ids;
        for (const auto& download : m_downloads)
            if (!(download->state & kStateTransferring) && !download->IsComplete())
                ids.push_back(download->id);
        for (LONG id : ids)
            if (m_engine)
                m_engine.StartDownload(id, BrowserTopWindow(), "");
    });
    return 0;
}

LRESULT CTolToolbarFrame::OnPauseAll(WORD, WORD, HWND, bool&)
{
    RunCommand([&] {
        std::vector<LONG> pause, noResume;
        std::string lines;
        for (const auto& download : m_downloads)
        {
            if (!(download->state & kStateTransferring))
                continue;
            if (download->resumable == 0)
            {
                noResume.push_back(download->id);
                lines += Line(*download);
            }
            else
                pause.push_back(download->id);
        }
        if (!noResume.empty())
        {
            const int answer =
                Ask(LoadUiString(IDS_CONFIRM_PAUSE_NO_RESUME) + lines, MB_YESNOCANCEL | MB_ICONQUESTION);
            if (answer == IDCANCEL)
                return;
            if (answer == IDYES)
                pause.insert(pause.end(), noResume.begin(), noResume.end());
        }
        for (LONG id : pause)
            if (m_engine)
                m_engine.PauseDownload(id, BrowserTopWindow());
    });
    return 0;
}

LRESULT CTolToolbarFrame::OnStart(WORD, WORD, HWND, bool&)
{
    RunCommand([&] {
        const CTolInfoDownload* current = Current();
        if (!current || !m_engine)
            return;
        const LONG id = current->id;
        if (current->IsComplete() && DownloadFileExists(*current) &&
            Ask(LoadUiString(IDS_CONFIRM_RESTART_LOADED) + Line(*current) + "?", MB_YESNO | MB_ICONQUESTION) != IDYES)
            return;
        m_engine.StartDownload(id, BrowserTopWindow(), "");
    });
    return 0;
}

LRESULT CTolToolbarFrame::OnPause(WORD, WORD, HWND, bool&)
{
    RunCommand([&] {
        const CTolInfoDownload* current = Current();
        if (!current || !m_engine)
            return;
        const LONG id = current->id;
        if (current->resumable == 0 &&
            Ask(LoadUiString(IDS_CONFIRM_PAUSE_NO_RESUME) + Line(*current), MB_YESNO | MB_ICONQUESTION) != IDYES)
            return;
        m_engine.PauseDownload(id, BrowserTopWindow());
    });
    return 0;
}

LRESULT CTolToolbarFrame::OnDelete(WORD, WORD, HWND, bool&)
{
    RunCommand([&] {
        const CTolInfoDownload* current = Current();
        if (!current || !m_engine)
            return;
        const LONG id = current->id;
        if (Ask(LoadUiString(IDS_CONFIRM_DELETE) + Line(*current), MB_YESNO | MB_ICONQUESTION) == IDYES)
            m_engine.DeleteDownload(id);
    });
    return 0;
}

LRESULT CTolToolbarFrame::OnDeleteAll(WORD, WORD, HWND, bool&)
{
    RunCommand([&] {
        if (!m_engine || Ask(LoadUiString(IDS_CONFIRM_DELETE_ALL), MB_YESNO | MB_ICONQUESTION) != IDYES)
            return;
        std::vector<LONG> ids;
        for (const auto& download : m_downloads)
            ids.push_back(download->id);
        for (LONG id : ids)
            m_engine.DeleteDownload(id);
    });
    return 0;
}

LRESULT CTolToolbarFrame::OnProperties(WORD, WORD, HWND, bool&)
{
    RunCommand([&] {
        const CTolInfoDownload* current = Current();
        if (!current || !m_engine)
            return;
        const LONG id = current->id;
        const CDownloadOptions options = m_engine.GetOptions(id);
        CFocusRestorer focus;
        CDefDownDlg dialog(options, NarrowFromBstr(current->url.get()), NarrowFromBstr(current->path.get()), id,
                           m_window, false);
        if (dialog.DoModal(BrowserTopWindow()) == IDOK)
            m_engine.SetOptions(id, BrowserTopWindow(), options);
    });
    return 0;
}

LRESULT CTolToolbarFrame::OnCopyUrl(WORD, WORD, HWND, bool&)
{
    if (const CTolInfoDownload* current = Current())
        CopyUrlToClipboard(m_window, *current);
    return 0;
}

LRESULT CTolToolbarFrame::OnOpenFile(WORD, WORD, HWND, bool&)
{
    if (const CTolInfoDownload* current = Current())
        OpenDownloadedFile(*current, m_window, GetConfirmFileOpen(), BrowserTopWindow());
    return 0;
}

}  // namespace tdm
