#include "bar/drop_target.h"

#include <algorithm>

#include "bar/parent_background.h"
#include "framework/module.h"
#include "resources/resource.h"

namespace tdm {

CTolDropTarget::CTolDropTarget() noexcept
{
    // Loaded at the size the resource was drawn in; the colour bitmap gives it.
    m_icon.reset(static_cast<HICON>(::LoadImageW(CModule::Instance().ModuleInstance(),
                                                 MAKEINTRESOURCEW(IDI_LINK), IMAGE_ICON, 0, 0, 0)));
    ICONINFO info{};
    if (m_icon && ::GetIconInfo(m_icon.get(), &info))
    {
        unique_hbitmap colour(info.hbmColor);
        unique_hbitmap mask(info.hbmMask);
        BITMAP bitmap{};
        if (colour && ::GetObjectW(colour.get(), sizeof(bitmap), &bitmap))
            m_iconSize = {bitmap.bmWidth, bitmap.bmHeight};
    }
}

LRESULT CTolDropTarget::OnPaint(UINT, WPARAM, LPARAM, bool&)
{
    PAINTSTRUCT paint{};
    const HDC dc = ::BeginPaint(m_window, &paint);
    RECT client{};
    ::GetClientRect(m_window, &client);
    if (m_icon)
    {
        const int x = std::max(0L, (client.right - m_iconSize.cx) / 2);
        ::DrawIconEx(dc, x, 0, m_icon.get(), m_iconSize.cx, m_iconSize.cy, 0, nullptr, DI_NORMAL);
    }
    ::EndPaint(m_window, &paint);
    return 0;
}

LRESULT CTolDropTarget::OnEraseBackground(UINT, WPARAM wParam, LPARAM, bool&)
{
    return PaintParentBackground(m_window, reinterpret_cast<HDC>(wParam));
}

}  // namespace tdm
