#include "support/browser_standin.h"

#include <shlguid.h>
#include <utility>

#include "tdm_h.h"

namespace tdm::test {

namespace {

const wchar_t kFrameClass[] = L"TolvaneTestBrowserFrame";
const wchar_t kBandHostClass[] = L"TolvaneTestBandHost";
constexpr int kBandHostHeight = 150;

HINSTANCE ThisModule() noexcept
{
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

void RegisterWindowClasses() noexcept
{
    for (const wchar_t* name : {kFrameClass, kBandHostClass})
    {
        WNDCLASSEXW info{};
        info.cbSize = sizeof(info);
        info.lpfnWndProc = &::DefWindowProcW;
        info.hInstance = ThisModule();
        info.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        info.lpszClassName = name;
        ::RegisterClassExW(&info);
    }
}

template <typename Interface>
bool Is(REFIID riid) noexcept
{
    return ::IsEqualIID(riid, __uuidof(Interface)) != FALSE;
}

// Hands out `self` as the interface asked for.
template <typename Interface>
HRESULT Answer(Interface* self, void** ppv) noexcept
{
    self->AddRef();
    *ppv = self;
    return S_OK;
}

HRESULT NoInterface(void** ppv) noexcept
{
    *ppv = nullptr;
    return E_NOINTERFACE;
}

// An element of the page that is not a link.
class PlainElement final : public IDispatch, public RefCounted
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (Is<IUnknown>(riid) || Is<IDispatch>(riid))
            return Answer(static_cast<IDispatch*>(this), ppv);
        return NoInterface(ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
};

class Anchor final : public HtmlAnchorElementStubs, public RefCounted
{
public:
    explicit Anchor(std::wstring href) : m_href(std::move(href)) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (Is<IUnknown>(riid) || Is<IDispatch>(riid) || Is<IHTMLAnchorElement>(riid))
            return Answer(static_cast<IHTMLAnchorElement*>(this), ppv);
        return NoInterface(ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

    STDMETHODIMP get_href(BSTR* href) override
    {
        if (!href)
            return E_POINTER;
        *href = ::SysAllocStringLen(m_href.data(), static_cast<UINT>(m_href.size()));
        return *href ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::wstring m_href;
};

class LinkCollection final : public HtmlElementCollectionStubs, public RefCounted
{
public:
    explicit LinkCollection(std::vector<std::optional<std::wstring>> links) : m_links(std::move(links)) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (Is<IUnknown>(riid) || Is<IDispatch>(riid) || Is<IHTMLElementCollection>(riid))
            return Answer(static_cast<IHTMLElementCollection*>(this), ppv);
        return NoInterface(ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

    STDMETHODIMP get_length(LONG* length) override
    {
        if (!length)
            return E_POINTER;
        *length = static_cast<LONG>(m_links.size());
        return S_OK;
    }
    // By index only: `name` holds the index (a number), `index` is unused.
    STDMETHODIMP item(VARIANT name, VARIANT, IDispatch** element) override
    {
        if (!element)
            return E_POINTER;
        *element = nullptr;
        VARIANT number;
        ::VariantInit(&number);
        if (FAILED(::VariantChangeType(&number, &name, 0, VT_I4)))
            return E_INVALIDARG;
        const LONG position = V_I4(&number);
        if (position < 0 || static_cast<size_t>(position) >= m_links.size())
            return E_INVALIDARG;
        const auto& link = m_links[static_cast<size_t>(position)];
        if (link)
            *element = new Anchor(*link);
        else
            *element = new PlainElement();
        return S_OK;
    }

private:
    std::vector<std::optional<std::wstring>> m_links;
};

class StandInDocument final : public HtmlDocument2Stubs, public RefCounted
{
public:
    explicit StandInDocument(DocumentContent content) : m_content(std::move(content)) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (Is<IUnknown>(riid) || Is<IDispatch>(riid) || Is<IHTMLDocument>(riid) || Is<IHTMLDocument2>(riid))
            return Answer(static_cast<IHTMLDocument2*>(this), ppv);
        return NoInterface(ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

    STDMETHODIMP get_links(IHTMLElementCollection** links) override
    {
        if (!links)
            return E_POINTER;
        *links = new LinkCollection(m_content.links);
        return S_OK;
    }
    STDMETHODIMP get_cookie(BSTR* cookie) override
    {
        if (!cookie)
            return E_POINTER;
        const std::wstring& text = m_content.cookie;
        *cookie = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return *cookie ? S_OK : E_OUTOFMEMORY;
    }

private:
    DocumentContent m_content;
};

// The site of a helper object (on the frame) or of a hosted bar (on its host
// window): its window, and the browser as a service.
class SiteObject final : public IOleWindow, public IServiceProvider, public IInputObjectSite, public RefCounted
{
public:
    SiteObject(StandInBrowser* browser, HWND window, SiteKind kind, bool inputObjectSite)
        : m_browser(browser), m_window(window), m_kind(kind), m_inputObjectSite(inputObjectSite) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (Is<IUnknown>(riid) || Is<IOleWindow>(riid))
            return Answer(static_cast<IOleWindow*>(this), ppv);
        if (Is<IServiceProvider>(riid) && m_kind != SiteKind::NoServiceProvider)
            return Answer(static_cast<IServiceProvider*>(this), ppv);
        if (Is<IInputObjectSite>(riid) && m_inputObjectSite)
            return Answer(static_cast<IInputObjectSite*>(this), ppv);
        return NoInterface(ppv);
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
        if (!ppv)
            return E_POINTER;
        if (m_kind != SiteKind::Browser || !m_browser)
            return NoInterface(ppv);
        return m_browser->QueryService(service, riid, ppv);
    }

    // IInputObjectSite
    STDMETHODIMP OnFocusChangeIS(IUnknown*, BOOL) override { return S_OK; }

private:
    com_ptr<StandInBrowser> m_browser;
    HWND m_window;
    SiteKind m_kind;
    bool m_inputObjectSite;
};

}  // namespace

// StandInBrowser

struct StandInBrowser::HostedBar
{
    CLSID clsid{};
    com_ptr<IDeskBand> band;
    com_ptr<IUnknown> site;
    unique_hwnd host;
};

com_ptr<StandInBrowser> StandInBrowser::Create(HWND frame)
{
    return com_ptr<StandInBrowser>::attach(new StandInBrowser(frame));
}

StandInBrowser::StandInBrowser(HWND frame) : m_frame(frame) {}

StandInBrowser::~StandInBrowser() = default;

STDMETHODIMP StandInBrowser::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (Is<IUnknown>(riid) || Is<IDispatch>(riid) || Is<IWebBrowser>(riid) || Is<IWebBrowserApp>(riid) ||
        Is<IWebBrowser2>(riid))
        return Answer(static_cast<IWebBrowser2*>(this), ppv);
    if (Is<IServiceProvider>(riid))
        return Answer(static_cast<IServiceProvider*>(this), ppv);
    return NoInterface(ppv);
}

STDMETHODIMP StandInBrowser::get_Document(IDispatch** document)
{
    if (!document)
        return E_POINTER;
    *document = nullptr;
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    if (!m_document)
        return E_FAIL;
    *document = static_cast<IHTMLDocument2*>(new StandInDocument(*m_document));
    return S_OK;
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

    // Recorded before the bar is touched: the bar may call back into the browser.
    size_t index = 0;
    HRESULT answer = E_INVALIDARG;
    {
        std::lock_guard<tdm::srw_lock> guard(m_lock);
        index = m_barCalls.size();
        m_barCalls.push_back(call);
        answer = m_barResult;
    }
    CLSID parsed{};
    if (call.clsidType != VT_BSTR || call.showType != VT_BOOL || FAILED(::CLSIDFromString(call.clsid.c_str(), &parsed)))
        return E_INVALIDARG;
    if (call.show)
        ShowBar(parsed, call);
    else
        HideBar(parsed, call);
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_barCalls[index].barCreation = call.barCreation;
    m_barCalls[index].hosted = call.hosted;
    return answer;
}

void StandInBrowser::ShowBar(REFCLSID clsid, BrowserBarCall& call)
{
    for (const auto& bar : m_bars)
    {
        if (::IsEqualCLSID(bar->clsid, clsid))
        {
            bar->band->ShowDW(TRUE);
            call.hosted = true;
            return;
        }
    }
    com_ptr<IUnknown> object;
    call.barCreation = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.put_void());
    if (FAILED(call.barCreation))
        return;
    const com_ptr<IDeskBand> band = object.try_query<IDeskBand>();
    if (!band)
        return;

    auto hosted = std::make_unique<HostedBar>();
    HostedBar& bar = *hosted;
    bar.clsid = clsid;
    bar.band = band;
    RECT client{};
    ::GetClientRect(m_frame, &client);
    bar.host.reset(::CreateWindowExW(0, kBandHostClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0,
                                     client.bottom - kBandHostHeight, client.right, kBandHostHeight, m_frame, nullptr,
                                     ThisModule(), nullptr));
    bar.site = com_ptr<IUnknown>::attach(
        static_cast<IOleWindow*>(new SiteObject(this, bar.host.get(), SiteKind::Browser, true)));
    m_bars.push_back(std::move(hosted));

    if (const auto withSite = band.try_query<IObjectWithSite>())
        withSite->SetSite(bar.site.get());
    DESKBANDINFO info{};
    info.dwMask = DBIM_MINSIZE | DBIM_MAXSIZE | DBIM_INTEGRAL | DBIM_ACTUAL | DBIM_TITLE | DBIM_MODEFLAGS | DBIM_BKCOLOR;
    band->GetBandInfo(0, DBIF_VIEWMODE_NORMAL, &info);
    HWND window = nullptr;
    if (SUCCEEDED(band->GetWindow(&window)) && window)
        ::SetWindowPos(window, nullptr, 0, 0, client.right, kBandHostHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    band->ShowDW(TRUE);
    call.hosted = true;
}

void StandInBrowser::HideBar(REFCLSID clsid, BrowserBarCall& call)
{
    for (const auto& bar : m_bars)
    {
        if (::IsEqualCLSID(bar->clsid, clsid))
        {
            bar->band->ShowDW(FALSE);
            call.hosted = true;
            return;
        }
    }
}

void StandInBrowser::CloseBars()
{
    std::vector<std::unique_ptr<HostedBar>> bars;
    bars.swap(m_bars);
    for (const auto& bar : bars)
    {
        bar->band->CloseDW(0);
        if (const auto withSite = bar->band.try_query<IObjectWithSite>())
            withSite->SetSite(nullptr);
    }
}

STDMETHODIMP StandInBrowser::QueryService(REFGUID service, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (::IsEqualGUID(service, SID_SWebBrowserApp))
        return QueryInterface(riid, ppv);
    return NoInterface(ppv);
}

std::vector<BrowserBarCall> StandInBrowser::BarCalls() const
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    return m_barCalls;
}

void StandInBrowser::ClearBarCalls()
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_barCalls.clear();
}

void StandInBrowser::SetDocument(std::optional<DocumentContent> content)
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_document = std::move(content);
}

void StandInBrowser::SetBarResult(HRESULT result)
{
    std::lock_guard<tdm::srw_lock> guard(m_lock);
    m_barResult = result;
}

com_ptr<IUnknown> CreateBrowserSite(StandInBrowser* browser, HWND frame, SiteKind kind)
{
    return com_ptr<IUnknown>::attach(static_cast<IOleWindow*>(new SiteObject(browser, frame, kind, false)));
}

// BrowserWindow

BrowserWindow::BrowserWindow(HelperFactory factory) : m_factory(std::move(factory)) {}

BrowserWindow::~BrowserWindow() { Close(); }

HRESULT BrowserWindow::Open()
{
    if (m_frame)
        return E_UNEXPECTED;
    RegisterWindowClasses();
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
