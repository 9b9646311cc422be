// The settings command: the sheet run modally over a stand-in browser window,
// driven as a user drives it, reading and writing the engine stand-in and a
// registry of its own. Help goes to the stand-in viewer, which Wine must load
// rather than its own.
// test-environment: WINEDLLOVERRIDES=hhctrl.ocx=n
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/engine_link.h"
#include "framework/unique_any.h"
#include "resources/resource.h"
#include "settings/settings_sheet.h"
#include "store/settings_store.h"
#include "support/browser_standin.h"
#include "support/dialog_driver.h"
#include "support/engine_standin.h"
#include "support/message_box_hook.h"
#include "support/registry_sandbox.h"
#include "text/language.h"

using namespace tdm;
using namespace tdm::test;

namespace {

constexpr wchar_t kSheetTitle[] = L"Settings - Tolvane Download Manager";
enum Page { kGeneral, kInterface, kCapture, kDefaultProperties, kLogs };

// Brings a page to the front, as a click on its tab does.
void ShowPage(const DialogWindow& sheet, Page page) { PropSheet_SetCurSel(sheet.Handle(), nullptr, page); }

Page CurrentPage(const DialogWindow& sheet)
{
    return static_cast<Page>(PropSheet_HwndToIndex(sheet.Handle(), PropSheet_GetCurrentPageHwnd(sheet.Handle())));
}

// Values under the settings key.
DWORD StoredValues()
{
    unique_hkey key;
    DWORD count = 0;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS)
        ::RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                           nullptr, nullptr);
    return count;
}

class SettingsSheetTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ResetUiLanguage(1033);
        standIn = std::make_unique<EngineStandIn>();
        engine = CreateEngine();
        browser = StandInBrowser::Create(frame.get());
    }
    void TearDown() override
    {
        EXPECT_EQ(0u, driver.Pending()) << "the sheet did not appear";
        engine.reset();
        standIn.reset();
        ::CoUninitialize();
    }
    void Settings() { ShowSettings(browser.get(), engine.get()); }

    RegistrySandbox registry;
    MessageBoxRecorder boxes;
    DialogDriver driver;
    unique_hwnd frame{::CreateWindowExW(0, L"STATIC", L"browser", WS_OVERLAPPEDWINDOW, 0, 0, 600, 400, nullptr,
                                        nullptr, nullptr, nullptr)};
    com_ptr<StandInBrowser> browser;
    std::unique_ptr<EngineStandIn> standIn;
    com_ptr<IDownloadEngine> engine;
};

}  // namespace

// Logs kept forever come back as -1 days; check boxes that depend on others are
// disabled with their marks kept and stored as shown; the folder gets its "\".
TEST_F(SettingsSheetTest, OkStoresEveryPageAsShownInTheEnginesOrder)
{
    SetBrowse(L"C:\\windows\\temp");
    SetNotifications(true);
    SetInformWhenCompleted(true);
    SetPlaySounds(true);
    standIn->Answer("GetLogSettings", {true, -1L, false});
    standIn->Answer("GetKeepDescriptionFile", {true});
    driver.When(kSheetTitle, [](DialogWindow& d) {
        EXPECT_FALSE(d.Enabled(IDC_BANDWIDTH_MODE));
        EXPECT_EQ(L"Normal (cooperative) bandwidth usage", d.Text(IDC_BANDWIDTH_MODE));
        EXPECT_FALSE(d.Enabled(IDC_CONNECTIONS)) << "an engine without the setting";
        EXPECT_EQ(L"", d.Text(IDC_CONNECTIONS));
        d.Click(IDS_KEEP_DESCRIPTION_FILE);
        ShowPage(d, kInterface);
        d.Click(IDS_ENABLE_NOTIFICATIONS);
        ShowPage(d, kLogs);
        EXPECT_TRUE(d.Checked(IDS_NEVER_DELETE_LOGS));
        EXPECT_EQ(L"1", d.Text(IDC_LOG_DAYS));
        EXPECT_FALSE(d.Enabled(IDC_LOG_DAYS));
        d.Click(IDS_KEEP_COMMON_LOG);
        for (const int id : {IDS_PLAY_SOUNDS, IDS_SHOW_MESSAGE_BOXES, IDS_NEVER_DELETE_LOGS})
        {
            EXPECT_FALSE(d.Enabled(id)) << "control " << id;
            EXPECT_TRUE(d.Checked(id)) << "control " << id;
        }
        d.Click(IDOK);
    });
    Settings();
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_EQ(L"C:\\windows\\temp\\", GetBrowse());
    EXPECT_FALSE(GetNotifications());
    EXPECT_TRUE(GetInformWhenCompleted());
    EXPECT_TRUE(GetPlaySounds());
    EXPECT_EQ(1033, GetLanguageID());
    const std::string owner = std::to_string(reinterpret_cast<LONG_PTR>(frame.get()));
    for (const std::string& call : std::initializer_list<std::string>{"GetOptions(-1)", "GetLogSettings()", "GetKeepDescriptionFile()",
                                    "GetTrafficMode()", "SetKeepDescriptionFile(0)", "SetLogSettings(0, -1, 0)",
                                    "SetLanguage(1033)", "SetOptions(-1, " + owner + ", options#1)"})
        EXPECT_TRUE(standIn->Expect(call));
    EXPECT_EQ(0u, standIn->Count("SetConnections"));
}

