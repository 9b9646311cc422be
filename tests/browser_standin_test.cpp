// The stand-in browser itself, as later tests rely on it: it hosts an explorer
// bar the way the browser does (create by CLSID, site, band information,
// window, ShowDW; CloseDW and unsiting when the window closes), records every
// ShowBrowserBar call, and serves the document, its links and its cookie.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/automation.h"
#include "framework/com_ptr.h"
#include "support/browser_standin.h"

using namespace tdm;
using namespace tdm::test;

namespace {

// {3C2F6A51-0D7E-4B8B-9E43-7D1F0B6A2C11}
const CLSID kFakeBand = {0x3c2f6a51, 0x0d7e, 0x4b8b, {0x9e, 0x43, 0x7d, 0x1f, 0x0b, 0x6a, 0x2c, 0x11}};
const wchar_t kFakeBandText[] = L"{3C2F6A51-0D7E-4B8B-9E43-7D1F0B6A2C11}";
// {3C2F6A52-0D7E-4B8B-9E43-7D1F0B6A2C11}: an object that is no band.
const CLSID kNotABand = {0x3c2f6a52, 0x0d7e, 0x4b8b, {0x9e, 0x43, 0x7d, 0x1f, 0x0b, 0x6a, 0x2c, 0x11}};
const wchar_t kNotABandText[] = L"{3C2F6A52-0D7E-4B8B-9E43-7D1F0B6A2C11}";
const wchar_t kUnregisteredText[] = L"{3C2F6A53-0D7E-4B8B-9E43-7D1F0B6A2C11}";

// A band that records what its host does with it.
class FakeBand final : public IDeskBand, public IObjectWithSite, public RefCounted
{
public:
    explicit FakeBand(std::vector<std::string>* log) : m_log(log) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IOleWindow) ||
            ::IsEqualIID(riid, IID_IDockingWindow) || ::IsEqualIID(riid, IID_IDeskBand))
            *ppv = static_cast<IDeskBand*>(this);
        else if (::IsEqualIID(riid, IID_IObjectWithSite))
            *ppv = static_cast<IObjectWithSite*>(this);
        else
            return (*ppv = nullptr), E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

    STDMETHODIMP GetWindow(HWND* window) override
    {
        m_log->push_back("GetWindow");
        *window = nullptr;
        return E_FAIL;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP ShowDW(BOOL show) override
    {
        m_log->push_back(show ? "ShowDW 1" : "ShowDW 0");
        return S_OK;
    }
    STDMETHODIMP CloseDW(DWORD) override
    {
        m_log->push_back("CloseDW");
        return S_OK;
    }
    STDMETHODIMP ResizeBorderDW(LPCRECT, IUnknown*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetBandInfo(DWORD, DWORD, DESKBANDINFO*) override
    {
        m_log->push_back("GetBandInfo");
        return S_OK;
    }

    STDMETHODIMP SetSite(IUnknown* site) override
    {
        if (!site)
        {
            m_log->push_back("SetSite null");
            return S_OK;
        }
        // What a band asks of its site: its window and the browser.
        std::string entry = "SetSite";
        const auto window = com_ptr<IUnknown>(site).try_query<IOleWindow>();
        HWND host = nullptr;
        if (window && SUCCEEDED(window->GetWindow(&host)) && host)
            entry += ::GetParent(host) == m_frame ? " window=child-of-frame" : " window=elsewhere";
        const auto services = com_ptr<IUnknown>(site).try_query<IServiceProvider>();
        com_ptr<IWebBrowser2> browser;
        if (services)
            services->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2, browser.put_void());
        entry += browser && SameObject(browser.get(), m_browser) ? " browser=ok" : " browser=missing";
        m_log->push_back(entry);
        return S_OK;
    }
    STDMETHODIMP GetSite(REFIID, void** site) override { return (*site = nullptr), E_FAIL; }

    HWND m_frame = nullptr;
    IUnknown* m_browser = nullptr;

private:
    std::vector<std::string>* m_log;
};

class FakeFactory final : public IClassFactory
{
public:
    FakeFactory(bool band, std::vector<std::string>* log) : m_band(band), m_log(log) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IClassFactory))
        {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        return (*ppv = nullptr), E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown*, REFIID riid, void** ppv) override
    {
        ++created;
        if (!m_band)
            return ::CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, riid, ppv);
        auto* band = new FakeBand(m_log);
        band->m_frame = frame;
        band->m_browser = browser;
        const HRESULT hr = band->QueryInterface(riid, ppv);
        band->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

    int created = 0;
    HWND frame = nullptr;
    IUnknown* browser = nullptr;

private:
    bool m_band;
    std::vector<std::string>* m_log;
};

class BrowserStandInTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { ::CoUninitialize(); }
};

HRESULT ShowBar(StandInBrowser* browser, const wchar_t* clsid, bool show)
{
    unique_variant id;
    V_VT(id.get()) = VT_BSTR;
    V_BSTR(id.get()) = ::SysAllocString(clsid);
    unique_variant visible;
    V_VT(visible.get()) = VT_BOOL;
    V_BOOL(visible.get()) = show ? VARIANT_TRUE : VARIANT_FALSE;
    return browser->ShowBrowserBar(id.get(), visible.get(), nullptr);
}

