// The download helper object: its window registries and the band-state
// messages, the per-thread browser table, site handling, band toggling, the
// shared instance across browser threads, and running out of memory.
//
// Which helper a test uses matters: the test program links the module's code
// (its own module state, browser table and singleton) and tdm.dll is registered
// in the prefix (another module state in the same process). ModuleHelper() and
// FreshHelper() use the program's own code, so that its lock count can be
// checked; CoCreateInstance reaches the registered tdm.dll, as the browser does.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "browser/download_helper.h"
#include "browser/web_browsers_holder.h"
#include "framework/com_ptr.h"
#include "framework/error.h"
#include "framework/module.h"
#include "framework/object.h"
#include "settings/settings_store.h"
#include "support/browser_standin.h"
#include "support/browser_thread.h"
#include "support/recording_window.h"
#include "support/registry_sandbox.h"
#include "support/sta_thread.h"
#include "tdm_h.h"

using namespace tdm;
using namespace tdm::test;

// --- allocation failure injection --------------------------------------------
// Replaces the program's operator new: while a FailAllocations lives on a
// thread, every allocation on that thread fails.
namespace {
thread_local bool t_failAllocations = false;

struct FailAllocations
{
    FailAllocations() { t_failAllocations = true; }
    ~FailAllocations() { t_failAllocations = false; }
};
}  // namespace

