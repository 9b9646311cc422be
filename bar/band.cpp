#include "bar/band.h"

#include "bar/band_site.h"
#include "engine/declared_schemes.h"
#include "framework/error.h"
#include "text/message_box.h"

namespace tdm {

CTolBand::CTolBand() noexcept : m_sink(*static_cast<IObjectWithSite*>(this), *this) {}

CTolBand::~CTolBand() = default;

const InterfaceEntry* CTolBand::Interfaces(size_t* count) noexcept
{
    static const InterfaceEntry entries[] = {
        TDM_INTERFACE(CTolBand, ITolBand),
        TDM_INTERFACE_VIA(CTolBand, IDispatch, ITolBand),
        TDM_INTERFACE(CTolBand, IObjectWithSite),
        TDM_INTERFACE(CTolBand, IDeskBand),
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
        if (m_engine)
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
    if (show)
    {
        // An engine installed since the last check serves its schemes at once.
        RefreshDeclaredEngineSchemes();
        Show();
    }
    else
        Hide();
    return S_OK;
}
TDM_COM_CATCH

void CTolBand::Show()
{
    if (!m_engine)
    {
        m_engine = CEngine::Create();
        m_panel.SetEngine(m_engine.get());
        m_connection.Connect(m_engine.get(), static_cast<_IDownloadEngineEvents*>(&m_sink));
        const auto helper = CreateTwice<ITolDownloadHelper>(CLSID_TolDownloadHelper);
        CallTwice(IID_ITolDownloadHelper, [&] {
            return helper->RegisterBand(static_cast<LONG>(::GetCurrentThreadId()), m_panel.Window());
        });
        unique_variant list;
        m_engine.GetDownloadList(list);
        m_panel.FillFromEngineList(*list.get());
    }
    m_panel.ShowPanel(true, static_cast<IDropTarget*>(this));
}

void CTolBand::Hide()
{
    m_panel.ShowPanel(false, nullptr);
    if (!m_engine)
        return;
    LOG_IF_FAILED(m_connection.Disconnect());
    m_engine.reset();
    m_panel.SetEngine(nullptr);
    m_panel.ClearDownloads();
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

// --- engine events ------------------------------------------------------------------

void CTolBand::OnDownloadAdded(LONG id, BSTR url, BSTR folder, BSTR fileName, LONG state, LONG priority)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnDownloadAdded(id, url, folder, fileName, state, priority);
    m_panel.OnDownloadAdded(id, url, folder, fileName, state, priority);
}

void CTolBand::OnDownloadStateChanged(LONG id, LONG state, double elapsed)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnDownloadStateChanged(id, state, elapsed);
    m_panel.OnDownloadStateChanged(id, state, elapsed);
}

void CTolBand::OnDownloadStopped(LONG id, LONG state, double elapsed, HWND owner, LONG scope, VARIANT_BOOL* claimed)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnDownloadStopped(id, state, elapsed, owner, scope, claimed);
    if (scope == 0)
        m_panel.OnDownloadStopped(id, state, elapsed, owner, scope, claimed);
    if ((state & kStateError) != 0 && *claimed == VARIANT_FALSE && m_panel.Claim(owner, scope))
    {
        *claimed = VARIANT_TRUE;
        ::PostMessageW(m_panel.Window(), kCompletionNotice, static_cast<WPARAM>(id), kNoticeStopped);
    }
}

void CTolBand::OnDownloadDeleted(LONG id)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnDownloadDeleted(id);
    m_panel.OnDownloadDeleted(id);
}

void CTolBand::OnDownloadFileInfo(const FileInfo& info)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnDownloadFileInfo(info);
    m_panel.OnDownloadFileInfo(info);
}

void CTolBand::OnResumeSupportChanged(LONG id, bool resumable)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnResumeSupportChanged(id, resumable);
    m_panel.OnResumeSupportChanged(id, resumable);
}

void CTolBand::OnDownloadProgress(const Progress& progress)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnDownloadProgress(progress);
    m_panel.OnDownloadProgress(progress);
}

void CTolBand::OnDownloadCompleted(LONG id, LONG state, double elapsed, HWND owner, LONG scope,
                                   VARIANT_BOOL* claimed)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnDownloadCompleted(id, state, elapsed, owner, scope, claimed);
    if (scope == 0)
        m_panel.OnDownloadCompleted(id, state, elapsed, owner, scope, claimed);
    if (*claimed == VARIANT_FALSE && m_panel.Claim(owner, scope))
    {
        *claimed = VARIANT_TRUE;
        ::PostMessageW(m_panel.Window(), kCompletionNotice, static_cast<WPARAM>(id), kNoticeCompleted);
    }
}

void CTolBand::OnDownloadError(LONG id, LONG state, LONG scope, VARIANT_BOOL* claimed)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnDownloadError(id, state, scope, claimed);
    if (scope == 0)
        m_panel.OnDownloadError(id, state, scope, claimed);
    *claimed = VARIANT_TRUE;
}

void CTolBand::OnDownloadInfoChanged(LONG id, const VARIANT& info)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnDownloadInfoChanged(id, info);
    m_panel.OnDownloadInfoChanged(id, info);
}

void CTolBand::OnDownloadRestarted(LONG id, ULONG totalSize, ULONG loadedSize, LONG state, double elapsed)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnDownloadRestarted(id, totalSize, loadedSize, state, elapsed);
    m_panel.OnDownloadRestarted(id, totalSize, loadedSize, state, elapsed);
}

void CTolBand::OnCredentialsRequired(const Credentials& request)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnCredentialsRequired(request);
    if (*request.claimed != VARIANT_FALSE || !m_panel.Claim(request.owner, request.scope))
        return;
    *request.claimed = VARIANT_TRUE;
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnCredentialsRequired(request);
    m_panel.OnCredentialsRequired(request);
}

void CTolBand::OnLogOptionChanged(bool logPerDownload)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnLogOptionChanged(logPerDownload);
    m_panel.OnLogOptionChanged(logPerDownload);
}

void CTolBand::OnLanguageChanged(LANGID language)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnLanguageChanged(language);
    m_panel.OnLanguageChanged(language);
}

void CTolBand::OnSectionsChanged(LONG id, const VARIANT& sections)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnSectionsChanged(id, sections);
    m_panel.OnSectionsChanged(id, sections);
}

void CTolBand::OnSectionProgress(LONG id, LONG section, LONG sectionCount, ULONG loadedSize, ULONG sectionLoaded)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnSectionProgress(id, section, sectionCount, loadedSize, sectionLoaded);
    m_panel.OnSectionProgress(id, section, sectionCount, loadedSize, sectionLoaded);
}

void CTolBand::OnSectionFinished(LONG id, LONG section, LONG sectionCount)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnSectionFinished(id, section, sectionCount);
    m_panel.OnSectionFinished(id, section, sectionCount);
}

void CTolBand::OnPriorityChanged(LONG id, LONG priority)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnPriorityChanged(id, priority);
    m_panel.OnPriorityChanged(id, priority);
}

void CTolBand::OnDownloadRenamed(LONG id, BSTR url, BSTR path)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnDownloadRenamed(id, url, path);
    m_panel.OnDownloadRenamed(id, url, path);
}

void CTolBand::OnInterfaceChanged(bool languageResources)
{
    if (IIconicView* frame = m_panel.IconicFrame())
        frame->OnInterfaceChanged(languageResources);
    m_panel.OnInterfaceChanged(languageResources);
}

}  // namespace tdm
