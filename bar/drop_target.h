// The small window of the toolbar frame that shows a link icon and invites a
// link to be dropped on it. Drops themselves reach the CTolDragLink that the
// toolbar registers for this window.
#pragma once

#include <windows.h>

#include "framework/unique_any.h"
#include "framework/window.h"

namespace tdm {

class CTolDropTarget : public CWindowImplT<CTolDropTarget>
{
public:
    CTolDropTarget() noexcept;

    static const wchar_t* ClassName() noexcept { return L"TolvaneDropTarget"; }

    SIZE IconSize() const noexcept { return m_iconSize; }

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_PAINT, OnPaint)
        TDM_ON_MESSAGE(WM_ERASEBKGND, OnEraseBackground)
    TDM_END_MESSAGE_MAP()

private:
    // The icon at its natural size, centred horizontally at the top edge.
    LRESULT OnPaint(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnEraseBackground(UINT, WPARAM wParam, LPARAM, bool&);

    unique_hicon m_icon;
    SIZE m_iconSize{0, 0};
};

}  // namespace tdm
