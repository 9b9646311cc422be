// What the explorer bar's band and the toolbar band have in common: the site
// the browser gives them, the band's window interfaces, and showing: a shown
// band holds a connection of its thread's downloads model to the engine and is
// registered with the helper object; a hidden one holds neither.
//
// Showing is all or nothing: when connecting, reading the list or registering
// fails, the band keeps no connection and no registration (the next show tries
// again) and the failure is shown in the COM error box.
//
// T derives from CBandBaseT<T> and offers
//     HWND CreateBandWindow(HWND parent);        creates its window on siting
//     void DestroyBandWindow() noexcept;         and destroys it when unsited
//     HWND BandWindow() const noexcept;
//     void SetBandBrowser(IWebBrowser2*) noexcept;
//     CDownloadsModel* BandModel() const noexcept;
//     void ShowBandWindow(bool show) noexcept;   shows or hides its window
//     void RegisterBand(ITolDownloadHelper& helper, bool add);   raised on failure
// and GetBandInfo. Its interface table lists TDM_BAND_INTERFACES(T).
#pragma once

#include <windows.h>
#include <exdisp.h>
#include <ocidl.h>
#include <shlobj.h>

#include "bar/band_site.h"
#include "downloads/downloads_model.h"
#include "engine/declared_schemes.h"
#include "framework/automation.h"
#include "framework/error.h"
#include "tdm_h.h"
#include "text/message_box.h"

// The interfaces every band answers: IDeskBand with its bases.
#define TDM_BAND_INTERFACES(Class)                        \
    TDM_INTERFACE(Class, IObjectWithSite),                \
    TDM_INTERFACE(Class, IDeskBand),                      \
    TDM_INTERFACE_VIA(Class, IDockingWindow, IDeskBand), \
    TDM_INTERFACE_VIA(Class, IOleWindow, IDeskBand)

namespace tdm {

template <typename T>
class CBandBaseT : public IObjectWithSite, public IDeskBand
{
public:
    // IObjectWithSite
    STDMETHODIMP SetSite(IUnknown* site) override
    try
    {
        if (m_site)
        {
            // The browser detaches with a null site; any call while sited detaches.
            Detach();
            return S_OK;
        }
        if (!site)
            return S_OK;
        m_site = com_ptr<IUnknown>(site);
        m_parent = SiteWindow(site);
        Self().CreateBandWindow(m_parent);
        m_browser = SiteBrowser(site);
        Self().SetBandBrowser(m_browser.get());
        return S_OK;
    }
    TDM_COM_CATCH

    STDMETHODIMP GetSite(REFIID riid, void** ppv) override
    try
    {
        return QuerySite(m_site.get(), riid, ppv);
    }
    TDM_COM_CATCH

    // IOleWindow
    STDMETHODIMP GetWindow(HWND* window) override
    try
    {
        if (!window)
            return E_INVALIDARG;
        *window = Self().BandWindow();
        return *window ? S_OK : E_FAIL;
    }
    TDM_COM_CATCH

    STDMETHODIMP ContextSensitiveHelp(BOOL) override
    try
    {
        return E_NOTIMPL;
    }
    TDM_COM_CATCH

    // IDockingWindow
    STDMETHODIMP ShowDW(BOOL show) override
    try
    {
        if (!Self().BandWindow())
            return E_FAIL;
        try
        {
            if (show)
            {
                // An engine installed since the last check serves its schemes at once.
                RefreshDeclaredEngineSchemes();
                Show();
            }
            else
            {
                Hide();
            }
        }
        catch (const CComError& error)
        {
            ShowComError(error);
            return E_FAIL;
        }
        return S_OK;
    }
    TDM_COM_CATCH

    STDMETHODIMP CloseDW(DWORD) override
    try
    {
        return ShowDW(FALSE);
    }
    TDM_COM_CATCH

    STDMETHODIMP ResizeBorderDW(LPCRECT, IUnknown*, BOOL) override
    try
    {
        return E_NOTIMPL;
    }
    TDM_COM_CATCH

protected:
    CBandBaseT() noexcept = default;
    ~CBandBaseT() = default;

    // Hides the band and gives everything of the site back; for SetSite and the
    // final release.
    void Detach() noexcept
    {
        try
        {
            if (m_connected)
                Hide();
        }
        catch (const CComError& error)
        {
            LOG_IF_FAILED(error.Status());
        }
        Self().DestroyBandWindow();
        if (m_site)
            Self().SetBandBrowser(nullptr);
        m_browser.reset();
        m_parent = nullptr;
        m_site.reset();
    }

    IWebBrowser2* Browser() const noexcept { return m_browser.get(); }

private:
    T& Self() noexcept { return static_cast<T&>(*this); }

    void Show()
    {
        if (!m_connected)
        {
            CDownloadsModel* model = Self().BandModel();
            if (!model)
                RaiseIfFailed(E_UNEXPECTED, IID_IDeskBand);
            model->Connect(m_browser.get());
            try
            {
                const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
                Self().RegisterBand(*helper.get(), true);
            }
            catch (...)
            {
                model->Disconnect();
                throw;
            }
            m_connected = true;
        }
        Self().ShowBandWindow(true);
    }

    void Hide()
    {
        Self().ShowBandWindow(false);
        if (!m_connected)
            return;
        m_connected = false;
        if (CDownloadsModel* model = Self().BandModel())
            model->Disconnect();
        const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
        Self().RegisterBand(*helper.get(), false);
    }

    com_ptr<IUnknown> m_site;
    com_ptr<IWebBrowser2> m_browser;
    HWND m_parent = nullptr;
    bool m_connected = false;
};

}  // namespace tdm
