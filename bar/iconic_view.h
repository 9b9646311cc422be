// The view the downloads panel shows instead of its list while the explorer bar
// is minimised: a compact strip of the downloads that follows the engine's
// events itself. The toolbar's frame draws it; the panel reaches it only
// through this interface and a factory the module installs when it loads, so
// that the bar does not depend on the toolbar, which is built on the bar's
// pieces (indicator, drop target, commands).
#pragma once

#include <windows.h>
#include <exdisp.h>

#include <memory>

#include "bar/engine_events.h"
#include "bar/indicator.h"
#include "engine_h.h"

namespace tdm {

class IIconicView : public IEngineEventHandler
{
public:
    virtual ~IIconicView() = default;

    virtual HWND ViewWindow() const noexcept = 0;
    virtual void SetBrowser(IWebBrowser2* browser) noexcept = 0;
    virtual void SetEngine(IDownloadEngine* engine) noexcept = 0;
    // Copies of the panel's records, in the panel's order.
    virtual void SetDownloads(DownloadRecords records) noexcept = 0;
    virtual void ClearDownloads() noexcept = 0;
};

// Creates the view as a child of `panel`; null when it cannot be created.
using IconicViewFactory = std::unique_ptr<IIconicView> (*)(HWND panel) noexcept;

// Installed once, when the module loads, before any bar exists.
void SetIconicViewFactory(IconicViewFactory factory) noexcept;
// The view from the installed factory; null without one or on failure (the
// minimised bar then shows no strip).
std::unique_ptr<IIconicView> CreateIconicView(HWND panel) noexcept;

}  // namespace tdm
