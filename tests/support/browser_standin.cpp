#include "support/browser_standin.h"

#include <commctrl.h>
#include <shlguid.h>
#include <algorithm>

#include "support/this_module.h"
#include "tdm_h.h"

namespace tdm::test {

namespace {

const wchar_t kFrameClass[] = L"TolvaneTestBrowserFrame";
const wchar_t kBandHostClass[] = L"TolvaneTestBandHost";
constexpr int kBandHostHeight = 200;

const wchar_t kBarFrameClass[] = L"TolvaneTestBarFrame";

// The bar frame keeps its host window (its one child) as large as its client
// area, as the browser lays out its bars.
LRESULT CALLBACK BarFrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SIZE)
        if (const HWND host = ::GetWindow(window, GW_CHILD))
            ::SetWindowPos(host, nullptr, 0, 0, LOWORD(lParam), HIWORD(lParam), SWP_NOZORDER | SWP_NOACTIVATE);
    return ::DefWindowProcW(window, message, wParam, lParam);
}

void RegisterWindowClass(const wchar_t* name, WNDPROC procedure = &::DefWindowProcW) noexcept
{
    WNDCLASSEXW info{};
    info.cbSize = sizeof(info);
    info.lpfnWndProc = procedure;
    info.hInstance = ThisModule();
    info.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    info.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    info.lpszClassName = name;
    ::RegisterClassExW(&info);
}

template <typename Interface>
bool Is(REFIID riid) noexcept
{
    return ::IsEqualIID(riid, __uuidof(Interface)) != FALSE;
}

// Hands out `found` (an interface of the object asked), or no interface.
HRESULT Answer(IUnknown* found, void** ppv) noexcept
{
    if (!ppv)
        return E_POINTER;
    *ppv = found;
    if (!found)
        return E_NOINTERFACE;
    found->AddRef();
    return S_OK;
}

