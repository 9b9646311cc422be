#include "bar/iconic_view.h"

namespace tdm {

namespace {

// Written when the module loads, read afterwards on the browser threads only.
IconicViewFactory g_iconicViewFactory = nullptr;

}  // namespace

void SetIconicViewFactory(IconicViewFactory factory) noexcept
{
    g_iconicViewFactory = factory;
}

std::unique_ptr<IIconicView> CreateIconicView(HWND panel) noexcept
{
    return g_iconicViewFactory ? g_iconicViewFactory(panel) : nullptr;
}

}  // namespace tdm
