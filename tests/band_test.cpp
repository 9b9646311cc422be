// The explorer bar as the browser hosts it: the band object sited in the
// stand-in browser, its panel and list following the engine stand-in, the claim
// of the events one bar of all browser windows handles, and the unpacking of
// malformed events.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bar/band.h"
#include "dialogs/credentials_dialog.h"
#include "downloads/engine_events.h"
#include "framework/automation.h"
#include "store/settings_store.h"
#include "support/bar_window.h"
#include "support/browser_thread.h"
#include "support/dialog_driver.h"
#include "support/engine_standin.h"
#include "support/message_box_hook.h"
#include "support/registry_sandbox.h"
#include "tdm_h.h"

using namespace tdm;
using namespace tdm::test;

namespace {

class BandTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        engine = std::make_unique<EngineStandIn>();
        SetNotifications(true);
        SetInformWhenCompleted(true);
        SetPlaySounds(false);
    }
    void TearDown() override
    {
        engine.reset();
        ::CoUninitialize();
    }
    long Owner(BarWindow& window) { return static_cast<long>(reinterpret_cast<LONG_PTR>(window.Frame())); }

    RegistrySandbox sandbox;
    std::unique_ptr<EngineStandIn> engine;
};

}  // namespace

TEST_F(BandTest, TheBarIsConnectedExactlyWhileShownAndRereadsTheListEachTime)
{
    AddRow(*engine, 1, "http://host/a.zip", "a.zip", 8, 1000, 500);
    AddRow(*engine, 2, "http://host/b.iso", "", 4, 0, 500);
    BarWindow window;
    window.Show(true);
    EXPECT_EQ((std::vector<std::wstring>{L"http://host/a.zip|C:\\dl\\a.zip|1,000|50%",
                                         L"http://host/b.iso|C:\\dl\\|N/A|N/A"}),
              window.Rows());
    EXPECT_EQ(1, engine->Connections());
    window.OnThread([](IDeskBand* band) {
        VARIANT_BOOL visible = VARIANT_FALSE;
        ASSERT_TRUE(band);
        EXPECT_EQ(S_OK, com_ptr<IDeskBand>(band).try_query<ITolBand>()->IsVisible(&visible));
        EXPECT_EQ(VARIANT_TRUE, visible);
        DESKBANDINFO info{};
        info.dwMask = DBIM_MINSIZE | DBIM_MAXSIZE | DBIM_INTEGRAL | DBIM_ACTUAL | DBIM_TITLE | DBIM_MODEFLAGS;
        info.wszTitle[0] = L'x';
        EXPECT_EQ(S_OK, band->GetBandInfo(0, 0, &info));
        EXPECT_EQ(320, info.ptMinSize.x);
        EXPECT_EQ(26, info.ptMinSize.y);
        EXPECT_EQ(-1, info.ptMaxSize.y);
        EXPECT_EQ(DBIMF_VARIABLEHEIGHT, info.dwModeFlags);
        EXPECT_EQ(L'\0', info.wszTitle[0]);
        EXPECT_GT(info.ptActual.x, 0);
        EXPECT_EQ(E_INVALIDARG, band->GetWindow(nullptr));
        EXPECT_EQ(E_INVALIDARG, band->GetBandInfo(0, 0, nullptr));
    });

    window.Show(false);
    EXPECT_TRUE(window.Rows().empty());
    EXPECT_EQ(0, engine->Connections());
    EXPECT_EQ(0, engine->Fire("DownloadAdded", {3, "http://host/c.zip", "C:\\dl\\", "c.zip", 8, 3}));
    AddRow(*engine, 3, "http://host/c.zip", "c.zip", 8, 10, 0);
    window.Show(true);
    EXPECT_EQ(3u, window.Rows().size());
    EXPECT_EQ(1, engine->Connections());

    // Unsited, the band has no window: its window methods fail, the sizes are 0.
    window.OnThread([](IDeskBand* band) {
        com_ptr<IDeskBand> kept(band);
        kept.try_query<IObjectWithSite>()->SetSite(nullptr);
        HWND panel = nullptr;
        EXPECT_EQ(E_FAIL, kept->GetWindow(&panel));
        EXPECT_EQ(E_FAIL, kept->ShowDW(TRUE));
        DESKBANDINFO info{};
        info.dwMask = DBIM_ACTUAL;
        info.ptActual = POINTL{5, 5};
        EXPECT_EQ(S_OK, kept->GetBandInfo(0, 0, &info));
        EXPECT_EQ(0, info.ptActual.x);
    });
    EXPECT_EQ(0, engine->Connections());
}

