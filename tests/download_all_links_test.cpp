// Downloading all links of a page: CreateDownloads of the registered helper with
// the page's link collection of the stand-in browser, the link-selection dialog
// driven as a user drives it, and the engine stand-in recording what it gets.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "browser/batch_progress.h"
#include "framework/automation.h"
#include "framework/error.h"
#include "resources/resource.h"
#include "store/settings_store.h"
#include "support/browser_thread.h"
#include "support/declared_schemes.h"
#include "support/dialog_driver.h"
#include "support/engine_standin.h"
#include "support/message_box_hook.h"
#include "support/registry_sandbox.h"
#include "tdm_h.h"

using namespace tdm;
using namespace tdm::test;

namespace {

HRESULT CreateDownloads(IDispatch* links)
{
    com_ptr<ITolDownloadHelper> helper;
    RETURN_IF_FAILED(::CoCreateInstance(CLSID_TolDownloadHelper, nullptr, CLSCTX_ALL, IID_ITolDownloadHelper,
                                        helper.put_void()));
    return helper->CreateDownloads(links);
}

// The rows of the dialog's list as shown: "name | URL", with "[x] " for a
// checked row.
std::vector<std::wstring> Rows(const DialogWindow& dialog)
{
    const HWND list = dialog.Item(IDC_LINKS_LIST);
    std::vector<std::wstring> rows;
    for (int row = 0; row < ::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0); ++row)
    {
        wchar_t name[300] = {}, url[3000] = {};
        LVITEMW item{0, 0, 0, 0, 0, name, 300};
        ::SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
        item = {0, 0, 1, 0, 0, url, 3000};
        ::SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
        const bool checked = ::SendMessageW(list, LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
        rows.push_back(std::wstring(checked ? L"[x] " : L"") + name + L" | " + url);
    }
    return rows;
}

// Selects row `row` alone and presses the space bar in the list.
void ToggleWithSpace(const DialogWindow& dialog, int row)
{
    const HWND list = dialog.Item(IDC_LINKS_LIST);
    LVITEMW item{};
    item.stateMask = LVIS_SELECTED;
    ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
    item.state = LVIS_SELECTED;
    ::SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
    ::SendMessageW(list, WM_KEYDOWN, VK_SPACE, 0);
}

// Clicks the check box of row `row` with the mouse.
void ClickCheckBox(const DialogWindow& dialog, int row)
{
    const HWND list = dialog.Item(IDC_LINKS_LIST);
    RECT bounds{LVIR_BOUNDS};
    ::SendMessageW(list, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&bounds));
    const LPARAM point = MAKELPARAM(bounds.left + 8, (bounds.top + bounds.bottom) / 2);
    ::SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, point);
    ::SendMessageW(list, WM_LBUTTONUP, 0, point);
}

class AllLinksTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        engine = std::make_unique<EngineStandIn>();
        SetBrowse(L"C:\\dl\\");
        window = std::make_unique<BrowserThread>();
        ASSERT_EQ(S_OK, window->OpenResult());
        owner = std::to_string(reinterpret_cast<LONG_PTR>(window->Window().Frame()));
    }
    void TearDown() override
    {
        window.reset();
        engine.reset();
        ::CoUninitialize();
    }
    // CreateDownloads of the page's links on the browser thread, the dialog
    // handed to `action` (none expected without one); returns the boxes shown.
    // The thread's task is given `timeoutMs` to end.
    std::vector<RecordedBox> DownloadAll(const DialogDriver::Action& action, DWORD timeoutMs = 30000)
    {
        std::vector<RecordedBox> boxes;
        EXPECT_TRUE(window->Run([&] {
            MessageBoxRecorder recorder;
            DialogDriver driver;
            if (action)
                driver.When(L"Download Links", [&](DialogWindow& dialog) {
                    EXPECT_EQ(window->Window().Frame(), ::GetWindow(dialog.Handle(), GW_OWNER));
                    action(dialog);
                });
            EXPECT_EQ(S_OK, CreateDownloads(window->Browser().PageLinks().get()));
            EXPECT_EQ(0u, driver.Pending());
            boxes = recorder.Boxes();
        }, timeoutMs));
        return boxes;
    }
    // The page's cookie goes only with links of the page's own scheme and host (http://host).
    std::string AddUrl(const std::string& url, const char* folder = "C:\\dl\\", const char* start = "1")
    {
        const bool pages = url.compare(0, 12, "http://host/") == 0;
        return "AddUrl(" + url + ", " + folder + ", " + owner + ", " + start + ", -1, " + (pages ? "session=42)" : ")");
    }

    RegistrySandbox sandbox;
    std::unique_ptr<EngineStandIn> engine;
    std::unique_ptr<BrowserThread> window;
    std::string owner;
};

}  // namespace

