#include "browser/download_helper.h"

namespace tdm {

const InterfaceEntry* CTolDownloadHelper::Interfaces(size_t* count) noexcept
{
    static const InterfaceEntry entries[] = {
        TDM_INTERFACE(CTolDownloadHelper, ITolDownloadHelper),
        TDM_INTERFACE_VIA(CTolDownloadHelper, IDispatch, ITolDownloadHelper),
        TDM_INTERFACE(CTolDownloadHelper, IObjectWithSite),
    };
    *count = sizeof(entries) / sizeof(entries[0]);
    return entries;
}

// ITolDownloadHelper
STDMETHODIMP CTolDownloadHelper::ShowTolDownloadBand(VARIANT_BOOL) { return E_NOTIMPL; }
STDMETHODIMP CTolDownloadHelper::CreateDownload(BSTR) { return E_NOTIMPL; }
STDMETHODIMP CTolDownloadHelper::RegisterBand(LONG, HWND) { return E_NOTIMPL; }
STDMETHODIMP CTolDownloadHelper::UnregisterBand(LONG, HWND) { return E_NOTIMPL; }
STDMETHODIMP CTolDownloadHelper::GetBandHWND(LONG, HWND* window)
{
    if (window)
        *window = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP CTolDownloadHelper::CreateDownloads(IDispatch*) { return E_NOTIMPL; }
STDMETHODIMP CTolDownloadHelper::RegisterToolbar(LONG, HWND) { return E_NOTIMPL; }
STDMETHODIMP CTolDownloadHelper::GetToolbarHWND(LONG, HWND* window)
{
    if (window)
        *window = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP CTolDownloadHelper::UnregisterToolbar(LONG, HWND) { return E_NOTIMPL; }
STDMETHODIMP CTolDownloadHelper::IsSiteSet(VARIANT_BOOL* isSet)
{
    if (isSet)
        *isSet = VARIANT_FALSE;
    return E_NOTIMPL;
}
STDMETHODIMP CTolDownloadHelper::GetExplorerHWND(HWND* window)
{
    if (window)
        *window = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP CTolDownloadHelper::IsCurrentBandShown(VARIANT_BOOL* shown)
{
    if (shown)
        *shown = VARIANT_FALSE;
    return E_NOTIMPL;
}

// IObjectWithSite
STDMETHODIMP CTolDownloadHelper::SetSite(IUnknown*) { return S_OK; }
STDMETHODIMP CTolDownloadHelper::GetSite(REFIID, void** site)
{
    if (site)
        *site = nullptr;
    return E_FAIL;
}

}  // namespace tdm
