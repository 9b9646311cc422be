#include "bar/drag_link.h"

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

// The text of `format` as global memory (UTF-16 when `wide`); false when the
// data object does not offer it.
bool ReadDataText(IDataObject* data, UINT format, bool wide, std::wstring& text)
{
    FORMATETC request{static_cast<CLIPFORMAT>(format), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    if (data->QueryGetData(&request) != S_OK)
        return false;
    CStorageMedium medium;
    if (FAILED(data->GetData(&request, medium.put())) || medium.get().tymed != TYMED_HGLOBAL)
        return false;
    return ReadGlobalText(medium.get().hGlobal, wide, text);
}

}  // namespace

CTolDragLink::CTolDragLink() noexcept
    : m_urlFormat(::RegisterClipboardFormatW(L"UniformResourceLocator")),
      m_wideUrlFormat(::RegisterClipboardFormatW(L"UniformResourceLocatorW"))
{
}

// The wide formats first: the 8-bit ones hold only what the ANSI code page does.
std::wstring CTolDragLink::ExtractLink(IDataObject* data) const noexcept
try
{
    if (!data)
        return {};
    std::wstring text;
    if (!ReadDataText(data, CF_UNICODETEXT, true, text) && !ReadDataText(data, m_wideUrlFormat, true, text) &&
        !ReadDataText(data, CF_TEXT, false, text) && !ReadDataText(data, m_urlFormat, false, text))
        return {};
    return IsDownloadableLink(text) ? text : std::wstring();
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
    const std::wstring link = ExtractLink(data);
    if (link.empty())
    {
        if (effect)
            *effect = DROPEFFECT_NONE;
        return E_INVALIDARG;
    }
    unique_bstr url(AllocBstr(link));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, url.get());
    const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
    CallTwice(IID_ITolDownloadHelper, [&] { return helper->CreateDownload(url.get()); });
    if (effect)
        *effect = DROPEFFECT_LINK;
    return S_OK;
}
TDM_COM_CATCH

}  // namespace tdm
