// The download properties dialog, its settings page and the proxy dialog, run
// modally and driven as a user drives them (clicks, typing, focus changes),
// over an option object that records what the dialogs write.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "dialogs/credentials_dialog.h"
#include "dialogs/download_properties.h"
#include "dialogs/links_dialog.h"
#include "dialogs/proxy_dialog.h"
#include "engine/download_record.h"
#include "framework/automation.h"
#include "resources/window_messages.h"
#include "store/settings_store.h"
#include "support/dialog_driver.h"
#include "support/message_box_hook.h"
#include "support/registry_sandbox.h"
#include "text/format.h"
#include "text/language.h"

using namespace tdm;
using test::DialogWindow;

namespace {

constexpr wchar_t kNewTitle[] = L"New Download - Tolvane Download Manager";
constexpr wchar_t kPropertiesTitle[] = L"Download Properties - Tolvane Download Manager";
constexpr wchar_t kProxyTitle[] = L"Proxy Settings";

// An engine option object that keeps its values as texts (flags -1/0) and records
// every write, "Property=value", in order. `failing` names a property whose
// reads and writes fail.
struct FakeOptions : IDownloadOptions
{
    std::map<std::string, std::wstring> values;
    std::vector<std::wstring> writes;
    std::string failing;

    STDMETHODIMP QueryInterface(REFIID, void** out) override { return (*out = nullptr), E_NOINTERFACE; }  // unasked
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on the test's stack
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
#define PROPERTY(Name, Type, read, written)                                                             \
    STDMETHODIMP get_##Name(Type* v) override { return failing == #Name ? E_FAIL : ((*v = read), S_OK); } \
    STDMETHODIMP put_##Name(Type v) override                                                              \
    { return failing == #Name ? E_FAIL : (writes.push_back(L## #Name L"=" + (values[#Name] = written)), S_OK); }
#define TEXT_PROPERTY(Name) PROPERTY(Name, BSTR, ::SysAllocString(values[#Name].c_str()), v ? v : L"")
#define NUMBER_PROPERTY(Name, Type) \
    PROPERTY(Name, Type, static_cast<Type>(_wtol(values[#Name].c_str())), std::to_wstring(v))
    TEXT_PROPERTY(Url) NUMBER_PROPERTY(IntegerOption1, long) TEXT_PROPERTY(LocalPath) TEXT_PROPERTY(UserName)
    TEXT_PROPERTY(Password) NUMBER_PROPERTY(UseProxy, VARIANT_BOOL) NUMBER_PROPERTY(UseIEProxySettings, VARIANT_BOOL)
    TEXT_PROPERTY(ProxyUserName) TEXT_PROPERTY(ProxyPassword) TEXT_PROPERTY(ProxyServers)
    NUMBER_PROPERTY(IntegerOption2, long) TEXT_PROPERTY(ProxyBypass) NUMBER_PROPERTY(MaxRedirections, long)
    NUMBER_PROPERTY(FtpPassive, VARIANT_BOOL)
};

// Stands in for the downloads panel that opened the dialog: answers its conflict
// queries about the URLs and paths it Uses with a download of http://host/other.zip.
struct ConflictWindow
{
    std::map<std::string, CTolInfoDownload> owners;
    HWND handle = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);

    ConflictWindow() { ::SetWindowSubclass(handle, &Proc, 0, reinterpret_cast<DWORD_PTR>(this)); }
    ~ConflictWindow() { ::DestroyWindow(handle); }
    void Uses(const std::string& urlOrPath) { owners[urlOrPath].url.reset(::SysAllocString(L"http://host/other.zip")); }
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR self)
    {
        if (message != kQueryPathConflict && message != kQueryUrlConflict)
            return ::DefSubclassProc(window, message, wParam, lParam);
        auto& owners = reinterpret_cast<ConflictWindow*>(self)->owners;
        const auto owner = owners.find(Utf8FromWide(reinterpret_cast<const wchar_t*>(lParam)));
        return owner == owners.end() ? 0 : reinterpret_cast<LRESULT>(&owner->second);
    }
};

class DialogsTest : public testing::Test
{
protected:
    void SetUp() override { ResetUiLanguage(1033); }
    void TearDown() override { EXPECT_EQ(0u, driver.Pending()) << "a dialog did not appear"; }
    INT_PTR RunDialog(const std::string& url, const std::string& path, bool newDownload, HWND conflicts = nullptr)
    {
        return CDefDownDlg(CDownloadOptions(com_ptr<IDownloadOptions>(&options)), WideFromUtf8(url),
                           WideFromUtf8(path), 7, conflicts, newDownload)
            .DoModal(nullptr);
    }
    std::string LastBox() const { return boxes.Boxes().empty() ? "" : boxes.Boxes().back().text; }
    void OkWithoutAChange();

    FakeOptions options;
    test::MessageBoxRecorder boxes;
    test::DialogDriver driver;
    ConflictWindow panel;
};

}  // namespace

TEST_F(DialogsTest, RowsAndTitleFollowTheDownloadAndBadUrlsAreRefused)
{
    panel.Uses("http://host/taken.zip");
    // pathLabel null: the path row is hidden. With a message, OK is refused with it
    // and the focus goes to the URL; the dialog is then cancelled.
    const struct { const char* url; const char* path; bool isNew; const wchar_t* title; bool urlShown;
                   const wchar_t* pathLabel; const char* message; UINT icon; } cases[] = {
        {"", "", true, kNewTitle, true, nullptr, "", 0},
        {"http://host/a.zip", "C:\\dl\\a.zip", false, kPropertiesTitle, true, L"File Name:", "", 0},
        {"", "C:\\dl\\", false, kPropertiesTitle, false, L"Save to:", "", 0},
        {"https://host/a.zip", "", true, kNewTitle, true, nullptr,
         "Incorrect URL or unsupported protocol: https://host/a.zip.\nPlease, specify a correct URL.", MB_ICONERROR},
        {"http://host/taken.zip", "", true, kNewTitle, true, nullptr,
         "Cannot set the URL: another download for http://host/other.zip exists.", MB_ICONINFORMATION},
    };
    for (const auto& c : cases)
    {
        boxes.Clear();
        driver.When(c.title, [&](DialogWindow& d) {
            EXPECT_EQ(c.urlShown, d.Visible(IDC_URL_LABEL) && d.Visible(IDC_URL)) << c.path;
            for (const int id : {IDC_PATH_LABEL, IDC_LOCAL_PATH, IDC_BROWSE_PATH})
                EXPECT_EQ(c.pathLabel != nullptr, d.Visible(id)) << c.path << " control " << id;
            EXPECT_EQ(c.pathLabel ? c.pathLabel : L"File Name:", d.Text(IDC_PATH_LABEL));
            if (*c.message)
            {
                d.Click(IDOK);
                EXPECT_EQ(IDC_URL, d.FocusId()) << c.url;
            }
            d.Click(IDCANCEL);
        });
        EXPECT_EQ(IDCANCEL, RunDialog(c.url, c.path, c.isNew, panel.handle));
        ASSERT_EQ(*c.message ? 1u : 0u, boxes.Boxes().size()) << c.url;
        EXPECT_EQ(c.message, LastBox());
        EXPECT_EQ(c.icon, *c.message ? boxes.Boxes()[0].icon : 0u);
        EXPECT_TRUE(*c.message || options.writes.empty()) << "cancelled, yet written";
    }
}

TEST_F(DialogsTest, RedirectionsAndProxyControlsFollowTheUser)
{
    options.values = {{"UseProxy", L"0"}, {"UseIEProxySettings", L"-1"}};
    driver.When(kNewTitle, [](DialogWindow& d) {
        for (const auto& [text, shown] : std::initializer_list<std::pair<const wchar_t*, const wchar_t*>>{
                 {L"150", L"99"}, {L"0", L"1"}, {L"ab", L"1"}, {L"", L"1"}, {L"42", L"42"}})
        {
            d.Focus(IDC_MAX_REDIRECTIONS);
            d.SetText(IDC_MAX_REDIRECTIONS, text);
            d.Focus(IDC_USER_NAME);
            EXPECT_EQ(shown, d.Text(IDC_MAX_REDIRECTIONS)) << "typed \"" << text << "\"";
        }
        // click 0: as opened.
        const struct { int click; bool proxyFields, customSettings; } steps[] = {
            {0, false, false}, {IDS_USE_PROXY, true, false}, {IDS_USE_CUSTOM_PROXY, true, true},
            {IDS_USE_IE_PROXY, true, false}, {IDS_USE_CUSTOM_PROXY, true, true}, {IDS_USE_PROXY, false, false}};
        for (const auto& step : steps)
        {
            d.Click(step.click);
            for (const int id : {IDC_PROXY_USER_NAME, IDC_PROXY_PASSWORD, IDS_PROXY_USER_NAME, IDS_PROXY_PASSWORD,
                                 IDS_USE_IE_PROXY, IDS_USE_CUSTOM_PROXY})
                EXPECT_EQ(step.proxyFields, d.Enabled(id)) << "after " << step.click << ", control " << id;
            EXPECT_EQ(step.customSettings, d.Enabled(IDS_CUSTOM_PROXY_SETTINGS)) << "after " << step.click;
        }
        d.Click(IDCANCEL);
    });
    RunDialog("", "", true);
}

TEST_F(DialogsTest, OkWritesTheOptionsInTheEnginesOrder)
{
    const std::wstring huge(10000, L'x');
    options.values = {{"UserName", huge}, {"Password", huge}, {"UseProxy", L"-1"}, {"UseIEProxySettings", L"0"},
                      {"ProxyUserName", huge}, {"ProxyPassword", L"pp"}, {"ProxyServers", L"http=p:1;;ftp=;=:"},
                      {"ProxyBypass", L"<local>"}, {"FtpPassive", L"0"}, {"MaxRedirections", L"5"}};
    driver.When(kPropertiesTitle, [](DialogWindow& d) {
        d.Click(IDS_CUSTOM_PROXY_SETTINGS);
        d.SetText(IDC_USER_NAME, L"new");
        d.Click(IDS_FTP_PASSIVE);
        d.Click(IDOK);
    });
    driver.When(kProxyTitle, [](DialogWindow& d) { d.Click(IDOK); });
    ASSERT_EQ(IDOK, RunDialog(" http://host/a.zip ", "C:\\dl\\a.zip", false));
    EXPECT_EQ((std::vector<std::wstring>{L"UserName=new", L"Password=" + huge, L"UseProxy=-1",
                                         L"UseIEProxySettings=0", L"ProxyPassword=pp", L"ProxyUserName=" + huge,
                                         L"FtpPassive=-1", L"MaxRedirections=5", L"ProxyServers=http=p:1;",
                                         L"ProxyBypass=<local>", L"IntegerOption2=2", L"IntegerOption1=120", L"Url=http://host/a.zip", L"LocalPath=C:\\dl\\a.zip"}),
              options.writes);
}

TEST_F(DialogsTest, CustomProxyWithoutServersAsksForThemFirst)
{
    options.values = {{"UseProxy", L"-1"}, {"UseIEProxySettings", L"0"}, {"MaxRedirections", L"10"}};
    driver.When(kNewTitle, [&](DialogWindow& d) {
        d.SetText(IDC_URL, L"http://host/a.zip");
        d.Click(IDOK);
        EXPECT_EQ("You should set custom options to use proxy server.", LastBox());
        EXPECT_EQ(IDS_CUSTOM_PROXY_SETTINGS, d.FocusId());
        EXPECT_TRUE(options.writes.empty());
        d.Click(IDOK);
    });
    driver.When(kProxyTitle, [](DialogWindow& d) {
        d.SetText(IDC_HTTP_PROXY_HOST, L"proxy");
        d.SetText(IDC_HTTP_PROXY_PORT, L"3128");
        d.Click(IDOK);
    });
    ASSERT_EQ(IDOK, RunDialog("", "", true));
    EXPECT_EQ(L"proxy:3128;", options.values["ProxyServers"]);
}

TEST_F(DialogsTest, APathAnotherDownloadUsesIsTakenOnlyWhenTheUserSaysSo)
{
    test::RegistrySandbox registry;
    const std::string folder = "C:\\windows\\temp\\", taken = folder + "a.zip", other = folder + "b.zip";
    for (const std::string& used : {folder, taken, other})  // a folder is never asked about
        panel.Uses(used);
    // No browses for another name, which is asked about again.
    const struct { std::string path; std::vector<int> answers; INT_PTR result; std::string written; } cases[] = {
        {folder, {}, IDOK, folder}, {taken, {IDYES}, IDOK, taken}, {taken, {IDCANCEL}, IDCANCEL, ""},
        {taken, {IDNO, IDYES}, IDOK, other}};
    for (const auto& c : cases)
    {
        options.values.erase("LocalPath");
        boxes.Clear();
        for (const int answer : c.answers)
            boxes.AnswerNext(answer);
        driver.When(kNewTitle, [&](DialogWindow& d) {
            d.Click(IDOK);
            if (c.result == IDCANCEL)
                d.Click(IDCANCEL);
        });
        if (c.answers.size() > 1)
            driver.When(L"Save http://host/a.zip As", [&](DialogWindow& d) {
                d.SetText(0x47C, std::wstring(other.begin(), other.end()));  // the file name box
                d.Click(IDOK);
            });
        EXPECT_EQ(c.result, RunDialog("http://host/a.zip", c.path, true, panel.handle)) << c.path;
        EXPECT_EQ(std::wstring(c.written.begin(), c.written.end()), options.values["LocalPath"]) << c.path;
        const std::string asked = c.answers.size() > 1 ? other : taken;
        EXPECT_EQ(c.answers.size(), boxes.Boxes().size()) << c.path;
        EXPECT_EQ(c.answers.empty() ? "" : "The name " + asked + " is already being used to download the "
                                           "http://host/other.zip.\nDo you really want to use the same file name?",
                  LastBox());
    }
    EXPECT_EQ(folder, Utf8FromWide(GetBrowse()));
    EXPECT_EQ(kNewTitle, std::wstring(boxes.Boxes()[0].caption.begin(), boxes.Boxes()[0].caption.end()));
}

TEST_F(DialogsTest, AnOptionObjectThatFailsIsReportedAndNothingCloses)
{
    options.failing = "IntegerOption1";  // written last, never read
    driver.When(kNewTitle, [&](DialogWindow& d) {
        d.SetText(IDC_URL, L"http://host/a.zip");
        d.Click(IDOK);
        EXPECT_EQ(ComErrorText(E_FAIL), LastBox());
        EXPECT_TRUE(::IsWindowVisible(d.Handle()));
        d.Click(IDCANCEL);
    });
    EXPECT_EQ(IDCANCEL, RunDialog("", "", true));
    options.failing = "UserName";  // read when the dialog opens
    boxes.Clear();
    EXPECT_EQ(IDCANCEL, RunDialog("", "", true));
    EXPECT_EQ(ComErrorText(E_FAIL), LastBox());
}

TEST_F(DialogsTest, ThePageKeepsFieldsThatRefuseAndWritesWhenApplied)
{
    CDownloadPropPage page{CDownloadOptions(com_ptr<IDownloadOptions>(&options))};
    HPROPSHEETPAGE pages[] = {page.CreatePage()};
    PROPSHEETHEADERW sheet{sizeof(sheet), PSH_NOAPPLYNOW, nullptr, nullptr, {}, L"Settings", 1};
    sheet.phpage = pages;
    driver.When(L"Settings", [&](DialogWindow& d) {
        d.SetText(IDC_MAX_REDIRECTIONS, L"");
        d.Click(IDOK);
        EXPECT_NE(nullptr, PropSheet_GetCurrentPageHwnd(d.Handle())) << "the sheet closed";
        EXPECT_EQ(IDC_MAX_REDIRECTIONS, d.FocusId());
        d.SetText(IDC_MAX_REDIRECTIONS, L"7");
        d.Click(IDOK);
    });
    ::PropertySheetW(&sheet);
    ASSERT_FALSE(options.writes.empty());
    EXPECT_EQ(L"7", options.values["MaxRedirections"]);
    EXPECT_EQ(L"IntegerOption1=120", options.writes.back());
}

// The texts themselves are read and built by code tested on its own; here only what
// the dialog adds: a server address typed into the HTTP host is spread over host and
// port when left, the FTP server follows the HTTP one while the check box says so,
// and Cancel keeps the texts. Shown: HTTP and FTP host:port, whether the FTP server
// is the HTTP one, the exceptions.
TEST_F(DialogsTest, ProxyDialogSplitsTypedAddressesAndCopiesTheSameProxy)
{
    const struct { const char* servers; const char* exceptions; bool clickSame; const wchar_t* typed;
                   const wchar_t* shown; int button; const char* built; } cases[] = {
        {"ftp=files:21;", "", true, nullptr, L": : same ", IDOK, " "},
        {"", "a.com;<local>;b.com", false, L"http://proxy.example.com:3128",
         L"proxy.example.com:3128 proxy.example.com:3128 same a.com;b.com", IDOK,
         "proxy.example.com:3128; a.com;<local>;b.com"},
        {"old:1;", "x.com;", true, L"new", L"new:1 old:1 own x.com;", IDCANCEL, "old:1; x.com;"},
    };
    for (const auto& c : cases)
    {
        CProxySettingsDlg dialog;
        dialog.SetProxyTexts(WideFromUtf8(c.servers), WideFromUtf8(c.exceptions));
        driver.When(kProxyTitle, [&](DialogWindow& d) {
            d.Click(c.clickSame ? IDS_SAME_PROXY_FOR_ALL : 0);
            d.Focus(IDC_HTTP_PROXY_HOST);
            if (c.typed)
                d.SetText(IDC_HTTP_PROXY_HOST, c.typed);
            d.Focus(IDC_PROXY_EXCEPTIONS);
            EXPECT_EQ(c.shown, d.Text(IDC_HTTP_PROXY_HOST) + L":" + d.Text(IDC_HTTP_PROXY_PORT) + L" " +
                                   d.Text(IDC_FTP_PROXY_HOST) + L":" + d.Text(IDC_FTP_PROXY_PORT) +
                                   (d.Enabled(IDC_FTP_PROXY_HOST) ? L" own " : L" same ") +
                                   d.Text(IDC_PROXY_EXCEPTIONS)) << c.servers;
            d.Click(c.button);
        });
        EXPECT_EQ(c.button, dialog.DoModal(nullptr)) << c.servers;
        EXPECT_EQ(c.built, Utf8FromWide(dialog.Servers() + L" " + dialog.Exceptions()));
    }
}

// Every dialog that edits stored values, opened on them and confirmed without a
// change, gives back what it read, in both languages and (below) with the ANSI
// code page of a Western and of a Russian system: texts in Cyrillic and Chinese
// (outside either code page) and longer than the edits take, a remembered
// password of 100 characters, proxy exceptions with a name without a dot and
// entries after "<local>". The properties dialog and the settings page confirm
// their proxy dialog too.
void DialogsTest::OkWithoutAChange()
{
    using Values = std::map<std::string, std::wstring>;
    const std::wstring name = L"Юрий用户" + std::wstring(145, L'n'), password = L"пароль密码" + std::wstring(92, L'p');
    const Values stored = {{"UserName", name}, {"Password", password}, {"ProxyUserName", name},
                           {"ProxyPassword", password},
                           {"Folder", L"C:\\Загрузки下载" + std::wstring(300, L'f') + L"\\"},
                           {"Url", L"http://хост.рф/путь/文件 " + std::wstring(300, L'u') + L".zip"},
                           {"LocalPath", L"C:\\Загрузки\\下载\\" + std::wstring(300, L'f') + L".zip"},
                           {"ProxyServers", L"http=прокси" + std::wstring(300, L'h') + L":123456789012;ftp=代理:21;"},
                           {"ProxyBypass", L"интранет;*.пример.рф;<local>;10.*;after.例子.com"}};

    const auto written = [&] {  // the stored values among the option object's writes
        Values values;
        for (const std::wstring& write : options.writes)
            if (const std::string key = Utf8FromWide(write.substr(0, write.find(L'='))); stored.count(key))
                values[key] = write.substr(key.size() + 1);
        return values;
    };
    CDownloadPropPage page{CDownloadOptions(com_ptr<IDownloadOptions>(&options))};
    HPROPSHEETPAGE pages[1] = {};
    PROPSHEETHEADERW sheet{sizeof(sheet), PSH_NOAPPLYNOW, nullptr, nullptr, {}, L"Settings", 1};
    sheet.phpage = pages;
    CProxySettingsDlg proxy;
    CLinksDlg links({L"http://host/a.zip"}, stored.at("Folder"), true);
    // dialogs: how many are confirmed, the proxy dialog of the first included.
    const struct { const char* dialog; int dialogs; size_t values; std::function<Values()> run; } rows[] = {
        {"properties", 2, 8, [&] {
             RunDialog(Utf8FromWide(stored.at("Url")), Utf8FromWide(stored.at("LocalPath")), false);
             return written();
         }},
        {"new download", 2, 8, [&] {
             RunDialog(Utf8FromWide(stored.at("Url")), Utf8FromWide(stored.at("LocalPath")), true);
             return written();
         }},
        {"settings page", 2, 6, [&] { pages[0] = page.CreatePage(); ::PropertySheetW(&sheet); return written(); }},
        {"proxy", 1, 2, [&] {
             proxy.SetProxyTexts(stored.at("ProxyServers"), stored.at("ProxyBypass"));
             proxy.DoModal(nullptr);
             return Values{{"ProxyServers", proxy.Servers()}, {"ProxyBypass", proxy.Exceptions()}};
         }},
        {"credentials", 1, 2, [&] {
             const CredentialAnswer answer = AskCredentials(nullptr, {name, password, L"http://host/", L"", false});
             return Values{{"UserName", answer.userName}, {"Password", answer.password}};
         }},
        {"links", 1, 1, [&] { links.DoModal(nullptr); return Values{{"Folder", links.Folder()}}; }}};
    for (const WORD language : {1033, 1049})
        for (const auto& row : rows)
        {
            ResetUiLanguage(language);
            options.values = stored;
            options.values["UseProxy"] = L"-1";  // with custom settings: the proxy dialog opens
            options.writes.clear();
            for (int i = 0; i < row.dialogs; ++i)
                driver.When(L"", [](DialogWindow& d) {
                    d.Click(IDS_CUSTOM_PROXY_SETTINGS);  // nothing where there is none
                    d.Click(IDOK);
                });
            const Values given = row.run();
            EXPECT_EQ(row.values, given.size()) << row.dialog;
            for (const auto& [key, value] : given)
                EXPECT_EQ(stored.at(key), value) << row.dialog << ", language " << language << ", " << key;
        }
}

TEST_F(DialogsTest, OkWithoutAChangeGivesBackWhatEachDialogRead) { OkWithoutAChange(); }

// Russian texts in the dialogs, with the ANSI code page of a Russian system.
using DialogsLocale_ru_RU = DialogsTest;

TEST_F(DialogsLocale_ru_RU, OkWithoutAChangeGivesBackWhatEachDialogRead) { OkWithoutAChange(); }

TEST_F(DialogsLocale_ru_RU, LabelsTitlesAndButtonsComeFromTheRussianTable)
{
    ResetUiLanguage(1049);
    options.values = {{"UseProxy", L"-1"}, {"UseIEProxySettings", L"0"}, {"ProxyBypass", L"www.*.com;h:1"}};
    driver.When(L"Новая закачка - Tolvane Download Manager", [](DialogWindow& d) {
        for (const auto& [id, text] : std::initializer_list<std::pair<int, const wchar_t*>>{
                 {IDC_URL_LABEL, L"Адрес:"}, {IDS_USER_NAME, L"Имя пользователя:"},
                 {IDS_MAX_REDIRECTIONS, L"Макс. перенаправлений:"}, {IDS_FTP_PASSIVE, L"Пассивный режим FTP"},
                 {IDS_USE_PROXY, L"Использовать прокси-сервер"}, {IDS_USE_CUSTOM_PROXY, L"Собственные настройки"},
                 {IDCANCEL, L"Отмена"}, {IDS_HELP, L"&Справка"}})
            EXPECT_EQ(text, d.Text(id)) << "control " << id;
        d.Click(IDS_CUSTOM_PROXY_SETTINGS);
        d.Click(IDCANCEL);
    });
    driver.When(L"Настройки прокси-сервера", [](DialogWindow& d) {
        EXPECT_EQ(L"Адрес прокси-сервера", d.Text(IDS_PROXY_ADDRESS));
        // The exceptions the engine cannot use are named under the list, as the
        // user types too (a multi-line edit announces no WM_SETTEXT: typing
        // replaces the selection).
        EXPECT_EQ(L"Модуль загрузки пропускает: www.*.com; h:1", d.Text(IDC_PROXY_EXCEPTIONS_IGNORED));
        EXPECT_TRUE(d.Visible(IDC_PROXY_EXCEPTIONS_IGNORED));
        ::SendMessageW(d.Item(IDC_PROXY_EXCEPTIONS), EM_SETSEL, 0, -1);
        ::SendMessageW(d.Item(IDC_PROXY_EXCEPTIONS), EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(L"*.a.com;10.*"));
        EXPECT_FALSE(d.Visible(IDC_PROXY_EXCEPTIONS_IGNORED));
        d.Click(IDCANCEL);
    });
    EXPECT_EQ(IDCANCEL, RunDialog("", "", true));
}