TEST_F(AllLinksTest, TheDialogListsTheDistinctDownloadableLinksInPageOrder)
{
    const std::wstring tooLong = L"http://host/" + std::wstring(3000, L'a');
    const struct
    {
        const char* name;
        std::vector<std::wstring> page;
        PageFaults faults;
        std::vector<std::wstring> rows;
        const wchar_t* declared = nullptr;  // the engine's declared schemes, if any
    } cases[] = {
        {"a page of every kind of link",
         {L"http://host/a.zip", L"ftp://host/pub/b.iso", L"https://host/c.zip", L"mailto:someone@host",
          L"javascript:void(0)", L"relative/d.zip", L"", L"http://host/a.zip", L"HTTP://host/a.zip",
          L"http://host/number.zip", tooLong, L"ftp://host/pub/", L"http://host/dir/f%20g.txt?x=1", L"http://host"},
         {{9}},
         // https is refused while the engine declares no scheme beyond http and ftp.
         {L"[x] a.zip | http://host/a.zip", L"[x] b.iso | ftp://host/pub/b.iso", L"[x] a.zip | HTTP://host/a.zip",
          L"[x] f g.txt | http://host/dir/f%20g.txt?x=1", L"[x] host | http://host"}},
        {"https declared by the engine",
         {L"https://host/c.zip", L"HTTPS://host/d.zip", L"https://", L"https:/x", L"mailto:someone@host"},
         {},
         {L"[x] c.zip | https://host/c.zip", L"[x] d.zip | HTTPS://host/d.zip"},
         L"http https ftp"},
        {"a collection failing part-way",
         {L"http://host/a.zip", L"http://host/b.zip", L"http://host/c.zip"},
         {{}, 2},
         {L"[x] a.zip | http://host/a.zip", L"[x] b.zip | http://host/b.zip"}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::optional<DeclaredSchemes> declared;
        if (c.declared)
            declared.emplace(sandbox, c.declared);
        window->Browser().SetPage(c.page, L"session=42");
        window->Browser().SetPageFaults(c.faults);
        std::vector<std::wstring> rows;
        const auto boxes = DownloadAll([&](DialogWindow& dialog) {
            rows = Rows(dialog);
            EXPECT_EQ(L"C:\\dl\\", dialog.Text(IDC_LINKS_FOLDER));
            EXPECT_TRUE(dialog.Checked(IDS_LINKS_START));
            dialog.Click(IDCANCEL);
        });
        EXPECT_EQ(c.rows, rows);
        EXPECT_TRUE(boxes.empty());
    }
    EXPECT_EQ(0u, engine->Count("AddUrl")) << "cancelled";
}

TEST_F(AllLinksTest, FilterAndCheckButtonsChooseWhatOkAddsInPageOrder)
{
    window->Browser().SetPage({L"http://host/a.zip", L"ftp://host/pub/b.iso", L"http://host/c.ZIP", L"http://other/d.txt"},
                              L"session=42");
    SetStart(false);  // the start flag the engine gets
    const auto boxes = DownloadAll([&](DialogWindow& dialog) {
        const struct
        {
            const wchar_t* filter;
            std::vector<std::wstring> shown;
        } filters[] = {
            {L"zip", {L"[x] a.zip | http://host/a.zip", L"[x] c.ZIP | http://host/c.ZIP"}},  // either case
            {L"PUB", {L"[x] b.iso | ftp://host/pub/b.iso"}},  // the URL, not the name
            {L"", {L"[x] a.zip | http://host/a.zip", L"[x] b.iso | ftp://host/pub/b.iso",
                   L"[x] c.ZIP | http://host/c.ZIP", L"[x] d.txt | http://other/d.txt"}},
        };
        for (const auto& f : filters)
        {
            dialog.SetText(IDC_LINKS_FILTER, f.filter);
            EXPECT_EQ(f.shown, Rows(dialog)) << NarrowFromWide(f.filter, wcslen(f.filter));
        }
        const struct
        {
            const wchar_t* filter;
            int button;
            const wchar_t* count;
        } steps[] = {
            {L"zip", IDS_LINKS_CHECK_NONE, L"Checked: 0 of 4"},  // hidden rows too
            {L"zip", IDS_LINKS_CHECK_SHOWN, L"Checked: 2 of 4"},
            {L"zip", IDS_LINKS_CHECK_ALL, L"Checked: 4 of 4"},
            {L"zip", IDS_LINKS_CHECK_SHOWN, L"Checked: 2 of 4"},  // unchecks the hidden ones
        };
        for (const auto& step : steps)
        {
            dialog.SetText(IDC_LINKS_FILTER, step.filter);
            dialog.Click(step.button);
            EXPECT_EQ(step.count, dialog.Text(IDC_LINKS_COUNT)) << step.button;
            EXPECT_EQ(step.count[9] != L'0', dialog.Enabled(IDOK));
        }
        dialog.SetText(IDC_LINKS_FILTER, L"");
        ToggleWithSpace(dialog, 3);  // d.txt on
        ToggleWithSpace(dialog, 0);  // a.zip off
        ClickCheckBox(dialog, 1);    // b.iso on
        LVFINDINFOW typed{LVFI_PARTIAL | LVFI_STRING, L"C"};  // type-ahead by file name
        EXPECT_EQ(2, ListView_FindItem(dialog.Item(IDC_LINKS_LIST), 0, &typed));
        EXPECT_EQ((std::vector<std::wstring>{L"a.zip | http://host/a.zip", L"[x] b.iso | ftp://host/pub/b.iso",
                                             L"[x] c.ZIP | http://host/c.ZIP", L"[x] d.txt | http://other/d.txt"}),
                  Rows(dialog));
        dialog.SetText(IDC_LINKS_FOLDER, L"D:\\x");
        dialog.Click(IDOK);
    });
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(engine->Expect(AddUrl("ftp://host/pub/b.iso", "D:\\x\\", "0")));
    EXPECT_TRUE(engine->Expect(AddUrl("http://host/c.ZIP", "D:\\x\\", "0")));
    EXPECT_TRUE(engine->Expect(AddUrl("http://other/d.txt", "D:\\x\\", "0")));
    EXPECT_EQ(3u, engine->Count("AddUrl"));
}

TEST_F(AllLinksTest, AnEngineFailureStopsTheRunKeepsWhatWasAddedAndSaysHowMany)
{
    window->Browser().SetPage(
        {L"http://host/1.zip", L"http://host/2.zip", L"http://host/3.zip", L"http://host/4.zip", L"http://host/5.zip"},
        L"session=42");
    engine->FailAfter("AddUrl", 2, E_ACCESSDENIED);
    const auto boxes = DownloadAll([](DialogWindow& dialog) { dialog.Click(IDOK); });
    for (const char* url : {"http://host/1.zip", "http://host/2.zip", "http://host/3.zip"})
        EXPECT_TRUE(engine->Expect(AddUrl(url)));
    EXPECT_EQ(3u, engine->Count("AddUrl")) << "nothing after the failure";
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ(MB_ICONERROR, boxes[0].icon);
    EXPECT_EQ(MB_ICONINFORMATION, boxes[1].icon);
    EXPECT_EQ("2 of 5 downloads were added.", boxes[1].text);
}

TEST_F(AllLinksTest, APageWithoutDownloadableLinksShowsAnInformationBoxOnly)
{
    const struct
    {
        std::vector<std::wstring> page;
        PageFaults faults;
    } cases[] = {
        {{}, {}},
        {{L"mailto:a@b", L"/relative.zip", L"https://host/a.zip"}, {}},
        {{L"http://host/a.zip"}, {{}, 0}},  // nothing readable
    };
    for (const auto& c : cases)
    {
        window->Browser().SetPage(c.page, L"");
        window->Browser().SetPageFaults(c.faults);
        const auto boxes = DownloadAll({});
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(MB_ICONINFORMATION, boxes[0].icon);
        EXPECT_EQ("This page has no links that can be downloaded.", boxes[0].text);
        EXPECT_EQ(window->Window().Frame(), boxes[0].owner);
    }
    EXPECT_EQ(0u, engine->Count("AddUrl"));
    // A thread without a browser window: E_FAIL, as for a single link.
    EXPECT_EQ(E_FAIL, CreateDownloads(window->Browser().PageLinks().get()));
}

TEST_F(AllLinksTest, TheDialogKeepsItsSizeAndColumnWidths)
{
    window->Browser().SetPage({L"http://host/a.zip"}, L"");
    SIZE left{};
    for (const bool reopened : {false, true})
        DownloadAll([&](DialogWindow& dialog) {
            RECT rect{};
            ::GetWindowRect(dialog.Handle(), &rect);
            const HWND list = dialog.Item(IDC_LINKS_LIST);
            if (reopened)
            {
                EXPECT_EQ(left.cx, rect.right - rect.left);
                EXPECT_EQ(left.cy, rect.bottom - rect.top);
                EXPECT_EQ(77, ::SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0));
            }
            left = {rect.right - rect.left + 120, rect.bottom - rect.top + 80};
            ::SetWindowPos(dialog.Handle(), nullptr, 0, 0, left.cx, left.cy, SWP_NOMOVE | SWP_NOZORDER);
            ::SendMessageW(list, LVM_SETCOLUMNWIDTH, 0, 77);
            dialog.Click(IDCANCEL);
        });
}

