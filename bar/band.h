// The explorer bar's band object: the COM object the browser hosts at the
// bottom of its window when the user opens the downloads bar.
//
// The band creates the downloads panel when it is sited, holds a connection of
// its thread's downloads model to the engine while the bar is shown (and only
// then: a hidden bar holds no engine), registers the bar with the helper object,
// and takes links dropped on the bar.
#pragma once

#include <windows.h>
#include <exdisp.h>
#include <ocidl.h>
#include <shlobj.h>

#include "bar/drag_link.h"
#include "bar/panel.h"
#include "engine/engine_link.h"
#include "framework/dispatch.h"
#include "framework/object.h"
#include "tdm_h.h"

namespace tdm {

class CTolBand : public CObjectRoot,
                 public IObjectWithSite,
                 public CDispatchImpl<ITolBand>,
                 public IDeskBand,
                 public CTolDragLink
{
public:
    CTolBand() noexcept;
    ~CTolBand();

    static const InterfaceEntry* Interfaces(size_t* count) noexcept;
    void FinalRelease() noexcept;

    // IObjectWithSite
    STDMETHODIMP SetSite(IUnknown* site) override;
    STDMETHODIMP GetSite(REFIID riid, void** ppv) override;

    // ITolBand
    STDMETHODIMP IsVisible(VARIANT_BOOL* visible) override;

    // IOleWindow
    STDMETHODIMP GetWindow(HWND* window) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL enterMode) override;
    // IDockingWindow
    STDMETHODIMP ShowDW(BOOL show) override;
    STDMETHODIMP CloseDW(DWORD reserved) override;
    STDMETHODIMP ResizeBorderDW(LPCRECT border, IUnknown* site, BOOL reserved) override;
    // IDeskBand
    STDMETHODIMP GetBandInfo(DWORD bandId, DWORD viewMode, DESKBANDINFO* info) override;

    // The panel, for the tests and the benchmark.
    CMyDlg& Panel() noexcept { return m_panel; }
    IDispatch* EventSink() noexcept { return m_panel.Model() ? m_panel.Model()->EventSink() : nullptr; }

private:
    void Show();
    void Hide();
    void Detach() noexcept;

    com_ptr<IUnknown> m_site;
    com_ptr<IWebBrowser2> m_browser;
    HWND m_parent = nullptr;
    CMyDlg m_panel;
    // The bar holds a connection of the model while it is shown.
    bool m_connected = false;
};

}  // namespace tdm
