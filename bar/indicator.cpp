#include "bar/indicator.h"

#include <windowsx.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bar/command_handler.h"
#include "bar/download_menu.h"
#include "bar/parent_background.h"
#include "framework/automation.h"
#include "framework/module.h"
#include "resources/resource.h"
#include "resources/window_messages.h"
#include "text/format.h"
#include "text/language.h"

namespace tdm {

namespace indicator {

Colours ColoursOf(LONG state) noexcept
{
    switch (state)
    {
    case kStateTransferring:
        return {RGB(0x15, 0x9D, 0x18), RGB(0x6B, 0xB4, 0x76)};
    case kStateError | kStateTransferring:
        return {RGB(0x7F, 0x9D, 0x18), RGB(0xCD, 0xCF, 0xBC)};
    case kStateError | kStateStopped:
        return {RGB(0xC8, 0x0A, 0x0A), RGB(0xDC, 0x7A, 0x7F)};
    case kStateComplete:
    case kStateError | kStateComplete:
        return {RGB(0x15, 0x80, 0x80), RGB(0x15, 0x80, 0x80)};
    default:
        return {RGB(0x00, 0x68, 0xB4), RGB(0x2D, 0x95, 0xE1)};
    }
}

int FilledSegments(int segments, const CTolInfoDownload& download) noexcept
{
    if (download.IsComplete() || !(download.progress >= 0.0))
        return 0;
    return std::min(segments, static_cast<int>(segments * download.progress));
}

std::wstring TipText(const CTolInfoDownload& download)
{
    auto text = [](BSTR value) { return value ? std::wstring(value, ::SysStringLen(value)) : std::wstring(); };
    auto title = [](UINT id) { return LoadUiStringW(id) + L": "; };
    std::wstring tip = title(IDS_COL_URL) + text(download.url.get());
    tip += L"\n" + title(IDS_COL_FILE_NAME) + text(download.path.get());
    if (download.totalSize != 0)
        tip += L"\n" + title(IDS_COL_SIZE) + WideFromNarrow(FormatGroupedUInt(download.totalSize));
    if (!download.sections.empty())
    {
        std::wstring count = LoadUiStringW(IDS_SECTIONS_NUMBER_FMT);
        const size_t at = count.find(L"%d");
        if (at != std::wstring::npos)
            count.replace(at, 2, std::to_wstring(download.sections.size()));
        tip += L"\n" + count;
    }
    if (download.progress >= 0.0)
        tip += L"\n" + title(IDS_COL_PROGRESS) + std::to_wstring(static_cast<int>(download.progress * 100.0)) + L"%";
    if (download.loadedSize != 0)
        tip += L"\n" + title(IDS_COL_BYTES_LOADED) + WideFromNarrow(FormatGroupedUInt(download.loadedSize));
    if (download.currentSpeed > 0 && download.averageSpeed > 0)
        tip += L"\n" + title(IDS_COL_SPEED) + WideFromNarrow(FormatGroupedInt(download.currentSpeed)) + L"/" +
               WideFromNarrow(FormatGroupedInt(download.averageSpeed));
    return tip;
}

}  // namespace indicator

using namespace indicator;

// One scroll button: pressing it scrolls at once and then repeats while it is
// held and the mouse is on it.
class CTolDownloadIndicator::CScrollButton : public CWindowImplT<CScrollButton>
{
public:
    CScrollButton(CTolDownloadIndicator& owner, bool forward) noexcept : m_owner(owner), m_forward(forward) {}

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_LBUTTONDOWN, OnButtonDown)
        TDM_ON_MESSAGE(WM_MOUSEMOVE, OnMouseMove)
        TDM_ON_MESSAGE(WM_LBUTTONUP, OnButtonUp)
        TDM_ON_MESSAGE(WM_CAPTURECHANGED, OnButtonUp)
    TDM_END_MESSAGE_MAP()

private:
    bool Inside(LPARAM lParam) const noexcept
    {
        RECT client{};
        ::GetClientRect(m_window, &client);
        const POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        return ::PtInRect(&client, point) != FALSE;
    }
    LRESULT OnButtonDown(UINT message, WPARAM wParam, LPARAM lParam, bool&)
    {
        const LRESULT result = DefaultProcessing(message, wParam, lParam);
        if (!::IsWindowEnabled(m_window) || !::SendMessageW(m_window, TB_ISBUTTONENABLED, Command(), 0))
            return result;
        m_owner.m_pressed = true;
        m_inside = true;
        if (m_forward ? m_owner.ScrollForward() : m_owner.ScrollBack())
            m_owner.StartScrollTimer(m_forward, false);
        return result;
    }
    LRESULT OnMouseMove(UINT message, WPARAM wParam, LPARAM lParam, bool&)
    {
        const LRESULT result = DefaultProcessing(message, wParam, lParam);
        if (!m_owner.m_pressed)
            return result;
        const bool inside = Inside(lParam);
        if (inside != m_inside)
        {
            m_inside = inside;
            if (inside)
                m_owner.StartScrollTimer(m_forward, m_repeating);
            else
            {
                m_repeating = m_owner.m_timer == (m_forward ? kForwardRepeatTimer : kBackRepeatTimer);
                m_owner.StopScrollTimer();
            }
        }
        return result;
    }
    LRESULT OnButtonUp(UINT message, WPARAM wParam, LPARAM lParam, bool&)
    {
        const LRESULT result = DefaultProcessing(message, wParam, lParam);
        if (m_owner.m_pressed)
        {
            m_owner.m_pressed = false;
            m_repeating = false;
            m_owner.StopScrollTimer();
            m_owner.UpdateButtons();
        }
        return result;
    }
    UINT Command() const noexcept { return m_forward ? kForwardCommand : kBackCommand; }

