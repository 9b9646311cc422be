// The toolbar band: the compact download bar the browser hosts in its toolbar
// area. It creates the toolbar frame over its thread's downloads model when it
// is sited and takes dropped links; siting and showing are the band base's.
#pragma once

#include <windows.h>
#include <exdisp.h>
#include <ocidl.h>
#include <shlobj.h>

#include "bar/band_base.h"
#include "bar/drag_link.h"
#include "downloads/downloads_model.h"
#include "engine/engine_link.h"
#include "framework/dispatch.h"
#include "framework/object.h"
#include "tdm_h.h"
#include "toolbar/toolbar_frame.h"

namespace tdm {

class CTolDownloadToolbar : public CObjectRoot,
                            public CBandBaseT<CTolDownloadToolbar>,
                            public CDispatchImpl<ITolDownloadToolbar>,
                            public CTolDragLink
{
public:
    CTolDownloadToolbar() noexcept;
    ~CTolDownloadToolbar();

    static const InterfaceEntry* Interfaces(size_t* count) noexcept;
    void FinalRelease() noexcept;

    // IDeskBand
    STDMETHODIMP GetBandInfo(DWORD bandId, DWORD viewMode, DESKBANDINFO* info) override;

    CTolToolbarFrame& Frame() noexcept { return m_frame; }
    IDispatch* EventSink() noexcept { return m_model ? m_model->EventSink() : nullptr; }

    // CBandBaseT
    HWND CreateBandWindow(HWND parent);
    void DestroyBandWindow() noexcept;
    HWND BandWindow() const noexcept { return m_frame.Window(); }
    void SetBandBrowser(IWebBrowser2* browser) noexcept { m_frame.SetBrowser(browser); }
    CDownloadsModel* BandModel() const noexcept { return m_model.get(); }
    void ShowBandWindow(bool show) noexcept;
    void RegisterBand(ITolDownloadHelper& helper, bool add);

private:
    com_ptr<CDownloadsModel> m_model;
    CTolToolbarFrame m_frame;
    bool m_dropRegistered = false;
};

}  // namespace tdm
