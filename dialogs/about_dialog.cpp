#include "dialogs/about_dialog.h"

#include <olectl.h>
#include <shellapi.h>
#include <windowsx.h>
#include <cstring>

#include "framework/error.h"
#include "framework/module.h"
#include "text/language.h"

namespace tdm {

namespace {

// Where the version is painted over the picture, in client coordinates.
constexpr RECT kVersionArea = {79, 60, 347, 84};

// The address opened when the string table has none (a language without a table).
constexpr wchar_t kBuiltInWebSite[] = L"http://www.tolvane.com/";

// Written only by tests, before they show an about box.
WebSiteOpener g_webSiteOpener = nullptr;

void OpenInBrowser(HWND owner, const std::wstring& address)
{
    const auto result = reinterpret_cast<INT_PTR>(
        ::ShellExecuteW(owner, L"open", address.c_str(), nullptr, nullptr, SW_SHOWDEFAULT));
    if (result <= 32)
        TraceToDebugger(__FILE__, __LINE__, "the web site could not be opened");
}

// The product picture: the JPEG resource copied into movable memory and decoded
// from a stream on it. Null when any step fails.
com_ptr<IPicture> LoadPicture()
{
    const HINSTANCE module = CModule::Instance().ModuleInstance();
    const HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(IDR_ABOUT_PICTURE), L"JPG_IMAGE");
    const HGLOBAL resource = found ? ::LoadResource(module, found) : nullptr;
    const void* data = resource ? ::LockResource(resource) : nullptr;
    const DWORD size = found ? ::SizeofResource(module, found) : 0;
    if (!data || size == 0)
        return {};
    unique_hglobal memory(::GlobalAlloc(GMEM_MOVEABLE, size));
    {
        global_lock bytes(memory.get());
        if (!bytes.get())
            return {};
        std::memcpy(bytes.get(), data, size);
    }
    // The stream goes before the memory under it.
    com_ptr<IStream> stream;
    com_ptr<IPicture> picture;
    if (FAILED(LOG_IF_FAILED(::CreateStreamOnHGlobal(memory.get(), FALSE, stream.put()))) ||
        FAILED(LOG_IF_FAILED(::OleLoadPicture(stream.get(), static_cast<LONG>(size), FALSE, IID_IPicture,
                                              picture.put_void()))))
        return {};
    return picture;
}

// Everything after the product name: the text after the first ".", trimmed.
std::wstring VersionFrom(const std::wstring& text)
{
    const size_t dot = text.find(L'.');
    const std::wstring rest = dot == std::wstring::npos ? text : text.substr(dot + 1);
    const wchar_t* const blanks = L" \t\r\n";
    const size_t first = rest.find_first_not_of(blanks);
    if (first == std::wstring::npos)
        return {};
    return rest.substr(first, rest.find_last_not_of(blanks) - first + 1);
}

bool InWebSiteArea(POINT point) noexcept { return ::PtInRect(&CAboutDialog::kWebSiteArea, point) != FALSE; }

}  // namespace

WebSiteOpener SetWebSiteOpener(WebSiteOpener opener) noexcept
{
    const WebSiteOpener previous = g_webSiteOpener;
    g_webSiteOpener = opener;
    return previous;
}

void ShowAboutBox(HWND owner) noexcept
{
    CAboutDialog dialog;
    dialog.DoModal(owner);
}

LRESULT CAboutDialog::OnInitDialog(UINT, WPARAM, LPARAM, bool&)
{
    ::SetWindowTextW(m_window, LoadUiStringW(IDS_ABOUT_TITLE).c_str());
    m_picture = LoadPicture();
    ::DestroyWindow(::GetDlgItem(m_window, IDS_VERSION_TEXT));
    m_version = VersionFrom(LoadUiStringW(IDS_VERSION_TEXT));
    FitToPicture();
    return TRUE;
}

