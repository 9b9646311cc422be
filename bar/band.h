// The explorer bar's band object: the COM object the browser hosts at the
// bottom of its window when the user opens the downloads bar.
//
// The band creates the downloads panel when it is sited and takes links dropped
// on the bar; siting and showing are the band base's.
#pragma once

#include <windows.h>
#include <exdisp.h>
#include <ocidl.h>
#include <shlobj.h>

#include "bar/band_base.h"
#include "bar/drag_link.h"
#include "bar/panel.h"
#include "engine/engine_link.h"
#include "framework/dispatch.h"
#include "framework/object.h"
#include "tdm_h.h"

namespace tdm {

class CTolBand : public CObjectRoot,
                 public CBandBaseT<CTolBand>,
                 public CDispatchImpl<ITolBand>,
                 public CTolDragLink
{
public:
    CTolBand() noexcept;
    ~CTolBand();

    static const InterfaceEntry* Interfaces(size_t* count) noexcept;
    void FinalRelease() noexcept;

    // ITolBand
    STDMETHODIMP IsVisible(VARIANT_BOOL* visible) override;

    // IDeskBand
    STDMETHODIMP GetBandInfo(DWORD bandId, DWORD viewMode, DESKBANDINFO* info) override;

    // The panel, for the tests and the benchmark.
    CMyDlg& Panel() noexcept { return m_panel; }
    IDispatch* EventSink() noexcept { return m_panel.Model() ? m_panel.Model()->EventSink() : nullptr; }

    // CBandBaseT
    HWND CreateBandWindow(HWND parent) { return m_panel.CreatePanel(parent); }
    void DestroyBandWindow() noexcept;
    HWND BandWindow() const noexcept { return m_panel.Window(); }
    void SetBandBrowser(IWebBrowser2* browser) noexcept { m_panel.SetBrowser(browser); }
    CDownloadsModel* BandModel() const noexcept { return m_panel.Model(); }
    void ShowBandWindow(bool show) noexcept { m_panel.ShowPanel(show, show ? static_cast<IDropTarget*>(this) : nullptr); }
    void RegisterBand(ITolDownloadHelper& helper, bool add);

private:
    CMyDlg m_panel;
};

}  // namespace tdm