// GCC cannot see that the replaced operator new allocates with malloc.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size)
{
    if (t_failAllocations)
        throw std::bad_alloc();
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

const wchar_t kBandClsid[] = L"{EAB8C56D-C780-4F08-9F07-C300A639E72F}";

// The singleton of the program's own module state.
com_ptr<ITolDownloadHelper> ModuleHelper()
{
    com_ptr<IClassFactory> factory;
    com_ptr<ITolDownloadHelper> helper;
    const HRESULT hr = CModule::Instance().GetClassObject(CLSID_TolDownloadHelper, IID_IClassFactory, factory.put_void());
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    if (factory)
        factory->CreateInstance(nullptr, IID_ITolDownloadHelper, helper.put_void());
    return helper;
}

// For BrowserWindow: sites the program's own singleton instead of tdm.dll's.
HRESULT CreateModuleHelper(IObjectWithSite** helper)
{
    com_ptr<IClassFactory> factory;
    RETURN_IF_FAILED(CModule::Instance().GetClassObject(CLSID_TolDownloadHelper, IID_IClassFactory, factory.put_void()));
    return factory->CreateInstance(nullptr, IID_IObjectWithSite, reinterpret_cast<void**>(helper));
}

// A new, unshared instance: registries of its own (the browser table is still
// the program's one table).
com_ptr<ITolDownloadHelper> FreshHelper()
{
    com_ptr<ITolDownloadHelper> helper;
    const HRESULT hr = CreateComInstance<CTolDownloadHelper>(nullptr, IID_ITolDownloadHelper, helper.put_void());
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    return helper;
}

HWND BandOf(ITolDownloadHelper* helper, DWORD thread)
{
    HWND window = reinterpret_cast<HWND>(1);
    const HRESULT hr = helper->GetBandHWND(static_cast<LONG>(thread), &window);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    return window;
}

HWND ToolbarOf(ITolDownloadHelper* helper, DWORD thread)
{
    HWND window = reinterpret_cast<HWND>(1);
    const HRESULT hr = helper->GetToolbarHWND(static_cast<LONG>(thread), &window);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    return window;
}

LONG Tid(DWORD thread) { return static_cast<LONG>(thread); }
LONG CurrentTid() { return static_cast<LONG>(::GetCurrentThreadId()); }

// Each test runs in an apartment of its own and leaves the module unlocked.
class HelperTest : public testing::Test
{
protected:
    void SetUp() override
    {
        const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ASSERT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    }
    void TearDown() override
    {
        ::CoUninitialize();
        EXPECT_EQ(CModule::Instance().LockCount(), 0) << "objects of the program's module are still alive";
    }
};

// --- registries and band-state messages ---------------------------------------

enum class Op { RegisterBand, UnregisterBand, RegisterToolbar, UnregisterToolbar };
enum Win { None, Band1, Band2, Toolbar, Toolbar2, Unknown, WindowCount };

struct Step
{
    Op op;
    DWORD thread;
    Win window;
};

struct RegistryCase
{
    const char* name;
    std::vector<Step> steps;
    // wParams of the band-state messages each toolbar window received, in order.
    std::vector<WPARAM> toolbarMessages;
    std::vector<WPARAM> toolbar2Messages;
    // Answers for thread T afterwards.
    Win bandOfT;
    Win toolbarOfT;
};

// Thread identifiers as the callers pass them; the registries only compare them.
constexpr DWORD T = 101;
constexpr DWORD U = 202;

TEST_F(HelperTest, RegistriesAndBandStateMessages)
{
    const RegistryCase cases[] = {
        {"the same bar twice keeps one entry and tells the toolbar both times",
         {{Op::RegisterToolbar, T, Toolbar}, {Op::RegisterBand, T, Band1}, {Op::RegisterBand, T, Band1},
          {Op::UnregisterBand, T, Band1}},
         {0, 1, 1, 0}, {}, None, Toolbar},
        {"two bars of a thread: the first registered answers",
         {{Op::RegisterBand, T, Band1}, {Op::RegisterBand, T, Band2}}, {}, {}, Band1, None},
        {"unregistering the first bar makes the other the answer",
         {{Op::RegisterBand, T, Band1}, {Op::RegisterBand, T, Band2}, {Op::UnregisterBand, T, Band1}}, {}, {},
         Band2, None},
        {"unregistering an unknown window still tells the toolbar 0",
         {{Op::RegisterToolbar, T, Toolbar}, {Op::RegisterBand, T, Band1}, {Op::UnregisterBand, T, Unknown}},
         {0, 1, 0}, {}, Band1, Toolbar},
        {"a toolbar registering learns that its thread has a bar",
         {{Op::RegisterBand, T, Band1}, {Op::RegisterToolbar, T, Toolbar}}, {1}, {}, Band1, Toolbar},
        {"bars of another thread are not the toolbar's",
         {{Op::RegisterToolbar, T, Toolbar}, {Op::RegisterBand, U, Band1}, {Op::UnregisterBand, U, Band1}}, {0}, {},
         None, Toolbar},
        {"an unregistered toolbar is told nothing more",
         {{Op::RegisterToolbar, T, Toolbar}, {Op::UnregisterToolbar, T, Toolbar}, {Op::RegisterBand, T, Band1}}, {0},
         {}, Band1, None},
        {"the same toolbar twice keeps one entry and is told both times",
         {{Op::RegisterToolbar, T, Toolbar}, {Op::RegisterToolbar, T, Toolbar}, {Op::UnregisterToolbar, T, Toolbar}},
         {0, 0}, {}, None, None},
        {"with two toolbars of a thread only the first hears of its bars",
         {{Op::RegisterToolbar, T, Toolbar}, {Op::RegisterToolbar, T, Toolbar2}, {Op::RegisterBand, T, Band1}},
         {0, 1}, {0}, Band1, Toolbar},
    };
    for (const RegistryCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        const com_ptr<ITolDownloadHelper> helper = FreshHelper();
        ASSERT_TRUE(helper);
        std::vector<std::unique_ptr<RecordingWindow>> windows;
        HWND handles[WindowCount] = {};
        for (int w = Band1; w < WindowCount; ++w)
        {
            windows.push_back(std::make_unique<RecordingWindow>(kBandStateMessage));
            handles[w] = windows.back()->Handle();
        }
        for (const Step& step : c.steps)
        {
            const HWND window = handles[step.window];
            HRESULT hr = E_UNEXPECTED;
            switch (step.op)
            {
            case Op::RegisterBand: hr = helper->RegisterBand(Tid(step.thread), window); break;
            case Op::UnregisterBand: hr = helper->UnregisterBand(Tid(step.thread), window); break;
            case Op::RegisterToolbar: hr = helper->RegisterToolbar(Tid(step.thread), window); break;
            case Op::UnregisterToolbar: hr = helper->UnregisterToolbar(Tid(step.thread), window); break;
            }
            EXPECT_EQ(hr, S_OK) << std::hex << hr;
        }
        EXPECT_EQ(windows[Toolbar - 1]->WParams(), c.toolbarMessages);
        EXPECT_EQ(windows[Toolbar2 - 1]->WParams(), c.toolbar2Messages);
        for (int w : {Band1, Band2, Unknown})
            EXPECT_TRUE(windows[w - 1]->Received().empty()) << "window " << w << " is no toolbar";
        for (const auto& window : windows)
            for (const RecordingWindow::Message& message : window->Received())
                EXPECT_EQ(message.lParam, 0);
        EXPECT_EQ(BandOf(helper.get(), T), handles[c.bandOfT]);
        EXPECT_EQ(ToolbarOf(helper.get(), T), handles[c.toolbarOfT]);
    }
}

TEST_F(HelperTest, LookupsWithoutEntriesAnswerNull)
{
    const com_ptr<ITolDownloadHelper> helper = FreshHelper();
    ASSERT_TRUE(helper);
    EXPECT_EQ(BandOf(helper.get(), T), nullptr);
    EXPECT_EQ(ToolbarOf(helper.get(), T), nullptr);
    EXPECT_EQ(helper->GetBandHWND(Tid(T), nullptr), E_POINTER);
    EXPECT_EQ(helper->GetToolbarHWND(Tid(T), nullptr), E_POINTER);
    // Unregistering what was never registered is no failure.
    EXPECT_EQ(helper->UnregisterToolbar(Tid(T), reinterpret_cast<HWND>(0x1234)), S_OK);
}

TEST_F(HelperTest, IsCurrentBandShownFollowsTheCallingThreadsBar)
{
    const com_ptr<ITolDownloadHelper> helper = FreshHelper();
    ASSERT_TRUE(helper);
    RecordingWindow band(kBandStateMessage);
    VARIANT_BOOL shown = VARIANT_TRUE;
    EXPECT_EQ(helper->IsCurrentBandShown(&shown), S_OK);
    EXPECT_EQ(shown, VARIANT_FALSE);
    ASSERT_EQ(helper->RegisterBand(Tid(T), band.Handle()), S_OK);
    EXPECT_EQ(helper->IsCurrentBandShown(&shown), S_OK);
    EXPECT_EQ(shown, VARIANT_FALSE) << "a bar of another thread";
    ASSERT_EQ(helper->RegisterBand(CurrentTid(), band.Handle()), S_OK);
    EXPECT_EQ(helper->IsCurrentBandShown(&shown), S_OK);
    EXPECT_EQ(shown, VARIANT_FALSE) << "the window is registered for T already and keeps that entry";
    RecordingWindow ownBand(kBandStateMessage);
    ASSERT_EQ(helper->RegisterBand(CurrentTid(), ownBand.Handle()), S_OK);
    EXPECT_EQ(helper->IsCurrentBandShown(&shown), S_OK);
    EXPECT_EQ(shown, VARIANT_TRUE);
    EXPECT_EQ(helper->IsCurrentBandShown(nullptr), E_POINTER);
}

// A toolbar window calls back into the helper while it is being notified, from
// its own thread: the sender must not hold the helper's lock across the send
// (a deadlock would leave Run unfinished).
TEST_F(HelperTest, ToolbarMayCallTheHelperWhileNotified)
{
    for (const bool fromOtherThread : {false, true})
    {
        SCOPED_TRACE(fromOtherThread ? "bar registered from another thread" : "bar registered on the toolbar's thread");
        const com_ptr<ITolDownloadHelper> helper = ModuleHelper();
        ASSERT_TRUE(helper);
        ITolDownloadHelper* const shared = helper.get();
        RecordingWindow band(kBandStateMessage);
        const HWND bandWindow = band.Handle();

        auto toolbarThread = std::make_unique<StaThread>();
        StaThread otherThread;
        const DWORD toolbarTid = toolbarThread->Id();
        std::unique_ptr<RecordingWindow> toolbar;
        std::vector<HWND> seen;
        ASSERT_TRUE(toolbarThread->Run([&] {
            toolbar = std::make_unique<RecordingWindow>(kBandStateMessage);
            toolbar->OnMessage([&](WPARAM, LPARAM) {
                HWND current = reinterpret_cast<HWND>(1);
                shared->GetBandHWND(Tid(toolbarTid), &current);
                seen.push_back(current);
            });
            EXPECT_EQ(shared->RegisterToolbar(Tid(toolbarTid), toolbar->Handle()), S_OK);
        }, 10000));

        StaThread& caller = fromOtherThread ? otherThread : *toolbarThread;
        const bool finished = caller.Run([&] {
            EXPECT_EQ(shared->RegisterBand(Tid(toolbarTid), bandWindow), S_OK);
            EXPECT_EQ(shared->UnregisterBand(Tid(toolbarTid), bandWindow), S_OK);
        }, 10000);
        ASSERT_TRUE(finished) << "deadlock: the helper held its lock while sending the band-state message";
        EXPECT_EQ(seen, (std::vector<HWND>{nullptr, bandWindow, nullptr}));
        EXPECT_EQ(toolbar->WParams(), (std::vector<WPARAM>{0, 1, 0}));

        ASSERT_TRUE(toolbarThread->Run([&] {
            EXPECT_EQ(shared->UnregisterToolbar(Tid(toolbarTid), toolbar->Handle()), S_OK);
            toolbar.reset();
        }));
    }
}

// --- the browser table ---------------------------------------------------------

enum class TableOp { Add1, Add2, AddNull, Remove };
enum Browser { NoBrowser, B1, B2 };

struct TableStep
{
    TableOp op;
    Browser expectedBrowser;  // GetBrowser afterwards
    LONG refs1;               // references on each browser afterwards (the test holds one)
    LONG refs2;
};

struct TableCase
{
    const char* name;
    std::vector<TableStep> steps;
};

TEST_F(HelperTest, BrowserTableAdditionsAndRemovals)
{
    const TableCase cases[] = {
        {"one addition, one removal", {{TableOp::Add1, B1, 2, 1}, {TableOp::Remove, NoBrowser, 1, 1}}},
        {"the same browser twice needs two removals",
         {{TableOp::Add1, B1, 2, 1}, {TableOp::Add1, B1, 2, 1}, {TableOp::Remove, B1, 2, 1},
          {TableOp::Remove, NoBrowser, 1, 1}}},
        {"another browser replaces the first without counting",
         {{TableOp::Add1, B1, 2, 1}, {TableOp::Add2, B2, 1, 2}, {TableOp::Remove, NoBrowser, 1, 1}}},
        {"a removal without an entry does nothing",
         {{TableOp::Remove, NoBrowser, 1, 1}, {TableOp::Add1, B1, 2, 1}, {TableOp::Remove, NoBrowser, 1, 1}}},
        {"an entry begun without a browser ends with one removal, releasing the browser stored later",
         {{TableOp::AddNull, NoBrowser, 1, 1}, {TableOp::Add1, B1, 2, 1}, {TableOp::Remove, NoBrowser, 1, 1}}},
    };
    for (const TableCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        StaThread thread;  // a thread without an entry
        ASSERT_TRUE(thread.Run([&] {
            const com_ptr<StandInBrowser> browsers[] = {nullptr, StandInBrowser::Create(nullptr),
                                                        StandInBrowser::Create(nullptr)};
            size_t index = 0;
            for (const TableStep& step : c.steps)
            {
                SCOPED_TRACE(std::string(c.name) + ", step " + std::to_string(index++));
                HRESULT hr = S_OK;
                switch (step.op)
                {
                case TableOp::Add1: hr = CWebBrowsersHolder::AddBrowser(browsers[B1].get()); break;
                case TableOp::Add2: hr = CWebBrowsersHolder::AddBrowser(browsers[B2].get()); break;
                case TableOp::AddNull: hr = CWebBrowsersHolder::AddBrowser(nullptr); break;
                case TableOp::Remove: CWebBrowsersHolder::RemoveBrowser(); break;
                }
                EXPECT_EQ(hr, S_OK) << std::hex << hr;
                IWebBrowser2* const expected = step.expectedBrowser == NoBrowser
                                                   ? nullptr
                                                   : static_cast<IWebBrowser2*>(browsers[step.expectedBrowser].get());
                EXPECT_EQ(CWebBrowsersHolder::GetBrowser(), expected);
                EXPECT_EQ(browsers[B1]->RefCount(), step.refs1);
                EXPECT_EQ(browsers[B2]->RefCount(), step.refs2);
            }
        }));
    }
}

TEST_F(HelperTest, SiteFlagLivesWithTheThreadsEntry)
{
    StaThread thread;
    ASSERT_TRUE(thread.Run([] {
        const com_ptr<StandInBrowser> browser = StandInBrowser::Create(nullptr);
        CWebBrowsersHolder::SetSiteFlag(true);
        EXPECT_FALSE(CWebBrowsersHolder::GetSiteFlag()) << "no entry to keep it";
        ASSERT_EQ(CWebBrowsersHolder::AddBrowser(browser.get()), S_OK);
        EXPECT_FALSE(CWebBrowsersHolder::GetSiteFlag());
        CWebBrowsersHolder::SetSiteFlag(true);
        EXPECT_TRUE(CWebBrowsersHolder::GetSiteFlag());
        CWebBrowsersHolder::RemoveBrowser();
        ASSERT_EQ(CWebBrowsersHolder::AddBrowser(browser.get()), S_OK);
        EXPECT_FALSE(CWebBrowsersHolder::GetSiteFlag()) << "a new entry starts without it";
        CWebBrowsersHolder::RemoveBrowser();
    }));
}

// --- sites -------------------------------------------------------------------

struct SiteCase
{
    SiteKind kind;
    const char* name;
    bool registers;
};

TEST_F(HelperTest, SiteAssignmentsRegisterOnlyABrowser)
{
    const SiteCase cases[] = {
        {SiteKind::Browser, "a browser window's site", true},
        {SiteKind::NoServiceProvider, "a site without IServiceProvider", false},
        {SiteKind::NoBrowserService, "a site whose services know no browser", false},
    };
    for (const SiteCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        StaThread thread;
        ASSERT_TRUE(thread.Run([&] {
            SCOPED_TRACE(c.name);  // traces belong to the thread that sets them
            com_ptr<IObjectWithSite> withSite;
            ASSERT_EQ(CreateModuleHelper(withSite.put()), S_OK);
            const auto helper = withSite.try_query<ITolDownloadHelper>();
            ASSERT_TRUE(helper);
            RecordingWindow frame(WM_NULL);
            const com_ptr<StandInBrowser> browser = StandInBrowser::Create(frame.Handle());
            const com_ptr<IUnknown> site = CreateBrowserSite(browser.get(), frame.Handle(), c.kind);

            const LONG unregistered = browser->RefCount();
            EXPECT_EQ(withSite->SetSite(site.get()), S_OK);
            VARIANT_BOOL isSet = VARIANT_TRUE;
            EXPECT_EQ(helper->IsSiteSet(&isSet), S_OK);
            EXPECT_EQ(isSet, c.registers ? VARIANT_TRUE : VARIANT_FALSE);
            HWND explorer = reinterpret_cast<HWND>(1);
            EXPECT_EQ(helper->GetExplorerHWND(&explorer), S_OK);
            EXPECT_EQ(explorer, c.registers ? frame.Handle() : nullptr);
            EXPECT_EQ(browser->RefCount(), unregistered + (c.registers ? 1 : 0)) << "the table holds one reference";

            // The site is never handed back.
            void* got = reinterpret_cast<void*>(1);
            EXPECT_EQ(withSite->GetSite(IID_IUnknown, &got), E_FAIL);
            EXPECT_EQ(got, nullptr);

            EXPECT_EQ(withSite->SetSite(nullptr), S_OK);
            EXPECT_EQ(helper->IsSiteSet(&isSet), S_OK);
            EXPECT_EQ(isSet, VARIANT_FALSE);
            EXPECT_EQ(helper->GetExplorerHWND(&explorer), S_OK);
            EXPECT_EQ(explorer, nullptr);
            EXPECT_EQ(browser->RefCount(), unregistered);
        }));
    }
}

// Two browser windows on two threads, each siting the registered helper as the
// browser does: one instance for the process, one browser entry per thread.
TEST_F(HelperTest, BrowserWindowsOnTwoThreadsShareTheRegisteredInstance)
{
    com_ptr<IUnknown> mainInstance;
    HRESULT hr = ::CoCreateInstance(CLSID_TolDownloadHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                    mainInstance.put_void());
    ASSERT_EQ(hr, S_OK) << std::hex << hr;
    {
        BrowserThread first;
        BrowserThread second;
        ASSERT_EQ(first.OpenResult(), S_OK) << std::hex << first.OpenResult();
        ASSERT_EQ(second.OpenResult(), S_OK) << std::hex << second.OpenResult();

        for (BrowserThread* window : {&first, &second})
        {
            ASSERT_TRUE(window->Run([&] {
                com_ptr<IUnknown> identity;
                window->Window().Helper()->QueryInterface(IID_IUnknown, identity.put_void());
                EXPECT_EQ(identity.get(), mainInstance.get()) << "one instance for every thread";
                const auto helper = com_ptr<IObjectWithSite>(window->Window().Helper()).try_query<ITolDownloadHelper>();
                ASSERT_TRUE(helper);
                HWND explorer = nullptr;
                EXPECT_EQ(helper->GetExplorerHWND(&explorer), S_OK);
                EXPECT_EQ(explorer, window->Window().Frame()) << "each thread finds its own browser";
                VARIANT_BOOL isSet = VARIANT_FALSE;
                EXPECT_EQ(helper->IsSiteSet(&isSet), S_OK);
                EXPECT_EQ(isSet, VARIANT_TRUE);
            }));
        }
        const auto mainHelper = mainInstance.try_query<ITolDownloadHelper>();
        ASSERT_TRUE(mainHelper);
        HWND explorer = reinterpret_cast<HWND>(1);
        EXPECT_EQ(mainHelper->GetExplorerHWND(&explorer), S_OK);
        EXPECT_EQ(explorer, nullptr) << "no browser on the test's thread";

        // The bar opens in the calling thread's window only.
        ASSERT_TRUE(second.Run([&] { EXPECT_EQ(mainHelper->ShowTolDownloadBand(VARIANT_TRUE), S_OK); }));
        EXPECT_EQ(first.Browser().BarCalls().size(), 0u);
        ASSERT_EQ(second.Browser().BarCalls().size(), 1u);
        EXPECT_EQ(second.Browser().BarCalls()[0].clsid, kBandClsid);

        first.Close();
        second.Close();
        EXPECT_EQ(first.Browser().RefCount(), 1) << "closing the window released the table's reference";
        EXPECT_EQ(second.Browser().RefCount(), 1);
        for (BrowserThread* window : {&first, &second})
        {
            ASSERT_TRUE(window->Run([&] {
                VARIANT_BOOL isSet = VARIANT_TRUE;
                EXPECT_EQ(mainHelper->IsSiteSet(&isSet), S_OK);
                EXPECT_EQ(isSet, VARIANT_FALSE);
            }));
        }
    }
    mainInstance = nullptr;
    const HMODULE module = ::GetModuleHandleW(L"tdm.dll");
    ASSERT_NE(module, nullptr);
    const auto canUnload = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(::GetProcAddress(module, "DllCanUnloadNow"));
    ASSERT_NE(canUnload, nullptr);
    EXPECT_EQ(canUnload(), S_OK) << "tdm.dll still has live objects";
}

// --- opening and closing the bar -------------------------------------------

struct ShowCase
{
    const char* name;
    bool browserWindow;
    bool barRegistered;
    VARIANT_BOOL show;
    HRESULT browserAnswer;
    HRESULT expected;
    std::vector<bool> calls;  // the show argument of each ShowBrowserBar call
};

TEST_F(HelperTest, ShowTolDownloadBandAsksTheBrowserOnlyForAChange)
{
    const ShowCase cases[] = {
        {"open a closed bar", true, false, VARIANT_TRUE, S_OK, S_OK, {true}},
        {"close a closed bar", true, false, VARIANT_FALSE, S_OK, S_OK, {}},
        {"open an open bar", true, true, VARIANT_TRUE, S_OK, S_OK, {}},
        {"close an open bar", true, true, VARIANT_FALSE, S_OK, S_OK, {false}},
        {"the browser's answer is the result", true, false, VARIANT_TRUE, E_ACCESSDENIED, E_ACCESSDENIED, {true}},
        {"any true value opens", true, false, 1, S_OK, S_OK, {true}},
        {"no browser on the thread", false, false, VARIANT_TRUE, S_OK, E_FAIL, {}},
        {"no browser on the thread, closing an open bar", false, true, VARIANT_FALSE, S_OK, E_FAIL, {}},
        {"no browser on the thread, but nothing to change", false, true, VARIANT_TRUE, S_OK, S_OK, {}},
    };
    for (const ShowCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        StaThread thread;
        ASSERT_TRUE(thread.Run([&] {
            SCOPED_TRACE(c.name);
            const com_ptr<ITolDownloadHelper> helper = ModuleHelper();
            ASSERT_TRUE(helper);
            BrowserWindow window(&CreateModuleHelper);
            RecordingWindow bar(WM_NULL);
            if (c.browserWindow)
            {
                ASSERT_EQ(window.Open(), S_OK);
                window.Browser()->SetBarResult(c.browserAnswer);
            }
            if (c.barRegistered)
            {
                ASSERT_EQ(helper->RegisterBand(CurrentTid(), bar.Handle()), S_OK);
            }

            const HRESULT hr = helper->ShowTolDownloadBand(c.show);
            EXPECT_EQ(hr, c.expected) << std::hex << hr;
            const auto calls = c.browserWindow ? window.Browser()->BarCalls() : std::vector<BrowserBarCall>{};
            ASSERT_EQ(calls.size(), c.calls.size());
            for (size_t i = 0; i < calls.size(); ++i)
            {
                EXPECT_EQ(calls[i].clsidType, VT_BSTR);
                EXPECT_EQ(calls[i].clsid, kBandClsid) << "registry form: braces, upper-case hexadecimal";
                EXPECT_EQ(calls[i].showType, VT_BOOL);
                EXPECT_EQ(calls[i].show, c.calls[i]);
                EXPECT_FALSE(calls[i].sizeGiven);
            }
            if (c.barRegistered)
            {
                EXPECT_EQ(helper->UnregisterBand(CurrentTid(), bar.Handle()), S_OK);
            }
            window.Close();
        }));
    }
}

struct NotOpenBandCase
{
    const char* name;
    std::optional<bool> notOpenBand;  // nullopt: the setting is not stored
    bool barRegistered;
    std::vector<bool> calls;
};

// The browser reopens the bar of a new window by itself; with NotOpenBand the
// helper, sited in that window, closes it again.
TEST_F(HelperTest, NotOpenBandClosesTheBarTheBrowserReopened)
{
    const NotOpenBandCase cases[] = {
        {"setting on, bar reopened", true, true, {false}},
        {"setting on, no bar", true, false, {}},
        {"setting off, bar reopened", false, true, {}},
        {"setting not stored, bar reopened", std::nullopt, true, {}},
    };
    for (const NotOpenBandCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        RegistrySandbox sandbox;
        if (c.notOpenBand)
            SetNotOpenBand(*c.notOpenBand);
        StaThread thread;
        ASSERT_TRUE(thread.Run([&] {
            SCOPED_TRACE(c.name);
            const com_ptr<ITolDownloadHelper> helper = ModuleHelper();
            ASSERT_TRUE(helper);
            RecordingWindow bar(WM_NULL);
            if (c.barRegistered)
            {
                ASSERT_EQ(helper->RegisterBand(CurrentTid(), bar.Handle()), S_OK);
            }
            BrowserWindow window(&CreateModuleHelper);
            ASSERT_EQ(window.Open(), S_OK);
            const auto calls = window.Browser()->BarCalls();
            ASSERT_EQ(calls.size(), c.calls.size());
            for (size_t i = 0; i < calls.size(); ++i)
            {
                EXPECT_EQ(calls[i].clsid, kBandClsid);
                EXPECT_EQ(calls[i].show, c.calls[i]);
            }
            if (c.barRegistered)
            {
                EXPECT_EQ(helper->UnregisterBand(CurrentTid(), bar.Handle()), S_OK);
            }
            window.Close();
        }));
    }
}

// --- running out of memory -----------------------------------------------------

TEST_F(HelperTest, OutOfMemoryLeavesTheTablesAsTheyWere)
{
    {
        FailAllocations failing;
        EXPECT_THROW(static_cast<void>(new int(0)), std::bad_alloc) << "the failure injection does not work";
    }
    const com_ptr<ITolDownloadHelper> helper = FreshHelper();
    ASSERT_TRUE(helper);
    RecordingWindow toolbar(kBandStateMessage);
    RecordingWindow otherToolbar(kBandStateMessage);
    RecordingWindow band(kBandStateMessage);
    ASSERT_EQ(helper->RegisterToolbar(Tid(T), toolbar.Handle()), S_OK);
    HRESULT newBand = S_OK, newToolbar = S_OK, knownToolbar = E_FAIL;
    {
        FailAllocations failing;  // no test macros in here: they allocate
        newBand = helper->RegisterBand(Tid(T), band.Handle());
        newToolbar = helper->RegisterToolbar(Tid(U), otherToolbar.Handle());
        knownToolbar = helper->RegisterToolbar(Tid(T), toolbar.Handle());
    }
    EXPECT_EQ(newBand, E_OUTOFMEMORY) << std::hex << newBand;
    EXPECT_EQ(newToolbar, E_OUTOFMEMORY) << std::hex << newToolbar;
    EXPECT_EQ(knownToolbar, S_OK) << "known already: nothing to grow; " << std::hex << knownToolbar;
    EXPECT_EQ(BandOf(helper.get(), T), nullptr);
    EXPECT_EQ(ToolbarOf(helper.get(), U), nullptr);
    EXPECT_EQ(ToolbarOf(helper.get(), T), toolbar.Handle());
    EXPECT_EQ(toolbar.WParams(), (std::vector<WPARAM>{0, 0})) << "a failed registration tells nobody";
    EXPECT_TRUE(otherToolbar.Received().empty());
    EXPECT_EQ(helper->RegisterBand(Tid(T), band.Handle()), S_OK);
    EXPECT_EQ(BandOf(helper.get(), T), band.Handle());
    EXPECT_EQ(helper->UnregisterBand(Tid(T), band.Handle()), S_OK);

    StaThread thread;
    ASSERT_TRUE(thread.Run([&] {
        com_ptr<IObjectWithSite> withSite;
        ASSERT_EQ(helper->QueryInterface(IID_IObjectWithSite, withSite.put_void()), S_OK);
        RecordingWindow frame(WM_NULL);
        const com_ptr<StandInBrowser> browser = StandInBrowser::Create(frame.Handle());
        const com_ptr<IUnknown> site = CreateBrowserSite(browser.get(), frame.Handle(), SiteKind::Browser);
        const LONG unregistered = browser->RefCount();
        HRESULT hr = S_OK;
        {
            FailAllocations failing;
            hr = withSite->SetSite(site.get());
        }
        EXPECT_EQ(hr, E_OUTOFMEMORY) << std::hex << hr;
        EXPECT_EQ(CWebBrowsersHolder::GetBrowser(), nullptr);
        EXPECT_FALSE(CWebBrowsersHolder::GetSiteFlag());
        EXPECT_EQ(browser->RefCount(), unregistered);
        EXPECT_EQ(withSite->SetSite(site.get()), S_OK);
        EXPECT_TRUE(CWebBrowsersHolder::GetSiteFlag());
        EXPECT_EQ(withSite->SetSite(nullptr), S_OK);
        EXPECT_EQ(browser->RefCount(), unregistered);
    }));
}

}  // namespace
