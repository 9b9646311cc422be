#include "bar/parent_background.h"

namespace tdm {

LRESULT PaintParentBackground(HWND child, HDC dc) noexcept
{
    const HWND parent = ::GetParent(child);
    if (!parent)
        return 0;
    POINT offset{0, 0};
    ::MapWindowPoints(child, parent, &offset, 1);
    POINT previous{};
    ::OffsetWindowOrgEx(dc, offset.x, offset.y, &previous);
    const LRESULT result = ::SendMessageW(parent, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    ::SetWindowOrgEx(dc, previous.x, previous.y, nullptr);
    return result;
}

}  // namespace tdm
