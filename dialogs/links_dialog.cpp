#include "dialogs/links_dialog.h"

#include <algorithm>
#include <cwchar>

#include "dialogs/dialog_controls.h"
#include "framework/automation.h"
#include "store/settings_store.h"
#include "text/format.h"
#include "text/language.h"
#include "text/url_components.h"

namespace tdm {

namespace {

enum Column : int
{
    kColumnName = 0,
    kColumnUrl = 1,
};
constexpr int kDefaultNameWidth = 160;
constexpr int kMinimumColumnWidth = 20;

// State images of the list: 1 unchecked, 2 checked.
constexpr UINT kUnchecked = INDEXTOSTATEIMAGEMASK(1);
constexpr UINT kChecked = INDEXTOSTATEIMAGEMASK(2);

// How a control follows the dialog's size: moved right or down by the growth,
// or made wider or taller by it.
enum Anchor : unsigned
{
    kMoveX = 1,
    kMoveY = 2,
    kGrowX = 4,
    kGrowY = 8,
};
const struct
{
    int id;
    unsigned anchor;
} kLayout[] = {
    {IDC_LINKS_FILTER, kGrowX},
    {IDC_LINKS_LIST, kGrowX | kGrowY},
    {IDS_LINKS_CHECK_ALL, kMoveY},
    {IDS_LINKS_CHECK_NONE, kMoveY},
    {IDS_LINKS_CHECK_SHOWN, kMoveY},
    {IDC_LINKS_COUNT, kMoveX | kMoveY},
    {IDS_LINKS_FOLDER, kMoveY},
    {IDC_LINKS_FOLDER, kMoveY | kGrowX},
    {IDC_LINKS_BROWSE, kMoveX | kMoveY},
    {IDS_LINKS_START, kMoveY},
    {IDOK, kMoveX | kMoveY},
    {IDCANCEL, kMoveX | kMoveY},
    {IDS_HELP, kMoveX | kMoveY},
};

std::wstring Folded(std::wstring text)
{
    if (!text.empty())
        ::CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// Two check boxes, unchecked and checked, drawn as the system draws a flat one,
// on the window colour, at the small icon size.
unique_himagelist MakeCheckImages()
{
    const int size = ::GetSystemMetrics(SM_CXSMICON);
    unique_himagelist images(::ImageList_Create(size, size, ILC_COLOR24, 2, 0));
    const unique_hdc memory(::CreateCompatibleDC(nullptr));
    const HDC screen = ::GetDC(nullptr);
    unique_hbitmap picture(::CreateCompatibleBitmap(screen, size * 2, size));
    ::ReleaseDC(nullptr, screen);
    if (!images || !memory || !picture)
        return {};
    const HGDIOBJ old = ::SelectObject(memory.get(), picture.get());
    RECT all = {0, 0, size * 2, size};
    ::FillRect(memory.get(), &all, ::GetSysColorBrush(COLOR_WINDOW));
    const int box = std::min(13, size);
    for (int index = 0; index < 2; ++index)
    {
        const int left = index * size + (size - box) / 2, top = (size - box) / 2;
        RECT frame = {left, top, left + box, top + box};
        ::DrawFrameControl(memory.get(), &frame, DFC_BUTTON,
                           DFCS_BUTTONCHECK | DFCS_FLAT | (index == 1 ? DFCS_CHECKED : 0));
    }
    ::SelectObject(memory.get(), old);
    if (::ImageList_Add(images.get(), picture.get(), nullptr) < 0)
        return {};
    return images;
}

void Relayout(HWND dialog, int id, unsigned anchor, int dx, int dy)
{
    HWND control = ::GetDlgItem(dialog, id);
    RECT rect{};
    ::GetWindowRect(control, &rect);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
    const int x = rect.left + ((anchor & kMoveX) ? dx : 0), y = rect.top + ((anchor & kMoveY) ? dy : 0);
    const int width = rect.right - rect.left + ((anchor & kGrowX) ? dx : 0);
    const int height = rect.bottom - rect.top + ((anchor & kGrowY) ? dy : 0);
    ::SetWindowPos(control, nullptr, x, y, std::max(width, 0), std::max(height, 0), SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

// The URL's escapes are decoded as UTF-8, as browsers name a file.
std::wstring LinkFileName(const std::wstring& url)
{
    CUrlComponents components;
    if (!components.Crack(AsciiUrl(url), CUrlComponents::CrackDecode))
        return url;
    const std::string_view path = components.UrlPath();
    const size_t slash = path.find_last_of('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return WideFromUtf8(name.empty() ? components.HostName() : name);
}

CLinksDlg::CLinksDlg(const std::vector<std::wstring>& links, std::wstring folder, bool start)
    : m_folder(std::move(folder)), m_start(start)
{
    m_rows.reserve(links.size());
    for (const std::wstring& url : links)
    {
        Row row;
        row.url = url;
        row.name = LinkFileName(url);
        row.foldedUrl = Folded(row.url);
        row.foldedName = Folded(row.name);
        m_rows.push_back(std::move(row));
    }
}

std::vector<std::wstring> CLinksDlg::CheckedLinks() const
{
    std::vector<std::wstring> links;
    for (const Row& row : m_rows)
        if (row.checked)
            links.push_back(row.url);
    return links;
}

LRESULT CLinksDlg::OnInitDialog(UINT, WPARAM, LPARAM, bool&)
{
    SetDialogSmallIcon(m_window, m_icon);
    SetTexts();
    RECT rect{};
    ::GetWindowRect(m_window, &rect);
    m_minimumSize = {rect.right - rect.left, rect.bottom - rect.top};
    ::GetClientRect(m_window, &rect);
    m_clientSize = {rect.right, rect.bottom};

    m_list = ::GetDlgItem(m_window, IDC_LINKS_LIST);
    SetUpList();
    SetLimitedText(m_window, IDC_LINKS_FOLDER, m_folder, MAX_PATH);
    ::CheckDlgButton(m_window, IDS_LINKS_START, m_start ? BST_CHECKED : BST_UNCHECKED);
    RestoreSize();
    CenterOverOwner(m_window);
    ApplyFilter();
    return TRUE;
}

void CLinksDlg::SetTexts()
{
    const std::wstring title = LoadUiStringW(IDS_LINKS_TITLE) + L" - " + LoadNeutralStringW(IDS_PRODUCT_NAME);
    ::SetWindowTextW(m_window, title.c_str());
    SetLabelsFromStrings(m_window, {IDS_LINKS_FILTER, IDS_LINKS_CHECK_ALL, IDS_LINKS_CHECK_NONE, IDS_LINKS_CHECK_SHOWN,
                                    IDS_LINKS_FOLDER, IDS_LINKS_START, IDS_CANCEL, IDS_HELP});
    AddToolTips(m_window, {{IDC_LINKS_FILTER, IDS_LINKS_FILTER_TIP}, {IDS_LINKS_CHECK_SHOWN, IDS_LINKS_CHECK_SHOWN_TIP}});
}

void CLinksDlg::SetUpList()
{
    ::SendMessageW(m_list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP);
    // The check state lives in the rows: the control asks for it with the texts.
    ::SendMessageW(m_list, LVM_SETCALLBACKMASK, LVIS_STATEIMAGEMASK, 0);
    m_checkImages = MakeCheckImages();
    ::SendMessageW(m_list, LVM_SETIMAGELIST, LVSIL_STATE, reinterpret_cast<LPARAM>(m_checkImages.get()));

    RECT client{};
    ::GetClientRect(m_list, &client);
    const LONG nameWidth = GetLinksNameColumnWidth();
    const LONG urlWidth = GetLinksUrlColumnWidth();
    const int name = nameWidth >= kMinimumColumnWidth ? nameWidth : kDefaultNameWidth;
    const int url = urlWidth >= kMinimumColumnWidth
                        ? urlWidth
                        : std::max<int>(kMinimumColumnWidth,
                                        client.right - name - ::GetSystemMetrics(SM_CXVSCROLL) - 2);
    InsertListColumns(m_list, {{IDS_COL_FILE_NAME, name}, {IDS_COL_URL, url}});
}

// The size the user left the dialog at, never below the template's size nor
// beyond the work area.
void CLinksDlg::RestoreSize()
{
    const LONG width = GetLinksDialogWidth(), height = GetLinksDialogHeight();
    if (width <= 0 || height <= 0)
        return;
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    ::GetMonitorInfoW(::MonitorFromWindow(m_window, MONITOR_DEFAULTTONEAREST), &monitor);
    const LONG areaWidth = monitor.rcWork.right - monitor.rcWork.left;
    const LONG areaHeight = monitor.rcWork.bottom - monitor.rcWork.top;
    const LONG cx = std::max(m_minimumSize.cx, areaWidth > 0 ? std::min(width, areaWidth) : width);
    const LONG cy = std::max(m_minimumSize.cy, areaHeight > 0 ? std::min(height, areaHeight) : height);
    ::SetWindowPos(m_window, nullptr, 0, 0, cx, cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CLinksDlg::OnSize(UINT, WPARAM wParam, LPARAM lParam, bool&)
{
    if (wParam == SIZE_MINIMIZED || !m_list)
        return 0;
    const SIZE size = {LOWORD(lParam), HIWORD(lParam)};
    const int dx = size.cx - m_clientSize.cx, dy = size.cy - m_clientSize.cy;
    m_clientSize = size;
    for (const auto& control : kLayout)
        Relayout(m_window, control.id, control.anchor, dx, dy);
    ::InvalidateRect(m_window, nullptr, TRUE);
    return 0;
}

LRESULT CLinksDlg::OnGetMinMaxInfo(UINT, WPARAM, LPARAM lParam, bool& handled)
{
    if (m_minimumSize.cx == 0)
    {
        handled = false;
        return 0;
    }
    reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {m_minimumSize.cx, m_minimumSize.cy};
    return 0;
}

// Closed in any way: the size and the column widths are kept for next time.
LRESULT CLinksDlg::OnDestroy(UINT, WPARAM, LPARAM, bool& handled)
{
    handled = false;
    Remember();
    return 0;
}

void CLinksDlg::Remember()
{
    WINDOWPLACEMENT placement{};
    placement.length = sizeof(placement);
    if (::GetWindowPlacement(m_window, &placement))
    {
        const RECT& normal = placement.rcNormalPosition;
        SetLinksDialogWidth(normal.right - normal.left);
        SetLinksDialogHeight(normal.bottom - normal.top);
    }
    SetLinksNameColumnWidth(static_cast<LONG>(::SendMessageW(m_list, LVM_GETCOLUMNWIDTH, kColumnName, 0)));
    SetLinksUrlColumnWidth(static_cast<LONG>(::SendMessageW(m_list, LVM_GETCOLUMNWIDTH, kColumnUrl, 0)));
}

// The rows whose file name or URL contains the filter text, without regard to
// letter case; all rows for an empty filter.
void CLinksDlg::ApplyFilter()
{
    const std::wstring filter = Folded(ControlText(m_window, IDC_LINKS_FILTER));
    m_shown.clear();
    for (size_t index = 0; index < m_rows.size(); ++index)
    {
        const Row& row = m_rows[index];
        if (filter.empty() || row.foldedName.find(filter) != std::wstring::npos ||
            row.foldedUrl.find(filter) != std::wstring::npos)
            m_shown.push_back(index);
    }
    // The selection named rows of the old order: it goes.
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED;
    ::SendMessageW(m_list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
    ::SendMessageW(m_list, LVM_SETITEMCOUNT, m_shown.size(), 0);
    ::InvalidateRect(m_list, nullptr, TRUE);
    CheckedChanged();
}

LRESULT CLinksDlg::OnFilterChange(WORD, WORD, HWND, bool&)
{
    ApplyFilter();
    return 0;
}

template <typename Predicate>
void CLinksDlg::CheckWhere(Predicate check)
{
    for (size_t index = 0; index < m_rows.size(); ++index)
        m_rows[index].checked = check(index);
    ::InvalidateRect(m_list, nullptr, FALSE);
    CheckedChanged();
}

LRESULT CLinksDlg::OnCheckAll(WORD, WORD, HWND, bool&)
{
    CheckWhere([](size_t) { return true; });
    return 0;
}

LRESULT CLinksDlg::OnCheckNone(WORD, WORD, HWND, bool&)
{
    CheckWhere([](size_t) { return false; });
    return 0;
}

LRESULT CLinksDlg::OnCheckShown(WORD, WORD, HWND, bool&)
{
    std::vector<bool> shown(m_rows.size(), false);
    for (const size_t index : m_shown)
        shown[index] = true;
    CheckWhere([&](size_t index) { return shown[index]; });
    return 0;
}

// The count of checked links, and OK only when there is one.
void CLinksDlg::CheckedChanged()
{
    const auto checked = std::count_if(m_rows.begin(), m_rows.end(), [](const Row& row) { return row.checked; });
    const std::string text = FillTemplate(LoadUiString(IDS_LINKS_CHECKED_FMT),
                                          {FormatGroupedUInt(static_cast<std::uint32_t>(checked)),
                                           FormatGroupedUInt(static_cast<std::uint32_t>(m_rows.size()))});
    ::SetDlgItemTextW(m_window, IDC_LINKS_COUNT, WideFromNarrow(text).c_str());
    ::EnableWindow(::GetDlgItem(m_window, IDOK), checked > 0);
}

void CLinksDlg::ToggleRows(int clicked)
{
    std::vector<size_t> rows;
    if (clicked >= 0)
    {
        rows.push_back(m_shown[static_cast<size_t>(clicked)]);
    }
    else
    {
        for (int item = -1; (item = static_cast<int>(::SendMessageW(m_list, LVM_GETNEXTITEM, item, LVNI_SELECTED))) >= 0;)
            if (static_cast<size_t>(item) < m_shown.size())
                rows.push_back(m_shown[static_cast<size_t>(item)]);
    }
    if (rows.empty())
        return;
    // Several rows take the opposite of the first one's state, all alike.
    const bool check = !m_rows[rows.front()].checked;
    for (const size_t row : rows)
        m_rows[row].checked = check;
    ::InvalidateRect(m_list, nullptr, FALSE);
    CheckedChanged();
}

LRESULT CLinksDlg::OnGetDispInfo(int, NMHDR* header, bool&)
{
    auto* info = reinterpret_cast<NMLVDISPINFOW*>(header);
    LVITEMW& item = info->item;
    if (item.iItem < 0 || static_cast<size_t>(item.iItem) >= m_shown.size())
        return 0;
    const Row& row = m_rows[m_shown[static_cast<size_t>(item.iItem)]];
    if ((item.mask & LVIF_TEXT) && item.pszText && item.cchTextMax > 0)
    {
        const std::wstring& text = item.iSubItem == kColumnName ? row.name : row.url;
        ::lstrcpynW(item.pszText, text.c_str(), item.cchTextMax);
    }
    if (item.mask & LVIF_STATE)
    {
        item.state = (item.state & ~LVIS_STATEIMAGEMASK) | (row.checked ? kChecked : kUnchecked);
        item.stateMask |= LVIS_STATEIMAGEMASK;
    }
    return 0;
}

// A click on a row's check box turns it over.
LRESULT CLinksDlg::OnListClick(int id, NMHDR* header, bool& handled)
{
    if (id != IDC_LINKS_LIST)
    {
        handled = false;
        return 0;
    }
    const auto* click = reinterpret_cast<NMITEMACTIVATE*>(header);
    LVHITTESTINFO hit{};
    hit.pt = click->ptAction;
    const int item = static_cast<int>(::SendMessageW(m_list, LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
    if (item >= 0 && static_cast<size_t>(item) < m_shown.size() && (hit.flags & LVHT_ONITEMSTATEICON))
        ToggleRows(item);
    return 0;
}

// The space bar turns the selected rows over.
LRESULT CLinksDlg::OnListKeyDown(int id, NMHDR* header, bool& handled)
{
    if (id != IDC_LINKS_LIST || reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey != VK_SPACE)
    {
        handled = false;
        return 0;
    }
    ToggleRows(-1);
    return 0;
}

// Type-ahead in the list: the next shown row, from the one the control names and
// round the end, whose file name begins with the typed text. A space matches
// nothing, so that the space bar only turns check boxes over.
LRESULT CLinksDlg::OnFindItem(int, NMHDR* header, bool&)
{
    const auto* find = reinterpret_cast<const NMLVFINDITEMW*>(header);
    if (!(find->lvfi.flags & (LVFI_STRING | LVFI_PARTIAL)) || !find->lvfi.psz || m_shown.empty())
        return -1;
    const std::wstring prefix = Folded(find->lvfi.psz);
    if (prefix.empty() || prefix[0] == L' ')
        return -1;
    const size_t start = find->iStart > 0 ? static_cast<size_t>(find->iStart) : 0;
    for (size_t step = 0; step < m_shown.size(); ++step)
    {
        const size_t shown = (start + step) % m_shown.size();
        if (m_rows[m_shown[shown]].foldedName.compare(0, prefix.size(), prefix) == 0)
            return static_cast<LRESULT>(shown);
    }
    return -1;
}

LRESULT CLinksDlg::OnBrowse(WORD, WORD, HWND, bool&)
{
    std::wstring folder = BrowseForFolder(m_window, ControlText(m_window, IDC_LINKS_FOLDER));
    if (folder.empty())
        return 0;
    if (folder.back() != L'\\')
        folder += L'\\';
    SetLimitedText(m_window, IDC_LINKS_FOLDER, folder, MAX_PATH);
    // As the properties dialog does: the folder chosen is the next default.
    SetBrowse(folder);
    return 0;
}

LRESULT CLinksDlg::OnOk(WORD, WORD, HWND, bool&)
{
    std::wstring folder = ControlText(m_window, IDC_LINKS_FOLDER);
    const size_t first = folder.find_first_not_of(L" \t");
    folder = first == std::wstring::npos ? std::wstring()
                                         : folder.substr(first, folder.find_last_not_of(L" \t") - first + 1);
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    m_folder = std::move(folder);
    m_start = ::IsDlgButtonChecked(m_window, IDS_LINKS_START) == BST_CHECKED;
    EndDialog(IDOK);
    return 0;
}

LRESULT CLinksDlg::OnCancel(WORD, WORD, HWND, bool&)
{
    EndDialog(IDCANCEL);
    return 0;
}

}  // namespace tdm
