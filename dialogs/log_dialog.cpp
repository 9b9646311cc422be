#include "dialogs/log_dialog.h"

#include <commdlg.h>
#include <algorithm>
#include <cmath>
#include <string_view>

#include "dialogs/dialog_controls.h"
#include "framework/automation.h"
#include "text/language.h"
#include "text/message_box.h"

namespace tdm {

namespace {

constexpr int kDateWidth = 80;
constexpr int kTimeWidth = 80;
// The date and time columns and the list's borders, beside the message column.
constexpr int kFixedColumnsWidth = kDateWidth + kTimeWidth + 2;
constexpr int kMinimumMessageWidth = 20;

struct LogRow
{
    std::wstring date;
    std::wstring time;
    std::wstring message;
};

// Up to two leading parts of a line that read as a date or a time in the user's
// locale go to the date column (a value with a day) or the time column (a time
// of day alone); the rest of the line is the message.
LogRow SplitLine(std::wstring_view line)
{
    LogRow row;
    for (int part = 0; part < 2; ++part)
    {
        const size_t space = line.find(L' ');
        if (space == std::wstring_view::npos)
            break;
        std::wstring text(line.substr(0, space));
        DATE value = 0;
        if (text.empty() || FAILED(::VarDateFromStr(text.data(), LOCALE_USER_DEFAULT, 0, &value)))
            break;
        (std::trunc(value) != 0 ? row.date : row.time) = std::move(text);
        line.remove_prefix(space + 1);
    }
    row.message = std::wstring(line);
    return row;
}

void MoveControl(HWND dialog, HWND control, int dx, int dy, bool grow)
{
    RECT rect{};
    ::GetWindowRect(control, &rect);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    if (grow)
        ::SetWindowPos(control, nullptr, 0, 0, rect.right - rect.left + dx, rect.bottom - rect.top + dy,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    else
        ::SetWindowPos(control, nullptr, rect.left + dx, rect.top + dy, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

CLogDlg::CLogDlg(const wchar_t* log, UINT length) : m_log(log ? log : L"", log ? length : 0) {}

LRESULT CLogDlg::OnInitDialog(UINT, WPARAM, LPARAM, bool&)
{
    CenterOverOwner(m_window);
    SetDialogSmallIcon(m_window, m_icon);
    const std::wstring title = LoadUiStringW(IDS_LOG_TITLE) + L" - " + LoadNeutralStringW(IDS_PRODUCT_NAME);
    ::SetWindowTextW(m_window, title.c_str());
    SetLabelsFromStrings(m_window, {IDS_SAVE_AS, IDS_CLOSE, IDS_HELP});

    RECT rect{};
    ::GetClientRect(m_window, &rect);
    m_clientSize = {rect.right, rect.bottom};
    ::GetWindowRect(m_window, &rect);
    m_minimumSize = {rect.right - rect.left, rect.bottom - rect.top};

    m_list = ::GetDlgItem(m_window, IDC_LOG_LIST);
    m_scrollBarWidth = ::GetSystemMetrics(SM_CXVSCROLL);
    ::SendMessageW(m_list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP);
    InsertColumns();
    FillList();
    return TRUE;
}

void CLogDlg::InsertColumns()
{
    RECT client{};
    ::GetClientRect(m_list, &client);
    InsertListColumns(m_list, {{IDS_LOG_COL_DATE, kDateWidth},
                               {IDS_LOG_COL_TIME, kTimeWidth},
                               {IDS_LOG_COL_MESSAGE, client.right - m_scrollBarWidth - kFixedColumnsWidth}});
}

// One row per line; lines end with CR LF, the last one may lack it.
void CLogDlg::FillList()
{
    const std::wstring_view log = m_log;
    ::SendMessageW(m_list, WM_SETREDRAW, FALSE, 0);
    for (size_t start = 0; start < log.size();)
    {
        const size_t end = std::min(log.find(L"\r\n", start), log.size());
        const LogRow row = SplitLine(log.substr(start, end - start));
        AppendRow(row.date, row.time, row.message);
        start = end + 2;
    }
    ::SendMessageW(m_list, WM_SETREDRAW, TRUE, 0);
    const auto count = ::SendMessageW(m_list, LVM_GETITEMCOUNT, 0, 0);
    if (count > 0)
        ::SendMessageW(m_list, LVM_ENSUREVISIBLE, count - 1, FALSE);
}

void CLogDlg::AppendRow(const std::wstring& date, const std::wstring& time, const std::wstring& message)
{
    LVITEMW item{};
    item.iItem = static_cast<int>(::SendMessageW(m_list, LVM_GETITEMCOUNT, 0, 0));
    item.iItem = static_cast<int>(::SendMessageW(m_list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    if (item.iItem < 0)
        return;
    int column = 0;
    for (const std::wstring* cell : {&date, &time, &message})
    {
        std::wstring text = *cell;
        item.iSubItem = column++;
        item.pszText = text.data();
        ::SendMessageW(m_list, LVM_SETITEMTEXTW, item.iItem, reinterpret_cast<LPARAM>(&item));
    }
}

// The list follows the dialog's size, the buttons its bottom right corner.
LRESULT CLogDlg::OnSize(UINT, WPARAM wParam, LPARAM lParam, bool&)
{
    if (wParam == SIZE_MINIMIZED || !m_list)
        return 0;
    const SIZE size = {LOWORD(lParam), HIWORD(lParam)};
    const int dx = size.cx - m_clientSize.cx, dy = size.cy - m_clientSize.cy;
    m_clientSize = size;
    MoveControl(m_window, m_list, dx, dy, true);
    for (const int id : {IDS_HELP, IDS_CLOSE, IDS_SAVE_AS})
        MoveControl(m_window, ::GetDlgItem(m_window, id), dx, dy, false);
    FitMessageColumn();
    return 0;
}

void CLogDlg::FitMessageColumn()
{
    RECT client{};
    ::GetClientRect(m_list, &client);
    const int width = client.right - static_cast<int>(::SendMessageW(m_list, LVM_GETCOLUMNWIDTH, 0, 0)) -
                      static_cast<int>(::SendMessageW(m_list, LVM_GETCOLUMNWIDTH, 1, 0)) - m_scrollBarWidth - 2;
    if (width > kMinimumMessageWidth)
        ::SendMessageW(m_list, LVM_SETCOLUMNWIDTH, 2, width);
}

// Smaller than it opened, the buttons would slide over the list.
LRESULT CLogDlg::OnGetMinMaxInfo(UINT, WPARAM, LPARAM lParam, bool& handled)
{
    if (m_minimumSize.cx == 0)
    {
        handled = false;
        return 0;
    }
    auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
    info->ptMinTrackSize = {m_minimumSize.cx, m_minimumSize.cy};
    return 0;
}

LRESULT CLogDlg::OnSaveAs(WORD, WORD, HWND, bool&)
{
    std::wstring filter = LoadUiStringW(IDS_LOG_SAVE_FILTER);
    std::replace(filter.begin(), filter.end(), L'\n', L'\0');
    filter.push_back(L'\0');
    const std::wstring title = LoadUiStringW(IDS_LOG_SAVE_TITLE);
    wchar_t path[MAX_PATH] = {};
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = m_window;
    dialog.lpstrFilter = filter.c_str();
    dialog.lpstrFile = path;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY;
    dialog.lpstrDefExt = L"txt";
    if (::GetSaveFileNameW(&dialog))
        Save(path);
    return 0;
}

// The whole log in one write, as UTF-8 after a byte-order mark, so that every
// character survives and editors know the encoding (earlier versions wrote the
// ANSI code page); a file that could not be created or written completely is
// reported, never taken for saved.
void CLogDlg::Save(const wchar_t* path)
{
    const std::wstring name = path;
    unique_file file(::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        ShowErrorBox(FillTemplate(LoadUiStringW(IDS_LOG_CREATE_ERROR_FMT), {name}), ::GetForegroundWindow());
        return;
    }
    const std::string bytes = "\xEF\xBB\xBF" + Utf8FromWide(m_log);
    DWORD written = 0;
    const bool complete = ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                          written == bytes.size();
    file.reset();
    if (!complete)
        ShowErrorBox(FillTemplate(LoadUiStringW(IDS_LOG_WRITE_ERROR_FMT), {name}), ::GetForegroundWindow());
}

LRESULT CLogDlg::OnClose(WORD, WORD id, HWND, bool&)
{
    EndDialog(id);
    return 0;
}

void ShowDownloadLog(HWND owner, const wchar_t* log, UINT length) noexcept
{
    try
    {
        HWND focus = ::GetFocus();
        CLogDlg dialog(log, length);
        dialog.DoModal(owner);
        if (focus && ::IsWindow(focus))
            ::SetFocus(focus);
    }
    catch (...)
    {
        TraceCaughtException(__FILE__, __LINE__);
    }
}

}  // namespace tdm