TEST_F(BandTest, EventsKeepTheRowsCurrentAndIgnoreUnknownDownloads)
{
    BarWindow window;
    window.Show(true);
    engine->Fire("DownloadAdded", {7, "http://host/a.zip", "C:\\dl\\", "a.zip", 2, 3});
    engine->Fire("DownloadFileInfo", {7, 300, 0, 200, "application/zip", 0.0, true, 2, 0, 2, "C:\\dl\\", "a.zip",
                                      true, false});
    engine->Fire("DownloadProgress", {7, 100, 100, 0.0, 50, 50, 0.0, 1});
    engine->Fire("DownloadProgress", {99, 100, 100, 0.0, 50, 50, 0.0, 1});
    EXPECT_EQ(std::vector<std::wstring>{L"http://host/a.zip|C:\\dl\\a.zip|300|33%"}, window.Rows());
    // More bytes than the known size: the size is unknown from then on.
    engine->Fire("DownloadProgress", {7, 300, 400, 0.0, 50, 50, 0.0, 1});
    engine->Fire("DownloadRenamed", {7, "http://host/b.zip", "C:\\dl\\b.zip"});
    EXPECT_EQ(std::vector<std::wstring>{L"http://host/b.zip|C:\\dl\\b.zip|N/A|N/A"}, window.Rows());
    engine->Fire("DownloadDeleted", {7});
    EXPECT_TRUE(window.Rows().empty());
}

TEST_F(BandTest, OneBarOfAllBrowserWindowsClaimsEachNotice)
{
    AddRow(*engine, 1, "http://host/a.zip", "a.zip", 2, 10, 5);
    BarWindow first, second;
    first.Show(true);
    second.Show(true);
    auto boxesOf = [](BarWindow& window) { return window.Boxes().size(); };

    struct Case
    {
        const char* name;
        long scope;
        bool alreadyClaimed;
        size_t firstBoxes, secondBoxes;
    };
    // Scope 1 goes to the front-most browser window: the second, opened last.
    ::SetWindowPos(second.Frame(), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    for (const Case& c : {Case{"owner's window", 0, false, 1, 0}, Case{"front-most", 1, false, 0, 1},
                          Case{"any", 2, false, 1, 0}, Case{"unknown scope", -1, false, 0, 0},
                          Case{"claimed before", 2, true, 0, 0}})
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(2, engine->Fire("DownloadCompleted", {1, 4, 0.0, Owner(first), c.scope, c.alreadyClaimed}));
        EXPECT_EQ(c.firstBoxes + c.secondBoxes || c.alreadyClaimed ? "-1" : "0", engine->FiredArgument(5));
        EXPECT_EQ(c.firstBoxes, boxesOf(first));
        EXPECT_EQ(c.secondBoxes, boxesOf(second));
    }

    // The completion box names the download; with notifications off nothing shows.
    engine->Fire("DownloadCompleted", {1, 4, 0.0, Owner(second), 0, false});
    const auto boxes = second.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_NE(std::string::npos, boxes[0].text.find("http://host/a.zip"));
    EXPECT_EQ(second.Frame(), boxes[0].owner);
    SetNotifications(false);
    engine->Fire("DownloadCompleted", {1, 4, 0.0, Owner(second), 0, false});
    EXPECT_EQ("-1", engine->FiredArgument(5));
    EXPECT_TRUE(second.Boxes().empty());

    // An error notice only sounds; a download error is always taken note of.
    engine->Fire("DownloadError", {1, 5, "gone", 20, 0, 2, false});
    EXPECT_EQ("-1", engine->FiredArgument(6));
}

