// The browser's windows around the explorer bar, taken over while the panel is
// shown: the band host (CTolBandBar), which the panel fills, and the bar frame
// around it (CTolBaseBar), whose height the minimised bar fixes.
#pragma once

#include <windows.h>

#include "framework/window.h"

namespace tdm {

class CMyDlg;

// The bar frame: its tracking height follows the panel's state.
class CTolBaseBar : public CWindowImplT<CTolBaseBar>
{
public:
    explicit CTolBaseBar(CMyDlg& panel) noexcept : m_panel(panel) {}

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_GETMINMAXINFO, OnGetMinMaxInfo)
    TDM_END_MESSAGE_MAP()

private:
    LRESULT OnGetMinMaxInfo(UINT message, WPARAM wParam, LPARAM lParam, bool&);

    CMyDlg& m_panel;
};

// The band host: the panel covers it whole.
class CTolBandBar : public CWindowImplT<CTolBandBar>
{
public:
    explicit CTolBandBar(CMyDlg& panel) noexcept : m_panel(panel), m_frame(panel) {}

    // Takes over the band host `host` and its parent, the bar frame.
    void TakeOver(HWND host) noexcept;
    // Gives both windows back.
    void GiveBack() noexcept;
    bool Attached() const noexcept { return Window() != nullptr; }
    HWND Frame() const noexcept { return m_frame.Window(); }

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_ERASEBKGND, OnEraseBackground)
        TDM_ON_MESSAGE(WM_SIZE, OnSize)
    TDM_END_MESSAGE_MAP()

private:
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, bool& handled);
    LRESULT OnSize(UINT, WPARAM, LPARAM, bool& handled);

    CMyDlg& m_panel;
    CTolBaseBar m_frame;
};

}  // namespace tdm
