// The compact views of the downloads: the download indicator (columns,
// scrolling, hot download), the toolbar frame and band in the stand-in
// browser's toolbar area, and the explorer bar's minimised strip.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bar/band.h"
#include "bar/indicator.h"
#include "framework/automation.h"
#include "resources/window_messages.h"
#include "store/settings_store.h"
#include "support/bar_window.h"
#include "support/engine_standin.h"
#include "support/registry_sandbox.h"
#include "toolbar/toolbar_band.h"
#include "toolbar/toolbar_frame.h"

using namespace tdm;
using namespace tdm::test;

namespace {

std::unique_ptr<CTolInfoDownload> Download(LONG id, LONG state, double progress, const wchar_t* path = L"C:\\dl\\a")
{
    auto record = std::make_unique<CTolInfoDownload>();
    record->id = id;
    record->state = state;
    record->progress = progress;
    record->path.reset(::SysAllocString(path));
    record->url.reset(::SysAllocString(L"http://host/a"));
    return record;
}

BOOL CALLBACK CountWindow(HWND, LPARAM count)
{
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

bool Enabled(HWND toolbar, UINT command) { return ::SendMessageW(toolbar, TB_ISBUTTONENABLED, command, 0) != 0; }

// A top-level window holding an indicator of `width` x 30 over `downloads`.
struct IndicatorHost
{
    IndicatorHost(int width, CDownloadStore& downloads)
    {
        parent.reset(::CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 400, 60, nullptr, nullptr,
                                       nullptr, nullptr));
        indicator.SetDownloads(&downloads);
        indicator.Create(parent.get(), RECT{0, 0, width, 30}, L"", WS_CHILD | WS_VISIBLE);
    }
    unique_hwnd parent;
    CTolDownloadIndicator indicator;
};

}  // namespace

TEST(IndicatorTest, ColumnsFillWithProgressAndTakeTheColoursOfTheirState)
{
    using namespace indicator;
    struct Case
    {
        const char* name;
        LONG state;
        double progress;
        int filled;
        COLORREF empty;
    };
    for (const Case& c : {Case{"55 % transferring", 2, 0.55, 5, RGB(0x6B, 0xB4, 0x76)},
                          Case{"complete: no filled segment", 4, 1.0, 0, RGB(0x15, 0x80, 0x80)},
                          Case{"ended by an error", 20, 0.5, 0, RGB(0x15, 0x80, 0x80)},
                          Case{"unknown size", 8, -1.0, 0, RGB(0x2D, 0x95, 0xE1)},
                          Case{"error while stopped", 24, 0.31, 3, RGB(0xDC, 0x7A, 0x7F)}})
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.filled, FilledSegments(SegmentCount(30), *Download(1, c.state, c.progress)));
        EXPECT_EQ(c.empty, ColoursOf(c.state).empty);
    }
    EXPECT_EQ(10, SegmentCount(30));
    EXPECT_TRUE(NeedsScrollButtons(100, 20));
    EXPECT_FALSE(NeedsScrollButtons(162, 20));
}

