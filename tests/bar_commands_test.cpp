// The bar's download commands run through the real panel against the engine
// stand-in: which downloads each command takes, what it asks, and the engine
// calls it makes.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "bar/command_handler.h"
#include "framework/automation.h"
#include "resources/resource.h"
#include "store/settings_store.h"
#include "support/bar_window.h"
#include "support/dialog_driver.h"
#include "support/engine_standin.h"
#include "support/registry_sandbox.h"

using namespace tdm;
using namespace tdm::test;

namespace {

class CommandTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        engine = std::make_unique<EngineStandIn>();
        char folder[MAX_PATH] = {};
        ::GetTempPathA(MAX_PATH, folder);
        temp = folder;
        std::ofstream(temp + "loaded.bin") << "data";
        ::DeleteFileA((temp + "vanished.bin").c_str());
    }
    void TearDown() override
    {
        window.reset();
        engine.reset();
        ::DeleteFileA((temp + "loaded.bin").c_str());
        ::CoUninitialize();
    }
    // Shows the bar over the rows added so far.
    void Open()
    {
        window = std::make_unique<BarWindow>();
        window->Show(true);
        owner = std::to_string(reinterpret_cast<LONG_PTR>(window->Frame()));
    }
    // Selects `rows` of the list, then runs `command` on the panel.
    void Run(std::initializer_list<int> rows, WORD command)
    {
        const HWND list = window->List();
        window->OnThread([&](IDeskBand*) {
            ListView_SetItemState(list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
            for (int row : rows)
                ListView_SetItemState(list, row, LVIS_SELECTED, LVIS_SELECTED);
            ::SendMessageW(::GetParent(list), WM_COMMAND, command, 0);
        });
    }
    std::vector<std::string> Calls(std::string_view name) const
    {
        std::vector<std::string> found;
        for (const std::string& call : engine->Calls())
            if (call.find(std::string(name) + "(") != std::string::npos)
                found.push_back(call.substr(call.find(name)));
        return found;
    }

    void DownloadInAnyScriptSurvivesTheBar(LANGID language);

    RegistrySandbox sandbox;
    std::unique_ptr<EngineStandIn> engine;
    std::unique_ptr<BarWindow> window;
    std::string temp;
    std::string owner;
};

}  // namespace

TEST_F(CommandTest, StartAsksOnlyAboutFinishedDownloadsWhoseFilesExist)
{
    AddRow(*engine, 1, "http://host/loaded.bin", "loaded.bin", 4, 4, 4, temp.c_str());
    AddRow(*engine, 2, "http://host/vanished.bin", "vanished.bin", 4, 4, 4, temp.c_str());
    AddRow(*engine, 3, "http://host/paused.bin", "paused.bin", 8, 10, 4, temp.c_str());
    AddRow(*engine, 4, "http://host/running.bin", "running.bin", 2, 10, 4, temp.c_str());
    Open();

    // Only finished downloads whose files exist: Yes or No, and No starts nothing.
    window->AnswerNext({IDNO});
    Run({0}, kCommandStart);
    auto boxes = window->Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ((std::vector<int>{IDYES, IDNO}), boxes[0].buttons);
    EXPECT_NE(std::string::npos, boxes[0].text.find("http://host/loaded.bin -> " + temp + "loaded.bin"));
    EXPECT_TRUE(Calls("StartDownload").empty());

    // A finished download whose file is gone restarts without a question; a
    // running one is left alone.
    Run({1, 2, 3}, kCommandStart);
    EXPECT_TRUE(window->Boxes().empty());
    EXPECT_EQ((std::vector<std::string>{"StartDownload(2, " + owner + ", )", "StartDownload(3, " + owner + ", )"}),
              Calls("StartDownload"));

    // With others to start, Cancel starts nothing and Yes starts the loaded one first.
    window->AnswerNext({IDCANCEL, IDYES});
    Run({0, 2}, kCommandStart);
    Run({0, 2}, kCommandStart);
    EXPECT_EQ((std::vector<int>{IDYES, IDNO, IDCANCEL}), window->Boxes().at(0).buttons);
    EXPECT_EQ(4u, Calls("StartDownload").size());
    EXPECT_EQ("StartDownload(1, " + owner + ", )", Calls("StartDownload")[2]);
}