// The site of a helper object: the frame window, and the browser as a service.
class SiteObject final : public IOleWindow, public IServiceProvider, public RefCounted
{
public:
    SiteObject(StandInBrowser* browser, HWND window, SiteKind kind) : m_browser(browser), m_window(window), m_kind(kind)
    {
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (Is<IUnknown>(riid) || Is<IOleWindow>(riid))
            return Answer(static_cast<IOleWindow*>(this), ppv);
        const bool services = Is<IServiceProvider>(riid) && m_kind != SiteKind::NoServiceProvider;
        return Answer(services ? static_cast<IServiceProvider*>(this) : nullptr, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

    // IOleWindow
    STDMETHODIMP GetWindow(HWND* window) override
    {
        if (!window)
            return E_POINTER;
        *window = m_window;
        return S_OK;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // IServiceProvider
    STDMETHODIMP QueryService(REFGUID service, REFIID riid, void** ppv) override
    {
        if (m_kind != SiteKind::Browser)
            return Answer(nullptr, ppv);
        return m_browser->QueryService(service, riid, ppv);
    }

private:
    com_ptr<StandInBrowser> m_browser;
    HWND m_window;
    SiteKind m_kind;
};

// A page's document, its link collection and its links: only what the module
// reads of them (hrefs and the cookie), through their interfaces and, as a
// script reads them, by name through IDispatch (`length`, `item`, `href`).
template <typename Stubs, typename Interface>
class PageObject : public Stubs, public RefCounted
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        const bool known = Is<IUnknown>(riid) || Is<IDispatch>(riid) || Is<Interface>(riid);
        return Answer(known ? static_cast<Interface*>(this) : nullptr, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }
    // The names of all page objects; each object answers only its own.
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        const wchar_t* const known[] = {L"length", L"item", L"href"};
        for (DISPID id = 0; id < 3 && count == 1; ++id)
            if (::lstrcmpiW(names[0], known[id]) == 0)
                return ids[0] = kLength + id, S_OK;
        return DISP_E_UNKNOWNNAME;
    }

protected:
    enum : DISPID { kLength = 1, kItem, kHref };
};

class Anchor final : public PageObject<HtmlAnchorElementStubs, IHTMLAnchorElement>
{
public:
    Anchor(std::wstring href, bool numberHref) : m_href(std::move(href)), m_numberHref(numberHref) {}
    STDMETHODIMP get_href(BSTR* href) override
    {
        *href = ::SysAllocStringLen(m_href.data(), static_cast<UINT>(m_href.size()));
        return S_OK;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override
    {
        if (id != kHref || !result)
            return DISP_E_MEMBERNOTFOUND;
        V_VT(result) = m_numberHref ? VT_I4 : VT_BSTR;
        return m_numberHref ? (V_I4(result) = 42, S_OK) : get_href(&V_BSTR(result));
    }

private:

    std::wstring m_href;
    bool m_numberHref;
};

class Links final : public PageObject<HtmlElementCollectionStubs, IHTMLElementCollection>
{
public:
    Links(std::vector<std::wstring> hrefs, PageFaults faults) : m_hrefs(std::move(hrefs)), m_faults(std::move(faults)) {}
    STDMETHODIMP get_length(LONG* length) override
    {
        *length = static_cast<LONG>(m_hrefs.size());
        return S_OK;
    }
    STDMETHODIMP item(VARIANT name, VARIANT, IDispatch** item) override
    {
        *item = nullptr;
        if (V_VT(&name) != VT_I4 || V_I4(&name) < 0 || static_cast<size_t>(V_I4(&name)) >= m_hrefs.size())
            return E_INVALIDARG;
        const size_t index = static_cast<size_t>(V_I4(&name));
        if (index >= m_faults.failFrom)
            return E_ACCESSDENIED;
        const bool numberHref = std::find(m_faults.numberHrefs.begin(), m_faults.numberHrefs.end(), index) !=
                                m_faults.numberHrefs.end();
        *item = new Anchor(m_hrefs[index], numberHref);
        return S_OK;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* parameters, VARIANT* result, EXCEPINFO*,
                        UINT*) override
    {
        if (id == kLength && result)
            return V_VT(result) = VT_I4, get_length(&V_I4(result));
        if (id != kItem || !result || !parameters || parameters->cArgs != 1)
            return DISP_E_MEMBERNOTFOUND;
        V_VT(result) = VT_DISPATCH;
        return item(parameters->rgvarg[0], VARIANT{}, &V_DISPATCH(result));
    }

private:
    std::vector<std::wstring> m_hrefs;
    PageFaults m_faults;
};

class Document final : public PageObject<HtmlDocument2Stubs, IHTMLDocument2>
{
public:
    Document(std::vector<std::wstring> links, std::wstring cookie, std::wstring address, PageFaults faults)
        : m_links(std::move(links)), m_cookie(std::move(cookie)), m_address(std::move(address)), m_faults(std::move(faults))
    {
    }
    STDMETHODIMP get_links(IHTMLElementCollection** links) override
    {
        *links = new Links(m_links, m_faults);
        return S_OK;
    }
    STDMETHODIMP get_cookie(BSTR* cookie) override
    {
        *cookie = ::SysAllocStringLen(m_cookie.data(), static_cast<UINT>(m_cookie.size()));
        return S_OK;
    }
    // The page's address as set; else the server of its first link, where a
    // page's own links usually lead ("about:blank" for a page without links).
    STDMETHODIMP get_URL(BSTR* url) override
    {
        if (!m_address.empty())
            return (*url = ::SysAllocString(m_address.c_str())) ? S_OK : E_OUTOFMEMORY;
        const std::wstring first = m_links.empty() ? L"about:blank" : m_links[0];
        const size_t host = first.find(L"://");
        const std::wstring address = host == std::wstring::npos ? first : first.substr(0, first.find(L'/', host + 3)) + L"/";
        *url = ::SysAllocString(address.c_str());
        return S_OK;
    }

private:
    std::vector<std::wstring> m_links;
    std::wstring m_cookie;
    std::wstring m_address;
    PageFaults m_faults;
};

}  // namespace

// StandInBrowser

STDMETHODIMP StandInBrowser::get_Document(IDispatch** document)
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    *document = new Document(m_links, m_cookie, m_address, m_faults);
    return S_OK;
}

void StandInBrowser::SetPage(std::vector<std::wstring> links, std::wstring cookie)
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_links = std::move(links);
    m_cookie = std::move(cookie);
    m_faults = {};
}

void StandInBrowser::SetPageAddress(std::wstring address)
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_address = std::move(address);
}

void StandInBrowser::SetPageFaults(PageFaults faults)
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_faults = std::move(faults);
}

com_ptr<IDispatch> StandInBrowser::PageLinks()
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    return com_ptr<IDispatch>::attach(new Links(m_links, m_faults));
}

com_ptr<StandInBrowser> StandInBrowser::Create(HWND frame)
{
    return com_ptr<StandInBrowser>::attach(new StandInBrowser(frame));
}

StandInBrowser::~StandInBrowser() = default;

STDMETHODIMP StandInBrowser::QueryInterface(REFIID riid, void** ppv)
{
    if (Is<IUnknown>(riid) || Is<IDispatch>(riid) || Is<IWebBrowser>(riid) || Is<IWebBrowserApp>(riid) ||
        Is<IWebBrowser2>(riid))
        return Answer(static_cast<IWebBrowser2*>(this), ppv);
    return Answer(Is<IServiceProvider>(riid) ? static_cast<IServiceProvider*>(this) : nullptr, ppv);
}

