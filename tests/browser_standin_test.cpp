// What the helper tests rely on the stand-in browser for and cannot show
// themselves, since the module only ever makes the one well-formed call: the
// recorded ShowBrowserBar arguments of any type, the configured answer, and
// what a site of each kind offers.
#include <windows.h>
#include <gtest/gtest.h>

#include <shlguid.h>
#include <tuple>

#include "framework/automation.h"
#include "support/browser_standin.h"

using namespace tdm;
using namespace tdm::test;

TEST(BrowserStandInTest, RecordsBarCallsAndOffersWhatEachSiteKindOffers)
{
    const com_ptr<StandInBrowser> browser = StandInBrowser::Create(nullptr);
    browser->SetBarResult(E_ACCESSDENIED);
    unique_variant clsid, show, number;
    V_VT(clsid.get()) = VT_BSTR;
    V_BSTR(clsid.get()) = ::SysAllocString(L"{0}");
    V_VT(show.get()) = VT_BOOL;
    V_BOOL(show.get()) = VARIANT_TRUE;
    V_VT(number.get()) = VT_I4;
    V_I4(number.get()) = 1;
    EXPECT_EQ(browser->ShowBrowserBar(clsid.get(), show.get(), nullptr), E_ACCESSDENIED);
    EXPECT_EQ(browser->ShowBrowserBar(number.get(), number.get(), number.get()), E_ACCESSDENIED);
    const auto calls = browser->BarCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(std::make_tuple(calls[0].clsidType, calls[0].clsid, calls[0].showType, calls[0].show, calls[0].sizeGiven),
              std::make_tuple(VARTYPE{VT_BSTR}, std::wstring(L"{0}"), VARTYPE{VT_BOOL}, true, false));
    EXPECT_EQ(std::make_tuple(calls[1].clsidType, calls[1].clsid, calls[1].showType, calls[1].show, calls[1].sizeGiven),
              std::make_tuple(VARTYPE{VT_I4}, std::wstring(), VARTYPE{VT_I4}, false, true));

    for (const SiteKind kind : {SiteKind::Browser, SiteKind::NoServiceProvider, SiteKind::NoBrowserService})
    {
        const auto services = CreateBrowserSite(browser.get(), nullptr, kind).try_query<IServiceProvider>();
        com_ptr<IWebBrowser2> found;
        if (services)
            services->QueryService(SID_SWebBrowserApp, IID_IWebBrowser2, found.put_void());
        EXPECT_EQ(static_cast<bool>(services), kind != SiteKind::NoServiceProvider) << static_cast<int>(kind);
        IWebBrowser2* const expected = kind == SiteKind::Browser ? browser.get() : nullptr;
        EXPECT_TRUE(SameObject(found.get(), expected)) << static_cast<int>(kind);
    }
}