    CTolDownloadIndicator& m_owner;
    bool m_forward;
    bool m_inside = false;
    bool m_repeating = false;
};

// Sends the mouse wheel of the window with the keyboard focus to the indicator
// while the mouse is over the indicator.
class CTolDownloadIndicator::CWheelForwarder : public CWindowImplT<CWheelForwarder>
{
public:
    explicit CWheelForwarder(HWND indicator) noexcept : m_indicator(indicator) {}

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_MOUSEWHEEL, OnWheel)
    TDM_END_MESSAGE_MAP()

private:
    LRESULT OnWheel(UINT message, WPARAM wParam, LPARAM lParam, bool&)
    {
        return ::SendMessageW(m_indicator, message, wParam, lParam);
    }
    HWND m_indicator;
};

CTolDownloadIndicator::CTolDownloadIndicator() noexcept
{
    m_msimg32.reset(::LoadLibraryW(L"msimg32.dll"));
    if (m_msimg32)
    {
        m_gradientFill =
            reinterpret_cast<decltype(&::GradientFill)>(::GetProcAddress(m_msimg32.get(), "GradientFill"));
        m_alphaBlend = reinterpret_cast<decltype(&::AlphaBlend)>(::GetProcAddress(m_msimg32.get(), "AlphaBlend"));
    }
}

CTolDownloadIndicator::~CTolDownloadIndicator() = default;

WNDCLASSEXW CTolDownloadIndicator::ClassInfo() noexcept
{
    WNDCLASSEXW info{};
    info.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    info.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    info.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    return info;
}

const CTolInfoDownload* CTolDownloadIndicator::DownloadAt(int index) const noexcept
{
    if (!m_downloads || index < 0)
        return nullptr;
    return m_downloads->At(static_cast<size_t>(index));
}

