// The download helper object: its window registries and the band-state
// messages, the per-thread browser table, site handling, band toggling, the
// shared instance across browser threads, and running out of memory.
//
// Which helper a test uses matters: the test program links the module's code
// (its own module state and browser table) and tdm.dll is registered in the
// prefix (another module state in the same process). FreshHelper() uses the
// program's own code, so that its lock count can be checked; CoCreateInstance
// reaches the registered tdm.dll, as the browser does.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <tuple>
#include <vector>

#include "browser/download_helper.h"
#include "browser/web_browsers_holder.h"
#include "framework/module.h"
#include "framework/object.h"
#include "resources/window_messages.h"
#include "store/settings_store.h"
#include "support/browser_standin.h"
#include "support/browser_thread.h"
#include "support/recording_window.h"
#include "support/registry_sandbox.h"
#include "tdm_h.h"

using namespace tdm;
using namespace tdm::test;

// Replaces the program's operator new: while WithoutMemory runs a call, every
// allocation on its thread fails.
namespace {
thread_local bool t_failAllocations = false;

// No test macros in `call`: they allocate.
template <typename Call>
HRESULT WithoutMemory(Call call)
{
    t_failAllocations = true;
    const HRESULT hr = call();
    t_failAllocations = false;
    return hr;
}
}  // namespace

// GCC cannot see that the replaced operator new allocates with malloc.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size)
{
    void* memory = t_failAllocations ? nullptr : std::malloc(size ? size : 1);
    if (!memory)
        throw std::bad_alloc();
    return memory;
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

// A new, unshared instance of the program's own code: registries and site
// assignments of its own (the browser table is still the program's one table).
com_ptr<ITolDownloadHelper> FreshHelper()
{
    com_ptr<ITolDownloadHelper> helper;
    EXPECT_EQ(CreateComInstance<CTolDownloadHelper>(nullptr, IID_ITolDownloadHelper, helper.put_void()), S_OK);
    return helper;
}

LONG Tid(DWORD thread = ::GetCurrentThreadId()) { return static_cast<LONG>(thread); }

template <typename Value, typename Object>
Value Get(Object* object, HRESULT (STDMETHODCALLTYPE Object::*getter)(Value*), Value initial)
{
    Value value = initial;
    EXPECT_EQ((object->*getter)(&value), S_OK);
    return value;
}
HWND ExplorerOf(ITolDownloadHelper* helper)
{
    return Get(helper, &ITolDownloadHelper::GetExplorerHWND, reinterpret_cast<HWND>(1));
}

// GetBandHWND or GetToolbarHWND for `thread`.
HWND Lookup(ITolDownloadHelper* helper, DWORD thread, bool toolbar = false)
{
    HWND window = reinterpret_cast<HWND>(1);
    EXPECT_EQ(toolbar ? helper->GetToolbarHWND(Tid(thread), &window) : helper->GetBandHWND(Tid(thread), &window),
              S_OK);
    return window;
}

// Each test runs in an apartment of its own and leaves the module unlocked.
class HelperTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override
    {
        ::CoUninitialize();
        EXPECT_EQ(CModule::Instance().LockCount(), 0) << "objects of the program's module are still alive";
    }
};

// --- registries and band-state messages ---------------------------------------

enum Op { RegisterBand, UnregisterBand, RegisterToolbar, UnregisterToolbar };
HRESULT (STDMETHODCALLTYPE ITolDownloadHelper::*const kOps[])(LONG, HWND) = {
    &ITolDownloadHelper::RegisterBand, &ITolDownloadHelper::UnregisterBand, &ITolDownloadHelper::RegisterToolbar,
    &ITolDownloadHelper::UnregisterToolbar};
enum Win { None, Band1, Band2, Toolbar, Toolbar2, Unknown, WindowCount };
struct Step { Op op; DWORD thread; Win window; };

