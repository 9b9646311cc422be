// The user name and password dialog, the download log dialog and the about box,
// run modally and driven as a user drives them (typing, pasting, keys, clicks,
// the save-file dialog), read back through their controls and what they hand
// out: the answer, the saved file, the web address opened.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "dialogs/about_dialog.h"
#include "dialogs/credentials_dialog.h"
#include "dialogs/log_dialog.h"
#include "support/dialog_driver.h"
#include "support/message_box_hook.h"
#include "text/language.h"

using namespace tdm;
using test::DialogWindow;

namespace {

constexpr wchar_t kLogTitle[] = L"Download Log - Tolvane Download Manager";
constexpr int kFileNameBox = 0x47C;  // the file name of the save-file dialog

// A key as the keyboard sends it to the focused control; the dialog's modal
// loop turns it into a command.
void PressKey(WORD key)
{
    ::PostMessageW(::GetFocus(), WM_KEYDOWN, key, 0);
    ::PostMessageW(::GetFocus(), WM_KEYUP, key, 0xC0000000);
}

class SmallDialogsTest : public testing::Test
{
protected:
    void SetUp() override { ResetUiLanguage(1033); }
    void TearDown() override
    {
        EXPECT_EQ(0u, driver.Pending()) << "a dialog did not appear";
        ResetUiLanguage(1033);
    }
    test::MessageBoxRecorder boxes;
    test::DialogDriver driver;
};

}  // namespace

// --- user name and password ------------------------------------------------------

TEST_F(SmallDialogsTest, CredentialsShowTheRequestWithTheTitleOfItsKind)
{
    const struct { bool proxy; const wchar_t* url; const wchar_t* title; const wchar_t* host; } cases[] = {
        {true, L"http://proxy.example.com:3128/", L"Proxy User Name and Password", L"proxy.example.com"},
        {false, L"ftp://reader@files.example.org/pub/a.iso", L"User Name and Password", L"files.example.org"},
        {false, L"files.example.org/a.iso", L"User Name and Password", L""},
        {false, L"http://", L"User Name and Password", L""},
    };
    for (const auto& c : cases)
    {
        driver.When(L"", [&](DialogWindow& d) {
            EXPECT_EQ(c.title, d.Title());
            EXPECT_EQ(c.host, d.Text(IDC_HOST_NAME)) << c.url;
            EXPECT_EQ(L"Members & guests", d.Text(IDC_REALM_NAME));
            EXPECT_EQ(L"reader", d.Text(IDC_CREDENTIALS_USER_NAME));
            EXPECT_EQ(IDC_CREDENTIALS_USER_NAME, d.FocusId());
            EXPECT_FALSE(d.Checked(IDS_REMEMBER_PASSWORD));
            d.Click(IDCANCEL);
        });
        EXPECT_TRUE(AskCredentials(nullptr, {L"reader", L"secret", c.url, L"Members & guests", c.proxy}).cancelled);
    }
}

// A longer text from the engine is shown whole, so that OK gives it back.
TEST_F(SmallDialogsTest, CredentialsTakeAHundredTypedCharactersAndShowStoredOnesWhole)
{
    const std::wstring longText(150, L'x');
    driver.When(L"User Name and Password", [&](DialogWindow& d) {
        EXPECT_EQ(150u, d.Text(IDC_CREDENTIALS_USER_NAME).size());  // from the engine
        d.Focus(IDC_CREDENTIALS_PASSWORD);
        ::SendMessageW(d.Item(IDC_CREDENTIALS_PASSWORD), EM_SETSEL, 0, -1);
        ::SendMessageW(d.Item(IDC_CREDENTIALS_PASSWORD), EM_REPLACESEL, TRUE,
                       reinterpret_cast<LPARAM>(std::wstring(150, L'p').c_str()));  // pasted by the user
        d.Click(IDOK);
    });
    const CredentialAnswer answer = AskCredentials(nullptr, {longText, L"old", L"http://host/", L"", false});
    EXPECT_FALSE(answer.cancelled);
    EXPECT_EQ(longText, answer.userName);
    EXPECT_EQ(std::wstring(100, L'p'), answer.password);
}