TEST_F(BrowserStandInTest, HostsABarTheWayTheBrowserDoes)
{
    std::vector<std::string> log;
    FakeFactory bandFactory(true, &log);
    FakeFactory otherFactory(false, &log);
    DWORD bandCookie = 0, otherCookie = 0;
    ASSERT_EQ(::CoRegisterClassObject(kFakeBand, &bandFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &bandCookie),
              S_OK);
    ASSERT_EQ(::CoRegisterClassObject(kNotABand, &otherFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                      &otherCookie), S_OK);
    // Sites the helper of the registered tdm.dll, which takes no part here.
    BrowserWindow window;
    ASSERT_EQ(window.Open(), S_OK);
    StandInBrowser* const browser = window.Browser();
    bandFactory.frame = window.Frame();
    bandFactory.browser = static_cast<IWebBrowser2*>(browser);

    EXPECT_EQ(ShowBar(browser, kFakeBandText, true), S_OK);
    EXPECT_EQ(ShowBar(browser, kFakeBandText, false), S_OK);
    EXPECT_EQ(ShowBar(browser, kFakeBandText, true), S_OK);
    EXPECT_EQ(ShowBar(browser, kNotABandText, true), S_OK);
    EXPECT_EQ(ShowBar(browser, kUnregisteredText, true), S_OK);
    VARIANT number;
    V_VT(&number) = VT_I4;
    V_I4(&number) = 1;
    EXPECT_EQ(browser->ShowBrowserBar(&number, &number, &number), E_INVALIDARG);
    browser->SetBarResult(E_ACCESSDENIED);
    EXPECT_EQ(ShowBar(browser, kFakeBandText, false), E_ACCESSDENIED);
    window.Close();

    EXPECT_EQ(log, (std::vector<std::string>{"SetSite window=child-of-frame browser=ok", "GetBandInfo", "GetWindow",
                                             "ShowDW 1", "ShowDW 0", "ShowDW 1", "ShowDW 0", "CloseDW",
                                             "SetSite null"}));
    EXPECT_EQ(bandFactory.created, 1) << "the bar is created once and kept while hidden";
    EXPECT_EQ(otherFactory.created, 1);

    const auto calls = browser->BarCalls();
    ASSERT_EQ(calls.size(), 7u);
    struct Expected
    {
        const wchar_t* clsid;
        bool show;
        HRESULT creation;
        bool hosted;
    };
    const Expected expected[] = {
        {kFakeBandText, true, S_OK, true},       {kFakeBandText, false, S_FALSE, true},
        {kFakeBandText, true, S_FALSE, true},    {kNotABandText, true, S_OK, false},
        {kUnregisteredText, true, REGDB_E_CLASSNOTREG, false},
    };
    for (size_t i = 0; i < 5; ++i)
    {
        SCOPED_TRACE("call " + std::to_string(i));
        EXPECT_EQ(calls[i].clsidType, VT_BSTR);
        EXPECT_EQ(calls[i].clsid, expected[i].clsid);
        EXPECT_EQ(calls[i].showType, VT_BOOL);
        EXPECT_EQ(calls[i].show, expected[i].show);
        EXPECT_FALSE(calls[i].sizeGiven);
        EXPECT_EQ(calls[i].barCreation, expected[i].creation) << std::hex << calls[i].barCreation;
        EXPECT_EQ(calls[i].hosted, expected[i].hosted);
    }
    EXPECT_EQ(calls[5].clsidType, VT_I4);
    EXPECT_EQ(calls[5].showType, VT_I4);
    EXPECT_TRUE(calls[5].sizeGiven);

    ::CoRevokeClassObject(bandCookie);
    ::CoRevokeClassObject(otherCookie);
}

TEST_F(BrowserStandInTest, ServesTheDocumentsLinksAndCookie)
{
    const com_ptr<StandInBrowser> browser = StandInBrowser::Create(nullptr);
    browser->SetDocument(DocumentContent{{L"http://example.com/a", std::nullopt, L"ftp://example.com/b"}, L"k=v"});
    com_ptr<IDispatch> dispatch;
    ASSERT_EQ(browser->get_Document(dispatch.put()), S_OK);
    const auto document = dispatch.try_query<IHTMLDocument2>();
    ASSERT_TRUE(document);
    com_ptr<IHTMLElementCollection> links;
    ASSERT_EQ(document->get_links(links.put()), S_OK);
    LONG length = 0;
    EXPECT_EQ(links->get_length(&length), S_OK);
    EXPECT_EQ(length, 3);

    const wchar_t* const hrefs[] = {L"http://example.com/a", nullptr, L"ftp://example.com/b"};
    for (LONG i = 0; i < 3; ++i)
    {
        SCOPED_TRACE("link " + std::to_string(i));
        VARIANT index, unused;
        V_VT(&index) = VT_I4;
        V_I4(&index) = i;
        ::VariantInit(&unused);
        com_ptr<IDispatch> element;
        ASSERT_EQ(links->item(index, unused, element.put()), S_OK);
        const auto anchor = element.try_query<IHTMLAnchorElement>();
        if (!hrefs[i])
        {
            EXPECT_FALSE(anchor);
            continue;
        }
        ASSERT_TRUE(anchor);
        unique_bstr href;
        EXPECT_EQ(anchor->get_href(href.put()), S_OK);
        EXPECT_STREQ(href.get(), hrefs[i]);
    }
    unique_bstr cookie;
    EXPECT_EQ(document->get_cookie(cookie.put()), S_OK);
    EXPECT_STREQ(cookie.get(), L"k=v");

    browser->SetDocument(std::nullopt);
    IDispatch* none = reinterpret_cast<IDispatch*>(1);
    EXPECT_EQ(browser->get_Document(&none), E_FAIL);
    EXPECT_EQ(none, nullptr);
}

}  // namespace
