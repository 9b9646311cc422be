// The stand-in browser itself, as later tests rely on it: it hosts an explorer
// bar the way the browser does (create by CLSID, site, band information,
// window, ShowDW; CloseDW and unsiting when the window closes), records every
// ShowBrowserBar call, and serves the document, its links and its cookie.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "framework/automation.h"
#include "framework/com_ptr.h"
#include "support/browser_standin.h"

using namespace tdm;
using namespace tdm::test;

namespace {

const wchar_t kFakeBandText[] = L"{3C2F6A51-0D7E-4B8B-9E43-7D1F0B6A2C11}";
const wchar_t kNotABandText[] = L"{3C2F6A52-0D7E-4B8B-9E43-7D1F0B6A2C11}";  // an object that is no band
const wchar_t kUnregisteredText[] = L"{3C2F6A53-0D7E-4B8B-9E43-7D1F0B6A2C11}";

// Its own class object: hands out itself, as a band that records what its host
// does with it, or (not a band) as an object without IDeskBand.
class FakeBand final : public IDeskBand, public IObjectWithSite, public IClassFactory
{
public:
    explicit FakeBand(bool band) : m_band(band) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IClassFactory))
            *ppv = static_cast<IClassFactory*>(this);
        else if (m_band && (::IsEqualIID(riid, IID_IOleWindow) || ::IsEqualIID(riid, IID_IDockingWindow) ||
                            ::IsEqualIID(riid, IID_IDeskBand)))
            *ppv = static_cast<IDeskBand*>(this);
        else if (m_band && ::IsEqualIID(riid, IID_IObjectWithSite))
            *ppv = static_cast<IObjectWithSite*>(this);
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown*, REFIID riid, void** ppv) override { return ++created, QueryInterface(riid, ppv); }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
    STDMETHODIMP GetWindow(HWND* window) override { return log.push_back("GetWindow"), (*window = nullptr), E_FAIL; }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP ShowDW(BOOL show) override { return log.push_back(show ? "ShowDW 1" : "ShowDW 0"), S_OK; }
    STDMETHODIMP CloseDW(DWORD) override { return log.push_back("CloseDW"), S_OK; }
    STDMETHODIMP ResizeBorderDW(LPCRECT, IUnknown*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP GetBandInfo(DWORD, DWORD, DESKBANDINFO*) override { return log.push_back("GetBandInfo"), S_OK; }
    STDMETHODIMP GetSite(REFIID, void** site) override { return (*site = nullptr), E_FAIL; }
    STDMETHODIMP SetSite(IUnknown* site) override
    {
        // What a band asks of its site: its window and the browser.
        HWND host = nullptr;
        com_ptr<IWebBrowser2> found;
        if (const auto window = com_ptr<IUnknown>(site).try_query<IOleWindow>())
            window->GetWindow(&host);
        if (const auto services = com_ptr<IUnknown>(site).try_query<IServiceProvider>())
            services->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2, found.put_void());
        log.push_back(!site ? "SetSite null"
                            : std::string("SetSite") +
                                  (host && ::GetParent(host) == frame ? " window=child-of-frame" : " window=elsewhere") +
                                  (found && SameObject(found.get(), browser) ? " browser=ok" : " browser=missing"));
        return S_OK;
    }

    int created = 0;
    HWND frame = nullptr;
    IUnknown* browser = nullptr;
    std::vector<std::string> log;

private:
    bool m_band;
};

class BrowserStandInTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { ::CoUninitialize(); }
};

HRESULT ShowBar(StandInBrowser* browser, const wchar_t* clsid, bool show)
{
    unique_variant id, visible;
    V_VT(id.get()) = VT_BSTR;
    V_BSTR(id.get()) = ::SysAllocString(clsid);
    V_VT(visible.get()) = VT_BOOL;
    V_BOOL(visible.get()) = show ? VARIANT_TRUE : VARIANT_FALSE;
    return browser->ShowBrowserBar(id.get(), visible.get(), nullptr);
}

