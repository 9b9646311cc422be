#include "browser/download_interception.h"

#include "browser/capture_rules.h"
#include "browser/page_request.h"
#include "framework/automation.h"
#include "framework/error.h"
#include "framework/unique_any.h"
#include "store/settings_store.h"
#include "text/url_components.h"

namespace tdm {

const InterfaceEntry* CTolDloadMr::Interfaces(size_t* count) noexcept
{
    static const InterfaceEntry entries[] = {
        TDM_INTERFACE(CTolDloadMr, ITolDloadMr),
        TDM_INTERFACE_VIA(CTolDloadMr, IDispatch, ITolDloadMr),
        TDM_INTERFACE(CTolDloadMr, IDownloadManager),
    };
    *count = sizeof(entries) / sizeof(entries[0]);
    return entries;
}

// IDownloadManager

STDMETHODIMP CTolDloadMr::Download(IMoniker* moniker, IBindCtx* context, DWORD, LONG, BINDINFO*, LPCOLESTR headers,
                                   LPCOLESTR, UINT)
try
{
    if (!GetMSIEIntegrate() || !moniker)
        return E_FAIL;
    try
    {
        // The user holding the bypass key as the download starts, or a download
        // the capture rules leave out, stays with the browser.
        const CCaptureRules rules = CCaptureRules::Load();
        if (rules.BypassKeyHeld())
            return E_FAIL;
        unique_cotaskmem_string name;
        CallTwice(IID_IMoniker, [&] { return moniker->GetDisplayName(context, nullptr, name.put()); });
        // A URL the client cannot download (https while the engine does not
        // declare it, for one) stays with the browser: answering S_OK for it
        // would lose the download.
        if (!name || !IsDownloadableUrlAsGiven(std::wstring_view(name.get())) || !rules.Takes(name.get()))
            return E_FAIL;
        const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
        unique_bstr url(::SysAllocString(name.get()));
        if (!url)
            return E_FAIL;
        // The download goes out with the Referer and User-Agent the browser
        // gave for it, through the helper's own interface when it has it.
        const auto pageDownload = helper.try_query<ITolPageDownload>();
        if (!pageDownload)
            return helper->CreateDownload(url.get());
        const PageRequest request = PageRequestFromHeaders(headers);
        unique_bstr referrer(::SysAllocStringLen(request.referrer.data(), static_cast<UINT>(request.referrer.size())));
        unique_bstr userAgent(::SysAllocStringLen(request.userAgent.data(), static_cast<UINT>(request.userAgent.size())));
        if (!referrer || !userAgent)
            return E_FAIL;
        return pageDownload->CreatePageDownload(url.get(), referrer.get(), userAgent.get());
    }
    catch (const CComError&)
    {
        return E_FAIL;
    }
}
TDM_COM_CATCH

}  // namespace tdm