// IsCurrentBandShown answers for the calling thread, T here; U is another.
TEST_F(HelperTest, RegistriesAndBandStateMessages)
{
    const DWORD T = ::GetCurrentThreadId(), U = T + 4;
    // The wParams each toolbar received, in order; the answers for thread T afterwards.
    const struct { const char* name; std::vector<Step> steps; std::vector<WPARAM> toolbarMessages, toolbar2Messages;
                   Win bandOfT, toolbarOfT; } cases[] = {
        {"the same bar twice keeps one entry and tells the toolbar both times",
         {{RegisterToolbar, T, Toolbar}, {RegisterBand, T, Band1}, {RegisterBand, T, Band1}, {UnregisterBand, T, Band1}},
         {0, 1, 1, 0}, {}, None, Toolbar},
        {"two bars of a thread: the first registered answers",
         {{RegisterBand, T, Band1}, {RegisterBand, T, Band2}}, {}, {}, Band1, None},
        {"unregistering the first bar makes the other the answer",
         {{RegisterBand, T, Band1}, {RegisterBand, T, Band2}, {UnregisterBand, T, Band1}}, {}, {}, Band2, None},
        {"unregistering an unknown window still tells the toolbar 0",
         {{RegisterToolbar, T, Toolbar}, {RegisterBand, T, Band1}, {UnregisterBand, T, Unknown}}, {0, 1, 0}, {},
         Band1, Toolbar},
        {"a toolbar registering learns that its thread has a bar",
         {{RegisterBand, T, Band1}, {RegisterToolbar, T, Toolbar}}, {1}, {}, Band1, Toolbar},
        {"bars of another thread are not the toolbar's",
         {{RegisterToolbar, T, Toolbar}, {RegisterBand, U, Band1}, {UnregisterBand, U, Band1}}, {0}, {}, None, Toolbar},
        {"the same toolbar twice keeps one entry and is told both times",
         {{RegisterToolbar, T, Toolbar}, {RegisterToolbar, T, Toolbar}, {UnregisterToolbar, T, Toolbar}}, {0, 0}, {},
         None, None},
        {"a window keeps the thread it was registered for first",
         {{RegisterBand, U, Band1}, {RegisterBand, T, Band1}}, {}, {}, None, None},
        {"with two toolbars of a thread only the first hears of its bars",
         {{RegisterToolbar, T, Toolbar}, {RegisterToolbar, T, Toolbar2}, {RegisterBand, T, Band1}}, {0, 1}, {0}, Band1,
         Toolbar},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const com_ptr<ITolDownloadHelper> helper = FreshHelper();
        ASSERT_TRUE(helper);
        std::unique_ptr<RecordingWindow> windows[WindowCount];
        HWND handles[WindowCount] = {};
        for (int w = Band1; w < WindowCount; ++w)
            handles[w] = (windows[w] = std::make_unique<RecordingWindow>(kBandStateMessage))->Handle();
        for (const Step& step : c.steps)
            EXPECT_EQ((helper.get()->*kOps[step.op])(Tid(step.thread), handles[step.window]), S_OK);
        EXPECT_EQ(windows[Toolbar]->WParams(), c.toolbarMessages);
        EXPECT_EQ(windows[Toolbar2]->WParams(), c.toolbar2Messages);
        for (int w = Band1; w < WindowCount; ++w)
            for (const RecordingWindow::Message& message : windows[w]->Received())
                EXPECT_TRUE((w == Toolbar || w == Toolbar2) && message.lParam == 0) << "window " << w;
        EXPECT_EQ(Lookup(helper.get(), T), handles[c.bandOfT]);
        EXPECT_EQ(Lookup(helper.get(), T, true), handles[c.toolbarOfT]);
        EXPECT_EQ(Get(helper.get(), &ITolDownloadHelper::IsCurrentBandShown, VARIANT_BOOL{7}),
                  c.bandOfT ? VARIANT_TRUE : VARIANT_FALSE);
        EXPECT_EQ(std::make_tuple(helper->IsCurrentBandShown(nullptr), helper->GetBandHWND(Tid(T), nullptr),
                                  helper->GetToolbarHWND(Tid(T), nullptr)),
                  std::make_tuple(E_POINTER, E_POINTER, E_POINTER));
    }
}

