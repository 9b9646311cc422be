// Windows of the bar and the toolbar that let their parent's background show
// through them.
#pragma once

#include <windows.h>

namespace tdm {

// Paints the parent's background into `dc` of `child`: the device context's
// origin is shifted by the child's position in its parent, the parent erases
// with the same device context, and the origin is restored. Returns the
// parent's answer to WM_ERASEBKGND.
LRESULT PaintParentBackground(HWND child, HDC dc) noexcept;

}  // namespace tdm
