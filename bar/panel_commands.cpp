// The downloads panel's commands: the main toolbar, the context menu, the help
// menu, the keys of the list and a double click on a row.
#include "bar/panel.h"

#include <commctrl.h>
#include <shellapi.h>
#include <windowsx.h>

#include <string>
#include <vector>

#include "downloads/download_commands.h"
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

LONG CMyDlg::CommandDownloadId() const noexcept
{
    const CTolInfoDownload* record = m_list.RecordOf(m_list.FirstSelected());
    return record ? record->id : -1;
}

std::vector<LONG> CMyDlg::SelectedIds() const
{
    std::vector<LONG> ids;
    for (int row : SelectedRows())
        if (const CTolInfoDownload* record = m_list.RecordOf(row))
            ids.push_back(record->id);
    return ids;
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

int CMyDlg::OnlySelectedRow() const noexcept
{
    return ListView_GetSelectedCount(m_list.Window()) == 1 ? m_list.FirstSelected() : -1;
}

void CMyDlg::PostRelayout() noexcept
{
    RECT client{};
    ::GetClientRect(m_window, &client);
    ::PostMessageW(m_window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
    ::InvalidateRect(m_window, nullptr, TRUE);
}

// --- download commands -------------------------------------------------------------------

LRESULT CMyDlg::OnStart(WORD, WORD id, HWND, bool&)
{
    RunCommand([&] {
        if (m_model)
            StartDownloads({*m_model.get(), m_window},
                           id == kCommandStartAll ? AllDownloadIds(*m_model.get()) : SelectedIds(),
                           id == kCommandStartAll);
    });
    return 0;
}

LRESULT CMyDlg::OnPause(WORD, WORD id, HWND, bool&)
{
    RunCommand([&] {
        if (m_model)
            PauseDownloads({*m_model.get(), m_window},
                           id == kCommandPauseAll ? AllDownloadIds(*m_model.get()) : SelectedIds());
    });
    return 0;
}

LRESULT CMyDlg::OnDelete(WORD, WORD, HWND, bool&)
{
    RunCommand([&] {
        if (m_model)
            DeleteDownloads({*m_model.get(), m_window}, SelectedIds());
    });
    return 0;
}

LRESULT CMyDlg::OnDeleteAll(WORD, WORD, HWND, bool&)
{
    RunCommand([&] {
        if (m_model)
            DeleteAllDownloads({*m_model.get(), m_window});
    });
    return 0;
}

LRESULT CMyDlg::OnProperties(WORD, WORD, HWND, bool&)
{
    RunCommand([&] {
        if (m_model)
            EditDownloadProperties({*m_model.get(), m_window}, SelectedIds());
    });
    return 0;
}

// --- copy, open ---------------------------------------------------------------------------------

LRESULT CMyDlg::OnCopyUrl(WORD, WORD, HWND, bool&)
{
    if (const CTolInfoDownload* record = m_list.RecordOf(OnlySelectedRow()))
        CopyUrlToClipboard(m_window, *record);
    return 0;
}

LRESULT CMyDlg::OnOpenFile(WORD, WORD, HWND, bool&)
{
    OpenDownloadedFile(OnlySelectedRow());
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
    RefreshForFirstSelected();
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
    if (!m_model)
        return 0;
    const std::vector<int> selected = SelectedRows();
    const CCommandStates states(m_model->Downloads(), m_model->LogPerDownload(),
                                selected.empty() ? nullptr : m_list.RecordOf(selected.front()), selected.size());
    DownloadMenuState state;
    state.states = &states;
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
            const CEngine engine = CommandEngine();
            if (!engine || !m_model)
                return;
            std::vector<LONG> pause, start;
            for (LONG id : SelectedIds())
            {
                const CTolInfoDownload* record = m_model->Find(id);
                (record && (record->state & kStateTransferring) ? pause : start).push_back(id);
            }
            // Taken before any engine call changes the downloads.
            StartDownloads({*m_model.get(), m_window}, start, false);
            const HWND owner = BrowserTopWindow();
            for (LONG id : pause)
                engine.PauseDownload(id, owner);
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
