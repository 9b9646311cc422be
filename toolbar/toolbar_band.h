// The toolbar band: the compact download bar the browser hosts in its toolbar
// area. It creates the toolbar frame over its thread's downloads model when it
// is sited, holds a connection of the model to the engine while shown (a hidden
// toolbar holds no engine), registers the frame with the helper object and
// takes dropped links.
#pragma once

#include <windows.h>
#include <exdisp.h>
#include <ocidl.h>
#include <shlobj.h>

#include "bar/drag_link.h"
#include "downloads/downloads_model.h"
#include "engine/engine_link.h"
#include "framework/dispatch.h"
#include "framework/object.h"
#include "tdm_h.h"
#include "toolbar/toolbar_frame.h"

namespace tdm {

class CTolDownloadToolbar : public CObjectRoot,
                            public IObjectWithSite,
                            public IDeskBand,
                            public CDispatchImpl<ITolDownloadToolbar>,
                            public CTolDragLink
{
public:
    CTolDownloadToolbar() noexcept;
    ~CTolDownloadToolbar();

    static const InterfaceEntry* Interfaces(size_t* count) noexcept;
    void FinalRelease() noexcept;

    // IObjectWithSite
    STDMETHODIMP SetSite(IUnknown* site) override;
    STDMETHODIMP GetSite(REFIID riid, void** ppv) override;
    // IOleWindow
    STDMETHODIMP GetWindow(HWND* window) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL enterMode) override;
    // IDockingWindow
    STDMETHODIMP ShowDW(BOOL show) override;
    STDMETHODIMP CloseDW(DWORD reserved) override;
    STDMETHODIMP ResizeBorderDW(LPCRECT border, IUnknown* site, BOOL reserved) override;
    // IDeskBand
    STDMETHODIMP GetBandInfo(DWORD bandId, DWORD viewMode, DESKBANDINFO* info) override;

    CTolToolbarFrame& Frame() noexcept { return m_frame; }
    IDispatch* EventSink() noexcept { return m_model ? m_model->EventSink() : nullptr; }

private:
    void Show();
    void Hide();
    void Detach() noexcept;

    com_ptr<IUnknown> m_site;
    com_ptr<IWebBrowser2> m_browser;
    HWND m_parent = nullptr;
    com_ptr<CDownloadsModel> m_model;
    CTolToolbarFrame m_frame;
    bool m_shown = false;
    bool m_dropRegistered = false;
};

}  // namespace tdm