// A toolbar window calls back into the helper while it is being notified: the
// sender must not hold the helper's lock across the send (a deadlock would leave
// Run unfinished).
TEST_F(HelperTest, ToolbarMayCallTheHelperWhileNotified)
{
    const com_ptr<ITolDownloadHelper> helper = FreshHelper();
    ASSERT_TRUE(helper);
    RecordingWindow band(kBandStateMessage);
    std::unique_ptr<RecordingWindow> toolbar;
    std::vector<HWND> seen;
    StaThread browserThread;
    const DWORD tid = browserThread.Id();
    ASSERT_TRUE(browserThread.Run([&] {
        toolbar = std::make_unique<RecordingWindow>(kBandStateMessage);
        toolbar->OnMessage([&](WPARAM, LPARAM) { seen.push_back(Lookup(helper.get(), tid)); });
        EXPECT_EQ(helper->RegisterToolbar(Tid(tid), toolbar->Handle()), S_OK);
        EXPECT_EQ(helper->RegisterBand(Tid(tid), band.Handle()), S_OK);
        EXPECT_EQ(helper->UnregisterBand(Tid(tid), band.Handle()), S_OK);
    }, 10000)) << "deadlock: the helper held its lock while sending the band-state message";
    EXPECT_EQ(seen, (std::vector<HWND>{nullptr, band.Handle(), nullptr}));
    ASSERT_TRUE(browserThread.Run([&] { toolbar.reset(); }));
}

// --- the browser table ---------------------------------------------------------

// The calling thread's entry counts the additions of one browser; another
// browser replaces it without counting.
TEST_F(HelperTest, BrowserTableAdditionsAndRemovals)
{
    enum Browser { NoBrowser, B1, B2 };
    enum TableOp { AddNull = NoBrowser, Add1 = B1, Add2 = B2, Remove };  // adding a browser or removing the thread's
    // GetBrowser afterwards, and the references on each browser (the test holds one)
    const struct { TableOp op; Browser expectedBrowser; LONG refs1, refs2; } steps[] = {
        {Remove, NoBrowser, 1, 1},  // a removal without an entry does nothing
        {AddNull, NoBrowser, 1, 1}, {Add1, B1, 2, 1}, {Remove, NoBrowser, 1, 1},  // an entry begun without a browser
        {Add1, B1, 2, 1}, {Add1, B1, 2, 1}, {Add2, B2, 1, 2}, {Remove, B2, 1, 2}, {Remove, NoBrowser, 1, 1},
    };
    StaThread thread;  // a thread without an entry
    ASSERT_TRUE(thread.Run([&] {
        const com_ptr<StandInBrowser> browsers[] = {nullptr, StandInBrowser::Create(nullptr),
                                                    StandInBrowser::Create(nullptr)};
        for (size_t i = 0; i < std::size(steps); ++i)
        {
            if (steps[i].op == Remove)
                CWebBrowsersHolder::RemoveBrowser();
            else
                EXPECT_EQ(CWebBrowsersHolder::AddBrowser(browsers[steps[i].op].get()), S_OK);
            const auto* expected = static_cast<IWebBrowser2*>(browsers[steps[i].expectedBrowser].get());
            EXPECT_EQ(std::make_tuple(CWebBrowsersHolder::GetBrowser(), browsers[B1]->RefCount(),
                                      browsers[B2]->RefCount()),
                      std::make_tuple(expected, steps[i].refs1, steps[i].refs2)) << "step " << i;
        }
    }));
}

// --- sites -------------------------------------------------------------------

// The helper is shared by the browser window and the script hosts of the same
// thread. Only a site that yields a browser registers it; each host's
// SetSite(null) ends only its own assignment, and a host that sites the helper
// again replaces its assignment rather than adding one.
TEST_F(HelperTest, SiteAssignmentsRegisterOnlyABrowserAndEndOnlyTheirOwn)
{
    enum Host { Window, Script, NoServices, Clear };
    // `registered`: whether the thread has the browser after each step
    const struct { const char* name; std::vector<Host> steps; std::vector<bool> registered; } cases[] = {
        {"sites that yield no browser", {Script, NoServices, Clear, Clear}, {false, false, false, false}},
        {"a script host without a browser clears its site", {Window, Script, Clear, Clear}, {true, true, true, false}},
        {"the window sites the helper again", {Window, Window, Clear}, {true, true, false}},
        {"a clear without an assignment", {Clear, Window, Clear}, {false, true, false}},
    };
    for (const auto& c : cases)
    {
        StaThread thread;
        ASSERT_TRUE(thread.Run([&] {
            SCOPED_TRACE(c.name);  // traces belong to the thread that sets them
            const com_ptr<ITolDownloadHelper> helper = FreshHelper();
            const auto withSite = helper.try_query<IObjectWithSite>();
            RecordingWindow frame(WM_NULL);
            const com_ptr<StandInBrowser> browser = StandInBrowser::Create(frame.Handle());
            const com_ptr<IUnknown> sites[] = {
                CreateBrowserSite(browser.get(), frame.Handle(), SiteKind::Browser),
                CreateBrowserSite(browser.get(), frame.Handle(), SiteKind::NoBrowserService),
                CreateBrowserSite(browser.get(), frame.Handle(), SiteKind::NoServiceProvider)};
            const LONG unregistered = browser->RefCount();
            for (size_t i = 0; i < c.steps.size(); ++i)
            {
                EXPECT_EQ(withSite->SetSite(c.steps[i] == Clear ? nullptr : sites[c.steps[i]].get()), S_OK);
                const bool registered = c.registered[i];
                EXPECT_EQ(ExplorerOf(helper.get()), registered ? frame.Handle() : nullptr) << "step " << i;
                EXPECT_EQ(Get(helper.get(), &ITolDownloadHelper::IsSiteSet, VARIANT_BOOL{7}),
                          registered ? VARIANT_TRUE : VARIANT_FALSE) << "step " << i;
                EXPECT_EQ(browser->RefCount(), unregistered + registered) << "step " << i << ": the table holds one";
            }
        }));
    }
}