// Thousands of links: all added in page order, the window alive meanwhile.
TEST_F(AllLinksTest, FiveThousandLinksAreAllAddedInPageOrder)
{
    std::vector<std::wstring> page;
    for (int i = 0; i < 5000; ++i)
        page.push_back(L"http://other/" + std::to_wstring(i) + L".zip");
    window->Browser().SetPage(page, L"");
    // Time enough for a loaded machine: the stand-in records every call.
    ASSERT_TRUE(DownloadAll([](DialogWindow& dialog) { dialog.Click(IDOK); }, 120000).empty());
    std::vector<std::string> adds;
    for (const std::string& call : engine->Calls())
        if (call.rfind("AddUrl(", 0) == 0)
            adds.push_back(call);
    ASSERT_EQ(5000u, adds.size());
    EXPECT_EQ(AddUrl("http://other/0.zip"), adds.front());
    EXPECT_EQ(AddUrl("http://other/2500.zip"), adds[2500]);
    EXPECT_EQ(AddUrl("http://other/4999.zip"), adds.back());
}

namespace {
int g_ticks = 0;
void CALLBACK CountTick(HWND, UINT, UINT_PTR, DWORD) { ++g_ticks; }
}  // namespace

// A long run dispatches the thread's messages between its items (a timer of
// the thread ticks meanwhile), and a quit ends it with the quit left for the
// thread's own loop.
TEST(BatchProgress, TheThreadsMessagesGoOnAndAQuitEndsTheRun)
{
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 10, &CountTick);
    {
        CBatchProgress progress(nullptr, 100);
        for (size_t i = 1; i <= 100; ++i)
        {
            ::Sleep(5);
            ASSERT_TRUE(progress.Step(i));
        }
    }
    ::KillTimer(nullptr, timer);
    EXPECT_GT(g_ticks, 0) << "the messages waited for the whole run";

    CBatchProgress progress(nullptr, 10);
    ::PostQuitMessage(3);
    bool ended = false;
    for (size_t i = 1; i <= 5 && !ended; ++i)
    {
        ::Sleep(60);
        ended = !progress.Step(i);
    }
    EXPECT_TRUE(ended);
    EXPECT_FALSE(progress.Step(9));
    MSG message{};
    ASSERT_TRUE(::PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(3u, message.wParam);
}