// The window becomes the picture with a frame of one pixel, around the same centre.
void CAboutDialog::FitToPicture()
{
    OLE_HANDLE handle = 0;
    BITMAP bitmap{};
    if (!m_picture || FAILED(m_picture->get_Handle(&handle)) ||
        !::GetObjectW(reinterpret_cast<HGDIOBJ>(static_cast<UINT_PTR>(handle)), sizeof(bitmap), &bitmap))
        return;
    RECT frame{};
    ::GetWindowRect(m_window, &frame);
    const LONG width = bitmap.bmWidth + 2, height = bitmap.bmHeight + 2;
    ::SetWindowPos(m_window, nullptr, (frame.left + frame.right - width) / 2, (frame.top + frame.bottom - height) / 2,
                   width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CAboutDialog::OnEraseBackground(UINT, WPARAM wParam, LPARAM, bool& handled)
{
    if (!m_picture)
    {
        handled = false;
        return 0;
    }
    const auto dc = reinterpret_cast<HDC>(wParam);
    RECT client{};
    ::GetClientRect(m_window, &client);
    ::FillRect(dc, &client, ::GetSysColorBrush(COLOR_3DDKSHADOW));
    OLE_XSIZE_HIMETRIC width = 0;
    OLE_YSIZE_HIMETRIC height = 0;
    if (SUCCEEDED(m_picture->get_Width(&width)) && SUCCEEDED(m_picture->get_Height(&height)))
        LOG_IF_FAILED(m_picture->Render(dc, 1, 1, client.right - 2, client.bottom - 2, 0, height, width, -height,
                                        nullptr));
    ::SetBkMode(dc, TRANSPARENT);
    select_object font(dc, reinterpret_cast<HGDIOBJ>(::SendMessageW(m_window, WM_GETFONT, 0, 0)));
    RECT area = kVersionArea;
    ::DrawTextW(dc, m_version.c_str(), -1, &area, DT_SINGLELINE | DT_LEFT | DT_NOPREFIX);
    return TRUE;
}

// The hand over the web address says that a click there opens it.
LRESULT CAboutDialog::OnSetCursor(UINT, WPARAM, LPARAM lParam, bool& handled)
{
    POINT point{};
    if (LOWORD(lParam) != HTCLIENT || !::GetCursorPos(&point) || !::ScreenToClient(m_window, &point))
    {
        handled = false;
        return 0;
    }
    ::SetCursor(InWebSiteArea(point) ? HandCursor() : ::LoadCursorW(nullptr, IDC_ARROW));
    return TRUE;
}

HCURSOR CAboutDialog::HandCursor()
{
    if (const HCURSOR system = ::LoadCursorW(nullptr, IDC_HAND))
        return system;
    if (!m_ownHand)
        m_ownHand.reset(static_cast<HCURSOR>(::LoadImageW(CModule::Instance().ModuleInstance(),
                                                          MAKEINTRESOURCEW(IDC_HAND_CURSOR), IMAGE_CURSOR, 0, 0,
                                                          LR_DEFAULTSIZE)));
    return m_ownHand.get();
}

LRESULT CAboutDialog::OnLeftButtonDown(UINT, WPARAM, LPARAM lParam, bool&)
{
    const POINT point = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    EndDialog(IDOK);
    if (!InWebSiteArea(point))
        return 0;
    std::wstring address = LoadUiStringW(IDS_WEB_SITE_URL);
    if (address.empty())
        address = kBuiltInWebSite;
    (g_webSiteOpener ? g_webSiteOpener : &OpenInBrowser)(::GetWindow(m_window, GW_OWNER), address);
    return 0;
}

// The cursor of its own goes with the dialog: the arrow takes its place first.
LRESULT CAboutDialog::OnDestroy(UINT, WPARAM, LPARAM, bool& handled)
{
    ::SetCursor(::LoadCursorW(nullptr, IDC_ARROW));
    handled = false;
    return 0;
}

LRESULT CAboutDialog::OnClose(WORD, WORD id, HWND, bool&)
{
    EndDialog(id);
    return 0;
}

}  // namespace tdm