// Two browser windows on two threads, each siting the registered helper as the
// browser does: one instance for the process, one browser entry per thread.
TEST_F(HelperTest, BrowserWindowsOnTwoThreadsShareTheRegisteredInstance)
{
    com_ptr<ITolDownloadHelper> mainHelper;
    ASSERT_EQ(::CoCreateInstance(CLSID_TolDownloadHelper, nullptr, CLSCTX_INPROC_SERVER, IID_ITolDownloadHelper,
                                 mainHelper.put_void()),
              S_OK);
    {
        BrowserThread first, second;
        for (BrowserThread* window : {&first, &second})
        {
            ASSERT_EQ(window->OpenResult(), S_OK) << std::hex << window->OpenResult();
            ASSERT_TRUE(window->Run([&] {
                EXPECT_TRUE(SameObject(window->Window().Helper(), mainHelper.get())) << "one instance for every thread";
                EXPECT_EQ(ExplorerOf(mainHelper.get()), window->Window().Frame()) << "each thread finds its own browser";
            }));
        }
        EXPECT_EQ(ExplorerOf(mainHelper.get()), nullptr) << "no browser on the test's thread";

        // The bar opens in the calling thread's window only.
        ASSERT_TRUE(second.Run([&] { EXPECT_EQ(mainHelper->ShowTolDownloadBand(VARIANT_TRUE), S_OK); }));
        EXPECT_EQ(first.Browser().BarCalls().size(), 0u);
        ASSERT_EQ(second.Browser().BarCalls().size(), 1u);
        EXPECT_EQ(second.Browser().BarCalls()[0].clsid, L"{EAB8C56D-C780-4F08-9F07-C300A639E72F}")
            << "the CLSID in registry form";

        for (BrowserThread* window : {&first, &second})
        {
            window->Close();
            EXPECT_EQ(window->Browser().RefCount(), 1) << "closing the window released the table's reference";
        }
    }
    mainHelper = nullptr;
    const auto canUnload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"tdm.dll"), "DllCanUnloadNow"));
    ASSERT_NE(canUnload, nullptr);
    EXPECT_EQ(canUnload(), S_OK) << "tdm.dll still has live objects";
}

// --- opening and closing the bar -------------------------------------------

