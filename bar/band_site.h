// What the explorer bar's band and the toolbar band take from the site the
// browser gives them.
#pragma once

#include <windows.h>
#include <exdisp.h>

#include "framework/com_ptr.h"

namespace tdm {

// The site's window (the parent of the band's window), or null when the site
// has no IOleWindow; another failure is raised.
HWND SiteWindow(IUnknown* site);

// The browser, from the site's service provider; asked once more on failure,
// then raised.
com_ptr<IWebBrowser2> SiteBrowser(IUnknown* site);

// GetSite of a band: the held site's own QueryInterface, E_FAIL without one.
HRESULT QuerySite(IUnknown* site, REFIID riid, void** ppv) noexcept;

}  // namespace tdm