TEST(IndicatorTest, HeldScrollButtonsRepeatByTimerUntilTheLastColumnShows)
{
    CDownloadStore downloads;
    for (LONG id = 1; id <= 20; ++id)
        downloads.Append(Download(id, 2, 0.5));
    IndicatorHost host(100, downloads);
    CTolDownloadIndicator& indicator = host.indicator;
    ASSERT_TRUE(indicator.ButtonsShown());
    const HWND back = indicator.BackButton(), forward = indicator.ForwardButton();
    EXPECT_FALSE(Enabled(back, CTolDownloadIndicator::kBackCommand));
    EXPECT_TRUE(Enabled(forward, CTolDownloadIndicator::kForwardCommand));

    // Content 72 pixels wide holds 9 columns: the first column goes up to 11.
    ::SendMessageW(forward, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    EXPECT_EQ(1, indicator.FirstColumn());
    ::SendMessageW(indicator.Window(), WM_TIMER, CTolDownloadIndicator::kForwardRepeatTimer, 0);
    EXPECT_EQ(1, indicator.FirstColumn()) << "the repeating timer runs only after the first";
    ::SendMessageW(indicator.Window(), WM_TIMER, CTolDownloadIndicator::kForwardTimer, 0);
    EXPECT_EQ(2, indicator.FirstColumn());
    ::SendMessageW(indicator.Window(), WM_TIMER, CTolDownloadIndicator::kForwardTimer, 0);
    EXPECT_EQ(2, indicator.FirstColumn()) << "the first timer is replaced by the repeating one";
    for (int tick = 0; tick < 20; ++tick)
        ::SendMessageW(indicator.Window(), WM_TIMER, CTolDownloadIndicator::kForwardRepeatTimer, 0);
    EXPECT_EQ(11, indicator.FirstColumn());
    ::SendMessageW(forward, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    EXPECT_FALSE(Enabled(forward, CTolDownloadIndicator::kForwardCommand));
    EXPECT_TRUE(Enabled(back, CTolDownloadIndicator::kBackCommand));

    // The mouse over a column makes its download hot; the gap between columns not.
    const int left = indicator.Content().left;
    ::SendMessageW(indicator.Window(), WM_MOUSEMOVE, 0, MAKELPARAM(left + 8 + 2, 10));
    EXPECT_EQ(13, indicator.HotDownload());
    ::SendMessageW(indicator.Window(), WM_MOUSEMOVE, 0, MAKELPARAM(left + 8 + 6, 10));
    EXPECT_EQ(-1, indicator.HotDownload());
}

TEST(IndicatorTest, TipFollowsItsDownloadOnlyWhileTheMouseIsOverIt)
{
    CDownloadStore downloads;
    downloads.Append(Download(1, 2, 0.5));
    downloads.Append(Download(2, 2, 0.5));
    IndicatorHost host(100, downloads);
    CTolDownloadIndicator& indicator = host.indicator;
    HWND tip = nullptr;  // the tracking tip; a popup is owned by the top-level window of its parent
    do
        tip = ::FindWindowExW(nullptr, tip, TOOLTIPS_CLASSW, nullptr);
    while (tip && ::GetWindow(tip, GW_OWNER) != ::GetAncestor(indicator.Window(), GA_ROOT));
    ASSERT_NE(nullptr, tip);
    ::SendMessageW(indicator.Window(), WM_MOUSEMOVE, 0, MAKELPARAM(indicator.Content().left + 2, 10));
    ASSERT_EQ(1, indicator.HotDownload());
    EXPECT_TRUE(::IsWindowVisible(tip));
    downloads.At(0)->progress = 0.6;
    indicator.Refresh(1);
    EXPECT_TRUE(::IsWindowVisible(tip)) << "a progress event keeps the tip up while the mouse is over it";

    // After the mouse left (or a menu opened), progress of that download brings no tip back.
    ::SendMessageW(indicator.Window(), WM_MOUSELEAVE, 0, 0);
    EXPECT_FALSE(::IsWindowVisible(tip));
    for (LONG refreshed : {1L, -1L})
    {
        indicator.Refresh(refreshed);
        EXPECT_FALSE(::IsWindowVisible(tip)) << "Refresh(" << refreshed << ")";
    }
}

TEST(ToolbarFrameTest, ButtonsFollowTheDownloadsAndConflictsIgnoreCaseButNeverTheDownloadItself)
{
    const unique_hwnd host(::CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 400, 30, nullptr, nullptr, nullptr,
                                             nullptr));
    CTolToolbarFrame frame;
    ASSERT_TRUE(frame.CreateFrame(host.get(), false));
    const HWND toolbar = frame.Toolbar();
    EXPECT_FALSE(Enabled(toolbar, kCommandStartAll));
    EXPECT_FALSE(Enabled(toolbar, kCommandPauseAll));
    EXPECT_EQ(0, ::SendMessageW(toolbar, TB_COMMANDTOINDEX, CTolToolbarFrame::kToggleBarCommand, 0) + 1)
        << "the panel's frame has no toggle button";
    RECT bar{};
    ::GetWindowRect(toolbar, &bar);
    EXPECT_EQ(5 * LOWORD(::SendMessageW(toolbar, TB_GETBUTTONSIZE, 0, 0)) + 26, bar.right - bar.left);

    const com_ptr<CDownloadsModel> model = CDownloadsModel::ForThisThread();
    frame.SetModel(model.get());
    model->Insert(Download(1, 4, 1.0, L"C:\\Dl\\File.zip"));
    EXPECT_FALSE(Enabled(toolbar, kCommandStartAll));
    EXPECT_FALSE(Enabled(toolbar, kCommandPauseAll));
    SendEvent(model->EventSink(), kEventAdded, {2, "", "C:\\dl\\", "", 2, 3});
    EXPECT_TRUE(Enabled(toolbar, kCommandStartAll) == false && Enabled(toolbar, kCommandPauseAll));
    SendEvent(model->EventSink(), kEventStateChanged, {2, 8, 0.0});
    EXPECT_TRUE(Enabled(toolbar, kCommandStartAll));

    const wchar_t path[] = L"c:\\dl\\FILE.zip";
    EXPECT_EQ(model->Find(1),
              reinterpret_cast<CTolInfoDownload*>(::SendMessageW(frame.Window(), kQueryPathConflict, 2,
                                                                 reinterpret_cast<LPARAM>(path))));
    EXPECT_EQ(0, ::SendMessageW(frame.Window(), kQueryPathConflict, 1, reinterpret_cast<LPARAM>(path)));
    EXPECT_EQ(0, ::SendMessageW(frame.Window(), kQueryPathConflict, 1, reinterpret_cast<LPARAM>(L"c:\\dl\\")))
        << "a folder is no file";
}

namespace {

class ToolbarBandTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        engine = std::make_unique<EngineStandIn>();
    }
    void TearDown() override
    {
        engine.reset();
        ::CoUninitialize();
    }
    RegistrySandbox sandbox;
    std::unique_ptr<EngineStandIn> engine;
};

}  // namespace

