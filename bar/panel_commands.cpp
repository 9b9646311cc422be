// The downloads panel's commands: the main toolbar, the context menu, the help
// menu, the keys of the list and a double click on a row.
#include "bar/panel.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <string>
#include <vector>

#include "bar/command_actions.h"
#include "bar/download_menu.h"
#include "dialogs/dialog_controls.h"
#include "dialogs/download_properties.h"
#include "framework/automation.h"
#include "framework/error.h"
#include "resources/resource.h"
#include "store/settings_store.h"
#include "tdm_h.h"
#include "text/language.h"
#include "text/message_box.h"

namespace tdm {

namespace {

// A download as the questions list it: a line break, the URL, " -> " and the
// file path.
std::string Line(const CTolInfoDownload& record)
{
    return "\n" + NarrowFromBstr(record.url.get()) + " -> " + NarrowFromBstr(record.path.get());
}


}  // namespace

LONG CMyDlg::CommandDownloadId() const noexcept
{
    const CTolInfoDownload* record = m_list.RecordOf(m_list.FirstSelected());
    return record ? record->id : -1;
}

std::vector<int> CMyDlg::SelectedRows() const
{
    std::vector<int> rows;
    const HWND list = m_list.Window();
    for (int row = ListView_GetNextItem(list, -1, LVNI_SELECTED); row >= 0;
         row = ListView_GetNextItem(list, row, LVNI_SELECTED))
        rows.push_back(row);
    return rows;
}

int CMyDlg::CurrentRow() const noexcept
{
    const HWND list = m_list.Window();
    const int focused = ListView_GetNextItem(list, -1, LVNI_FOCUSED);
    return focused >= 0 ? focused : ListView_GetSelectionMark(list);
}

int CMyDlg::Ask(const std::string& text, UINT type) const
{
    CFocusRestorer focus;
    return ShowMessageBox(text, BrowserTopWindow(), type);
}

void CMyDlg::PostRelayout() noexcept
{
    RECT client{};
    ::GetClientRect(m_window, &client);
    ::PostMessageW(m_window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
    ::InvalidateRect(m_window, nullptr, TRUE);
}

// --- start and pause ------------------------------------------------------------------------

LRESULT CMyDlg::OnStart(WORD, WORD id, HWND, bool&)
{
    std::vector<int> rows;
    if (id == kCommandStartAll)
        for (int row = 0; row < m_list.RowCount(); ++row)
            rows.push_back(row);
    else
        rows = SelectedRows();
    RunCommand([&] { StartRows(rows, id == kCommandStartAll); });
    return 0;
}

void CMyDlg::StartRows(const std::vector<int>& rows, bool all)
{
    if (!m_engine)
        return;
    std::vector<LONG> loaded, start;
    std::string lines;
    for (int row : rows)
    {
        const CTolInfoDownload* record = m_list.RecordOf(row);
        if (!record)
            continue;
        if (all)
        {
            if (!(record->state & (kStateTransferring | kStateComplete)))
                start.push_back(record->id);
        }
        else if (record->IsComplete() && DownloadFileExists(*record))
        {
            loaded.push_back(record->id);
            lines += Line(*record);
        }
        else if (!(record->state & kStateTransferring))
        {
            start.push_back(record->id);
        }
    }
    if (!loaded.empty())
    {
        const int answer = Ask(LoadUiString(IDS_CONFIRM_RESTART_LOADED) + lines + "?",
                               MB_ICONQUESTION | (start.empty() ? MB_YESNO : MB_YESNOCANCEL));
        if (answer == IDCANCEL)
            return;
        if (answer != IDYES)
            loaded.clear();
    }
    loaded.insert(loaded.end(), start.begin(), start.end());
    const HWND owner = BrowserTopWindow();
    for (LONG id : loaded)
    {
        // The row may have gone while a question was open.
        const CTolInfoDownload* record = m_list.FindRecord(id);
        const std::string url = record ? NarrowFromBstr(record->url.get()) : std::string();
        m_engine.StartDownload(id, owner, GetPageCookieForUrl(url, m_browser.get(), true));
    }
}

LRESULT CMyDlg::OnPause(WORD, WORD id, HWND, bool&)
{
    std::vector<int> rows;
    if (id == kCommandPauseAll)
        for (int row = 0; row < m_list.RowCount(); ++row)
            rows.push_back(row);
    else
        rows = SelectedRows();
    RunCommand([&] { PauseRows(rows); });
    return 0;
}

void CMyDlg::PauseRows(const std::vector<int>& rows)
{
    if (!m_engine)
        return;
    std::vector<LONG> pause, noResume;
    std::string lines;
    for (int row : rows)
    {
        const CTolInfoDownload* record = m_list.RecordOf(row);
        if (!record || !(record->state & kStateTransferring))
            continue;
        if (record->resumable == 0)
        {
            noResume.push_back(record->id);
            lines += Line(*record);
        }
        else
        {
            pause.push_back(record->id);
        }
    }
    if (!noResume.empty())
    {
        const int answer = Ask(LoadUiString(IDS_CONFIRM_PAUSE_NO_RESUME) + lines + "?", MB_YESNOCANCEL | MB_ICONQUESTION);
        if (answer == IDCANCEL)
            return;
        if (answer == IDYES)
            pause.insert(pause.end(), noResume.begin(), noResume.end());
    }
    const HWND owner = BrowserTopWindow();
    for (LONG id : pause)
        m_engine.PauseDownload(id, owner);
}

// --- delete -----------------------------------------------------------------------------------

LRESULT CMyDlg::OnDelete(WORD, WORD, HWND, bool&)
{
    RunCommand([&] {
        std::vector<LONG> ids;
        std::string lines;
        for (int row : SelectedRows())
        {
            if (const CTolInfoDownload* record = m_list.RecordOf(row))
            {
                ids.push_back(record->id);
                lines += Line(*record);
            }
        }
        if (ids.empty() || !m_engine)
            return;
        if (Ask(LoadUiString(IDS_CONFIRM_DELETE) + lines + "?", MB_YESNO | MB_ICONQUESTION) != IDYES)
            return;
        for (LONG id : ids)
            m_engine.DeleteDownload(id);
    });
    return 0;
}

LRESULT CMyDlg::OnDeleteAll(WORD, WORD, HWND, bool&)
{
    RunCommand([&] {
        if (!m_engine || Ask(LoadUiString(IDS_CONFIRM_DELETE_ALL), MB_YESNO | MB_ICONQUESTION) != IDYES)
            return;
        std::vector<LONG> ids;
        for (int row = 0; row < m_list.RowCount(); ++row)
            if (const CTolInfoDownload* record = m_list.RecordOf(row))
                ids.push_back(record->id);
        for (LONG id : ids)
            m_engine.DeleteDownload(id);
    });
    return 0;
}

// --- properties -------------------------------------------------------------------------------

LRESULT CMyDlg::OnProperties(WORD, WORD, HWND, bool&)
{
    RunCommand([&] {
        const std::vector<int> rows = SelectedRows();
        const CTolInfoDownload* first = rows.empty() ? nullptr : m_list.RecordOf(rows.front());
        if (!first || !m_engine)
            return;
        // What the dialog changes goes to every selected download, each keeping
        // its own address and file.
        struct Target
        {
            LONG id;
            std::string url, path;
        };
        std::vector<Target> targets;
        for (int row : rows)
            if (const CTolInfoDownload* record = m_list.RecordOf(row))
                targets.push_back({record->id, NarrowFromBstr(record->url.get()), NarrowFromBstr(record->path.get())});
        const HWND owner = BrowserTopWindow();
        const CDownloadOptions options = m_engine.GetOptions(targets.front().id);
        const bool single = targets.size() == 1;
        CFocusRestorer focus;
        CDefDownDlg dialog(options, single ? targets.front().url : std::string(),
                           single ? targets.front().path : std::string(), targets.front().id, m_window, false);
        if (dialog.DoModal(owner) != IDOK)
            return;
        m_engine.SetOptions(targets.front().id, owner, options);
        for (size_t i = 1; i < targets.size(); ++i)
        {
            options.SetUrl(targets[i].url);
            options.SetLocalPath(targets[i].path);
            m_engine.SetOptions(targets[i].id, owner, options);
        }
    });
    return 0;
}

// --- copy, open ---------------------------------------------------------------------------------

LRESULT CMyDlg::OnCopyUrl(WORD, WORD, HWND, bool&)
{
    if (const CTolInfoDownload* record = m_list.RecordOf(ListView_GetSelectionMark(m_list.Window())))
        CopyUrlToClipboard(m_window, *record);
    return 0;
}

LRESULT CMyDlg::OnOpenFile(WORD, WORD, HWND, bool&)
{
    OpenDownloadedFile(CurrentRow());
    return 0;
}

void CMyDlg::OpenDownloadedFile(int row)
{
    const CTolInfoDownload* record = m_list.RecordOf(row);
    if (!record || !record->IsComplete())
        return;
    ReloadSettings();
    tdm::OpenDownloadedFile(*record, m_window, m_settings.confirmFileOpen, BrowserTopWindow());
}

// --- toolbar toggles, closing the bar ------------------------------------------------------------

LRESULT CMyDlg::OnShowToolbar(WORD, WORD, HWND, bool&)
{
    m_settings.showToolbar = !m_settings.showToolbar;
    if (!m_iconic)
    {
        for (HWND window : {m_toolbar.get(), m_captionButtons.get()})
            if (window)
                ::ShowWindow(window, m_settings.showToolbar ? SW_SHOW : SW_HIDE);
    }
    SetShowToolbar(m_settings.showToolbar);
    PostRelayout();
    return 0;
}

LRESULT CMyDlg::OnShowLabels(WORD, WORD, HWND, bool&)
{
    m_settings.showToolbarLabels = !m_settings.showToolbarLabels;
    SetShowToolbarLabels(m_settings.showToolbarLabels);
    BuildToolbars();
    RefreshForSelection(CommandDownloadId());
    PostRelayout();
    return 0;
}

LRESULT CMyDlg::OnCloseBar(WORD, WORD, HWND, bool&)
{
    RunCommand([] {
        const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
        CallTwice(IID_ITolDownloadHelper, [&] { return helper->ShowTolDownloadBand(VARIANT_FALSE); });
    });
    return 0;
}

// --- menus and keys -------------------------------------------------------------------------------

LRESULT CMyDlg::OnContextMenu(UINT, WPARAM, LPARAM lParam, bool&)
{
    DownloadMenuState state;
    const std::vector<int> selected = SelectedRows();
    state.current = selected.empty() ? nullptr : m_list.RecordOf(selected.front());
    state.selected = selected.size();
    state.rows = m_list.RowCount();
    state.active = m_activeRows;
    state.finished = m_finishedRows;
    if (state.current)
        RunCommand([&] { state.logPerDownload = m_engine && m_engine.GetLogSettings().logPerDownload; });
    state.toolbarToggles = true;
    state.showToolbar = m_settings.showToolbar;
    state.showLabels = m_settings.showToolbarLabels;
    const unique_hmenu menu = BuildDownloadMenu(state);
    POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    if (lParam == -1)
        ::GetCursorPos(&point);
    ::TrackPopupMenu(menu.get(), TPM_RIGHTBUTTON, point.x, point.y, 0, m_window, nullptr);
    return 0;
}

void CMyDlg::OnHelpDropDown(const NMTOOLBARW& button)
{
    const unique_hmenu menu = BuildHelpMenu();
    RECT rect{};
    ::SendMessageW(button.hdr.hwndFrom, TB_GETRECT, button.iItem, reinterpret_cast<LPARAM>(&rect));
    POINT corner{rect.left, rect.bottom};
    ::ClientToScreen(button.hdr.hwndFrom, &corner);
    ::TrackPopupMenu(menu.get(), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, corner.x, corner.y, 0, m_window,
                     nullptr);
}

void CMyDlg::OnListKey(const NMLVKEYDOWN& key)
{
    switch (key.wVKey)
    {
    case VK_RETURN:
        if (CurrentRow() < 0)
            return;
        if (::GetKeyState(VK_CONTROL) & 0x8000)
            ::SendMessageW(m_window, WM_COMMAND, kCommandProperties, 0);
        else
            OpenDownloadedFile(CurrentRow());
        break;
    case VK_SPACE:
        RunCommand([&] {
            if (!m_engine)
                return;
            std::vector<LONG> pause;
            std::vector<int> start;
            for (int row : SelectedRows())
            {
                if (const CTolInfoDownload* record = m_list.RecordOf(row))
                {
                    if (record->state & kStateTransferring)
                        pause.push_back(record->id);
                    else
                        start.push_back(row);
                }
            }
            // Rows as they are before any engine call changes the list.
            StartRows(start, false);
            const HWND owner = BrowserTopWindow();
            for (LONG id : pause)
                m_engine.PauseDownload(id, owner);
        });
        break;
    case VK_DELETE:
        ::SendMessageW(m_window, WM_COMMAND, kCommandDelete, 0);
        break;
    default:
        break;
    }
}

}  // namespace tdm
