#include "bar/bar_windows.h"

#include "bar/panel.h"

namespace tdm {

namespace {

constexpr LONG kMinimumBarHeight = 76;

}  // namespace

LRESULT CTolBaseBar::OnGetMinMaxInfo(UINT message, WPARAM wParam, LPARAM lParam, bool&)
{
    const LRESULT result = DefaultProcessing(message, wParam, lParam);
    auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
    if (!info)
        return result;
    if (m_panel.Iconic())
    {
        // The minimised strip keeps its height.
        info->ptMinTrackSize.y = info->ptMaxTrackSize.y = m_panel.IconicTopOffset() + CMyDlg::kStripHeight;
    }
    else
    {
        info->ptMinTrackSize.y = kMinimumBarHeight;
    }
    return result;
}

void CTolBandBar::TakeOver(HWND host) noexcept
{
    if (Attached() || !host || !Subclass(host))
        return;
    if (const HWND frame = ::GetParent(host))
        m_frame.Subclass(frame);
}

void CTolBandBar::GiveBack() noexcept
{
    m_frame.Unsubclass();
    Unsubclass();
}

LRESULT CTolBandBar::OnEraseBackground(UINT, WPARAM, LPARAM, bool& handled)
{
    if (m_panel.Iconic())
    {
        handled = false;
        return 0;
    }
    return 1;
}

LRESULT CTolBandBar::OnSize(UINT, WPARAM, LPARAM, bool& handled)
{
    const HWND panel = m_panel.Window();
    if (!panel)
    {
        handled = false;
        return 0;
    }
    RECT client{};
    ::GetClientRect(m_window, &client);
    ::SetWindowPos(panel, nullptr, 0, 0, client.right, client.bottom, SWP_NOZORDER | SWP_NOACTIVATE);
    ::UpdateWindow(panel);
    return 0;
}

}  // namespace tdm
