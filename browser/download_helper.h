// The download helper object shared by every browser thread of the process.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include "framework/dispatch.h"
#include "framework/object.h"
#include "tdm_h.h"

namespace tdm {

class CTolDownloadHelper : public CObjectRoot, public CDispatchImpl<ITolDownloadHelper>, public IObjectWithSite
{
public:
    static const InterfaceEntry* Interfaces(size_t* count) noexcept;

    // ITolDownloadHelper
    STDMETHODIMP ShowTolDownloadBand(VARIANT_BOOL show) override;
    STDMETHODIMP CreateDownload(BSTR url) override;
    STDMETHODIMP RegisterBand(LONG threadId, HWND window) override;
    STDMETHODIMP UnregisterBand(LONG threadId, HWND window) override;
    STDMETHODIMP GetBandHWND(LONG threadId, HWND* window) override;
    STDMETHODIMP CreateDownloads(IDispatch* links) override;
    STDMETHODIMP RegisterToolbar(LONG threadId, HWND window) override;
    STDMETHODIMP GetToolbarHWND(LONG threadId, HWND* window) override;
    STDMETHODIMP UnregisterToolbar(LONG threadId, HWND window) override;
    STDMETHODIMP IsSiteSet(VARIANT_BOOL* isSet) override;
    STDMETHODIMP GetExplorerHWND(HWND* window) override;
    STDMETHODIMP IsCurrentBandShown(VARIANT_BOOL* shown) override;

    // IObjectWithSite
    STDMETHODIMP SetSite(IUnknown* site) override;
    STDMETHODIMP GetSite(REFIID riid, void** site) override;
};

}  // namespace tdm