TEST_F(SmallDialogsTest, CredentialsAnswerWhatTheUserConfirmedAndNothingWhenCancelled)
{
    using Finish = std::function<void(DialogWindow&)>;
    const Finish ok = [](DialogWindow& d) { d.Click(IDOK); };
    const Finish enter = [](DialogWindow&) { PressKey(VK_RETURN); };
    const Finish cancel = [](DialogWindow& d) { d.Click(IDCANCEL); };
    const Finish escape = [](DialogWindow&) { PressKey(VK_ESCAPE); };
    const Finish close = [](DialogWindow& d) { ::PostMessageW(d.Handle(), WM_CLOSE, 0, 0); };
    // typed: a new user name and password typed before finishing.
    const struct { const char* name; bool typed; bool check; Finish finish; bool cancelled; const wchar_t* user;
                   const wchar_t* password; bool remember; } cases[] = {
        {"untouched OK", false, false, ok, false, L"reader", L"secret", false},
        {"typed, checked, Enter", true, true, enter, false, L"админ", L"пароль ✓", true},
        {"typed, checked, Cancel", true, true, cancel, true, L"", L"", false},
        {"typed, Escape", true, false, escape, true, L"", L"", false},
        {"typed, closed", true, false, close, true, L"", L"", false},
    };
    for (const auto& c : cases)
    {
        driver.When(L"User Name and Password", [&](DialogWindow& d) {
            if (c.typed)
            {
                d.SetText(IDC_CREDENTIALS_USER_NAME, L"админ");
                d.SetText(IDC_CREDENTIALS_PASSWORD, L"пароль ✓");
            }
            if (c.check)
                d.Click(IDS_REMEMBER_PASSWORD);
            c.finish(d);
        });
        const CredentialAnswer answer =
            AskCredentials(nullptr, {L"reader", L"secret", L"http://host/", L"realm", false});
        EXPECT_EQ(c.cancelled, answer.cancelled) << c.name;
        EXPECT_EQ(c.user, answer.userName) << c.name;
        EXPECT_EQ(c.password, answer.password) << c.name;
        EXPECT_EQ(c.remember, answer.remember) << c.name;
    }
}

// --- download log ----------------------------------------------------------------

namespace {

using Rows = std::vector<std::vector<std::wstring>>;

Rows ReadRows(HWND list)
{
    Rows rows(static_cast<size_t>(ListView_GetItemCount(list)));
    for (size_t row = 0; row < rows.size(); ++row)
    {
        for (int column = 0; column < 3; ++column)
        {
            wchar_t text[256] = {};
            ListView_GetItemText(list, static_cast<int>(row), column, text, 256);
            rows[row].push_back(text);
        }
    }
    return rows;
}

std::string FileContents(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    return file ? contents.str() : "<missing>";
}

}  // namespace

TEST_F(SmallDialogsTest, LogLinesSplitIntoDateTimeAndMessage)
{
    const struct { const wchar_t* log; Rows rows; } cases[] = {
        {L"", {}},
        {L"10:15:30 Connecting to host\r\n", {{L"", L"10:15:30", L"Connecting to host"}}},
        {L"5/1/2024 10:15:31 Connected\r\nno date here\r\n\r\n5/1/2024 Done at 10:16:00",
         {{L"5/1/2024", L"10:15:31", L"Connected"}, {L"", L"", L"no date here"}, {L"", L"", L""},
          {L"5/1/2024", L"", L"Done at 10:16:00"}}},
    };
    for (const auto& c : cases)
    {
        driver.When(kLogTitle, [&](DialogWindow& d) {
            EXPECT_EQ(c.rows, ReadRows(d.Item(IDC_LOG_LIST))) << c.log;
            d.Click(IDS_CLOSE);
        });
        ShowDownloadLog(nullptr, c.log, static_cast<UINT>(wcslen(c.log)));
    }
}

TEST_F(SmallDialogsTest, LogListAndButtonsFollowTheDialogsSize)
{
    driver.When(kLogTitle, [](DialogWindow& d) {
        const auto rectOf = [&](int id) {
            RECT rect{};
            ::GetWindowRect(d.Item(id), &rect);
            return rect;
        };
        const RECT list = rectOf(IDC_LOG_LIST), close = rectOf(IDS_CLOSE);
        const int message = ListView_GetColumnWidth(d.Item(IDC_LOG_LIST), 2);
        RECT frame{};
        ::GetWindowRect(d.Handle(), &frame);
        ::SetWindowPos(d.Handle(), nullptr, 0, 0, frame.right - frame.left + 100, frame.bottom - frame.top + 60,
                       SWP_NOMOVE | SWP_NOZORDER);
        const RECT grown = rectOf(IDC_LOG_LIST), moved = rectOf(IDS_CLOSE);
        EXPECT_EQ(list.right - list.left + 100, grown.right - grown.left);
        EXPECT_EQ(list.bottom - list.top + 60, grown.bottom - grown.top);
        EXPECT_EQ(close.left + 100, moved.left);
        EXPECT_EQ(close.top + 60, moved.top);
        EXPECT_EQ(message + 100, ListView_GetColumnWidth(d.Item(IDC_LOG_LIST), 2));
        d.Click(IDS_CLOSE);
    });
    ShowDownloadLog(nullptr, L"10:15:30 Started", 16);
}