TEST_F(BrowserStandInTest, HostsABarTheWayTheBrowserDoes)
{
    FakeBand band(true), other(false);
    DWORD cookies[2] = {};
    const std::pair<const wchar_t*, FakeBand*> classes[] = {{kFakeBandText, &band}, {kNotABandText, &other}};
    for (int i = 0; i < 2; ++i)
    {
        CLSID clsid;
        ASSERT_EQ(::CLSIDFromString(classes[i].first, &clsid), S_OK);
        ASSERT_EQ(::CoRegisterClassObject(clsid, static_cast<IClassFactory*>(classes[i].second), CLSCTX_INPROC_SERVER,
                                          REGCLS_MULTIPLEUSE, &cookies[i]), S_OK);
    }
    // Sites the helper of the registered tdm.dll, which takes no part here.
    BrowserWindow window;
    ASSERT_EQ(window.Open(), S_OK);
    StandInBrowser* const browser = window.Browser();
    band.frame = window.Frame();
    band.browser = static_cast<IWebBrowser2*>(browser);

    const struct { const wchar_t* clsid; bool show; HRESULT creation; bool hosted; } expected[] = {
        {kFakeBandText, true, S_OK, true},    {kFakeBandText, false, S_FALSE, true},
        {kFakeBandText, true, S_FALSE, true}, {kNotABandText, true, S_OK, false},
        {kUnregisteredText, true, REGDB_E_CLASSNOTREG, false},
    };
    for (const auto& e : expected)
        EXPECT_EQ(ShowBar(browser, e.clsid, e.show), S_OK);
    VARIANT number;
    V_VT(&number) = VT_I4;
    V_I4(&number) = 1;
    EXPECT_EQ(browser->ShowBrowserBar(&number, &number, &number), E_INVALIDARG);
    window.Close();

    EXPECT_EQ(band.log, (std::vector<std::string>{"SetSite window=child-of-frame browser=ok", "GetBandInfo",
                                                  "GetWindow", "ShowDW 1", "ShowDW 0", "ShowDW 1", "CloseDW",
                                                  "SetSite null"}));
    EXPECT_EQ(band.created, 1) << "the bar is created once and kept while hidden";
    EXPECT_EQ(other.created, 1);
    const auto calls = browser->BarCalls();
    ASSERT_EQ(calls.size(), 6u);
    for (size_t i = 0; i < 5; ++i)
    {
        const BrowserBarCall& c = calls[i];
        EXPECT_EQ(std::make_tuple(c.clsidType, c.clsid, c.showType, c.show, c.sizeGiven, c.barCreation, c.hosted),
                  std::make_tuple(VARTYPE{VT_BSTR}, std::wstring(expected[i].clsid), VARTYPE{VT_BOOL}, expected[i].show,
                                  false, expected[i].creation, expected[i].hosted)) << "call " << i;
    }
    EXPECT_EQ(calls[5].clsidType, VT_I4);
    EXPECT_EQ(calls[5].showType, VT_I4);
    EXPECT_TRUE(calls[5].sizeGiven);
    for (DWORD cookie : cookies)
        ::CoRevokeClassObject(cookie);
}

TEST_F(BrowserStandInTest, ServesTheDocumentsLinksAndCookie)
{
    const com_ptr<StandInBrowser> browser = StandInBrowser::Create(nullptr);
    const wchar_t* const hrefs[] = {L"http://example.com/a", nullptr, L"ftp://example.com/b"};
    browser->SetDocument(DocumentContent{{hrefs[0], std::nullopt, hrefs[2]}, L"k=v"});
    com_ptr<IDispatch> dispatch;
    ASSERT_EQ(browser->get_Document(dispatch.put()), S_OK);
    const auto document = dispatch.try_query<IHTMLDocument2>();
    com_ptr<IHTMLElementCollection> links;
    ASSERT_TRUE(document && document->get_links(links.put()) == S_OK);
    LONG length = 0;
    EXPECT_EQ(links->get_length(&length), S_OK);
    EXPECT_EQ(length, 3);
    for (LONG i = 0; i < 3; ++i)
    {
        VARIANT index{}, unused{};
        V_VT(&index) = VT_I4;
        V_I4(&index) = i;
        com_ptr<IDispatch> element;
        ASSERT_EQ(links->item(index, unused, element.put()), S_OK) << "link " << i;
        const auto anchor = element.try_query<IHTMLAnchorElement>();
        unique_bstr href;
        EXPECT_TRUE(!anchor || anchor->get_href(href.put()) == S_OK);
        EXPECT_STREQ(href.get(), hrefs[i]) << "link " << i << " (an entry without a value is no anchor)";
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