TEST_F(CommandTest, PauseTakesOnlyActiveDownloadsAndAsksOnlyAboutThoseThatCannotResume)
{
    AddRow(*engine, 1, "http://host/a", "a", 2, 10, 4);
    AddRow(*engine, 2, "http://host/b", "b", 2, 10, 4);
    AddRow(*engine, 3, "http://host/c", "c", 8, 10, 4);
    Open();
    Run({2}, kCommandPause);
    Run({}, kCommandPauseAll);
    EXPECT_TRUE(window->Boxes().empty());
    EXPECT_EQ((std::vector<std::string>{"PauseDownload(1, " + owner + ")", "PauseDownload(2, " + owner + ")"}),
              Calls("PauseDownload"));

    engine->Fire("ResumeSupportChanged", {2, false});
    window->AnswerNext({IDNO});
    Run({}, kCommandPauseAll);
    ASSERT_EQ(1u, window->Boxes().size());
    EXPECT_EQ(3u, Calls("PauseDownload").size());  // No: the resumable one only
}

TEST_F(CommandTest, DeleteAllAlwaysAsksAndAFailureStopsTheCommandWithOneBox)
{
    AddRow(*engine, 1, "http://host/a", "a", 4, 10, 10);
    AddRow(*engine, 2, "http://host/b", "b", 4, 10, 10);
    Open();
    window->AnswerNext({IDNO});
    Run({}, kCommandDeleteAll);
    EXPECT_EQ(1u, window->Boxes().size());
    EXPECT_TRUE(Calls("DeleteDownload").empty());

    engine->FailNext("DeleteDownload", E_ACCESSDENIED);
    window->AnswerNext({IDYES});
    Run({0, 1}, kCommandDelete);
    const auto boxes = window->Boxes();
    ASSERT_EQ(2u, boxes.size());  // the question, then the error
    EXPECT_EQ(MB_ICONERROR, boxes[1].icon);
    EXPECT_EQ((std::vector<std::string>{"DeleteDownload(1)"}), Calls("DeleteDownload"));
}

TEST_F(CommandTest, PropertiesOfSeveralDownloadsKeepEachOnesAddressAndFile)
{
    AddRow(*engine, 1, "http://host/a", "a", 8, 10, 4);
    AddRow(*engine, 2, "http://host/b", "b", 8, 10, 4);
    Open();
    std::optional<DialogDriver> driver;
    window->OnThread([&](IDeskBand*) {
        driver.emplace();
        driver->When(L"", [](DialogWindow& dialog) { dialog.Click(IDOK); });
    });
    Run({0, 1}, kCommandProperties);
    window->OnThread([&](IDeskBand*) { driver.reset(); });
    ASSERT_TRUE(engine->Expect("SetOptions(1, " + owner + ", options#2)"));
    ASSERT_TRUE(engine->Expect("SetOptions(2, " + owner + ", options#2)"));
    EXPECT_EQ("http://host/b", engine->PassedOption("Url"));
    EXPECT_EQ("C:\\dl\\b", engine->PassedOption("LocalPath"));
}