// An engine with the setting: its number shown; one out of range is pulled
// into 1 to 16 when the edit is left, and also when OK comes straight from it.
TEST_F(SettingsSheetTest, ConnectionsPerDownloadAreKeptWithinTheirRange)
{
    SetBrowse(L"C:\\windows\\");
    standIn->Answer("IDownloadEngine2", {true});
    standIn->Answer("GetConnections", {8L});
    driver.When(kSheetTitle, [](DialogWindow& d) {
        EXPECT_TRUE(d.Enabled(IDC_CONNECTIONS));
        EXPECT_EQ(L"8", d.Text(IDC_CONNECTIONS));
        d.Focus(IDC_CONNECTIONS);
        d.SetText(IDC_CONNECTIONS, L"0");
        d.Focus(IDS_CONFIRM_CREATION);
        EXPECT_EQ(L"1", d.Text(IDC_CONNECTIONS));
        d.SetText(IDC_CONNECTIONS, L"40");
        d.Click(IDOK);
    });
    Settings();
    EXPECT_TRUE(boxes.Boxes().empty());
    EXPECT_TRUE(standIn->Expect("SetConnections(16)"));
}

TEST_F(SettingsSheetTest, AMissingFolderKeepsTheSheetOnGeneralAndCancelStoresNothing)
{
    SetBrowse(L"C:\\no such folder");
    driver.When(kSheetTitle, [&](DialogWindow& d) {
        d.Click(IDS_CONFIRM_CREATION);
        ShowPage(d, kDefaultProperties);
        d.Click(IDS_FTP_PASSIVE);
        d.Click(IDOK);
        ASSERT_EQ(1u, boxes.Boxes().size());
        EXPECT_EQ("Save loaded files to: the path does not exist. Please, verify if the correct path has been "
                  "provided.", boxes.Boxes()[0].text);
        EXPECT_EQ(MB_ICONERROR, boxes.Boxes()[0].icon);
        EXPECT_EQ(kGeneral, CurrentPage(d));
        EXPECT_EQ(IDC_DEFAULT_FOLDER, d.FocusId());
        d.Click(IDCANCEL);
    });
    Settings();
    EXPECT_EQ(1u, StoredValues()) << "only the test's folder";
    EXPECT_EQ(1u, boxes.Boxes().size());
    for (const char* call : {"SetKeepDescriptionFile", "SetLogSettings", "SetLanguage", "SetOptions"})
        EXPECT_EQ(0u, standIn->Count(call)) << call;
}

TEST_F(SettingsSheetTest, ASecondCommandWhileTheSheetIsOpenOpensNoOther)
{
    SetBrowse(L"C:\\windows\\");
    driver.When(kSheetTitle, [&](DialogWindow& d) {
        Settings();  // another browser window's command; a second sheet would be an unexpected dialog
        EXPECT_EQ(1u, standIn->Count("GetOptions"));
        d.Click(IDCANCEL);
    });
    Settings();
    driver.When(kSheetTitle, [](DialogWindow& d) { d.Click(IDCANCEL); });
    Settings();
    EXPECT_EQ(2u, standIn->Count("GetOptions")) << "the closed sheet's record was not cleared";
}

// What was stored before the failure stays; nothing after it is done, and the
// process can open the sheet again.
TEST_F(SettingsSheetTest, AFailingEngineCallShowsOneErrorBoxAndEndsTheCommand)
{
    SetBrowse(L"C:\\windows\\");
    const struct { const char* operation; bool sheetShown; } cases[] = {
        {"GetOptions", false}, {"GetTrafficMode", false}, {"SetLogSettings", true}, {"SetOptions", true}};
    for (const auto& c : cases)
    {
        standIn = std::make_unique<EngineStandIn>();
        standIn->FailNext(c.operation, E_ACCESSDENIED, 1, "denied by the engine");
        boxes.Clear();
        SetStart(true);
        if (c.sheetShown)
            driver.When(kSheetTitle, [](DialogWindow& d) {
                d.Click(IDS_START_ON_CREATION);
                d.Click(IDOK);
            });
        Settings();
        ASSERT_EQ(1u, boxes.Boxes().size()) << c.operation;
        EXPECT_EQ("denied by the engine", boxes.Boxes()[0].text);
        EXPECT_EQ(MB_ICONERROR, boxes.Boxes()[0].icon);
        EXPECT_NE(c.sheetShown, GetStart()) << c.operation;
        EXPECT_EQ(c.operation == std::string("SetOptions"), standIn->Count("SetLanguage") == 1) << c.operation;
    }
    driver.When(kSheetTitle, [](DialogWindow& d) { d.Click(IDCANCEL); });
    Settings();
}