LRESULT CTolDownloadIndicator::OnCreate(UINT, WPARAM, LPARAM, bool&)
{
    const HINSTANCE module = CModule::Instance().ModuleInstance();
    auto makeButton = [&](UINT command, WORD icon, unique_hwnd& button, unique_himagelist& images) {
        button.reset(::CreateWindowExW(WS_EX_TOOLWINDOW, TOOLBARCLASSNAMEW, nullptr,
                                       WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | TBSTYLE_FLAT |
                                           TBSTYLE_TRANSPARENT | CCS_NODIVIDER | CCS_NORESIZE,
                                       0, 0, kButtonWidth, 10, m_window, nullptr, module, nullptr));
        if (!button)
            return;
        images.reset(::ImageList_Create(12, 12, ILC_COLOR24 | ILC_MASK, 1, 1));
        unique_hicon image(
            static_cast<HICON>(::LoadImageW(module, MAKEINTRESOURCEW(icon), IMAGE_ICON, 12, 12, 0)));
        ::ImageList_AddIcon(images.get(), image.get());
        ::SendMessageW(button.get(), TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
        ::SendMessageW(button.get(), TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(images.get()));
        TBBUTTON added{};
        added.iBitmap = 0;
        added.idCommand = static_cast<int>(command);
        added.fsState = TBSTATE_ENABLED;
        added.fsStyle = BTNS_BUTTON;
        ::SendMessageW(button.get(), TB_ADDBUTTONSW, 1, reinterpret_cast<LPARAM>(&added));
        ::ShowWindow(button.get(), SW_HIDE);
    };
    makeButton(kBackCommand, 259, m_back, m_backImages);
    makeButton(kForwardCommand, 260, m_forward, m_forwardImages);
    m_backHandler = std::make_unique<CScrollButton>(*this, false);
    m_forwardHandler = std::make_unique<CScrollButton>(*this, true);
    if (m_back)
        m_backHandler->Subclass(m_back.get());
    if (m_forward)
        m_forwardHandler->Subclass(m_forward.get());

    m_tip.reset(::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_window, nullptr,
                                  module, nullptr));
    if (m_tip)
        ::SendMessageW(m_tip.get(), TTM_SETMAXTIPWIDTH, 0, 0xFFFFFF);
    RECT client{};
    ::GetClientRect(m_window, &client);
    Layout(client.right, client.bottom);
    return 0;
}