TEST_F(CommandTest, EnterOpensOnlyFinishedDownloadsAndCtrlEnterOpensTheProperties)
{
    AddRow(*engine, 1, "http://host/a", "a", 8, 10, 4);
    Open();
    const HWND list = window->List();
    std::optional<DialogDriver> driver;
    window->OnThread([&](IDeskBand*) {
        ListView_SetItemState(list, 0, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
        ::SendMessageW(list, WM_KEYDOWN, VK_RETURN, 0);
        driver.emplace();
        driver->When(L"", [](DialogWindow& dialog) { dialog.Click(IDCANCEL); });
        BYTE keys[256] = {};
        ::GetKeyboardState(keys);
        keys[VK_CONTROL] = 0x80;
        ::SetKeyboardState(keys);
        ::SendMessageW(list, WM_KEYDOWN, VK_RETURN, 0);
        keys[VK_CONTROL] = 0;
        ::SetKeyboardState(keys);
        driver.reset();
    });
    EXPECT_TRUE(window->Boxes().empty());
    const auto options = Calls("GetOptions");
    EXPECT_EQ(1, std::count(options.begin(), options.end(), "GetOptions(1)"));
}

// The list tells of a change of every row at once (select all, deselect all) as
// one change of row -1: the download buttons follow the first selected row.
// Finding a row by its text is the panel's work too.
TEST_F(CommandTest, DownloadButtonsFollowSelectionChangesOfEveryRow)
{
    AddRow(*engine, 1, "http://host/a", "a", 2, 10, 4);  // transferring
    AddRow(*engine, 2, "http://host/b", "b", 8, 10, 4);
    Open();
    const struct { UINT state; bool delete_, pause, start; } steps[] = {
        {0, false, false, false},
        {LVIS_SELECTED, true, true, false},
        {0, false, false, false},
    };
    window->OnThread([&](IDeskBand*) {
        const HWND list = window->List();
        HWND toolbar = nullptr;
        while ((toolbar = ::FindWindowExW(::GetParent(list), toolbar, TOOLBARCLASSNAMEW, nullptr)) != nullptr &&
               ::SendMessageW(toolbar, TB_COMMANDTOINDEX, kCommandDelete, 0) < 0)
        {
        }
        ASSERT_NE(toolbar, nullptr);
        const auto enabled = [&](WORD command) { return ::SendMessageW(toolbar, TB_ISBUTTONENABLED, command, 0) != 0; };
        for (const auto& step : steps)
        {
            ListView_SetItemState(list, -1, step.state, LVIS_SELECTED);
            EXPECT_EQ(enabled(kCommandDelete), step.delete_) << "state " << step.state;
            EXPECT_EQ(enabled(kCommandPause), step.pause) << "state " << step.state;
            EXPECT_EQ(enabled(kCommandStart), step.start) << "state " << step.state;
        }
    });
    // The list holds no texts: finding a row by its first column asks the panel.
    window->OnThread([&](IDeskBand*) {
        LVFINDINFOW find{LVFI_PARTIAL | LVFI_WRAP, L"HTTP://HOST/B"};
        EXPECT_EQ(ListView_FindItem(window->List(), -1, &find), 1);
        find.psz = L"http://host/";
        EXPECT_EQ(ListView_FindItem(window->List(), -1, &find), 0);
        find.flags = LVFI_STRING;
        EXPECT_EQ(ListView_FindItem(window->List(), -1, &find), -1) << "no whole address";
    });
}

// A language or interface change builds the toolbar again: the download buttons
// follow the selected row afterwards, as before the change.
TEST_F(CommandTest, DownloadButtonsSurviveALanguageOrInterfaceChange)
{
    AddRow(*engine, 1, "http://host/a", "a", 8, 10, 4);  // paused, selected after the list is read
    Open();
    const struct { const char* event; Arg argument; } changes[] = {
        {"LanguageChanged", 0x0419}, {"LanguageChanged", 0x0409}, {"InterfaceChanged", true}};
    for (const auto& change : changes)
    {
        engine->Fire(change.event, {change.argument});
        window->OnThread([&](IDeskBand*) {
            const HWND toolbar = ::GetDlgItem(window->Panel(), 404);
            for (WORD command : {kCommandStart, kCommandDelete, kCommandProperties})
                EXPECT_TRUE(::SendMessageW(toolbar, TB_ISBUTTONENABLED, command, 0))
                    << change.event << " " << command;
        });
    }
}

TEST_F(CommandTest, OpeningADownloadWhoseFileIsGoneSaysSo)
{
    AddRow(*engine, 1, "http://host/vanished.bin", "vanished.bin", 4, 4, 4, temp.c_str());
    Open();
    Run({0}, kCommandOpenFile);
    const auto boxes = window->Boxes();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(static_cast<UINT>(MB_ICONERROR), boxes[0].icon);
    EXPECT_NE(std::string::npos, boxes[0].text.find(temp + "vanished.bin")) << boxes[0].text;
}


// A download named in Cyrillic and Chinese, outside the ANSI code page of either
// system: the bar's cells, the properties dialog confirmed without a change and
// the log dialog show and give back every character, and so does the address
// copied to the clipboard.
void CommandTest::DownloadInAnyScriptSurvivesTheBar(LANGID language)
{
    const std::wstring url = L"http://хост.рф/папка/文件 архив.zip", name = L"文件 архив.zip",
                       folder = L"C:\\Загрузки\\下载\\", line = L"Загрузка " + name;
    engine->Answer("GetLanguage", {static_cast<long>(language)});
    engine->Answer("GetDownloadLog(1)", {L"10:15:30 " + line + L"\r\n"});
    engine->AddListRow({1L, url, folder, name, 0L, 3L, 0.0, 10L, 0L, 1L, 0L, 4L, 100L, 100L, VARIANT{}});
    Open();
    const std::vector<std::wstring> rows = window->Rows();
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(0u, rows[0].find(url + L"|" + folder + name + L"|")) << Utf8FromWide(rows[0]);

    std::optional<DialogDriver> driver;
    std::wstring shownUrl, shownPath, logged;
    window->OnThread([&](IDeskBand*) {
        driver.emplace();
        driver->When(L"", [&](DialogWindow& dialog) {
            shownUrl = dialog.Text(IDC_URL);
            shownPath = dialog.Text(IDC_LOCAL_PATH);
            dialog.Click(IDOK);
        });
        driver->When(L"", [&](DialogWindow& dialog) {
            wchar_t text[200] = {};
            LVITEMW item{};
            item.iSubItem = 2;
            item.pszText = text;
            item.cchTextMax = 200;
            ::SendMessageW(dialog.Item(IDC_LOG_LIST), LVM_GETITEMTEXTW, 0, reinterpret_cast<LPARAM>(&item));
            logged = text;
            dialog.Click(IDS_CLOSE);
        });
    });
    Run({0}, kCommandProperties);
    Run({0}, kCommandLog);
    Run({0}, kCommandCopyUrl);
    std::wstring copied;
    window->OnThread([&](IDeskBand*) {
        EXPECT_EQ(0u, driver->Pending());
        driver.reset();
        if (!::OpenClipboard(nullptr))
            return;
        if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT))
            ReadGlobalText(data, true, copied);
        ::CloseClipboard();
    });
    EXPECT_EQ(url, copied) << "the address copied";
    EXPECT_EQ(url, shownUrl);
    EXPECT_EQ(folder + name, shownPath);
    ASSERT_TRUE(engine->Expect("SetOptions(1, " + owner + ", options#2)"));
    EXPECT_EQ(Utf8FromWide(url), engine->PassedOption("Url"));
    EXPECT_EQ(Utf8FromWide(folder + name), engine->PassedOption("LocalPath"));
    EXPECT_EQ(line, logged);
    EXPECT_TRUE(window->Boxes().empty());
}

using CommandLocale_en_US = CommandTest;  // a Western ANSI code page
using CommandLocale_ru_RU = CommandTest;  // a Russian one

TEST_F(CommandLocale_en_US, ADownloadInAnyScriptSurvivesTheBarInTheRussianInterface)
{
    DownloadInAnyScriptSurvivesTheBar(0x0419);
}

TEST_F(CommandLocale_ru_RU, ADownloadInAnyScriptSurvivesTheBarInTheEnglishInterface)
{
    DownloadInAnyScriptSurvivesTheBar(0x0409);
}