TEST_F(BandTest, TheClaimingBarAsksForCredentialsAndAnswersThroughTheEvent)
{
    BarWindow window;
    window.Show(true);
    std::optional<DialogDriver> driver;
    window.OnThread([&](IDeskBand*) {
        driver.emplace();
        driver->When(L"User Name", [](DialogWindow& dialog) {
            dialog.SetText(484, L"ann");
            dialog.SetText(485, L"secret");
            dialog.Click(IDOK);
        });
    });
    engine->Fire("CredentialsRequired", {3, Owner(window), 0, "http://host:8080/x", "realm", 1, false, "", "",
                                         false, false, false});
    window.OnThread([&](IDeskBand*) { driver.reset(); });
    EXPECT_EQ("ann", engine->FiredArgument(7));
    EXPECT_EQ("secret", engine->FiredArgument(8));
    EXPECT_EQ("0", engine->FiredArgument(9));   // remember
    EXPECT_EQ("0", engine->FiredArgument(10));  // cancel
    EXPECT_EQ("-1", engine->FiredArgument(11));
}

TEST_F(BandTest, AMalformedDownloadListMakesNoRow)
{
    AddRow(*engine, 1, "http://host/a.zip", "a.zip", 8, 10, 0);
    engine->AddListRow({2, "http://host/b.zip", "C:\\dl\\", "b.zip", "not a state", 3, 0.0, 10, 0, 1, 0, 0, 1, 1,
                        VARIANT{}});
    BarWindow window;
    window.Show(true);
    EXPECT_TRUE(window.Rows().empty());
}

// --- unpacking of the engine's events ----------------------------------------------------

namespace {

struct Recorder : IEngineEventHandler
{
    std::vector<std::string> calls;
    void OnDownloadDeleted(LONG id) override { calls.push_back("deleted " + std::to_string(id)); }
    void OnDownloadCompleted(LONG id, LONG, double, HWND, LONG scope, VARIANT_BOOL* claimed) override
    {
        *claimed = VARIANT_TRUE;
        calls.push_back("completed " + std::to_string(id) + " " + std::to_string(scope));
    }
    void OnLanguageChanged(LANGID language) override { calls.push_back("language " + std::to_string(language)); }
};

VARIANT Long(long value) { VARIANT v{}; V_VT(&v) = VT_I4; V_I4(&v) = value; return v; }

}  // namespace

TEST(EngineEventTest, EventsOfAnotherShapeAreRejectedWhole)
{
    VARIANT_BOOL claimed = VARIANT_FALSE;
    VARIANT byRefFlag{};
    V_VT(&byRefFlag) = VT_BOOL | VT_BYREF;
    V_BOOLREF(&byRefFlag) = &claimed;
    VARIANT flagByValue{};
    V_VT(&flagByValue) = VT_BOOL;
    VARIANT text{};
    V_VT(&text) = VT_BSTR;
    VARIANT elapsed{};
    V_VT(&elapsed) = VT_R8;
    VARIANT language{};
    V_VT(&language) = VT_UI2;
    V_UI2(&language) = 1049;

    struct Case
    {
        const char* name;
        DISPID dispid;
        std::vector<VARIANT> arguments;  // declaration order
        HRESULT expected;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"deleted", 4, {Long(5)}, S_OK, {"deleted 5"}},
        {"deleted with an extra argument", 4, {Long(5), Long(6)}, DISP_E_BADPARAMCOUNT, {}},
        {"deleted without arguments", 4, {}, DISP_E_BADPARAMCOUNT, {}},
        {"deleted with a text id", 4, {text}, DISP_E_TYPEMISMATCH, {}},
        {"completed", 8, {Long(1), Long(4), elapsed, Long(0), Long(2), byRefFlag}, S_OK, {"completed 1 2"}},
        {"completed with the flag by value", 8, {Long(1), Long(4), elapsed, Long(0), Long(2), flagByValue},
         DISP_E_TYPEMISMATCH, {}},
        {"completed with a text for the time", 8, {Long(1), Long(4), text, Long(0), Long(2), byRefFlag},
         DISP_E_TYPEMISMATCH, {}},
        {"language", 16, {language}, S_OK, {"language 1049"}},
        {"language out of range", 16, {Long(70000)}, DISP_E_TYPEMISMATCH, {}},
        {"an event no bar handles", 10, {Long(1), Long(2)}, S_OK, {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        claimed = VARIANT_FALSE;
        std::vector<VARIANT> reversed(c.arguments.rbegin(), c.arguments.rend());
        DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
        Recorder recorder;
        EXPECT_EQ(c.expected, DispatchEngineEvent(c.dispid, &params, recorder));
        EXPECT_EQ(c.calls, recorder.calls);
        EXPECT_EQ(c.calls.empty() || c.dispid != 8 ? VARIANT_FALSE : VARIANT_TRUE, claimed);
    }
    Recorder recorder;
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, DispatchEngineEvent(4, nullptr, recorder));
}

