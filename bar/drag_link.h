// The drop target for links that the explorer bar and the toolbar band share: a
// link dragged onto either (from a page, the address bar or another program)
// becomes a new download.
#pragma once

#include <windows.h>
#include <oleidl.h>
#include <string>

namespace tdm {

// IDropTarget over link data. The owning COM object derives from it, answers
// IDropTarget with it and hands it to RegisterDragDrop.
class CTolDragLink : public IDropTarget
{
public:
    // IDropTarget
    // A data object carrying an acceptable http or ftp link: DROPEFFECT_LINK,
    // S_OK; anything else DROPEFFECT_NONE, E_INVALIDARG.
    STDMETHODIMP DragEnter(IDataObject* data, DWORD keys, POINTL point, DWORD* effect) override;
    STDMETHODIMP DragOver(DWORD keys, POINTL point, DWORD* effect) override;
    STDMETHODIMP DragLeave() override;
    // Hands the link to the helper's CreateDownload; E_INVALIDARG without one.
    STDMETHODIMP Drop(IDataObject* data, DWORD keys, POINTL point, DWORD* effect) override;

    // The link a data object carries, as text (CF_UNICODETEXT, else CF_TEXT) or
    // as a URL ("UniformResourceLocatorW", else "UniformResourceLocator"); empty
    // when it carries none the client accepts.
    std::wstring ExtractLink(IDataObject* data) const noexcept;

protected:
    CTolDragLink() noexcept;
    ~CTolDragLink() = default;

private:
    UINT m_urlFormat;      // "UniformResourceLocator"
    UINT m_wideUrlFormat;  // "UniformResourceLocatorW"
};

}  // namespace tdm