STDMETHODIMP StandInBrowser::get_HWND(SHANDLE_PTR* window)
{
    if (!window)
        return E_POINTER;
    *window = reinterpret_cast<SHANDLE_PTR>(m_frame);
    return S_OK;
}

STDMETHODIMP StandInBrowser::ShowBrowserBar(VARIANT* clsid, VARIANT* show, VARIANT* size)
{
    BrowserBarCall call;
    if (clsid)
    {
        call.clsidType = V_VT(clsid);
        if (V_VT(clsid) == VT_BSTR && V_BSTR(clsid))
            call.clsid.assign(V_BSTR(clsid), ::SysStringLen(V_BSTR(clsid)));
    }
    if (show)
    {
        call.showType = V_VT(show);
        call.show = V_VT(show) == VT_BOOL && V_BOOL(show) != VARIANT_FALSE;
    }
    call.sizeGiven = size != nullptr;
    HRESULT result = S_OK;
    {
        std::lock_guard<tdm::srw_lock> guard(m_lock);
        m_barCalls.push_back(call);
        result = m_barResult;
    }
    CLSID parsed{};
    if (m_hostBars && SUCCEEDED(result) && call.clsidType == VT_BSTR && call.showType == VT_BOOL &&
        SUCCEEDED(::CLSIDFromString(call.clsid.c_str(), &parsed)))
        ShowBar(parsed, call.show);
    return result;
}

void StandInBrowser::ShowBar(REFCLSID clsid, bool show)
{
    for (const HostedBar& bar : m_bars)
    {
        if (::IsEqualCLSID(bar.clsid, clsid))
        {
            bar.band->ShowDW(show ? TRUE : FALSE);
            return;
        }
    }
    if (!show)
        return;
    HostedBar bar;
    bar.clsid = clsid;
    if (FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDeskBand, bar.band.put_void())))
        return;
    RegisterWindowClass(kBandHostClass);
    RECT client{};
    ::GetClientRect(m_frame, &client);
    // The bar frame: a sizing edge at its top, the host below it; the browser's
    // close button sits in the host's top right corner, above the band.
    RegisterWindowClass(kBarFrameClass, &BarFrameProc);
    bar.frame.reset(::CreateWindowExW(0, kBarFrameClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_THICKFRAME,
                                      0, client.bottom - kBandHostHeight, client.right, kBandHostHeight, m_frame,
                                      nullptr, ThisModule(), nullptr));
    RECT inside{};
    ::GetClientRect(bar.frame.get(), &inside);
    bar.host = ::CreateWindowExW(0, kBandHostClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, inside.right,
                                 inside.bottom, bar.frame.get(), nullptr, ThisModule(), nullptr);
    bar.close = ::CreateWindowExW(0, L"BUTTON", L"x", WS_CHILD | WS_VISIBLE, inside.right - 18, 0, 16, 14, bar.host,
                                  nullptr, ThisModule(), nullptr);
    bar.site = CreateBrowserSite(this, bar.host, SiteKind::Browser);
    if (const auto withSite = bar.band.try_query<IObjectWithSite>())
        withSite->SetSite(bar.site.get());
    // The close button stays above the band's window.
    ::SetWindowPos(bar.close, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    HWND window = nullptr;
    if (SUCCEEDED(bar.band->GetWindow(&window)) && window)
        ::SetWindowPos(window, nullptr, 0, 0, inside.right, inside.bottom, SWP_NOZORDER | SWP_NOACTIVATE);
    const com_ptr<IDeskBand> band = bar.band;
    m_bars.push_back(std::move(bar));
    band->ShowDW(TRUE);
}