TEST_F(SmallDialogsTest, SaveAsWritesTheLogExactlyOrSaysWhyNot)
{
    const std::string folder = "C:\\windows\\temp\\";
    const std::string existing = folder + "tdm-saved-log-" + std::to_string(::GetCurrentProcessId()) + ".txt";
    const std::string missing = folder + "tdm-no-such-folder\\log.txt";
    std::ofstream(existing, std::ios::binary) << std::string(1000, 'o');  // longer than any log below
    // answers: to the save-file dialog's question whether to replace the file.
    const struct { const wchar_t* log; std::string path; std::vector<int> answers; std::string box;
                   std::string contents; } cases[] = {
        // UTF-8 after a byte-order mark: every character survives, whatever
        // the ANSI code page.
        {L"1 a\r\n2 Загрузка 文件.zip", existing, {IDYES}, "", "\xEF\xBB\xBF" "1 a\r\n2 Загрузка 文件.zip"},
        {L"", existing, {IDYES}, "", "\xEF\xBB\xBF"},
        {L"5/1/2024 10:15:31 Connected\r\n", missing, {},
         "Error creating " + missing + ".\nThe log cannot be saved now.", "<missing>"},
    };
    for (const auto& c : cases)
    {
        boxes.Clear();
        for (const int answer : c.answers)
            boxes.AnswerNext(answer);
        driver.When(kLogTitle, [&](DialogWindow& d) {
            d.Click(IDS_SAVE_AS);
            d.Click(IDS_CLOSE);
        });
        driver.When(L"Save Log As", [&](DialogWindow& d) {
            d.SetText(kFileNameBox, std::wstring(c.path.begin(), c.path.end()));
            d.Click(IDOK);
        });
        ShowDownloadLog(nullptr, c.log, static_cast<UINT>(wcslen(c.log)));
        EXPECT_EQ(c.contents, FileContents(c.path)) << c.path;
        ASSERT_EQ(c.answers.size() + (c.box.empty() ? 0 : 1), boxes.Boxes().size()) << c.path;
        EXPECT_TRUE(c.box.empty() || (boxes.Boxes().back().text == c.box &&
                                      boxes.Boxes().back().icon == static_cast<UINT>(MB_ICONERROR)))
            << boxes.Boxes().back().text;
    }
    ::DeleteFileA(existing.c_str());
}

// --- about box -------------------------------------------------------------------

namespace {

std::vector<std::wstring> g_opened;

void RecordOpening(HWND, const std::wstring& address) { g_opened.push_back(address); }

}  // namespace

TEST_F(SmallDialogsTest, AboutBoxOpensTheWebSiteOnlyForAClickOnItsAddress)
{
    const WebSiteOpener previous = SetWebSiteOpener(&RecordOpening);
    // Language 1031 has no string table: the built-in address stands in.
    const struct { WORD language; POINT click; std::vector<std::wstring> opened; } cases[] = {
        {1033, {20, 20}, {}},
        {1033, {316, 240}, {}},
        {1033, {206, 230}, {L"http://www.tolvane.com/"}},
        {1049, {260, 235}, {L"http://www.tolvane.com/"}},
        {1031, {260, 235}, {L"http://www.tolvane.com/"}},
    };
    for (const auto& c : cases)
    {
        ResetUiLanguage(c.language);
        g_opened.clear();
        driver.When(L"", [&](DialogWindow& d) {
            ::SendMessageW(d.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(c.click.x, c.click.y));
        });
        CAboutDialog dialog;
        EXPECT_EQ(IDOK, dialog.DoModal(nullptr)) << c.click.x << "," << c.click.y;
        EXPECT_EQ(c.opened, g_opened) << c.click.x << "," << c.click.y;
    }
    SetWebSiteOpener(previous);
}

TEST_F(SmallDialogsTest, AboutBoxFitsItsPictureAndShowsTheVersionAfterTheProductName)
{
    const struct { WORD language; const wchar_t* title; const wchar_t* version; } cases[] = {
        {1033, L"About", L"Version 0.6.0.1"},
        {1049, L"О программе", L"Версия 0.6.0.1"},
    };
    for (const auto& c : cases)
    {
        ResetUiLanguage(c.language);
        CAboutDialog dialog;
        driver.When(c.title, [&](DialogWindow& d) {
            RECT window{}, client{};
            ::GetWindowRect(d.Handle(), &window);
            ::GetClientRect(d.Handle(), &client);
            // The picture (350 x 250) in its frame fills the window: no title bar, no border.
            using Size = std::pair<LONG, LONG>;
            EXPECT_EQ(Size(352, 252), Size(window.right - window.left, window.bottom - window.top));
            EXPECT_EQ(Size(352, 252), Size(client.right, client.bottom));
            EXPECT_EQ(c.version, dialog.VersionText());
            PressKey(VK_ESCAPE);
        });
        EXPECT_EQ(IDCANCEL, dialog.DoModal(nullptr));
    }
}
