// The download helper object shared by every browser thread of the process.
//
// One instance per process (singleton class object): the browser sites it as a
// browser helper object in every browser window, scripts create it by ProgID,
// and the explorer bar and the toolbar of each browser thread register their
// windows with it. Calls arrive on many browser threads at once; the
// registries and the browser table are guarded by HelperStateLock(), under the
// rule written in web_browsers_holder.h: nothing is called out while it is held.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <vector>

#include "browser/web_browsers_holder.h"
#include "framework/dispatch.h"
#include "framework/object.h"
#include "tdm_h.h"

namespace tdm {

// One site assignment of the helper: the host that sited it on a thread (its
// identity, compared only, never called) and whether it added the thread's
// browser to the browser table. Clearing the site undoes exactly that addition.
struct SiteAssignment
{
    DWORD threadId = 0;
    const void* site = nullptr;
    bool addedBrowser = false;
};

// A registered explorer-bar panel or toolbar window and the thread it serves.
struct BarEntry
{
    HWND hWnd = nullptr;
    DWORD threadId = 0;
};

class CTolDownloadHelper : public CObjectRoot,
                           public CDispatchImpl<ITolDownloadHelper>,
                           public IObjectWithSite,
                           public ITolPageDownload,
                           public CWebBrowsersHolder
{
public:
    static const InterfaceEntry* Interfaces(size_t* count) noexcept;

    // ITolDownloadHelper
    // Opens or closes the explorer bar of the calling thread's browser window.
    STDMETHODIMP ShowTolDownloadBand(VARIANT_BOOL show) override;
    STDMETHODIMP CreateDownload(BSTR url) override;
    // Registers a bar window for a thread and tells the thread's toolbar.
    STDMETHODIMP RegisterBand(LONG threadId, HWND window) override;
    STDMETHODIMP UnregisterBand(LONG threadId, HWND window) override;
    // The first bar window registered for the thread, or null.
    STDMETHODIMP GetBandHWND(LONG threadId, HWND* window) override;
    // Offers the downloadable links of a page's link collection for download.
    STDMETHODIMP CreateDownloads(IDispatch* links) override;
    // Registers a toolbar window and tells it whether its thread has a bar.
    STDMETHODIMP RegisterToolbar(LONG threadId, HWND window) override;
    // The first toolbar window registered for the thread, or null.
    STDMETHODIMP GetToolbarHWND(LONG threadId, HWND* window) override;
    STDMETHODIMP UnregisterToolbar(LONG threadId, HWND window) override;
    // Whether the helper was sited in a browser window of the calling thread.
    STDMETHODIMP IsSiteSet(VARIANT_BOOL* isSet) override;
    // The top-level window of the calling thread's browser, or null.
    STDMETHODIMP GetExplorerHWND(HWND* window) override;
    // Whether the calling thread has an explorer bar (the toolbar button's toggle).
    STDMETHODIMP IsCurrentBandShown(VARIANT_BOOL* shown) override;

    // ITolPageDownload
    // CreateDownload of a download the browser hands over, with the Referer and
    // User-Agent it gave.
    STDMETHODIMP CreatePageDownload(BSTR url, BSTR referrer, BSTR userAgent) override;

    // IObjectWithSite
    // The helper is one object shared by every host of the process: each browser
    // window sites it, and so do the script hosts of the context-menu and toolbar
    // scripts, on the same threads. Each site assignment is recorded; a host that
    // sites it again with the same site replaces its own assignment, and a null
    // site ends the calling thread's latest assignment. Only an assignment whose
    // site yields a browser adds that browser to the table, and only its end
    // removes it, so a script host cannot remove the browser window's entry.
    STDMETHODIMP SetSite(IUnknown* site) override;
    // The site is never kept: always E_FAIL.
    STDMETHODIMP GetSite(REFIID riid, void** site) override;

private:
    // All guarded by HelperStateLock(); in registration order.
    std::vector<BarEntry> m_bands;
    std::vector<BarEntry> m_toolbars;
    std::vector<SiteAssignment> m_sites;
};

}  // namespace tdm