// On a thread of its own: a bar window registered for the thread or not, then a
// stand-in browser window siting the helper or not, then the call.
// The browser reopens the bar of a new window by itself; with NotOpenBand the
// helper, sited in that window, closes it again.
TEST_F(HelperTest, TheBarIsOpenedOrClosedOnlyForAChange)
{
    // notOpenBand: stored on, else not stored; show: ShowTolDownloadBand's argument, nullopt for no call;
    // calls: the show argument of each ShowBrowserBar call.
    const struct { const char* name; bool browserWindow, barRegistered, notOpenBand; std::optional<VARIANT_BOOL> show;
                   HRESULT browserAnswer, expected; std::vector<bool> calls; } cases[] = {
        {"open a closed bar (any true value), the browser's answer", true, false, false, 1, E_ACCESSDENIED,
         E_ACCESSDENIED, {true}},
        {"close a closed bar", true, false, false, VARIANT_FALSE, S_OK, S_OK, {}},
        {"close an open bar", true, true, false, VARIANT_FALSE, S_OK, S_OK, {false}},
        {"no browser on the thread", false, false, false, VARIANT_TRUE, S_OK, E_FAIL, {}},
        {"no browser on the thread, closing an open bar", false, true, false, VARIANT_FALSE, S_OK, E_FAIL, {}},
        {"no browser on the thread, but nothing to change", false, true, false, VARIANT_TRUE, S_OK, S_OK, {}},
        {"NotOpenBand on, bar reopened", true, true, true, {}, S_OK, S_OK, {false}},
        {"NotOpenBand on, no bar", true, false, true, {}, S_OK, S_OK, {}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        RegistrySandbox sandbox;
        if (c.notOpenBand)
            SetNotOpenBand(true);
        StaThread thread;
        ASSERT_TRUE(thread.Run([&] {
            SCOPED_TRACE(c.name);
            const com_ptr<ITolDownloadHelper> helper = FreshHelper();
            ASSERT_TRUE(helper);
            RecordingWindow bar(WM_NULL);
            EXPECT_EQ(c.barRegistered ? helper->RegisterBand(Tid(), bar.Handle()) : S_OK, S_OK);
            BrowserWindow window([&](IObjectWithSite** sited) {
                return helper->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(sited));
            });
            if (c.browserWindow)
            {
                ASSERT_EQ(window.Open(), S_OK);
                window.Browser()->SetBarResult(c.browserAnswer);
            }
            EXPECT_EQ(c.show ? helper->ShowTolDownloadBand(*c.show) : S_OK, c.expected);
            std::vector<bool> calls;
            for (const BrowserBarCall& call : c.browserWindow ? window.Browser()->BarCalls() : std::vector<BrowserBarCall>{})
                calls.push_back(call.show);
            EXPECT_EQ(calls, c.calls);
            EXPECT_EQ(helper->UnregisterBand(Tid(), bar.Handle()), S_OK);
            window.Close();
        }));
    }
}

// --- running out of memory -----------------------------------------------------

TEST_F(HelperTest, OutOfMemoryLeavesTheTablesAsTheyWere)
{
    const com_ptr<ITolDownloadHelper> helper = FreshHelper();
    ASSERT_TRUE(helper);
    RecordingWindow toolbar(kBandStateMessage), band(kBandStateMessage);
    ASSERT_EQ(helper->RegisterToolbar(Tid(), toolbar.Handle()), S_OK);
    EXPECT_EQ(WithoutMemory([&] { return helper->RegisterBand(Tid(), band.Handle()); }), E_OUTOFMEMORY);
    EXPECT_EQ(Lookup(helper.get(), ::GetCurrentThreadId()), nullptr);
    EXPECT_EQ(toolbar.WParams(), (std::vector<WPARAM>{0})) << "a failed registration tells nobody";

    // A new thread's browser entry cannot be made; on a thread with an entry, the
    // site assignment cannot be recorded and takes its addition back.
    StaThread thread;
    ASSERT_TRUE(thread.Run([&] {
        const auto withSite = helper.try_query<IObjectWithSite>();
        RecordingWindow frame(WM_NULL);
        const com_ptr<StandInBrowser> browser = StandInBrowser::Create(frame.Handle());
        const com_ptr<IUnknown> site = CreateBrowserSite(browser.get(), frame.Handle(), SiteKind::Browser);
        const com_ptr<IUnknown> scriptSite = CreateBrowserSite(browser.get(), frame.Handle(), SiteKind::Browser);
        const LONG unregistered = browser->RefCount();
        EXPECT_EQ(WithoutMemory([&] { return withSite->SetSite(site.get()); }), E_OUTOFMEMORY);
        EXPECT_EQ(browser->RefCount(), unregistered);
        EXPECT_EQ(withSite->SetSite(site.get()), S_OK);
        EXPECT_EQ(WithoutMemory([&] { return withSite->SetSite(scriptSite.get()); }), E_OUTOFMEMORY);
        EXPECT_EQ(withSite->SetSite(nullptr), S_OK);
        EXPECT_EQ(CWebBrowsersHolder::GetBrowser(), nullptr) << "the failed assignment's addition was kept";
        EXPECT_EQ(browser->RefCount(), unregistered);
    }));
}

}  // namespace