TEST_F(ToolbarBandTest, TheBandInTheToolbarAreaFollowsTheEngineWhileShown)
{
    AddRow(*engine, 1, "http://host/a", "a", 2, 10, 5);
    BarWindow window;
    window.OnThread([&](IDeskBand*) {
        window.Browser().ShowToolbar(CLSID_TolDownloadToolbar);
    });
    window.OnThread([&](IDeskBand*) {
        IDeskBand* band = window.Browser().ShowToolbar(CLSID_TolDownloadToolbar);
        ASSERT_TRUE(band);
        auto& frame = static_cast<CTolDownloadToolbar*>(band)->Frame();
        EXPECT_EQ(1u, frame.Model()->Downloads().Count());
        DESKBANDINFO info{};
        EXPECT_EQ(S_OK, band->GetBandInfo(0, 0, &info));
        EXPECT_EQ(24, info.ptMinSize.y);
        // The helper tells the frame when the thread's explorer bar opens.
        ::SendMessageW(frame.Window(), kBandStateMessage, 1, 0);
        EXPECT_TRUE(::SendMessageW(frame.Toolbar(), TB_ISBUTTONCHECKED, CTolToolbarFrame::kToggleBarCommand, 0));
        ::SendMessageW(frame.Window(), kBandStateMessage, 0, 0);
        EXPECT_FALSE(::SendMessageW(frame.Toolbar(), TB_ISBUTTONCHECKED, CTolToolbarFrame::kToggleBarCommand, 0));
    });
    EXPECT_EQ(1, engine->Connections());
    engine->Fire("DownloadDeleted", {1});
    window.OnThread([&](IDeskBand*) {
        IDeskBand* band = window.Browser().ShowToolbar(CLSID_TolDownloadToolbar);
        EXPECT_EQ(0u, static_cast<CTolDownloadToolbar*>(band)->Frame().Model()->Downloads().Count());
        band->ShowDW(FALSE);
    });
    EXPECT_EQ(0, engine->Connections());
}

// The toolbar runs the bar's commands with the bar's rules: the page cookie on
// Start, the resume support the engine reports now, one rule for "active", and
// the completion notice's box.
TEST_F(ToolbarBandTest, TheToolbarsCommandsAndNoticesAreTheBars)
{
    AddRow(*engine, 1, "http://host/a", "a", 8, 10, 5);
    // Running (1), not yet transferring, and reported as not resumable.
    engine->AddListRow({2, "http://host/b", "C:\\dl\\", "b", 1, 3, 0.0, 10, 0, 0, 0, 5, 100, 100, VARIANT{}});
    SetNotifications(true);
    SetInformWhenCompleted(true);
    BarWindow window;
    const std::string owner = std::to_string(reinterpret_cast<LONG_PTR>(window.Frame()));
    HWND frame = nullptr;
    bool pauseAllEnabled = false;
    window.OnThread([&](IDeskBand*) {
        window.Browser().SetPage({L"http://host/a"}, L"k=v");
        auto* band = static_cast<CTolDownloadToolbar*>(window.Browser().ShowToolbar(CLSID_TolDownloadToolbar));
        frame = band->Frame().Window();
        pauseAllEnabled = Enabled(band->Frame().Toolbar(), kCommandPauseAll);
        ::SendMessageW(frame, WM_COMMAND, kCommandStartAll, 0);
    });
    EXPECT_TRUE(pauseAllEnabled) << "a running download is active";
    EXPECT_TRUE(engine->Expect("StartDownload(1, " + owner + ", k=v)"));
    EXPECT_TRUE(engine->Expect("StartDownload(2, " + owner + ", )"));

    engine->Fire("DownloadStateChanged", {2, 2, 0.0});
    const auto pauseAll = [&] { window.OnThread([&](IDeskBand*) { ::SendMessageW(frame, WM_COMMAND, kCommandPauseAll, 0); }); };
    window.AnswerNext({IDNO});
    pauseAll();
    EXPECT_EQ(1u, window.Boxes().size());
    EXPECT_EQ(0u, engine->Count("PauseDownload")) << "No leaves the download running";
    engine->Fire("ResumeSupportChanged", {2, true});
    pauseAll();
    EXPECT_TRUE(window.Boxes().empty()) << "no warning for a download that can resume";
    EXPECT_TRUE(engine->Expect("PauseDownload(2, " + owner + ")"));

    engine->Fire("DownloadCompleted", {1, 4, 0.5, 0, 2, false});
    const std::vector<RecordedBox> boxes = window.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(static_cast<UINT>(MB_ICONERROR), boxes[0].icon) << "the bar's icon";
}