TEST_F(BandTest, ADownloadWithoutAFileNameAsksWhetherToReplaceAnExistingFile)
{
    char folder[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, folder);
    const std::string existing = std::string(folder) + "exists.bin";
    if (FILE* file = std::fopen(existing.c_str(), "wb"))
        std::fclose(file);
    SetSaveFileDefault(true);
    AddRow(*engine, 4, "http://host/exists.bin", "", 2, 0, 0, folder);
    // Another download already writes to that file.
    AddRow(*engine, 5, "http://host/other.bin", "exists.bin", 8, 0, 0, folder);
    BarWindow window;
    window.Show(true);
    struct Case
    {
        const char* name;
        int replace, sameName;  // the answers: replace it?, then the name used by download 5 (0: not asked)
        size_t boxes;
        const char* cancel;
    };
    for (const Case& c : {Case{"replace, same name", IDYES, IDYES, 2, "0"},
                          Case{"replace, cancel at the same name", IDYES, IDCANCEL, 2, "-1"},
                          Case{"cancel at replace", IDCANCEL, 0, 1, "-1"}})
    {
        SCOPED_TRACE(c.name);
        if (c.sameName)
            window.AnswerNext({c.replace, c.sameName});
        else
            window.AnswerNext({c.replace});
        engine->Fire("DownloadFileInfo", {4, 100, 0, 200, "application/octet-stream", 0.0, true, 2, Owner(window), 0,
                                          std::string_view(folder), "exists.bin", false, false});
        const auto boxes = window.Boxes();
        ASSERT_EQ(c.boxes, boxes.size());
        EXPECT_NE(std::string::npos, boxes[0].text.find(existing));
        if (c.boxes > 1)
            EXPECT_NE(std::string::npos, boxes[1].text.find("http://host/other.bin")) << boxes[1].text;
        EXPECT_EQ("-1", engine->FiredArgument(12));
        EXPECT_EQ(c.cancel, engine->FiredArgument(13));
    }
    // Settled by another bar: the name is taken without a question.
    engine->Fire("DownloadFileInfo", {4, 100, 0, 200, "application/octet-stream", 0.0, true, 2, Owner(window), 0,
                                      std::string_view(folder), "exists.bin", true, false});
    EXPECT_TRUE(window.Boxes().empty());
    EXPECT_EQ(L"http://host/exists.bin|" + std::wstring(WideFromNarrow(existing)) + L"|100|0%", window.Rows().at(0));
    ::DeleteFileA(existing.c_str());
}

// A bar that cannot be shown says why and keeps nothing connected, so that the
// next show reads the list again; the band answers every interface of a band.
TEST_F(BandTest, ShowingIsAllOrNothingAndAFailureIsShown)
{
    AddRow(*engine, 1, "http://host/a.zip", "a.zip", 8, 1000, 500);
    BarWindow window;
    engine->FailNext("GetDownloadList", E_ACCESSDENIED);
    window.Show(true);
    const std::vector<RecordedBox> boxes = window.Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(static_cast<UINT>(MB_ICONERROR), boxes[0].icon);
    EXPECT_EQ(0, engine->Connections());
    window.Show(true);
    EXPECT_EQ(1u, window.Rows().size());
    window.OnThread([](IDeskBand* band) {
        for (const IID* iid : {&IID_IOleWindow, &IID_IDockingWindow, &IID_IDeskBand})
        {
            com_ptr<IUnknown> answer;
            EXPECT_EQ(S_OK, band->QueryInterface(*iid, answer.put_void()));
        }
    });
}
