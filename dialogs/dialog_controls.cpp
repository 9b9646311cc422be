#include "dialogs/dialog_controls.h"

#include <commctrl.h>
#include <shlobj.h>
#include <algorithm>

#include "framework/automation.h"
#include "framework/com_ptr.h"
#include "framework/module.h"
#include "resources/resource.h"
#include "text/language.h"

namespace tdm {

namespace {

// The product's icon (resources/tdm.rc), also the icon of its dialogs.
constexpr WORD kDialogIcon = 244;

// Flags of the folder browser: file-system folders only, status text, new dialog
// style, usage hint.
constexpr UINT kFolderBrowserFlags = 0x145;

// Selects the start folder (lParam of the browser: the path) once the browser
// runs, as the desktop folder resolves its name.
int CALLBACK SelectStartFolder(HWND window, UINT message, LPARAM, LPARAM data)
{
    if (message != BFFM_INITIALIZED)
        return 0;
    const std::wstring& start = *reinterpret_cast<const std::wstring*>(data);
    com_ptr<IShellFolder> desktop;
    PIDLIST_RELATIVE item = nullptr;
    if (start.empty() || FAILED(::SHGetDesktopFolder(desktop.put())) ||
        FAILED(desktop->ParseDisplayName(window, nullptr, const_cast<wchar_t*>(start.c_str()), nullptr, &item,
                                         nullptr)))
        return 0;
    unique_cotaskmem owned(item);
    ::SendMessageW(window, BFFM_SETSELECTIONW, FALSE, reinterpret_cast<LPARAM>(item));
    return 0;
}

}  // namespace

std::wstring ControlText(HWND dialog, int id)
{
    HWND control = ::GetDlgItem(dialog, id);
    const int length = control ? ::GetWindowTextLengthW(control) : 0;
    if (length <= 0)
        return {};
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(::GetWindowTextW(control, text.data(), length + 1)));
    return text;
}

void SetLimitedText(HWND dialog, int id, std::wstring_view text, size_t limit)
{
    const std::wstring wide(text);
    if (limit != 0)
        ::SendDlgItemMessageW(dialog, id, EM_LIMITTEXT, std::max(limit, wide.size()), 0);
    ::SetDlgItemTextW(dialog, id, wide.c_str());
}

void SetLabelsFromStrings(HWND dialog, std::initializer_list<int> ids)
{
    for (const int id : ids)
        ::SetDlgItemTextW(dialog, id, LoadUiStringW(static_cast<UINT>(id)).c_str());
}

void ShowControl(HWND dialog, int id, bool show)
{
    ::ShowWindow(::GetDlgItem(dialog, id), show ? SW_SHOW : SW_HIDE);
}

void SetDialogSmallIcon(HWND dialog, unique_hicon& icon)
{
    unique_hicon loaded(static_cast<HICON>(::LoadImageW(CModule::Instance().ModuleInstance(),
                                                        MAKEINTRESOURCEW(kDialogIcon), IMAGE_ICON,
                                                        ::GetSystemMetrics(SM_CXSMICON),
                                                        ::GetSystemMetrics(SM_CYSMICON), 0)));
    ::SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(loaded.get()));
    icon = std::move(loaded);
}

void CenterOverOwner(HWND dialog)
{
    HWND owner = ::GetWindow(dialog, GW_OWNER);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    if (!::GetMonitorInfoW(::MonitorFromWindow(owner ? owner : dialog, MONITOR_DEFAULTTONEAREST), &monitor))
        return;
    const RECT area = monitor.rcWork;
    RECT around = area;
    if (owner && !::IsIconic(owner))
        ::GetWindowRect(owner, &around);
    RECT frame{};
    ::GetWindowRect(dialog, &frame);
    const LONG width = frame.right - frame.left;
    const LONG height = frame.bottom - frame.top;
    LONG x = around.left + (around.right - around.left - width) / 2;
    LONG y = around.top + (around.bottom - around.top - height) / 2;
    x = std::max(area.left, std::min(x, area.right - width));
    y = std::max(area.top, std::min(y, area.bottom - height));
    ::SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void InsertListColumns(HWND list, std::initializer_list<ReportColumn> columns)
{
    int index = 0;
    for (const ReportColumn& c : columns)
    {
        std::wstring text = LoadUiStringW(c.title);
        LVCOLUMNW column{};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
        column.fmt = LVCFMT_LEFT;
        column.cx = c.width;
        column.pszText = text.data();
        column.iSubItem = index;
        ::SendMessageW(list, LVM_INSERTCOLUMNW, index, reinterpret_cast<LPARAM>(&column));
        ++index;
    }
}

void AddToolTips(HWND dialog, std::initializer_list<ControlTip> tips)
{
    HWND window = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                                    CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, dialog, nullptr,
                                    CModule::Instance().ModuleInstance(), nullptr);
    if (!window)
        return;
    for (const ControlTip& tip : tips)
    {
        std::wstring text = LoadUiStringW(tip.text);  // the tip keeps its own copy
        TTTOOLINFOW info{};
        info.cbSize = TTTOOLINFOW_V2_SIZE;
        info.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        info.hwnd = dialog;
        info.uId = reinterpret_cast<UINT_PTR>(::GetDlgItem(dialog, tip.control));
        info.lpszText = text.data();
        ::SendMessageW(window, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&info));
    }
}

std::wstring BrowseForFolder(HWND owner, const std::wstring& start)
{
    const std::wstring title = LoadUiStringW(IDS_SELECT_FOLDER);
    BROWSEINFOW info{};
    info.hwndOwner = owner;
    info.lpszTitle = title.c_str();
    info.ulFlags = kFolderBrowserFlags;
    info.lpfn = &SelectStartFolder;
    info.lParam = reinterpret_cast<LPARAM>(&start);
    unique_cotaskmem chosen(::SHBrowseForFolderW(&info));
    wchar_t folder[MAX_PATH] = {};
    if (!chosen || !::SHGetPathFromIDListW(static_cast<PCIDLIST_ABSOLUTE>(chosen.get()), folder))
        return {};
    return folder;
}

namespace {

template <typename Char>
std::basic_string<Char> Fill(std::basic_string_view<Char> messageTemplate,
                             std::initializer_list<std::basic_string_view<Char>> values)
{
    std::basic_string<Char> text;
    const std::basic_string_view<Char>* next = values.begin();
    for (size_t i = 0; i < messageTemplate.size(); ++i)
    {
        const Char c = messageTemplate[i];
        const Char following = i + 1 < messageTemplate.size() ? messageTemplate[i + 1] : Char{};
        if (c == '%' && following == '%')
        {
            text += '%';
            ++i;
        }
        else if (c == '%' && following == 's' && next != values.end())
        {
            text += *next++;
            ++i;
        }
        else
        {
            text += c;
        }
    }
    return text;
}

}  // namespace

std::string FillTemplate(std::string_view messageTemplate, std::initializer_list<std::string_view> values)
{
    return Fill(messageTemplate, values);
}

std::wstring FillTemplate(std::wstring_view messageTemplate, std::initializer_list<std::wstring_view> values)
{
    return Fill(messageTemplate, values);
}

}  // namespace tdm