LRESULT CTolDownloadIndicator::OnDestroy(UINT, WPARAM, LPARAM, bool& handled)
{
    StopScrollTimer();
    m_wheel.reset();
    HideTip();
    if (m_tip)
    {
        TOOLINFOW tool{};
        tool.cbSize = sizeof(tool);
        tool.hwnd = m_window;
        tool.uId = static_cast<UINT_PTR>(-1);
        ::SendMessageW(m_tip.get(), TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    m_tip.reset();
    m_backHandler.reset();
    m_forwardHandler.reset();
    handled = false;
    return 0;
}

// --- layout and scrolling ------------------------------------------------------------------

void CTolDownloadIndicator::Layout(int width, int height) noexcept
{
    m_buttonsShown = NeedsScrollButtons(width, Count());
    m_content = m_buttonsShown ? RECT{kButtonWidth, 0, width - kButtonWidth, height} : RECT{2, 0, width, height};
    const int contentWidth = m_content.right - m_content.left;
    const int last = std::max(0, (static_cast<int>(Count()) * kColumnPitch - contentWidth) / kColumnPitch);
    m_first = std::min(m_first, last);
    for (HWND button : {m_back.get(), m_forward.get()})
    {
        if (!button)
            continue;
        const int x = button == m_back.get() ? 0 : width - kButtonWidth;
        ::SetWindowPos(button, nullptr, x, 0, kButtonWidth, height, SWP_NOZORDER | SWP_NOACTIVATE);
        ::SendMessageW(button, TB_SETBUTTONSIZE, 0, MAKELPARAM(kButtonWidth, height));
        ::ShowWindow(button, m_buttonsShown ? SW_SHOWNA : SW_HIDE);
    }
    UpdateButtons();
    ::RedrawWindow(m_window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

LRESULT CTolDownloadIndicator::OnSize(UINT, WPARAM, LPARAM lParam, bool&)
{
    Layout(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
    return 0;
}

bool CTolDownloadIndicator::CanScrollForward() const noexcept
{
    return (static_cast<int>(Count()) - m_first) * kColumnPitch > m_content.right - m_content.left;
}

void CTolDownloadIndicator::UpdateButtons() noexcept
{
    if (m_back)
        ::SendMessageW(m_back.get(), TB_ENABLEBUTTON, kBackCommand, MAKELPARAM(m_first > 0, 0));
    if (m_forward)
        ::SendMessageW(m_forward.get(), TB_ENABLEBUTTON, kForwardCommand, MAKELPARAM(CanScrollForward(), 0));
}

void CTolDownloadIndicator::MoveHot(int delta) noexcept
{
    if (m_hot < 0)
        return;
    for (size_t i = 0; i < Count(); ++i)
    {
        if (m_downloads->At(i)->id == m_hot)
        {
            const CTolInfoDownload* next = DownloadAt(static_cast<int>(i) + delta);
            m_hot = next ? next->id : -1;
            return;
        }
    }
    m_hot = -1;
}

bool CTolDownloadIndicator::ScrollBack() noexcept
{
    if (m_first <= 0)
        return false;
    --m_first;
    UpdateButtons();
    ::InvalidateRect(m_window, nullptr, TRUE);
    MoveHot(-1);
    return true;
}

bool CTolDownloadIndicator::ScrollForward() noexcept
{
    if (!CanScrollForward())
        return false;
    ++m_first;
    UpdateButtons();
    ::InvalidateRect(m_window, nullptr, TRUE);
    MoveHot(+1);
    return true;
}

void CTolDownloadIndicator::StartScrollTimer(bool forward, bool repeating) noexcept
{
    StopScrollTimer();
    m_timerForward = forward;
    m_timer = forward ? (repeating ? kForwardRepeatTimer : kForwardTimer) : (repeating ? kBackRepeatTimer : kBackTimer);
    ::SetTimer(m_window, m_timer, repeating ? 25 : 250, nullptr);
}

void CTolDownloadIndicator::StopScrollTimer() noexcept
{
    if (m_timer && m_window)
        ::KillTimer(m_window, m_timer);
    m_timer = 0;
}

LRESULT CTolDownloadIndicator::OnTimer(UINT, WPARAM wParam, LPARAM, bool& handled)
{
    if (wParam != m_timer || m_timer == 0)
    {
        handled = false;
        return 0;
    }
    const bool scrolled = m_timerForward ? ScrollForward() : ScrollBack();
    if (!scrolled)
        StopScrollTimer();
    else if (wParam == kBackTimer || wParam == kForwardTimer)
        StartScrollTimer(m_timerForward, true);
    return 0;
}

LRESULT CTolDownloadIndicator::OnMouseWheel(UINT, WPARAM wParam, LPARAM, bool&)
{
    if (!m_buttonsShown || GET_KEYSTATE_WPARAM(wParam) != 0)
        return 0;
    if (GET_WHEEL_DELTA_WPARAM(wParam) < 0)
        ScrollForward();
    else if (GET_WHEEL_DELTA_WPARAM(wParam) > 0)
        ScrollBack();
    UpdateButtons();
    return 0;
}

// --- painting ------------------------------------------------------------------------------

LRESULT CTolDownloadIndicator::OnEraseBackground(UINT, WPARAM wParam, LPARAM, bool&)
{
    return PaintParentBackground(m_window, reinterpret_cast<HDC>(wParam));
}

LRESULT CTolDownloadIndicator::OnPaint(UINT, WPARAM, LPARAM, bool&)
{
    PAINTSTRUCT paint{};
    const HDC dc = ::BeginPaint(m_window, &paint);
    if (dc)
    {
        for (int index = m_first; DownloadAt(index); ++index)
        {
            const int x = m_content.left + (index - m_first) * kColumnPitch;
            if (x + kColumnPitch > m_content.right)
                break;
            DrawColumn(dc, index);
        }
    }
    ::EndPaint(m_window, &paint);
    return 0;
}

void CTolDownloadIndicator::DrawColumn(HDC dc, int index) noexcept
{
    const CTolInfoDownload* download = DownloadAt(index);
    if (!download)
        return;
    const int x = m_content.left + (index - m_first) * kColumnPitch;
    const int segments = SegmentCount(m_content.bottom - m_content.top);
    const int filled = FilledSegments(segments, *download);
    const Colours colours = ColoursOf(download->state);
    for (int k = 0; k < segments; ++k)
        DrawSegment(dc, x, m_content.bottom - 2 - kSegmentPitch * k, k < filled ? colours.filled : colours.empty);
}

HDC CTolDownloadIndicator::SegmentOf(HDC dc, COLORREF colour) noexcept
{
    for (const Segment& segment : m_segments)
        if (segment.colour == colour)
            return segment.dc.get();
    Segment segment;
    segment.colour = colour;
    segment.dc.reset(::CreateCompatibleDC(dc));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = kSegmentWidth;
    info.bmiHeader.biHeight = 2;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    segment.bitmap.reset(::CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!segment.dc || !segment.bitmap)
        return nullptr;
    segment.previous = ::SelectObject(segment.dc.get(), segment.bitmap.get());
    const HDC memory = segment.dc.get();
    auto scaled = [colour](double factor) {
        auto channel = [factor](BYTE value) {
            return static_cast<COLOR16>(std::min(255L, std::lround(value * factor)) << 8);
        };
        return TRIVERTEX{0, 0, channel(GetRValue(colour)), channel(GetGValue(colour)), channel(GetBValue(colour)), 0};
    };
    bool painted = false;
    if (m_gradientFill)
    {
        TRIVERTEX vertices[2] = {scaled(1.35), scaled(0.65)};
        vertices[1].x = kSegmentWidth;
        vertices[1].y = 2;
        GRADIENT_RECT rect{0, 1};
        painted = m_gradientFill(memory, vertices, 2, &rect, 1, GRADIENT_FILL_RECT_H) != FALSE;
    }
    if (!painted)
    {
        const RECT whole{0, 0, kSegmentWidth, 2};
        const unique_hbrush brush(::CreateSolidBrush(colour));
        ::FillRect(memory, &whole, brush.get());
    }
    try
    {
        m_segments.push_back(std::move(segment));
    }
    catch (...)
    {
        return nullptr;
    }
    return memory;
}

void CTolDownloadIndicator::DrawSegment(HDC dc, int x, int y, COLORREF colour) noexcept
{
    const HDC segment = SegmentOf(dc, colour);
    if (!segment)
        return;
    const BLENDFUNCTION blend{AC_SRC_OVER, 0, 0xBE, 0};
    if (!m_alphaBlend || !m_alphaBlend(dc, x, y, kSegmentWidth, 2, segment, 0, 0, kSegmentWidth, 2, blend))
        ::BitBlt(dc, x, y, kSegmentWidth, 2, segment, 0, 0, SRCCOPY);
}

void CTolDownloadIndicator::Refresh(LONG id) noexcept
{
    if (!m_window)
        return;
    if (id == -1)
    {
        RECT client{};
        ::GetClientRect(m_window, &client);
        Layout(client.right, client.bottom);
    }
    else
    {
        for (int index = m_first; DownloadAt(index); ++index)
        {
            if (DownloadAt(index)->id != id)
                continue;
            const int x = m_content.left + (index - m_first) * kColumnPitch;
            RECT column{x, m_content.top, x + kColumnPitch, m_content.bottom};
            ::InvalidateRect(m_window, &column, TRUE);
            break;
        }
    }
    // A tip that is up follows the download it shows, or goes with it. A hidden
    // tip stays hidden: the mouse has left, or a menu is open over the indicator.
    bool hotExists = false;
    for (size_t i = 0; i < Count(); ++i)
        hotExists = hotExists || m_downloads->At(i)->id == m_hot;
    if (!hotExists)
    {
        m_hot = -1;
        HideTip();
    }
    else if (m_tipShown && (m_hot == id || id == -1))
    {
        POINT cursor{};
        ::GetCursorPos(&cursor);
        ShowTip(POINT{cursor.x, cursor.y + 25});
    }
}

// --- mouse ---------------------------------------------------------------------------------

int CTolDownloadIndicator::ColumnAt(POINT point) const noexcept
{
    if (!::PtInRect(&m_content, point))
        return -1;
    const int offset = point.x - m_content.left;
    if (offset % kColumnPitch >= kSegmentWidth)
        return -1;
    const int index = m_first + offset / kColumnPitch;
    return DownloadAt(index) ? index : -1;
}

LRESULT CTolDownloadIndicator::OnMouseMove(UINT, WPARAM, LPARAM lParam, bool&)
{
    TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, m_window, 0};
    ::TrackMouseEvent(&track);
    const HWND focus = ::GetFocus();
    if (!focus)
        ::SetFocus(m_window);
    else if (focus != m_window && (!m_wheel || m_wheel->Window() != focus))
    {
        m_wheel = std::make_unique<CWheelForwarder>(m_window);
        m_wheel->Subclass(focus);
    }
    const POINT point{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    const int index = ColumnAt(point);
    if (index < 0)
    {
        m_hot = -1;
        HideTip();
        return 0;
    }
    POINT screen{};
    ::GetCursorPos(&screen);
    if (DownloadAt(index)->id != m_hot)
    {
        m_hot = DownloadAt(index)->id;
        m_tipText.clear();
    }
    ShowTip(POINT{screen.x, screen.y + 25});
    return 0;
}

LRESULT CTolDownloadIndicator::OnMouseLeave(UINT, WPARAM, LPARAM, bool&)
{
    m_wheel.reset();
    HideTip();
    return 0;
}

LRESULT CTolDownloadIndicator::OnDoubleClick(UINT, WPARAM wParam, LPARAM, bool&)
{
    if (wParam == MK_LBUTTON)
        ::SendMessageW(::GetParent(m_window), kSelectDownload, static_cast<WPARAM>(m_hot), 0);
    return 0;
}

void CTolDownloadIndicator::ShowTip(POINT screen) noexcept
{
    const CTolInfoDownload* hot = nullptr;
    for (size_t i = 0; i < Count(); ++i)
        if (m_downloads->At(i)->id == m_hot)
            hot = m_downloads->At(i);
    if (!m_tip || !hot)
        return;
    std::wstring text;
    try
    {
        text = TipText(*hot);
    }
    catch (...)
    {
        return;
    }
    TOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.uFlags = TTF_TRACK | TTF_ABSOLUTE;
    tool.hwnd = m_window;
    tool.uId = static_cast<UINT_PTR>(-1);
    if (text != m_tipText)
    {
        m_tipText = text;
        ::SendMessageW(m_tip.get(), TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
        tool.lpszText = m_tipText.data();
        ::SendMessageW(m_tip.get(), TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    ::SendMessageW(m_tip.get(), TTM_TRACKPOSITION, 0, MAKELPARAM(screen.x, screen.y));
    ::SendMessageW(m_tip.get(), TTM_TRACKACTIVATE, TRUE, reinterpret_cast<LPARAM>(&tool));
    m_tipShown = true;
}

void CTolDownloadIndicator::HideTip() noexcept
{
    if (!m_tip)
        return;
    TOOLINFOW tool{};
    tool.cbSize = sizeof(tool);
    tool.hwnd = m_window;
    tool.uId = static_cast<UINT_PTR>(-1);
    ::SendMessageW(m_tip.get(), TTM_TRACKACTIVATE, FALSE, reinterpret_cast<LPARAM>(&tool));
    m_tipText.clear();
    m_tipShown = false;
}

LRESULT CTolDownloadIndicator::OnContextMenu(UINT, WPARAM, LPARAM lParam, bool&)
{
    HideTip();
    POINT screen{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    if (lParam == -1)
        ::GetCursorPos(&screen);
    POINT client = screen;
    ::ScreenToClient(m_window, &client);
    const CTolInfoDownload* hot = DownloadAt(ColumnAt(client));
    m_hot = hot ? hot->id : -1;

    static const CDownloadStore kNone;
    const CCommandStates states(m_downloads ? *m_downloads : kNone, m_logQuery && m_logQuery(m_logContext), hot,
                                hot ? 1 : 0);
    DownloadMenuState state;
    state.states = &states;
    const unique_hmenu menu = BuildDownloadMenu(state);
    ::TrackPopupMenu(menu.get(), TPM_RIGHTBUTTON, screen.x, screen.y, 0, m_window, nullptr);
    return 0;
}

LRESULT CTolDownloadIndicator::OnCommand(UINT message, WPARAM wParam, LPARAM lParam, bool&)
{
    // The scroll buttons act when pressed; every other command is the frame's.
    if (LOWORD(wParam) == kBackCommand || LOWORD(wParam) == kForwardCommand)
        return 0;
    return ::SendMessageW(::GetParent(m_window), message, wParam, lParam);
}

}  // namespace tdm
