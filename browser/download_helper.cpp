#include "browser/download_helper.h"

#include "browser/download_creation.h"

#include <exdisp.h>
#include <shlguid.h>
#include <algorithm>
#include <iterator>
#include <mutex>

#include "framework/automation.h"
#include "framework/error.h"
#include "resources/window_messages.h"
#include "store/settings_store.h"

namespace tdm {

namespace {

// Table helpers; call with HelperStateLock() held.
HWND FirstWindowOf(const std::vector<BarEntry>& table, DWORD threadId) noexcept
{
    const auto entry = std::find_if(table.begin(), table.end(),
                                    [threadId](const BarEntry& e) { return e.threadId == threadId; });
    return entry != table.end() ? entry->hWnd : nullptr;
}

[[nodiscard]] HRESULT AddWindow(std::vector<BarEntry>& table, HWND window, DWORD threadId) noexcept
{
    const bool known = std::any_of(table.begin(), table.end(), [window](const BarEntry& e) { return e.hWnd == window; });
    if (known)
        return S_OK;
    BarEntry entry;
    entry.hWnd = window;
    entry.threadId = threadId;
    return AppendEntry(table, std::move(entry));
}

void RemoveWindow(std::vector<BarEntry>& table, HWND window) noexcept
{
    const auto entry = std::find_if(table.begin(), table.end(), [window](const BarEntry& e) { return e.hWnd == window; });
    if (entry != table.end())
        table.erase(entry);
}

HWND BandWindowOf(const std::vector<BarEntry>& bands, DWORD threadId) noexcept
{
    std::lock_guard<srw_lock> guard(HelperStateLock());
    return FirstWindowOf(bands, threadId);
}

}  // namespace

const InterfaceEntry* CTolDownloadHelper::Interfaces(size_t* count) noexcept
{
    static const InterfaceEntry entries[] = {
        TDM_INTERFACE(CTolDownloadHelper, ITolDownloadHelper),
        TDM_INTERFACE_VIA(CTolDownloadHelper, IDispatch, ITolDownloadHelper),
        TDM_INTERFACE(CTolDownloadHelper, IObjectWithSite),
        TDM_INTERFACE(CTolDownloadHelper, ITolPageDownload),
    };
    *count = sizeof(entries) / sizeof(entries[0]);
    return entries;
}

// ITolDownloadHelper

STDMETHODIMP CTolDownloadHelper::ShowTolDownloadBand(VARIANT_BOOL show)
try
{
    const bool wanted = show != VARIANT_FALSE;
    const bool shown = BandWindowOf(m_bands, ::GetCurrentThreadId()) != nullptr;
    if (wanted == shown)
        return S_OK;
    // Our own reference for the call: the browser may re-enter and clear the site.
    const com_ptr<IWebBrowser2> browser(GetBrowser());
    if (!browser)
        return E_FAIL;

    // The browser names explorer bars by CLSID in registry string form (braces,
    // upper-case hexadecimal).
    wchar_t text[40] = {};
    RETURN_HR_IF(E_UNEXPECTED, ::StringFromGUID2(CLSID_TolBand, text, ARRAYSIZE(text)) == 0);
    unique_bstr clsidText(::SysAllocString(text));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, clsidText.get());
    unique_variant clsid;
    V_VT(clsid.get()) = VT_BSTR;
    V_BSTR(clsid.get()) = clsidText.release();
    unique_variant visible;
    V_VT(visible.get()) = VT_BOOL;
    V_BOOL(visible.get()) = wanted ? VARIANT_TRUE : VARIANT_FALSE;
    return browser->ShowBrowserBar(clsid.get(), visible.get(), nullptr);
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadHelper::CreateDownload(BSTR url)
try
{
    return CreateDownloadOnThisThread(*this, url);
}
TDM_COM_CATCH

// ITolPageDownload

STDMETHODIMP CTolDownloadHelper::CreatePageDownload(BSTR url, BSTR referrer, BSTR userAgent)
try
{
    PageRequest request{std::wstring(referrer ? referrer : L"", ::SysStringLen(referrer)),
                        std::wstring(userAgent ? userAgent : L"", ::SysStringLen(userAgent))};
    return CreateDownloadOnThisThread(*this, url, &request);
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadHelper::RegisterBand(LONG threadId, HWND window)
try
{
    const DWORD thread = static_cast<DWORD>(threadId);
    HWND toolbar = nullptr;
    {
        std::lock_guard<srw_lock> guard(HelperStateLock());
        RETURN_IF_FAILED(AddWindow(m_bands, window, thread));
        toolbar = FirstWindowOf(m_toolbars, thread);
    }
    // Also when the bar was registered already: the toolbar may have missed it.
    if (toolbar)
        ::SendMessageW(toolbar, kBandStateMessage, 1, 0);
    return S_OK;
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadHelper::UnregisterBand(LONG threadId, HWND window)
try
{
    const DWORD thread = static_cast<DWORD>(threadId);
    HWND toolbar = nullptr;
    {
        std::lock_guard<srw_lock> guard(HelperStateLock());
        RemoveWindow(m_bands, window);
        toolbar = FirstWindowOf(m_toolbars, thread);
    }
    // Sent whatever remains registered for the thread, also for a window that
    // was never registered.
    if (toolbar)
        ::SendMessageW(toolbar, kBandStateMessage, 0, 0);
    return S_OK;
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadHelper::GetBandHWND(LONG threadId, HWND* window)
try
{
    RETURN_HR_IF_NULL(E_POINTER, window);
    *window = BandWindowOf(m_bands, static_cast<DWORD>(threadId));
    return S_OK;
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadHelper::CreateDownloads(IDispatch* links)
try
{
    return CreateDownloadsOnThisThread(*this, links);
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadHelper::RegisterToolbar(LONG threadId, HWND window)
try
{
    const DWORD thread = static_cast<DWORD>(threadId);
    HWND band = nullptr;
    {
        std::lock_guard<srw_lock> guard(HelperStateLock());
        RETURN_IF_FAILED(AddWindow(m_toolbars, window, thread));
        band = FirstWindowOf(m_bands, thread);
    }
    // The new toolbar learns at once whether its thread already has a bar.
    ::SendMessageW(window, kBandStateMessage, band ? 1 : 0, 0);
    return S_OK;
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadHelper::GetToolbarHWND(LONG threadId, HWND* window)
try
{
    RETURN_HR_IF_NULL(E_POINTER, window);
    std::lock_guard<srw_lock> guard(HelperStateLock());
    *window = FirstWindowOf(m_toolbars, static_cast<DWORD>(threadId));
    return S_OK;
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadHelper::UnregisterToolbar(LONG, HWND window)
try
{
    std::lock_guard<srw_lock> guard(HelperStateLock());
    RemoveWindow(m_toolbars, window);
    return S_OK;
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadHelper::IsSiteSet(VARIANT_BOOL* isSet)
try
{
    RETURN_HR_IF_NULL(E_POINTER, isSet);
    *isSet = GetSiteFlag() ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadHelper::GetExplorerHWND(HWND* window)
try
{
    RETURN_HR_IF_NULL(E_POINTER, window);
    *window = nullptr;
    const com_ptr<IWebBrowser2> browser(GetBrowser());
    if (!browser)
        return S_OK;
    SHANDLE_PTR handle = 0;
    if (SUCCEEDED(browser->get_HWND(&handle)))
        *window = reinterpret_cast<HWND>(handle);
    return S_OK;
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadHelper::IsCurrentBandShown(VARIANT_BOOL* shown)
try
{
    RETURN_HR_IF_NULL(E_POINTER, shown);
    *shown = VARIANT_FALSE;
    HWND band = nullptr;
    RETURN_IF_FAILED(GetBandHWND(static_cast<LONG>(::GetCurrentThreadId()), &band));
    *shown = band ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
TDM_COM_CATCH

// IObjectWithSite

STDMETHODIMP CTolDownloadHelper::SetSite(IUnknown* site)
try
{
    const DWORD thread = ::GetCurrentThreadId();
    if (!site)
    {
        bool added = false;
        {
            std::lock_guard<srw_lock> guard(HelperStateLock());
            const auto latest = std::find_if(m_sites.rbegin(), m_sites.rend(),
                                             [thread](const SiteAssignment& a) { return a.threadId == thread; });
            if (latest == m_sites.rend())
                return S_OK;
            added = latest->addedBrowser;
            m_sites.erase(std::next(latest).base());
        }
        if (added)
            RemoveBrowser();
        return S_OK;
    }

    com_ptr<IUnknown> identity;
    RETURN_IF_FAILED(site->QueryInterface(IID_IUnknown, identity.put_void()));
    // A site that offers no browser adds nothing, and is still accepted: script
    // hosts site the objects their scripts create (with a site that knows no
    // browser) and refuse an object whose SetSite fails, which would break the
    // context-menu and toolbar scripts.
    com_ptr<IWebBrowser2> browser;
    com_ptr<IServiceProvider> provider;
    if (SUCCEEDED(site->QueryInterface(IID_IServiceProvider, provider.put_void())) && provider &&
        FAILED(provider->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2, browser.put_void())))
        browser.reset();
    if (browser)
        RETURN_IF_FAILED(AddBrowser(browser.get()));

    bool replacedAddition = false;
    HRESULT recorded = S_OK;
    {
        std::lock_guard<srw_lock> guard(HelperStateLock());
        const auto same = std::find_if(m_sites.begin(), m_sites.end(), [&](const SiteAssignment& a) {
            return a.threadId == thread && a.site == identity.get();
        });
        if (same != m_sites.end())
        {
            replacedAddition = same->addedBrowser;
            same->addedBrowser = browser != nullptr;
        }
        else
        {
            SiteAssignment assignment;
            assignment.threadId = thread;
            assignment.site = identity.get();
            assignment.addedBrowser = browser != nullptr;
            recorded = AppendEntry(m_sites, std::move(assignment));
        }
    }
    // The addition this call made when it could not be recorded, or the one the
    // host's earlier assignment made and this one replaces.
    if ((FAILED(recorded) && browser) || replacedAddition)
        RemoveBrowser();
    RETURN_IF_FAILED(recorded);
    if (!browser)
        return S_OK;

    SetSiteFlag(true);
    // The browser reopens the bar of a window by itself at start; the user may
    // have asked for it to stay closed.
    if (GetNotOpenBand() && BandWindowOf(m_bands, thread))
        (void)ShowTolDownloadBand(VARIANT_FALSE);
    return S_OK;
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadHelper::GetSite(REFIID, void** site)
try
{
    RETURN_HR_IF_NULL(E_POINTER, site);
    *site = nullptr;
    return E_FAIL;
}
TDM_COM_CATCH

}  // namespace tdm
