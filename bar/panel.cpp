#include "bar/panel.h"

#include "bar/parent_background.h"
#include "downloads/download_commands.h"

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
    // A panel whose window never came follows the model still.
    if (m_model)
        m_model->Unadvise(this);
}

HWND CMyDlg::CreatePanel(HWND parent) noexcept
{
    try
    {
        m_model = CDownloadsModel::ForThisThread();
        m_model->Advise(this);
    }
    catch (...)
    {
        TraceCaughtException(__FILE__, __LINE__);
        m_model.reset();
        return nullptr;
    }
    m_list.SetModel(m_model.get());
    return Create(parent);
}

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

HWND CMyDlg::BrowserTopWindow() const noexcept { return m_browser ? BrowserOwnerWindow(m_browser.get()) : nullptr; }

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
    // The model may hold downloads already: the toolbar of this thread shows them.
    m_list.RowsReset();
    RefreshForFirstSelected();
    RefreshTimer();
    if (m_iconic)
        CreateIconicFrame();
    return TRUE;
}

void CMyDlg::ReloadSettings() noexcept
{
    m_settings.showToolbarLabels = GetShowToolbarLabels();
    m_settings.showToolbar = GetShowToolbar();
    m_settings.confirmFileOpen = GetConfirmFileOpen();
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
    if (const CEngine engine = CommandEngine())
    {
        try
        {
            (void)engine.GetTrafficMode();
        }
        catch (const CComError& error)
        {
            ShowComError(error);
        }
    }
    ::ShowWindow(toolbar, m_settings.showToolbar && !m_iconic ? SW_SHOW : SW_HIDE);
    RefreshForFirstSelected();
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
    m_iconicFrame.reset();
    m_list.SetModel(nullptr);
    if (m_model)
        m_model->Unadvise(this);
    m_model.reset();
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
    const auto* text = reinterpret_cast<const wchar_t*>(lParam);
    if (!text)
        return 0;
    const std::wstring wide(text);
    const LONG skip = static_cast<LONG>(wParam);
    if (!m_model)
        return 0;
    const CTolInfoDownload* other = message == kQueryPathConflict
                                        ? m_model->Downloads().FindOtherByPath(skip, wide)
                                        : m_model->Downloads().FindOtherByUrl(skip, wide);
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
            UpdateCommandStates(record);
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

void CMyDlg::UpdateCommandStates(const CTolInfoDownload* current) noexcept
{
    if (!m_model)
        return;
    const size_t selected = m_list.Window() ? ListView_GetSelectedCount(m_list.Window()) : 0;
    CCommandStates(m_model->Downloads(), m_model->LogPerDownload(), current, selected).ApplyTo(m_toolbar.get());
}

void CMyDlg::RefreshForFirstSelected() noexcept { UpdateCommandStates(m_list.RecordOf(m_list.FirstSelected())); }

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

void CMyDlg::RefreshTimer() noexcept
{
    if (m_model && m_model->Downloads().ActiveCount() > 0)
        StartTimer();
    else
        StopTimer();
}

void CMyDlg::SortRows() noexcept { (void)m_list.Sort(); }

// --- the model's changes -------------------------------------------------------------

void CMyDlg::OnDownloadsReset()
{
    m_list.RowsReset();
    RefreshForFirstSelected();
    SortRows();
    if (m_list.RowCount() > 0)
        m_list.EnsureVisible(m_list.RowCount() - 1);
    RefreshTimer();
}

void CMyDlg::OnDownloadAdded(LONG id)
{
    m_list.RowAdded(id);
    RefreshForFirstSelected();
    SortRows();
    m_list.EnsureVisible(m_list.FindRow(id));
    RefreshTimer();
}

void CMyDlg::OnDownloadRemoving(LONG, int index) { m_list.RowRemoving(index); }

void CMyDlg::OnDownloadRemoved(LONG, int index)
{
    if (m_list.RowCount() > 0)
        m_list.SelectOnly(index > 0 ? index - 1 : 0);
    RefreshForFirstSelected();
    RefreshTimer();
}

void CMyDlg::OnDownloadChanged(LONG id, DownloadChange change)
{
    m_list.RowChanged(id, change);
    if (change == DownloadChange::Row)
    {
        RefreshForFirstSelected();
        RefreshTimer();
    }
    if (change != DownloadChange::Redraw && m_list.OutOfOrder(id))
        SortRows();
}

void CMyDlg::OnOrderChanged() { m_list.OrderChanged(); }

void CMyDlg::OnTextsChanged()
{
    if (!m_window)
        return;
    BuildToolbars();
    m_list.ReloadTexts();
    // The download commands follow the selected row again: rebuilding the
    // toolbar left them all disabled.
    RefreshForFirstSelected();
    Layout();
    if (::IsWindowVisible(m_window))
        PostRelayout();
}

void CMyDlg::OnLogOptionChanged() { RefreshForFirstSelected(); }

}  // namespace tdm
