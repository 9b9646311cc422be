#include "bar/drag_link.h"

#include <cstring>

#include "framework/automation.h"
#include "framework/error.h"
#include "framework/unique_any.h"
#include "tdm_h.h"
#include "text/url_components.h"

namespace tdm {

namespace {

// Releases a storage medium the data object filled.
class CStorageMedium
{
public:
    CStorageMedium() noexcept = default;
    CStorageMedium(const CStorageMedium&) = delete;
    CStorageMedium& operator=(const CStorageMedium&) = delete;
    ~CStorageMedium() { ::ReleaseStgMedium(&m_medium); }
    STGMEDIUM* put() noexcept { return &m_medium; }
    const STGMEDIUM& get() const noexcept { return m_medium; }

private:
    STGMEDIUM m_medium{};
};

// The text of `format` as global memory, read no further than the block (the
// data comes from any program and need not end with a NUL); false when the data
// object does not offer it.
bool ReadGlobalText(IDataObject* data, UINT format, std::string& text)
{
    FORMATETC request{static_cast<CLIPFORMAT>(format), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    if (data->QueryGetData(&request) != S_OK)
        return false;
    CStorageMedium medium;
    if (FAILED(data->GetData(&request, medium.put())) || medium.get().tymed != TYMED_HGLOBAL)
        return false;
    const HGLOBAL memory = medium.get().hGlobal;
    const auto* locked = static_cast<const char*>(::GlobalLock(memory));
    if (!locked)
        return false;
    text.assign(locked, strnlen(locked, ::GlobalSize(memory)));
    ::GlobalUnlock(memory);
    return true;
}

}  // namespace

CTolDragLink::CTolDragLink() noexcept : m_urlFormat(::RegisterClipboardFormatW(L"UniformResourceLocator")) {}

std::string CTolDragLink::ExtractLink(IDataObject* data) const noexcept
try
{
    if (!data)
        return {};
    std::string text;
    if (!ReadGlobalText(data, CF_TEXT, text) && !ReadGlobalText(data, m_urlFormat, text))
        return {};
    return IsDownloadableLink(text) ? text : std::string();
}
catch (...)
{
    return {};
}

// IDropTarget

STDMETHODIMP CTolDragLink::DragEnter(IDataObject* data, DWORD, POINTL, DWORD* effect)
try
{
    RETURN_HR_IF_NULL(E_INVALIDARG, effect);
    const bool link = !ExtractLink(data).empty();
    *effect = link ? DROPEFFECT_LINK : DROPEFFECT_NONE;
    return link ? S_OK : E_INVALIDARG;
}
TDM_COM_CATCH

STDMETHODIMP CTolDragLink::DragOver(DWORD, POINTL, DWORD* effect)
try
{
    RETURN_HR_IF_NULL(E_INVALIDARG, effect);
    *effect = DROPEFFECT_LINK;
    return S_OK;
}
TDM_COM_CATCH

STDMETHODIMP CTolDragLink::DragLeave()
try
{
    return S_OK;
}
TDM_COM_CATCH

STDMETHODIMP CTolDragLink::Drop(IDataObject* data, DWORD, POINTL, DWORD* effect)
try
{
    const std::string link = ExtractLink(data);
    if (link.empty())
    {
        if (effect)
            *effect = DROPEFFECT_NONE;
        return E_INVALIDARG;
    }
    unique_bstr url(AllocBstrFromNarrow(link));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, url.get());
    const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
    CallTwice(IID_ITolDownloadHelper, [&] { return helper->CreateDownload(url.get()); });
    if (effect)
        *effect = DROPEFFECT_LINK;
    return S_OK;
}
TDM_COM_CATCH

}  // namespace tdm
