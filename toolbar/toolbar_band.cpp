#include "toolbar/toolbar_band.h"

#include "bar/band_site.h"
#include "engine/declared_schemes.h"
#include "framework/error.h"
#include "text/message_box.h"

namespace tdm {

CTolDownloadToolbar::CTolDownloadToolbar() noexcept = default;

CTolDownloadToolbar::~CTolDownloadToolbar() = default;

const InterfaceEntry* CTolDownloadToolbar::Interfaces(size_t* count) noexcept
{
    static const InterfaceEntry entries[] = {
        TDM_INTERFACE(CTolDownloadToolbar, ITolDownloadToolbar),
        TDM_INTERFACE_VIA(CTolDownloadToolbar, IDispatch, ITolDownloadToolbar),
        TDM_INTERFACE(CTolDownloadToolbar, IObjectWithSite),
        TDM_INTERFACE(CTolDownloadToolbar, IDeskBand),
        TDM_INTERFACE_VIA(CTolDownloadToolbar, IDockingWindow, IDeskBand),
        TDM_INTERFACE_VIA(CTolDownloadToolbar, IOleWindow, IDeskBand),
    };
    *count = sizeof(entries) / sizeof(entries[0]);
    return entries;
}

void CTolDownloadToolbar::FinalRelease() noexcept { Detach(); }

STDMETHODIMP CTolDownloadToolbar::SetSite(IUnknown* site)
try
{
    if (m_site)
    {
        Detach();
        return S_OK;
    }
    if (!site)
        return S_OK;
    m_site = com_ptr<IUnknown>(site);
    m_parent = SiteWindow(site);
    m_model = CDownloadsModel::ForThisThread();
    m_frame.SetModel(m_model.get());
    m_frame.CreateFrame(m_parent, true);
    m_browser = SiteBrowser(site);
    m_frame.SetBrowser(m_browser.get());
    return S_OK;
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadToolbar::GetSite(REFIID riid, void** ppv)
try
{
    return QuerySite(m_site.get(), riid, ppv);
}
TDM_COM_CATCH

void CTolDownloadToolbar::Detach() noexcept
{
    if (m_shown)
        (void)ShowDW(FALSE);
    if (m_frame.Window())
        ::DestroyWindow(m_frame.Window());
    m_frame.SetBrowser(nullptr);
    m_frame.SetModel(nullptr);
    m_model.reset();
    m_browser.reset();
    m_parent = nullptr;
    m_site.reset();
}

STDMETHODIMP CTolDownloadToolbar::GetWindow(HWND* window)
try
{
    if (!window)
        return E_INVALIDARG;
    *window = m_frame.Window();
    return *window ? S_OK : E_FAIL;
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadToolbar::ContextSensitiveHelp(BOOL)
try
{
    return E_NOTIMPL;
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadToolbar::ShowDW(BOOL show)
try
{
    try
    {
        if (show && !m_shown)
        {
            // An engine installed since the last check serves its schemes at once.
            RefreshDeclaredEngineSchemes();
            Show();
        }
        else if (!show && m_shown)
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

void CTolDownloadToolbar::Show()
{
    if (!m_model)
        RaiseIfFailed(E_UNEXPECTED, IID_IDeskBand);
    // All or nothing: a failure leaves the model without this toolbar's
    // connection, so that the next show tries again.
    m_model->Connect(m_browser.get());
    try
    {
        const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
        CallTwice(IID_ITolDownloadHelper, [&] {
            return helper->RegisterToolbar(static_cast<LONG>(::GetCurrentThreadId()), m_frame.Window());
        });
    }
    catch (...)
    {
        m_model->Disconnect();
        throw;
    }
    m_shown = true;
    ::ShowWindow(m_frame.Window(), SW_SHOW);
    if (!m_dropRegistered && m_frame.DropTargetWindow())
        m_dropRegistered =
            SUCCEEDED(LOG_IF_FAILED(::RegisterDragDrop(m_frame.DropTargetWindow(), static_cast<IDropTarget*>(this))));
}

void CTolDownloadToolbar::Hide()
{
    if (m_frame.Window())
        ::ShowWindow(m_frame.Window(), SW_HIDE);
    if (m_dropRegistered)
        LOG_IF_FAILED(::RevokeDragDrop(m_frame.DropTargetWindow()));
    m_dropRegistered = false;
    m_shown = false;
    if (m_model)
        m_model->Disconnect();
    const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
    CallTwice(IID_ITolDownloadHelper, [&] {
        return helper->UnregisterToolbar(static_cast<LONG>(::GetCurrentThreadId()), m_frame.Window());
    });
}

STDMETHODIMP CTolDownloadToolbar::CloseDW(DWORD)
try
{
    return ShowDW(FALSE);
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadToolbar::ResizeBorderDW(LPCRECT, IUnknown*, BOOL)
try
{
    return E_NOTIMPL;
}
TDM_COM_CATCH

STDMETHODIMP CTolDownloadToolbar::GetBandInfo(DWORD, DWORD, DESKBANDINFO* info)
try
{
    if (!info)
        return E_INVALIDARG;
    info->ptMinSize = POINTL{CTolToolbarFrame::kDefaultWidth, CTolToolbarFrame::kHeight};
    info->ptMaxSize = POINTL{-1, -1};
    info->ptIntegral = POINTL{1, 1};
    RECT rect{};
    LONG width = 0;
    if (m_frame.Window() && ::GetWindowRect(m_frame.Window(), &rect))
        width = rect.right - rect.left;
    info->ptActual = POINTL{width ? width : CTolToolbarFrame::kDefaultWidth, CTolToolbarFrame::kHeight};
    info->wszTitle[0] = L'\0';
    info->dwModeFlags = DBIMF_NORMAL;
    info->dwMask &= ~DBIM_BKCOLOR;
    return S_OK;
}
TDM_COM_CATCH

}  // namespace tdm
