#include "bar/band.h"

#include "bar/band_site.h"
#include "engine/declared_schemes.h"
#include "framework/error.h"
#include "text/message_box.h"

namespace tdm {

CTolBand::CTolBand() noexcept = default;

CTolBand::~CTolBand() = default;

const InterfaceEntry* CTolBand::Interfaces(size_t* count) noexcept
{
    static const InterfaceEntry entries[] = {
        TDM_INTERFACE(CTolBand, ITolBand),
        TDM_INTERFACE_VIA(CTolBand, IDispatch, ITolBand),
        TDM_INTERFACE(CTolBand, IObjectWithSite),
        TDM_INTERFACE(CTolBand, IDeskBand),
        TDM_INTERFACE_VIA(CTolBand, IDockingWindow, IDeskBand),
        TDM_INTERFACE_VIA(CTolBand, IOleWindow, IDeskBand),
    };
    *count = sizeof(entries) / sizeof(entries[0]);
    return entries;
}

void CTolBand::FinalRelease() noexcept { Detach(); }

// --- IObjectWithSite ------------------------------------------------------------------

STDMETHODIMP CTolBand::SetSite(IUnknown* site)
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
    m_panel.CreatePanel(m_parent);
    m_browser = SiteBrowser(site);
    m_panel.SetBrowser(m_browser.get());
    return S_OK;
}
TDM_COM_CATCH

STDMETHODIMP CTolBand::GetSite(REFIID riid, void** ppv)
try
{
    return QuerySite(m_site.get(), riid, ppv);
}
TDM_COM_CATCH

void CTolBand::Detach() noexcept
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
    if (m_panel.Window())
        ::DestroyWindow(m_panel.Window());
    if (m_site)
        m_panel.SetBrowser(nullptr);
    m_browser.reset();
    m_parent = nullptr;
    m_site.reset();
}

// --- ITolBand ------------------------------------------------------------------------

STDMETHODIMP CTolBand::IsVisible(VARIANT_BOOL* visible)
try
{
    if (!visible)
        return E_POINTER;
    *visible = m_panel.Window() && ::IsWindowVisible(m_panel.Window()) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
TDM_COM_CATCH

// --- IDeskBand -----------------------------------------------------------------------

STDMETHODIMP CTolBand::GetWindow(HWND* window)
try
{
    if (!window)
        return E_INVALIDARG;
    *window = m_panel.Window();
    return *window ? S_OK : E_FAIL;
}
TDM_COM_CATCH

STDMETHODIMP CTolBand::ContextSensitiveHelp(BOOL)
try
{
    return E_NOTIMPL;
}
TDM_COM_CATCH

STDMETHODIMP CTolBand::ShowDW(BOOL show)
try
{
    if (!m_panel.Window())
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
            Hide();
    }
    catch (const CComError& error)
    {
        ShowComError(error);
        return E_FAIL;
    }
    return S_OK;
}
TDM_COM_CATCH

void CTolBand::Show()
{
    CDownloadsModel* model = m_panel.Model();
    if (!m_connected && model)
    {
        // All or nothing: a failure leaves the model without this bar's
        // connection, so that the next show tries again.
        model->Connect(m_browser.get());
        try
        {
            const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
            CallTwice(IID_ITolDownloadHelper, [&] {
                return helper->RegisterBand(static_cast<LONG>(::GetCurrentThreadId()), m_panel.Window());
            });
        }
        catch (...)
        {
            model->Disconnect();
            throw;
        }
        m_connected = true;
    }
    m_panel.ShowPanel(true, static_cast<IDropTarget*>(this));
}

void CTolBand::Hide()
{
    m_panel.ShowPanel(false, nullptr);
    if (!m_connected)
        return;
    m_connected = false;
    if (CDownloadsModel* model = m_panel.Model())
        model->Disconnect();
    const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
    CallTwice(IID_ITolDownloadHelper, [&] {
        return helper->UnregisterBand(static_cast<LONG>(::GetCurrentThreadId()), m_panel.Window());
    });
}

STDMETHODIMP CTolBand::CloseDW(DWORD)
try
{
    return ShowDW(FALSE);
}
TDM_COM_CATCH

STDMETHODIMP CTolBand::ResizeBorderDW(LPCRECT, IUnknown*, BOOL)
try
{
    return E_NOTIMPL;
}
TDM_COM_CATCH

STDMETHODIMP CTolBand::GetBandInfo(DWORD, DWORD, DESKBANDINFO* info)
try
{
    if (!info)
        return E_INVALIDARG;
    if (info->dwMask & DBIM_MINSIZE)
        info->ptMinSize = POINTL{320, 26};
    if (info->dwMask & DBIM_MAXSIZE)
        info->ptMaxSize = POINTL{-1, -1};
    if (info->dwMask & DBIM_INTEGRAL)
        info->ptIntegral = POINTL{1, 1};
    if (info->dwMask & DBIM_ACTUAL)
    {
        RECT rect{};
        if (m_panel.Window() && ::GetWindowRect(m_panel.Window(), &rect))
            info->ptActual = POINTL{rect.right - rect.left, rect.bottom - rect.top};
        else
            info->ptActual = POINTL{0, 0};
    }
    if (info->dwMask & DBIM_TITLE)
        info->wszTitle[0] = L'\0';
    if (info->dwMask & DBIM_MODEFLAGS)
        info->dwModeFlags = DBIMF_VARIABLEHEIGHT;
    if (info->dwMask & DBIM_BKCOLOR)
        info->crBkgnd = ::GetSysColor(COLOR_WINDOW);
    return S_OK;
}
TDM_COM_CATCH

}  // namespace tdm