// The Capture page: the stored rules shown, the rules disabled with the capture
// off, Default puts the type list back, and a line the pattern matcher refuses
// keeps the page (leaving it or OK from another page) with the line selected
// and the user told; OK stores what the page shows.
TEST_F(SettingsSheetTest, TheCapturePageStoresItsRulesButNoInvalidPattern)
{
    SetBrowse(L"C:\\windows\\");
    SetCaptureTypes(L"zip");
    SetCaptureNeverSites(L"^intranet");
    const std::wstring invalid = L"^intranet\r\n\r\n  [bad  \r\nexample\\.com$";
    driver.When(kSheetTitle, [&](DialogWindow& d) {
        ShowPage(d, kCapture);
        EXPECT_TRUE(d.Checked(IDS_CATCH_IE_DOWNLOADS));
        EXPECT_EQ(L"zip", d.Text(IDC_CAPTURE_TYPES));
        EXPECT_EQ(L"^intranet", d.Text(IDC_CAPTURE_NEVER_SITES));
        EXPECT_EQ(L"Alt", d.Text(IDC_CAPTURE_BYPASS_KEY));
        d.Click(IDS_CATCH_IE_DOWNLOADS);
        for (const int id : {IDC_CAPTURE_TYPES, IDS_CAPTURE_DEFAULT_TYPES, IDC_CAPTURE_NEVER_SITES, IDC_CAPTURE_BYPASS_KEY})
            EXPECT_FALSE(d.Enabled(id)) << "control " << id;
        d.Click(IDS_CATCH_IE_DOWNLOADS);
        d.Click(IDS_CAPTURE_DEFAULT_TYPES);
        EXPECT_EQ(DefaultCaptureTypes(), d.Text(IDC_CAPTURE_TYPES));
        ::SendMessageW(d.Item(IDC_CAPTURE_BYPASS_KEY), CB_SETCURSEL, 2, 0);
        d.SetText(IDC_CAPTURE_NEVER_SITES, invalid);
        for (const bool ok : {false, true})
        {
            boxes.Clear();
            if (ok)
            {
                d.SetText(IDC_CAPTURE_NEVER_SITES, L"");
                ShowPage(d, kGeneral);
                d.SetText(IDC_CAPTURE_NEVER_SITES, invalid);  // as if typed before leaving it
                d.Click(IDOK);
            }
            else
                ShowPage(d, kLogs);
            ASSERT_EQ(1u, boxes.Boxes().size()) << "OK: " << ok;
            EXPECT_EQ("Line 3 of the sites never to take over is not a valid pattern.", boxes.Boxes()[0].text);
            EXPECT_EQ(kCapture, CurrentPage(d)) << "OK: " << ok;
            EXPECT_EQ(IDC_CAPTURE_NEVER_SITES, d.FocusId());
            DWORD start = 0, end = 0;
            ::SendMessageW(d.Item(IDC_CAPTURE_NEVER_SITES), EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                           reinterpret_cast<LPARAM>(&end));
            EXPECT_EQ(13u, start) << "the third line selected";
            EXPECT_EQ(21u, end);
        }
        d.SetText(IDC_CAPTURE_NEVER_SITES, L"^intranet\r\nexample\\.com$");
        d.Click(IDOK);
    });
    Settings();
    EXPECT_EQ(DefaultCaptureTypes(), GetCaptureTypes());
    EXPECT_EQ(L"^intranet\r\nexample\\.com$", GetCaptureNeverSites());
    EXPECT_EQ(static_cast<UINT>(VK_SHIFT), GetBypassKey());
    EXPECT_TRUE(GetMSIEIntegrate());
}

// The sheet's Help button opens the topic of the sheet, not the current page's.
TEST_F(SettingsSheetTest, TheHelpButtonOpensTheTopicOfTheWholeSheet)
{
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string viewerPath = path;
    viewerPath.erase(viewerPath.find_last_of('\\') + 1) += "standins\\help_viewer\\hhctrl.ocx";
    const HMODULE viewer = ::LoadLibraryA(viewerPath.c_str());
    ASSERT_NE(nullptr, viewer);
    const auto calls = reinterpret_cast<int(WINAPI*)()>(::GetProcAddress(viewer, "StandInCallCount"));
    const auto call = reinterpret_cast<BOOL(WINAPI*)(int, HWND*, char*, int, UINT*, DWORD_PTR*)>(
        ::GetProcAddress(viewer, "StandInGetCall"));
    ASSERT_TRUE(calls && call) << "the help viewer stand-in is missing";
    SetBrowse(L"C:\\windows\\");
    driver.When(kSheetTitle, [](DialogWindow& d) {
        ShowPage(d, kLogs);
        d.Click(IDS_HELP);
        d.Click(IDCANCEL);
    });
    Settings();
    HWND owner = nullptr;
    char file[MAX_PATH] = {};
    UINT command = 0;
    DWORD_PTR topic = 0;
    ASSERT_TRUE(call(calls() - 1, &owner, file, MAX_PATH, &command, &topic));
    EXPECT_EQ(0x2012Cu, topic);
    EXPECT_TRUE(boxes.Boxes().empty());
}