// The minimised bar's strip shows every download whenever the bar is shown:
// after a start with the bar minimised and after hiding and showing it again.
TEST_F(ToolbarBandTest, TheMinimisedStripShowsTheDownloadsAfterEveryShow)
{
    AddRow(*engine, 1, "http://host/a", "a", 8, 10, 5);
    AddRow(*engine, 2, "http://host/b", "b", 8, 10, 5);
    SetIsIconic(true);
    BarWindow window;
    for (int show = 0; show < 2; ++show)
    {
        window.Show(true);
        window.OnThread([&](IDeskBand* band) {
            auto* strip = static_cast<CTolToolbarFrame*>(static_cast<CTolBand*>(band)->Panel().IconicFrame());
            ASSERT_TRUE(strip);
            EXPECT_EQ(2u, strip->Indicator().Count()) << "show " << show;
        });
        window.Show(false);
    }
}

TEST_F(ToolbarBandTest, TheMinimisedBarKeepsItsHeightAndRestoresTheStoredOne)
{
    BarWindow window;
    window.Show(true);
    const HWND panel = window.Panel();
    HWND frame = nullptr, close = nullptr;
    window.OnThread([&](IDeskBand*) {
        frame = window.Browser().BarFrame(CLSID_TolBand);
        close = window.Browser().BarCloseButton(CLSID_TolBand);
    });
    window.OnThread([&](IDeskBand*) {
        EXPECT_FALSE(::IsWindowVisible(close)) << "the bar's own caption buttons replace it";
        RECT before{};
        ::GetWindowRect(frame, &before);
        ::SendMessageW(panel, WM_COMMAND, kCommandMinimise, 0);
        EXPECT_TRUE(GetIsIconic());
        EXPECT_EQ(before.bottom - before.top, GetRestoredHeight());
        MINMAXINFO limits{};
        ::SendMessageW(frame, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
        EXPECT_EQ(GetIconicTopOffset() + 26, limits.ptMinTrackSize.y);
        EXPECT_EQ(limits.ptMinTrackSize.y, limits.ptMaxTrackSize.y);
        // Minimised, the toolbar toggle changes only the stored setting.
        const HWND buttons = ::FindWindowExW(panel, nullptr, TOOLBARCLASSNAMEW, nullptr);
        const bool shown = GetShowToolbar();
        ::SendMessageW(panel, WM_COMMAND, kCommandShowToolbar, 0);
        EXPECT_NE(shown, GetShowToolbar());
        EXPECT_FALSE(::IsWindowVisible(buttons) && !shown);
        ::SendMessageW(panel, WM_COMMAND, kCommandShowToolbar, 0);
        ::SendMessageW(panel, WM_COMMAND, kCommandRestore, 0);
        RECT after{};
        ::GetWindowRect(frame, &after);
        EXPECT_EQ(before.bottom - before.top, after.bottom - after.top);
        EXPECT_FALSE(GetIsIconic());
    });
    window.Show(false);
    window.OnThread([&](IDeskBand*) { EXPECT_TRUE(::IsWindowVisible(close)); });

    // Showing and hiding leaves no window behind.
    auto windows = [&] {
        int count = 0;
        window.OnThread([&](IDeskBand*) {
            ::EnumThreadWindows(::GetCurrentThreadId(), &CountWindow,
                                reinterpret_cast<LPARAM>(&count));
            ::EnumChildWindows(window.Frame(), &CountWindow,
                               reinterpret_cast<LPARAM>(&count));
        });
        return count;
    };
    const int before = windows();
    for (int i = 0; i < 100; ++i)
    {
        window.Show(true);
        window.Show(false);
    }
    EXPECT_EQ(before, windows());
}
