#include "bar/band_site.h"

#include <ocidl.h>
#include <servprov.h>
#include <shlguid.h>

#include "framework/error.h"

namespace tdm {

HWND SiteWindow(IUnknown* site)
{
    com_ptr<IOleWindow> window;
    const HRESULT hr = site->QueryInterface(IID_IOleWindow, window.put_void());
    if (hr != E_NOINTERFACE)
        RaiseIfFailed(hr, IID_IOleWindow);
    HWND parent = nullptr;
    if (window)
        RaiseIfFailed(window->GetWindow(&parent), IID_IOleWindow);
    return parent;
}

com_ptr<IWebBrowser2> SiteBrowser(IUnknown* site)
{
    com_ptr<IServiceProvider> provider;
    RaiseIfFailed(site->QueryInterface(IID_IServiceProvider, provider.put_void()), IID_IServiceProvider);
    com_ptr<IWebBrowser2> browser;
    CallTwice(IID_IServiceProvider, [&] {
        browser.reset();
        return provider->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2, browser.put_void());
    });
    return browser;
}

HRESULT QuerySite(IUnknown* site, REFIID riid, void** ppv) noexcept
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    return site ? site->QueryInterface(riid, ppv) : E_FAIL;
}

}  // namespace tdm
