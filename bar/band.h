// The explorer bar's band object: the COM object the browser hosts at the
// bottom of its window when the user opens the downloads bar.
//
// The band creates the downloads panel when it is sited, connects the panel to
// the engine while the bar is shown (and only then: a hidden bar holds no engine
// and receives no events), registers the bar with the helper object, routes the
// engine's events to the panel, and takes links dropped on the bar.
#pragma once

#include <windows.h>
#include <exdisp.h>
#include <ocidl.h>
#include <shlobj.h>

#include "bar/drag_link.h"
#include "bar/engine_events.h"
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
                 public CTolDragLink,
                 private IEngineEventHandler
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
    IDispatch* EventSink() noexcept { return &m_sink; }

private:
    void Show();
    void Hide();
    void Detach() noexcept;

    // IEngineEventHandler: the panel's operations, and the claim of the events
    // that one bar of all browser windows handles.
    void OnDownloadAdded(LONG id, BSTR url, BSTR folder, BSTR fileName, LONG state, LONG priority) override;
    void OnDownloadStateChanged(LONG id, LONG state, double elapsed) override;
    void OnDownloadStopped(LONG id, LONG state, double elapsed, HWND owner, LONG scope,
                           VARIANT_BOOL* claimed) override;
    void OnDownloadDeleted(LONG id) override;
    void OnDownloadFileInfo(const FileInfo& info) override;
    void OnResumeSupportChanged(LONG id, bool resumable) override;
    void OnDownloadProgress(const Progress& progress) override;
    void OnDownloadCompleted(LONG id, LONG state, double elapsed, HWND owner, LONG scope,
                             VARIANT_BOOL* claimed) override;
    void OnDownloadError(LONG id, LONG state, LONG scope, VARIANT_BOOL* claimed) override;
    void OnDownloadInfoChanged(LONG id, const VARIANT& info) override;
    void OnDownloadRestarted(LONG id, ULONG totalSize, ULONG loadedSize, LONG state, double elapsed) override;
    void OnCredentialsRequired(const Credentials& request) override;
    void OnLogOptionChanged(bool logPerDownload) override;
    void OnLanguageChanged(LANGID language) override;
    void OnSectionsChanged(LONG id, const VARIANT& sections) override;
    void OnSectionProgress(LONG id, LONG section, LONG sectionCount, ULONG loadedSize, ULONG sectionLoaded) override;
    void OnSectionFinished(LONG id, LONG section, LONG sectionCount) override;
    void OnPriorityChanged(LONG id, LONG priority) override;
    void OnDownloadRenamed(LONG id, BSTR url, BSTR path) override;
    void OnInterfaceChanged(bool languageResources) override;

    com_ptr<IUnknown> m_site;
    com_ptr<IWebBrowser2> m_browser;
    HWND m_parent = nullptr;
    CEngine m_engine;
    CMyDlg m_panel;
    CEngineEventSink m_sink;
    CEngineEventConnection m_connection;
};

}  // namespace tdm