IDeskBand* StandInBrowser::ShowToolbar(REFCLSID clsid)
{
    for (const HostedBar& toolbar : m_toolbars)
        if (::IsEqualCLSID(toolbar.clsid, clsid))
            return toolbar.band->ShowDW(TRUE), toolbar.band.get();
    HostedBar toolbar;
    toolbar.clsid = clsid;
    if (FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDeskBand, toolbar.band.put_void())))
        return nullptr;
    if (!m_rebar)
    {
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_COOL_CLASSES};
        ::InitCommonControlsEx(&controls);
        RECT client{};
        ::GetClientRect(m_frame, &client);
        m_rebar.reset(::CreateWindowExW(0, REBARCLASSNAMEW, nullptr,
                                        WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | RBS_VARHEIGHT |
                                            CCS_NODIVIDER | CCS_TOP,
                                        0, 0, client.right, 30, m_frame, nullptr, ThisModule(), nullptr));
    }
    toolbar.site = CreateBrowserSite(this, m_rebar.get(), SiteKind::Browser);
    if (const auto withSite = toolbar.band.try_query<IObjectWithSite>())
        withSite->SetSite(toolbar.site.get());
    DESKBANDINFO info{};
    info.dwMask = DBIM_MINSIZE | DBIM_ACTUAL | DBIM_MODEFLAGS;
    toolbar.band->GetBandInfo(0, DBIF_VIEWMODE_NORMAL, &info);
    HWND window = nullptr;
    toolbar.band->GetWindow(&window);
    REBARBANDINFOW band{};
    band.cbSize = sizeof(band);
    band.fMask = RBBIM_CHILD | RBBIM_CHILDSIZE | RBBIM_SIZE | RBBIM_STYLE;
    band.fStyle = RBBS_CHILDEDGE | RBBS_GRIPPERALWAYS;
    band.hwndChild = window;
    band.cxMinChild = static_cast<UINT>(info.ptMinSize.x);
    band.cyMinChild = static_cast<UINT>(info.ptMinSize.y);
    band.cx = static_cast<UINT>(info.ptActual.x);
    ::SendMessageW(m_rebar.get(), RB_INSERTBANDW, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&band));
    const com_ptr<IDeskBand> shown = toolbar.band;
    m_toolbars.push_back(std::move(toolbar));
    shown->ShowDW(TRUE);
    return shown.get();
}

HWND StandInBrowser::BarFrame(REFCLSID clsid) const noexcept
{
    for (const HostedBar& bar : m_bars)
        if (::IsEqualCLSID(bar.clsid, clsid))
            return bar.frame.get();
    return nullptr;
}

HWND StandInBrowser::BarCloseButton(REFCLSID clsid) const noexcept
{
    for (const HostedBar& bar : m_bars)
        if (::IsEqualCLSID(bar.clsid, clsid))
            return bar.close;
    return nullptr;
}

IDeskBand* StandInBrowser::Bar(REFCLSID clsid) const noexcept
{
    for (const HostedBar& bar : m_bars)
        if (::IsEqualCLSID(bar.clsid, clsid))
            return bar.band.get();
    return nullptr;
}

void StandInBrowser::CloseBars() noexcept
{
    std::vector<HostedBar> bars;
    bars.swap(m_bars);
    for (HostedBar& toolbar : m_toolbars)
        bars.push_back(std::move(toolbar));
    m_toolbars.clear();
    for (const HostedBar& bar : bars)
    {
        bar.band->CloseDW(0);
        if (const auto withSite = bar.band.try_query<IObjectWithSite>())
            withSite->SetSite(nullptr);
    }
    m_rebar.reset();
}

STDMETHODIMP StandInBrowser::QueryService(REFGUID service, REFIID riid, void** ppv)
{
    if (::IsEqualGUID(service, SID_SWebBrowserApp))
        return QueryInterface(riid, ppv);
    return Answer(nullptr, ppv);
}

std::vector<BrowserBarCall> StandInBrowser::BarCalls() const
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    return m_barCalls;
}

void StandInBrowser::SetBarResult(HRESULT result)
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_barResult = result;
}

com_ptr<IUnknown> CreateBrowserSite(StandInBrowser* browser, HWND frame, SiteKind kind)
{
    return com_ptr<IUnknown>::attach(static_cast<IOleWindow*>(new SiteObject(browser, frame, kind)));
}

// BrowserWindow

HRESULT BrowserWindow::Open()
{
    if (m_frame)
        return E_UNEXPECTED;
    RegisterWindowClass(kFrameClass);
    m_frame.reset(::CreateWindowExW(0, kFrameClass, L"Tolvane test browser", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                    800, 600, nullptr, nullptr, ThisModule(), nullptr));
    if (!m_frame)
        return HRESULT_FROM_WIN32(::GetLastError());
    m_browser = StandInBrowser::Create(m_frame.get());
    m_site = CreateBrowserSite(m_browser.get(), m_frame.get(), SiteKind::Browser);

    // Every browser window creates and sites its helper objects.
    com_ptr<IObjectWithSite> helper;
    const HRESULT created = m_factory ? m_factory(helper.put())
                                      : ::CoCreateInstance(CLSID_TolDownloadHelper, nullptr, CLSCTX_INPROC_SERVER,
                                                           IID_IObjectWithSite, helper.put_void());
    if (FAILED(created))
        return created;
    if (!helper)
        return E_POINTER;
    m_helper = helper;
    return m_helper->SetSite(m_site.get());
}

void BrowserWindow::Close()
{
    if (m_browser)
        m_browser->CloseBars();
    if (m_helper)
    {
        m_helper->SetSite(nullptr);
        m_helper = nullptr;
    }
    m_site = nullptr;
    m_frame.reset();
}

}  // namespace tdm::test
