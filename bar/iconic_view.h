// The view the downloads panel shows instead of its list while the explorer bar
// is minimised: a compact strip of its thread's downloads model, which it
// follows itself. The toolbar's frame draws it; the panel reaches it only
// through this interface and a factory the module installs when it loads, so
// that the bar does not depend on the toolbar, which is built on the bar's
// pieces (indicator, drop target, commands).
#pragma once

#include <windows.h>
#include <exdisp.h>

#include <memory>

#include "downloads/downloads_model.h"

namespace tdm {

class IIconicView
{
public:
    virtual ~IIconicView() = default;

    virtual HWND ViewWindow() const noexcept = 0;
    virtual void SetBrowser(IWebBrowser2* browser) noexcept = 0;
    // The model whose downloads the view shows, in the model's order (null: none).
    virtual void SetModel(CDownloadsModel* model) noexcept = 0;
};

// Creates the view as a child of `panel`; null when it cannot be created.
using IconicViewFactory = std::unique_ptr<IIconicView> (*)(HWND panel) noexcept;

// Installed once, when the module loads, before any bar exists.
void SetIconicViewFactory(IconicViewFactory factory) noexcept;
// The view from the installed factory; null without one or on failure (the
// minimised bar then shows no strip).
std::unique_ptr<IIconicView> CreateIconicView(HWND panel) noexcept;

}  // namespace tdm
