// The download properties dialog, its settings page and the proxy dialog, run
// modally and driven as a user drives them (clicks, typing, focus changes),
// over an option object that records what the dialogs write.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "dialogs/download_properties.h"
#include "engine/download_record.h"
#include "settings/proxy_dialog.h"
#include "settings/settings_store.h"
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
class FakeOptions : public IDownloadOptions
{
public:
    std::map<std::string, std::wstring> values;
    std::vector<std::wstring> writes;
    std::string failing;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        const bool known = iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IDownloadOptions;
        return (*out = known ? this : nullptr), known ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on the test's stack
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
#define PROPERTY(Name, Type, read, written)                                                             \
    STDMETHODIMP get_##Name(Type* v) override { return failing == #Name ? E_FAIL : ((*v = read), S_OK); } \
    STDMETHODIMP put_##Name(Type v) override { return Put(#Name, L## #Name, written); }
#define TEXT_PROPERTY(Name) PROPERTY(Name, BSTR, ::SysAllocString(values[#Name].c_str()), v ? v : L"")
#define NUMBER_PROPERTY(Name, Type) \
    PROPERTY(Name, Type, static_cast<Type>(_wtol(values[#Name].c_str())), std::to_wstring(v))
    TEXT_PROPERTY(Url) NUMBER_PROPERTY(IntegerOption1, long) TEXT_PROPERTY(LocalPath) TEXT_PROPERTY(UserName)
    TEXT_PROPERTY(Password) NUMBER_PROPERTY(UseProxy, VARIANT_BOOL) NUMBER_PROPERTY(UseIEProxySettings, VARIANT_BOOL)
    TEXT_PROPERTY(ProxyUserName) TEXT_PROPERTY(ProxyPassword) TEXT_PROPERTY(ProxyServers)
    NUMBER_PROPERTY(IntegerOption2, long) TEXT_PROPERTY(ProxyBypass) NUMBER_PROPERTY(MaxRedirections, long)
    NUMBER_PROPERTY(FtpPassive, VARIANT_BOOL)

private:
    HRESULT Put(const char* name, const wchar_t* wideName, const std::wstring& value)
    {
        if (failing == name)
            return E_FAIL;
        values[name] = value;
        writes.push_back(wideName + (L"=" + value));
        return S_OK;
    }
};

// Stands in for the downloads panel that opened the dialog: answers its conflict
// queries with the download that uses a URL or a path.
class ConflictWindow
{
public:
    ConflictWindow()
    {
        m_window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ::SetWindowSubclass(m_window, &Proc, 0, reinterpret_cast<DWORD_PTR>(&m_owners));
    }
    ~ConflictWindow() { ::DestroyWindow(m_window); }
    HWND Handle() const { return m_window; }
    void Uses(const std::string& urlOrPath) { m_owners[urlOrPath].url.reset(::SysAllocString(L"http://host/other.zip")); }

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR data)
    {
        if (message != kQueryPathConflict && message != kQueryUrlConflict)
            return ::DefSubclassProc(window, message, wParam, lParam);
        auto& owners = *reinterpret_cast<std::map<std::string, CTolInfoDownload>*>(data);
        const auto owner = owners.find(reinterpret_cast<const char*>(lParam));
        return owner == owners.end() ? 0 : reinterpret_cast<LRESULT>(&owner->second);
    }
    HWND m_window;
    std::map<std::string, CTolInfoDownload> m_owners;
};

class DialogsTest : public testing::Test
{
protected:
    void SetUp() override { ResetUiLanguage(1033); }
    void TearDown() override { EXPECT_EQ(0u, driver.Pending()) << "a dialog did not appear"; }

    INT_PTR RunDialog(const std::string& url, const std::string& path, bool newDownload, HWND conflicts = nullptr)
    {
        CDefDownDlg dialog(CDownloadOptions(com_ptr<IDownloadOptions>(&options)), url, path, 7, conflicts,
                           newDownload);
        return dialog.DoModal(nullptr);
    }
    std::string LastBox() const { return boxes.Boxes().empty() ? "" : boxes.Boxes().back().text; }

    FakeOptions options;
    test::MessageBoxRecorder boxes;
    test::DialogDriver driver;
};

}  // namespace

TEST_F(DialogsTest, RowsTitleAndPathLabelFollowTheDownload)
{
    // pathLabel null: the row is hidden.
    const struct { const char* url; const char* path; bool isNew; const wchar_t* title; bool urlShown;
                   const wchar_t* pathLabel; } cases[] = {
        {"", "", true, kNewTitle, true, nullptr},
        {"http://host/a.zip", "C:\\dl\\a.zip", false, kPropertiesTitle, true, L"File Name:"},
        {"", "C:\\dl\\", false, kPropertiesTitle, false, L"Save to:"},
    };
    for (const auto& c : cases)
    {
        driver.When(c.title, [&](DialogWindow& d) {
            EXPECT_EQ(c.urlShown, d.Visible(IDC_URL_LABEL) && d.Visible(IDC_URL)) << c.path;
            for (const int id : {IDC_PATH_LABEL, IDC_LOCAL_PATH, IDC_BROWSE_PATH})
                EXPECT_EQ(c.pathLabel != nullptr, d.Visible(id)) << c.path << " control " << id;
            EXPECT_EQ(c.pathLabel ? c.pathLabel : L"File Name:", d.Text(IDC_PATH_LABEL));
            d.Click(IDCANCEL);
        });
        EXPECT_EQ(IDCANCEL, RunDialog(c.url, c.path, c.isNew));
    }
    EXPECT_TRUE(options.writes.empty());
}

TEST_F(DialogsTest, RedirectionsAndProxyControlsFollowTheUser)
{
    options.values = {{"UseProxy", L"0"}, {"UseIEProxySettings", L"-1"}};
    driver.When(kNewTitle, [](DialogWindow& d) {
        const std::pair<const wchar_t*, const wchar_t*> typed[] = {
            {L"150", L"99"}, {L"0", L"1"}, {L"ab", L"1"}, {L"", L"1"}, {L"42", L"42"}};
        for (const auto& [text, shown] : typed)
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
    options.values = {{"UserName", L"user"}, {"Password", L"pw"}, {"UseProxy", L"-1"}, {"UseIEProxySettings", L"0"},
                      {"ProxyUserName", L"pu"}, {"ProxyPassword", L"pp"}, {"ProxyServers", L"proxy:8080;"},
                      {"ProxyBypass", L"<local>"}, {"FtpPassive", L"0"}, {"MaxRedirections", L"5"}};
    driver.When(kPropertiesTitle, [](DialogWindow& d) {
        d.SetText(IDC_USER_NAME, L"new");
        d.Click(IDS_FTP_PASSIVE);
        d.Click(IDOK);
    });
    ASSERT_EQ(IDOK, RunDialog(" http://host/a.zip ", "C:\\dl\\a.zip", false));
    const std::vector<std::wstring> expected = {
        L"UserName=new", L"Password=pw", L"UseProxy=-1", L"UseIEProxySettings=0", L"ProxyPassword=pp",
        L"ProxyUserName=pu", L"FtpPassive=-1", L"MaxRedirections=5", L"ProxyServers=proxy:8080;",
        L"ProxyBypass=<local>", L"IntegerOption2=2", L"IntegerOption1=120", L"Url=http://host/a.zip",
        L"LocalPath=C:\\dl\\a.zip"};
    EXPECT_EQ(expected, options.writes);
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

TEST_F(DialogsTest, UrlsThatCannotBeDownloadedOrAreTakenAreRefused)
{
    ConflictWindow panel;
    panel.Uses("http://host/taken.zip");
    const struct { const char* url; const char* message; UINT icon; } cases[] = {
        {"https://host/a.zip", "Incorrect URL or unsupported protocol: https://host/a.zip.\n"
                               "Please, specify a correct URL.", MB_ICONERROR},
        {"http://host/taken.zip", "Cannot set the URL: another download for http://host/other.zip exists.",
         MB_ICONINFORMATION},
    };
    for (const auto& c : cases)
    {
        boxes.Clear();
        driver.When(kNewTitle, [&](DialogWindow& d) {
            d.Click(IDOK);
            EXPECT_EQ(IDC_URL, d.FocusId()) << c.url;
            d.Click(IDCANCEL);
        });
        EXPECT_EQ(IDCANCEL, RunDialog(c.url, "", true, panel.Handle()));
        ASSERT_EQ(1u, boxes.Boxes().size()) << c.url;
        EXPECT_EQ(c.message, LastBox());
        EXPECT_EQ(c.icon, boxes.Boxes()[0].icon);
    }
}

TEST_F(DialogsTest, APathAnotherDownloadUsesIsTakenOnlyWhenTheUserSaysSo)
{
    test::RegistrySandbox registry;
    const std::string folder = "C:\\windows\\temp\\", taken = folder + "a.zip", other = folder + "b.zip";
    ConflictWindow panel;
    for (const std::string& used : {folder, taken, other})  // a folder is never asked about
        panel.Uses(used);
    // No browses for another name, which is asked about again.
    const struct { std::string path; std::vector<int> answers; INT_PTR result; std::string written; } cases[] = {
        {folder, {}, IDOK, folder},
        {taken, {IDYES}, IDOK, taken},
        {taken, {IDCANCEL}, IDCANCEL, ""},
        {taken, {IDNO, IDYES}, IDOK, other},
    };
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
        EXPECT_EQ(c.result, RunDialog("http://host/a.zip", c.path, true, panel.Handle())) << c.path;
        EXPECT_EQ(std::wstring(c.written.begin(), c.written.end()), options.values["LocalPath"]) << c.path;
        EXPECT_EQ(c.answers.size(), boxes.Boxes().size()) << c.path;
        const std::string asked = c.answers.size() > 1 ? other : taken;
        EXPECT_EQ(c.answers.empty() ? "" : "The name " + asked + " is already being used to download the "
                                           "http://host/other.zip.\nDo you really want to use the same file name?",
                  LastBox());
    }
    EXPECT_EQ(folder, GetBrowse());
    EXPECT_EQ(kNewTitle, std::wstring(boxes.Boxes()[0].caption.begin(), boxes.Boxes()[0].caption.end()));
}

TEST_F(DialogsTest, TextsOfAnyLengthFromTheEngineStayWithinTheEdits)
{
    const std::wstring huge(10000, L'x');
    std::wstring servers;
    while (servers.size() < 65536)
        servers += L"http=" + std::wstring(500, L'p') + L":123456789012345;;ftp=;=:";
    options.values = {{"UserName", huge}, {"Password", huge}, {"ProxyUserName", huge}, {"ProxyPassword", huge},
                      {"UseProxy", L"-1"}, {"UseIEProxySettings", L"0"}, {"ProxyServers", servers},
                      {"ProxyBypass", servers}};
    driver.When(kPropertiesTitle, [](DialogWindow& d) {
        const std::pair<int, size_t> limits[] = {
            {IDC_USER_NAME, 100}, {IDC_PASSWORD, 50}, {IDC_PROXY_USER_NAME, 100}, {IDC_PROXY_PASSWORD, 50}};
        for (const auto& [id, limit] : limits)
            EXPECT_EQ(limit, d.Text(id).size()) << "control " << id;
        d.Click(IDS_CUSTOM_PROXY_SETTINGS);
        d.Click(IDOK);
    });
    driver.When(kProxyTitle, [](DialogWindow& d) {
        EXPECT_EQ(255u, d.Text(IDC_HTTP_PROXY_HOST).size());
        d.Click(IDOK);
    });
    ASSERT_EQ(IDOK, RunDialog("", "", false));
    EXPECT_EQ(std::wstring(100, L'x'), options.values["UserName"]);
    EXPECT_EQ(L"http=" + std::wstring(255, L'p') + L":1234567890;", options.values["ProxyServers"]);
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

TEST_F(DialogsTest, ProxyDialogSpreadsAndRebuildsTheTexts)
{
    // The texts the dialog opens with; a check box clicked or a server address typed
    // into the HTTP host (and left); the fields then shown: HTTP and FTP host:port,
    // whether the FTP server is the HTTP one, the exceptions; the texts built.
    const struct { const char* servers; const char* exceptions; int click; const wchar_t* typed;
                   const wchar_t* shown; int button; const char* builtServers; const char* builtExceptions; } cases[] = {
        {"proxy:8080;", "", 0, nullptr, L"proxy:8080 proxy:8080 same ", IDOK, "proxy:8080;", ""},
        {"http=proxy:8080;", "", 0, nullptr, L"proxy:8080 : own ", IDOK, "http=proxy:8080;", ""},
        {"http=web:;ftp=files:;", "", 0, nullptr, L"web: files: own ", IDOK, "http=web:80;ftp=files:21;", ""},
        {"ftp=files:21;", "", IDS_SAME_PROXY_FOR_ALL, nullptr, L": : same ", IDOK, "", ""},
        {"", "intranet", 0, nullptr, L": : same ", IDOK, "", ""},
        {"", "a.com;b.com<local>", 0, nullptr, L": : same a.com;b.com", IDOK, "", "a.com;b.com;<local>"},
        {"", "", 0, L"http://proxy.example.com:3128", L"proxy.example.com:3128 proxy.example.com:3128 same ", IDOK,
         "proxy.example.com:3128;", ""},
        {"old:1;", "x.com;", IDS_SAME_PROXY_FOR_ALL, L"new", L"new:1 old:1 own x.com;", IDCANCEL, "old:1;", "x.com;"},
    };
    for (const auto& c : cases)
    {
        CProxySettingsDlg dialog;
        dialog.SetProxyTexts(c.servers, c.exceptions);
        driver.When(kProxyTitle, [&](DialogWindow& d) {
            d.Click(c.click);
            d.Focus(IDC_HTTP_PROXY_HOST);
            if (c.typed)
                d.SetText(IDC_HTTP_PROXY_HOST, c.typed);
            d.Focus(IDC_PROXY_EXCEPTIONS);
            EXPECT_EQ(c.shown, d.Text(IDC_HTTP_PROXY_HOST) + L":" + d.Text(IDC_HTTP_PROXY_PORT) + L" " +
                                   d.Text(IDC_FTP_PROXY_HOST) + L":" + d.Text(IDC_FTP_PROXY_PORT) +
                                   (d.Enabled(IDC_FTP_PROXY_HOST) ? L" own " : L" same ") +
                                   d.Text(IDC_PROXY_EXCEPTIONS)) << c.servers << " " << c.exceptions;
            d.Click(c.button);
        });
        EXPECT_EQ(c.button, dialog.DoModal(nullptr)) << c.servers;
        EXPECT_EQ(std::string(c.builtServers) + " " + c.builtExceptions, dialog.Servers() + " " + dialog.Exceptions());
    }
}

// Russian texts in the dialogs, with the ANSI code page of a Russian system.
using DialogsLocale_ru_RU = DialogsTest;

TEST_F(DialogsLocale_ru_RU, LabelsTitlesAndButtonsComeFromTheRussianTable)
{
    ResetUiLanguage(1049);
    options.values = {{"UseProxy", L"-1"}, {"UseIEProxySettings", L"0"}};
    driver.When(L"Новая закачка - Tolvane Download Manager", [](DialogWindow& d) {
        const std::pair<int, const wchar_t*> labels[] = {
            {IDC_URL_LABEL, L"Адрес:"}, {IDS_USER_NAME, L"Имя пользователя:"},
            {IDS_MAX_REDIRECTIONS, L"Макс. перенаправлений:"}, {IDS_FTP_PASSIVE, L"Пассивный режим FTP"},
            {IDS_USE_PROXY, L"Использовать прокси-сервер"}, {IDS_USE_CUSTOM_PROXY, L"Собственные настройки"},
            {IDCANCEL, L"Отмена"}, {IDS_HELP, L"&Справка"}};
        for (const auto& [id, text] : labels)
            EXPECT_EQ(text, d.Text(id)) << "control " << id;
        d.Click(IDS_CUSTOM_PROXY_SETTINGS);
        d.Click(IDCANCEL);
    });
    driver.When(kProxyTitle, [](DialogWindow& d) {
        EXPECT_EQ(L"Адрес прокси-сервера", d.Text(IDS_PROXY_ADDRESS));
        d.Click(IDCANCEL);
    });
    EXPECT_EQ(IDCANCEL, RunDialog("", "", true));
}
