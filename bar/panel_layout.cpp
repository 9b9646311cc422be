// The downloads panel's windows: showing and hiding it in the browser's bar,
// the caption buttons that replace the browser's close button, the minimised
// strip with its toolbar frame, the layout and the background.
#include "bar/panel.h"

#include <commctrl.h>

#include <algorithm>
#include <vector>

#include "bar/parent_background.h"
#include "framework/error.h"
#include "framework/module.h"
#include "store/settings_store.h"

namespace tdm {

namespace {

constexpr WORD kCaptionIcons[] = {291, 292, 290};
constexpr int kCaptionGap = 4;

struct CloseButtonSearch
{
    HWND panel;
    HWND found;
};

BOOL CALLBACK FindCloseButton(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<CloseButtonSearch*>(parameter);
    if (window == search->panel)
        return TRUE;
    if (::GetParent(window) != search->panel)
        search->found = window;
    return FALSE;
}

}  // namespace

void CMyDlg::ShowPanel(bool show, IDropTarget* dropTarget) noexcept
{
    if (!m_window)
        return;
    if (show)
    {
        if (!m_bandBar.Attached())
        {
            m_bandBar.TakeOver(::GetParent(m_window));
            ReplaceCloseButton();
            ::PostMessageW(::GetParent(m_window), WM_SIZE, 0, 0);
        }
        if (!m_dropRegistered && dropTarget)
        {
            m_dropTarget = dropTarget;
            m_dropRegistered = SUCCEEDED(LOG_IF_FAILED(::RegisterDragDrop(DropWindow(), dropTarget)));
        }
        if (m_iconic && m_iconicFrame)
            ::ShowWindow(m_iconicFrame->ViewWindow(), SW_SHOW);
        ::ShowWindow(m_window, SW_SHOW);
        Layout();
    }
    else
    {
        if (m_dropRegistered)
            LOG_IF_FAILED(::RevokeDragDrop(DropWindow()));
        m_dropRegistered = false;
        m_dropTarget = nullptr;
        if (m_browserCloseButton)
            ::ShowWindow(m_browserCloseButton, SW_SHOW);
        m_browserCloseButton = nullptr;
        m_bandBar.GiveBack();
        ::ShowWindow(m_window, SW_HIDE);
    }
}

HWND CMyDlg::DropWindow() const noexcept
{
    return m_iconic && m_iconicFrame ? m_iconicFrame->ViewWindow() : m_window;
}

void CMyDlg::MoveDropTarget(HWND from, HWND to) noexcept
{
    if (!m_dropRegistered || !m_dropTarget || from == to)
        return;
    LOG_IF_FAILED(::RevokeDragDrop(from));
    m_dropRegistered = SUCCEEDED(LOG_IF_FAILED(::RegisterDragDrop(to, m_dropTarget)));
}

// The browser's close button is the first window inside the band host that is
// neither the panel nor one of the panel's children.
void CMyDlg::ReplaceCloseButton() noexcept
{
    CloseButtonSearch search{m_window, nullptr};
    ::EnumChildWindows(::GetParent(m_window), &FindCloseButton, reinterpret_cast<LPARAM>(&search));
    if (!search.found)
        return;
    if (m_browserCloseButton && m_browserCloseButton != search.found)
        ::ShowWindow(m_browserCloseButton, SW_SHOW);
    m_browserCloseButton = search.found;
    RECT close{};
    ::GetWindowRect(search.found, &close);
    ::ShowWindow(search.found, SW_HIDE);
    if (!m_captionButtons)
        CreateCaptionButtons(SIZE{close.right - close.left, close.bottom - close.top});
    RECT panel{};
    ::GetWindowRect(m_window, &panel);
    ::SendMessageW(m_window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(panel.right - panel.left, panel.bottom - panel.top));
}

void CMyDlg::CreateCaptionButtons(SIZE button) noexcept
{
    m_captionButtons.reset(::CreateWindowExW(WS_EX_TOOLWINDOW, TOOLBARCLASSNAMEW, nullptr, 0x46008944, 0, 0,
                                             3 * button.cx, button.cy, m_window,
                                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(kCaptionButtonsId)),
                                             CModule::Instance().ModuleInstance(), nullptr));
    const HWND buttons = m_captionButtons.get();
    if (!buttons)
        return;
    m_captionImages.reset(::ImageList_Create(12, 12, ILC_COLOR8 | ILC_MASK, 3, 1));
    for (WORD icon : kCaptionIcons)
    {
        unique_hicon image(static_cast<HICON>(
            ::LoadImageW(CModule::Instance().ModuleInstance(), MAKEINTRESOURCEW(icon), IMAGE_ICON, 12, 12, 0)));
        ::ImageList_AddIcon(m_captionImages.get(), image.get());
    }
    ::SendMessageW(buttons, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    ::SendMessageW(buttons, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(m_captionImages.get()));
    TBBUTTON added[3] = {};
    const WORD commands[] = {kCommandMinimise, kCommandRestore, kCommandCloseBar};
    for (int i = 0; i < 3; ++i)
    {
        added[i].iBitmap = i;
        added[i].idCommand = commands[i];
        added[i].fsStyle = BTNS_BUTTON;
        added[i].iString = -1;
    }
    added[0].fsState = m_iconic ? 0 : TBSTATE_ENABLED;
    added[1].fsState = m_iconic ? TBSTATE_ENABLED : 0;
    added[2].fsState = TBSTATE_ENABLED;
    ::SendMessageW(buttons, TB_ADDBUTTONSW, 3, reinterpret_cast<LPARAM>(added));
    ::SendMessageW(buttons, TB_SETBUTTONSIZE, 0, MAKELPARAM(button.cx, button.cy));
    ::SetWindowPos(buttons, nullptr, 0, 0, 3 * button.cx, button.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ::ShowWindow(buttons, m_settings.showToolbar || m_iconic ? SW_SHOW : SW_HIDE);
}

// --- minimised and restored ----------------------------------------------------------------

void CMyDlg::CreateIconicFrame() noexcept
{
    std::unique_ptr<IIconicView> frame = CreateIconicView(m_window);
    if (!frame)
        return;
    // The strip shows the model's downloads, whenever they were read.
    frame->SetModel(m_model.get());
    frame->SetBrowser(m_browser.get());
    ::ShowWindow(frame->ViewWindow(), SW_SHOW);
    m_iconicFrame = std::move(frame);
}

void CMyDlg::Minimise() noexcept
{
    if (m_iconic)
        return;
    m_iconic = true;
    if (m_settings.showToolbar)
        ::ShowWindow(m_toolbar.get(), SW_HIDE);
    else if (m_captionButtons)
        ::ShowWindow(m_captionButtons.get(), SW_SHOW);
    ::ShowWindow(m_list.Window(), SW_HIDE);
    CreateIconicFrame();
    if (m_iconicFrame)
        MoveDropTarget(m_window, m_iconicFrame->ViewWindow());
    RECT panel{}, frame{};
    ::GetWindowRect(m_window, &panel);
    if (m_bandBar.Frame() && ::GetWindowRect(m_bandBar.Frame(), &frame))
    {
        m_iconicTopOffset = panel.top - frame.top;
        m_restoredHeight = frame.bottom - frame.top;
    }
    SetIsIconic(true);
    SetRestoredHeight(m_restoredHeight);
    SetIconicTopOffset(m_iconicTopOffset);
    if (m_captionButtons)
    {
        ::SendMessageW(m_captionButtons.get(), TB_ENABLEBUTTON, kCommandMinimise, FALSE);
        ::SendMessageW(m_captionButtons.get(), TB_ENABLEBUTTON, kCommandRestore, TRUE);
    }
    ApplyBarHeight();
    Layout();
    InvalidateCaptionButtons(kStripHeight);
}

void CMyDlg::Restore() noexcept
{
    if (!m_iconic)
        return;
    m_iconic = false;
    SetIsIconic(false);
    SetRestoredHeight(m_restoredHeight);
    if (m_iconicFrame)
    {
        MoveDropTarget(m_iconicFrame->ViewWindow(), m_window);
        ::ShowWindow(m_iconicFrame->ViewWindow(), SW_HIDE);
        m_iconicFrame.reset();
    }
    if (m_settings.showToolbar)
        ::ShowWindow(m_toolbar.get(), SW_SHOW);
    else if (m_captionButtons)
        ::ShowWindow(m_captionButtons.get(), SW_HIDE);
    ::ShowWindow(m_list.Window(), SW_SHOW);
    if (m_captionButtons)
    {
        ::SendMessageW(m_captionButtons.get(), TB_ENABLEBUTTON, kCommandMinimise, TRUE);
        ::SendMessageW(m_captionButtons.get(), TB_ENABLEBUTTON, kCommandRestore, FALSE);
    }
    ApplyBarHeight();
    Layout();
    if (m_settings.showToolbar)
    {
        RECT list{};
        ::GetWindowRect(m_list.Window(), &list);
        ::MapWindowPoints(nullptr, m_window, reinterpret_cast<POINT*>(&list), 2);
        InvalidateCaptionButtons(list.top);
    }
}

void CMyDlg::InvalidateCaptionButtons(int bottom) noexcept
{
    if (!m_captionButtons)
        return;
    RECT buttons{};
    ::GetWindowRect(m_captionButtons.get(), &buttons);
    ::MapWindowPoints(nullptr, m_window, reinterpret_cast<POINT*>(&buttons), 2);
    RECT area{buttons.left, 0, buttons.right + kCaptionGap, bottom};
    ::InvalidateRect(m_window, &area, TRUE);
}

void CMyDlg::ApplyBarHeight() noexcept
{
    const HWND frame = m_bandBar.Frame();
    if (!frame)
        return;
    RECT panel{};
    ::GetWindowRect(m_window, &panel);
    RECT bar{};
    ::GetWindowRect(frame, &bar);
    bar.top = panel.bottom - (m_iconic ? m_iconicTopOffset + kStripHeight : m_restoredHeight);
    bar.bottom = panel.bottom;
    const HWND parent = ::GetParent(frame);
    ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&bar), 2);
    ::SetWindowPos(frame, nullptr, bar.left, bar.top, bar.right - bar.left, bar.bottom - bar.top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
    // A click on the bar's frame makes the browser lay its bars out again.
    const POINT client{64, 2};
    POINT screen = client;
    ::ClientToScreen(frame, &screen);
    const LRESULT hit = ::SendMessageW(frame, WM_NCHITTEST, 0, MAKELPARAM(screen.x, screen.y));
    ::SendMessageW(frame, WM_MOUSEACTIVATE, reinterpret_cast<WPARAM>(parent), MAKELPARAM(hit, WM_LBUTTONDOWN));
    ::PostMessageW(frame, WM_NCLBUTTONDOWN, static_cast<WPARAM>(hit), MAKELPARAM(screen.x, screen.y));
    ::PostMessageW(frame, WM_LBUTTONUP, MK_LBUTTON, MAKELPARAM(client.x, client.y));
}

LRESULT CMyDlg::OnMinimise(WORD, WORD, HWND, bool&)
{
    Minimise();
    return 0;
}

LRESULT CMyDlg::OnRestore(WORD, WORD, HWND, bool&)
{
    Restore();
    return 0;
}

// --- layout and background ------------------------------------------------------------------

void CMyDlg::Layout() noexcept
{
    RECT client{};
    if (!m_window || !::GetClientRect(m_window, &client))
        return;
    const HWND buttons = m_captionButtons.get();
    RECT buttonRect{};
    if (buttons)
        ::GetWindowRect(buttons, &buttonRect);
    const int buttonsWidth = buttons ? buttonRect.right - buttonRect.left : 0;
    if (m_iconic)
    {
        const int x = client.right - buttonsWidth - kCaptionGap;
        if (buttons)
            ::SetWindowPos(buttons, nullptr, x, 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        if (m_iconicFrame)
            ::SetWindowPos(m_iconicFrame->ViewWindow(), nullptr, 0, 0, std::max<LONG>(0, buttons ? x : client.right),
                           client.bottom, SWP_NOZORDER | SWP_NOACTIVATE);
        return;
    }
    int top = 0;
    const HWND toolbar = m_toolbar.get();
    if (toolbar && m_settings.showToolbar)
    {
        const int width = buttons ? client.right - (buttonsWidth + kCaptionGap) : client.right;
        ::SetWindowPos(toolbar, nullptr, 0, 0, width, 100, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        // The height of the wrapped rows: every change of a button's top starts a
        // new row; the last row is as tall as its tallest button.
        const int count = static_cast<int>(::SendMessageW(toolbar, TB_BUTTONCOUNT, 0, 0));
        int height = 0;
        int rowTop = -1;
        int rowHeight = 0;
        for (int i = 0; i < count; ++i)
        {
            RECT button{};
            if (!::SendMessageW(toolbar, TB_GETITEMRECT, i, reinterpret_cast<LPARAM>(&button)))
                continue;
            if (rowTop >= 0 && button.top != rowTop)
            {
                height += button.top - rowTop;
                rowHeight = 0;
            }
            rowTop = button.top;
            rowHeight = std::max<int>(rowHeight, button.bottom - button.top);
        }
        height += rowHeight;
        ::SetWindowPos(toolbar, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        if (buttons)
            ::SetWindowPos(buttons, nullptr, width, 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        top = height;
    }
    if (m_list.Window())
    {
        ::SetWindowPos(m_list.Window(), nullptr, 0, top, client.right, std::max<int>(0, client.bottom - top),
                       SWP_NOZORDER | SWP_NOACTIVATE);
        ::InvalidateRect(m_list.Window(), nullptr, FALSE);
        m_list.StretchFirstColumn();
    }
}

LRESULT CMyDlg::OnEraseBackground(UINT, WPARAM wParam, LPARAM, bool&)
{
    const HDC dc = reinterpret_cast<HDC>(wParam);
    const HWND toolbar = m_toolbar.get();
    if (m_iconic)
    {
        PaintParentBackground(m_window, dc);
        return 1;
    }
    if (!toolbar || !::IsWindowVisible(toolbar))
        return 1;
    if (!m_gradientFill)
        return PaintParentBackground(m_window, dc);
    RECT client{};
    ::GetClientRect(m_window, &client);
    RECT bar{};
    ::GetWindowRect(toolbar, &bar);
    const int barHeight = bar.bottom - bar.top;
    // One gradient per row of buttons: the window colour at the top, the button
    // face a sixth darker at the bottom.
    const COLORREF topColour = ::GetSysColor(COLOR_WINDOW);
    const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
    const COLORREF bottomColour = RGB(GetRValue(face) - GetRValue(face) / 6, GetGValue(face) - GetGValue(face) / 6,
                                      GetBValue(face) - GetBValue(face) / 6);
    std::vector<int> rowTops;
    const int count = static_cast<int>(::SendMessageW(toolbar, TB_BUTTONCOUNT, 0, 0));
    for (int i = 0; i < count; ++i)
    {
        RECT button{};
        if (::SendMessageW(toolbar, TB_GETITEMRECT, i, reinterpret_cast<LPARAM>(&button)) &&
            (rowTops.empty() || rowTops.back() != button.top))
            rowTops.push_back(button.top);
    }
    if (rowTops.empty())
        rowTops.push_back(0);
    rowTops.front() = 0;
    auto vertex = [](LONG x, LONG y, COLORREF colour) {
        return TRIVERTEX{x, y, static_cast<COLOR16>(GetRValue(colour) << 8),
                         static_cast<COLOR16>(GetGValue(colour) << 8), static_cast<COLOR16>(GetBValue(colour) << 8),
                         0};
    };
    for (size_t row = 0; row < rowTops.size(); ++row)
    {
        const int bottom = row + 1 < rowTops.size() ? rowTops[row + 1] : barHeight;
        TRIVERTEX vertices[2] = {vertex(client.left, rowTops[row], topColour),
                                 vertex(client.right, bottom, bottomColour)};
        GRADIENT_RECT rect{0, 1};
        m_gradientFill(dc, vertices, 2, &rect, 1, GRADIENT_FILL_RECT_V);
    }
    return 1;
}

}  // namespace tdm
