// The download properties dialog, its settings page and the proxy dialog, run
// modally and driven as a user drives them (clicks, typing, focus changes),
// over an option object that records what the dialogs write.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
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

constexpr char kNewTitle[] = "New Download - Tolvane Download Manager";
constexpr char kPropertiesTitle[] = "Download Properties - Tolvane Download Manager";
constexpr char kProxyTitle[] = "Proxy Settings";

// An engine option object that keeps its values as texts (flags -1/0) and records
// every write, "Property=value", in order. `failing` names a property whose
// reads and writes fail.
class FakeOptions : public IDownloadOptions
{
public:
    std::map<std::string, std::wstring> values;
    std::vector<std::string> writes;
    std::string failing;

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        const bool known = iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IDownloadOptions;
        *out = known ? this : nullptr;
        return known ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on the test's stack
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
#define TEXT_PROPERTY(Name)                                                                        \
    STDMETHODIMP get_##Name(BSTR* v) override                                                      \
    {                                                                                              \
        *v = failing == #Name ? nullptr : ::SysAllocString(values[#Name].c_str());                 \
        return failing == #Name ? E_FAIL : S_OK;                                                   \
    }                                                                                              \
    STDMETHODIMP put_##Name(BSTR v) override { return Put(#Name, v ? v : L""); }
#define NUMBER_PROPERTY(Name, Type)                                                                \
    STDMETHODIMP get_##Name(Type* v) override                                                      \
    {                                                                                              \
        *v = static_cast<Type>(_wtol(values[#Name].c_str()));                                      \
        return failing == #Name ? E_FAIL : S_OK;                                                   \
    }                                                                                              \
    STDMETHODIMP put_##Name(Type v) override { return Put(#Name, std::to_wstring(v)); }
    TEXT_PROPERTY(Url)
    NUMBER_PROPERTY(IntegerOption1, long)
    TEXT_PROPERTY(LocalPath)
    TEXT_PROPERTY(UserName)
    TEXT_PROPERTY(Password)
    NUMBER_PROPERTY(UseProxy, VARIANT_BOOL)
    NUMBER_PROPERTY(UseIEProxySettings, VARIANT_BOOL)
    TEXT_PROPERTY(ProxyUserName)
    TEXT_PROPERTY(ProxyPassword)
    TEXT_PROPERTY(ProxyServers)
    NUMBER_PROPERTY(IntegerOption2, long)
    TEXT_PROPERTY(ProxyBypass)
    NUMBER_PROPERTY(MaxRedirections, long)
    NUMBER_PROPERTY(FtpPassive, VARIANT_BOOL)

private:
    HRESULT Put(const char* name, const std::wstring& value)
    {
        if (failing == name)
            return E_FAIL;
        values[name] = value;
        writes.push_back(std::string(name) + "=" + std::string(value.begin(), value.end()));
        return S_OK;
    }
};

// Stands in for the downloads panel that opened the dialog: answers its conflict
// queries with the download using a URL or a path, and records them.
class ConflictWindow
{
public:
    ConflictWindow()
    {
        m_window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ::SetWindowSubclass(m_window, &Proc, 0, reinterpret_cast<DWORD_PTR>(this));
    }
    ~ConflictWindow() { ::DestroyWindow(m_window); }
    HWND Handle() const { return m_window; }
    void Uses(const std::string& urlOrPath, const wchar_t* url)
    {
        m_owners[urlOrPath] = std::make_unique<CTolInfoDownload>();
        m_owners[urlOrPath]->url.reset(::SysAllocString(url));
    }
    std::vector<std::string> queries;  // "9 <id> <url>", "8 <id> <path>"

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR data)
    {
        if (message != kQueryPathConflict && message != kQueryUrlConflict)
            return ::DefSubclassProc(window, message, wParam, lParam);
        auto* self = reinterpret_cast<ConflictWindow*>(data);
        const std::string text = reinterpret_cast<const char*>(lParam);
        self->queries.push_back(std::to_string(message - WM_USER) + " " + std::to_string(wParam) + " " + text);
        const auto owner = self->m_owners.find(text);
        return owner == self->m_owners.end() ? 0 : reinterpret_cast<LRESULT>(owner->second.get());
    }
    HWND m_window;
    std::map<std::string, std::unique_ptr<CTolInfoDownload>> m_owners;
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
    void Set(std::map<std::string, std::wstring> values) { options.values = std::move(values); }
    std::string LastBoxText() const { return boxes.Boxes().empty() ? "" : boxes.Boxes().back().text; }

    FakeOptions options;
    test::MessageBoxRecorder boxes;
    test::DialogDriver driver;
};

}  // namespace

TEST_F(DialogsTest, RowsTitleAndPathLabelFollowTheDownload)
{
    const struct
    {
        const char* url;
        const char* path;
        bool isNew;
        const char* title;
        bool urlShown;
        const char* pathLabel;  // null: the row is hidden
    } cases[] = {
        {"", "", true, kNewTitle, true, nullptr},
        {"http://host/a.zip", "C:\\dl\\a.zip", false, kPropertiesTitle, true, "File Name:"},
        {"", "C:\\dl\\", false, kPropertiesTitle, false, "Save to:"},
    };
    for (const auto& c : cases)
    {
        driver.When(c.title, [&](DialogWindow& d) {
            EXPECT_EQ(c.title, d.Title());
            EXPECT_EQ(c.urlShown, d.Visible(IDC_URL_LABEL) && d.Visible(IDC_URL)) << c.path;
            EXPECT_EQ(c.url, d.Text(IDC_URL));
            for (const int id : {IDC_PATH_LABEL, IDC_LOCAL_PATH, IDC_BROWSE_PATH})
                EXPECT_EQ(c.pathLabel != nullptr, d.Visible(id)) << c.path << " control " << id;
            EXPECT_EQ(c.pathLabel ? c.pathLabel : "File Name:", d.Text(IDC_PATH_LABEL));
            d.Click(IDCANCEL);
        });
        EXPECT_EQ(IDCANCEL, RunDialog(c.url, c.path, c.isNew));
    }
    EXPECT_TRUE(options.writes.empty());
}

TEST_F(DialogsTest, MaxRedirectionsArePulledIntoRangeWhenLeft)
{
    driver.When(kNewTitle, [](DialogWindow& d) {
        const std::pair<const char*, const char*> typed[] = {{"150", "99"}, {"0", "1"}, {"ab", "1"}, {"", "1"},
                                                             {"42", "42"}};
        for (const auto& [text, shown] : typed)
        {
            d.Focus(IDC_MAX_REDIRECTIONS);
            d.SetText(IDC_MAX_REDIRECTIONS, text);
            d.Focus(IDC_USER_NAME);
            EXPECT_EQ(shown, d.Text(IDC_MAX_REDIRECTIONS)) << "typed \"" << text << "\"";
        }
        d.Click(IDCANCEL);
    });
    RunDialog("", "", true);
}

TEST_F(DialogsTest, ProxyControlsFollowTheProxyChecks)
{
    Set({{"UseProxy", L"0"}, {"UseIEProxySettings", L"-1"}});
    driver.When(kNewTitle, [](DialogWindow& d) {
        const struct
        {
            int click;  // 0: as opened
            bool proxyFields, customSettings;
        } steps[] = {{0, false, false},
                     {IDS_USE_PROXY, true, false},
                     {IDS_USE_CUSTOM_PROXY, true, true},
                     {IDS_USE_IE_PROXY, true, false},
                     {IDS_USE_CUSTOM_PROXY, true, true},
                     {IDS_USE_PROXY, false, false}};
        for (const auto& step : steps)
        {
            if (step.click)
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
    Set({{"UserName", L"user"}, {"Password", L"pw"}, {"UseProxy", L"-1"}, {"UseIEProxySettings", L"0"},
         {"ProxyUserName", L"pu"}, {"ProxyPassword", L"pp"}, {"ProxyServers", L"proxy:8080;"},
         {"ProxyBypass", L"<local>"}, {"FtpPassive", L"0"}, {"MaxRedirections", L"5"}});
    driver.When(kPropertiesTitle, [](DialogWindow& d) {
        EXPECT_EQ("user", d.Text(IDC_USER_NAME));
        EXPECT_EQ("5", d.Text(IDC_MAX_REDIRECTIONS));
        EXPECT_TRUE(d.Checked(IDS_USE_PROXY) && d.Checked(IDS_USE_CUSTOM_PROXY) && !d.Checked(IDS_USE_IE_PROXY));
        d.SetText(IDC_USER_NAME, "new");
        d.Click(IDS_FTP_PASSIVE);
        d.Click(IDOK);
    });
    ASSERT_EQ(IDOK, RunDialog(" http://host/a.zip ", "C:\\dl\\a.zip", false));
    const std::vector<std::string> expected = {
        "UserName=new",       "Password=pw",          "UseProxy=-1",     "UseIEProxySettings=0",
        "ProxyPassword=pp",   "ProxyUserName=pu",     "FtpPassive=-1",   "MaxRedirections=5",
        "ProxyServers=proxy:8080;", "ProxyBypass=<local>", "IntegerOption2=2", "IntegerOption1=120",
        "Url=http://host/a.zip",    "LocalPath=C:\\dl\\a.zip"};
    EXPECT_EQ(expected, options.writes);
}

TEST_F(DialogsTest, CustomProxyWithoutServersAsksForThemFirst)
{
    Set({{"UseProxy", L"-1"}, {"UseIEProxySettings", L"0"}, {"MaxRedirections", L"10"}});
    driver.When(kNewTitle, [&](DialogWindow& d) {
        d.SetText(IDC_URL, "http://host/a.zip");
        d.Click(IDOK);
        EXPECT_EQ("You should set custom options to use proxy server.", LastBoxText());
        EXPECT_EQ(IDS_CUSTOM_PROXY_SETTINGS, d.FocusId());
        EXPECT_TRUE(options.writes.empty());
        d.Click(IDOK);
    });
    driver.When(kProxyTitle, [](DialogWindow& d) {
        d.SetText(IDC_HTTP_PROXY_HOST, "proxy");
        d.SetText(IDC_HTTP_PROXY_PORT, "3128");
        d.Click(IDOK);
    });
    ASSERT_EQ(IDOK, RunDialog("", "", true));
    EXPECT_EQ(static_cast<UINT>(MB_ICONINFORMATION), boxes.Boxes().at(0).icon);
    EXPECT_EQ(L"proxy:3128;", options.values["ProxyServers"]);
}

TEST_F(DialogsTest, UrlsThatCannotBeDownloadedOrAreTakenAreRefused)
{
    ConflictWindow panel;
    panel.Uses("http://host/taken.zip", L"http://host/taken.zip");
    const struct
    {
        const char* url;
        const char* message;
        UINT icon;
    } cases[] = {
        {"https://host/a.zip", "Incorrect URL or unsupported protocol: https://host/a.zip.\nPlease, specify a correct URL.",
         MB_ICONERROR},
        {"http://host/taken.zip", "Cannot set the URL: another download for http://host/taken.zip exists.",
         MB_ICONINFORMATION},
    };
    for (const auto& c : cases)
    {
        boxes.Clear();
        driver.When(kNewTitle, [&](DialogWindow& d) {
            d.Click(IDOK);
            EXPECT_EQ(c.message, LastBoxText());
            EXPECT_EQ(IDC_URL, d.FocusId()) << c.url;
            d.Click(IDCANCEL);
        });
        EXPECT_EQ(IDCANCEL, RunDialog(c.url, "", true, panel.Handle()));
        ASSERT_EQ(1u, boxes.Boxes().size()) << c.url;
        EXPECT_EQ(c.icon, boxes.Boxes()[0].icon);
    }
    EXPECT_EQ(std::vector<std::string>{"9 7 http://host/taken.zip"}, panel.queries);
}

TEST_F(DialogsTest, APathAnotherDownloadUsesIsTakenOnlyWhenTheUserSaysSo)
{
    test::RegistrySandbox registry;
    char temp[MAX_PATH] = {};
    ::GetTempPathA(MAX_PATH, temp);
    const std::string folder = temp, taken = folder + "a.zip", free = folder + "b.zip";
    ConflictWindow panel;
    panel.Uses(taken, L"http://host/other.zip");
    panel.Uses(folder, L"http://host/other.zip");  // a folder is never asked about
    const struct
    {
        const char* what;
        std::string path;
        std::vector<int> answers;
        INT_PTR result;
        std::string written;
    } cases[] = {
        {"folder", folder, {}, IDOK, folder},
        {"yes", taken, {IDYES}, IDOK, taken},
        {"cancel", taken, {IDCANCEL}, IDCANCEL, ""},
        {"no, then another name", taken, {IDNO}, IDOK, free},
    };
    for (const auto& c : cases)
    {
        options.values.erase("LocalPath");
        boxes.Clear();
        panel.queries.clear();
        for (const int answer : c.answers)
            boxes.AnswerNext(answer);
        driver.When(kNewTitle, [&](DialogWindow& d) {
            d.Click(IDOK);
            if (c.result == IDCANCEL)
                d.Click(IDCANCEL);
        });
        if (c.answers == std::vector<int>{IDNO})
            driver.When("Save http://host/a.zip As", [&](DialogWindow& d) {
                d.SetText(0x47C, free);  // the file name box
                d.Click(IDOK);
            });
        EXPECT_EQ(c.result, RunDialog("http://host/a.zip", c.path, true, panel.Handle())) << c.what;
        EXPECT_EQ(std::wstring(c.written.begin(), c.written.end()), options.values["LocalPath"]) << c.what;
        EXPECT_EQ(c.answers.size(), boxes.Boxes().size()) << c.what;
        for (const auto& box : boxes.Boxes())
        {
            EXPECT_EQ("The name " + taken + " is already being used to download the http://host/other.zip.\n"
                      "Do you really want to use the same file name?", box.text);
            EXPECT_EQ(kNewTitle, box.caption);
        }
        const size_t pathQueries = c.path == folder ? 0 : c.written == free ? 2 : 1;
        EXPECT_EQ(pathQueries + 1, panel.queries.size()) << c.what;  // and the URL query
    }
    EXPECT_EQ(folder, GetBrowse());
}

TEST_F(DialogsTest, TextsOfAnyLengthFromTheEngineStayWithinTheEdits)
{
    const std::wstring huge(10000, L'x');
    std::wstring servers;
    while (servers.size() < 65536)
        servers += L"http=" + std::wstring(500, L'p') + L":123456789012345;;ftp=;=:";
    Set({{"UserName", huge}, {"Password", huge}, {"ProxyUserName", huge}, {"ProxyPassword", huge},
         {"UseProxy", L"-1"}, {"UseIEProxySettings", L"0"}, {"ProxyServers", servers}, {"ProxyBypass", servers}});
    driver.When(kPropertiesTitle, [](DialogWindow& d) {
        const std::pair<int, size_t> limits[] = {
            {IDC_USER_NAME, 100}, {IDC_PASSWORD, 50}, {IDC_PROXY_USER_NAME, 100}, {IDC_PROXY_PASSWORD, 50}};
        for (const auto& [id, limit] : limits)
            EXPECT_EQ(limit, d.Text(id).size()) << "control " << id;
        d.Click(IDS_CUSTOM_PROXY_SETTINGS);
        d.Click(IDOK);
    });
    driver.When(kProxyTitle, [](DialogWindow& d) {
        for (const int id : {IDC_HTTP_PROXY_HOST, IDC_FTP_PROXY_HOST})
            EXPECT_GE(255u, d.Text(id).size()) << "control " << id;
        for (const int id : {IDC_HTTP_PROXY_PORT, IDC_FTP_PROXY_PORT})
            EXPECT_GE(10u, d.Text(id).size()) << "control " << id;
        d.Click(IDOK);
    });
    ASSERT_EQ(IDOK, RunDialog("", "", false));
    EXPECT_EQ(std::wstring(100, L'x'), options.values["UserName"]);
    EXPECT_GT(300u, options.values["ProxyServers"].size());
}

TEST_F(DialogsTest, AnOptionObjectThatFailsIsReportedAndNothingCloses)
{
    options.failing = "IntegerOption1";  // written last, never read
    driver.When(kNewTitle, [&](DialogWindow& d) {
        d.SetText(IDC_URL, "http://host/a.zip");
        d.Click(IDOK);
        EXPECT_EQ(ComErrorText(E_FAIL), LastBoxText());
        EXPECT_TRUE(::IsWindowVisible(d.Handle()));
        d.Click(IDCANCEL);
    });
    EXPECT_EQ(IDCANCEL, RunDialog("", "", true));

    options.failing = "UserName";  // read when the dialog opens
    boxes.Clear();
    EXPECT_EQ(IDCANCEL, RunDialog("", "", true));
    EXPECT_EQ(ComErrorText(E_FAIL), LastBoxText());
}

TEST_F(DialogsTest, ThePageKeepsFieldsThatRefuseAndWritesWhenApplied)
{
    CDownloadPropPage page{CDownloadOptions(com_ptr<IDownloadOptions>(&options))};
    HPROPSHEETPAGE pages[] = {page.CreatePage()};
    PROPSHEETHEADERW sheet{};
    sheet.dwSize = sizeof(sheet);
    sheet.dwFlags = PSH_NOAPPLYNOW;
    sheet.pszCaption = L"Settings";
    sheet.nPages = 1;
    sheet.phpage = pages;
    driver.When("Settings", [&](DialogWindow& d) {
        EXPECT_FALSE(d.Visible(IDC_URL));
        d.SetText(IDC_MAX_REDIRECTIONS, "");
        d.Click(IDOK);
        EXPECT_NE(nullptr, PropSheet_GetCurrentPageHwnd(d.Handle())) << "the sheet closed";
        EXPECT_EQ(IDC_MAX_REDIRECTIONS, d.FocusId());
        d.SetText(IDC_MAX_REDIRECTIONS, "7");
        d.Click(IDOK);
    });
    ::PropertySheetW(&sheet);
    ASSERT_FALSE(options.writes.empty());
    EXPECT_EQ(L"7", options.values["MaxRedirections"]);
    EXPECT_EQ("IntegerOption1=120", options.writes.back());
}

TEST_F(DialogsTest, ProxyDialogSpreadsAndRebuildsTheTexts)
{
    using Act = void (*)(DialogWindow&);
    const struct
    {
        const char* what;
        const char* servers;
        const char* exceptions;
        Act act;
        int button;
        const char* builtServers;
        const char* builtExceptions;
    } cases[] = {
        {"one proxy for all", "proxy:8080;", "", [](DialogWindow& d) {
             EXPECT_EQ("proxy", d.Text(IDC_FTP_PROXY_HOST));
             EXPECT_EQ("8080", d.Text(IDC_FTP_PROXY_PORT));
             EXPECT_TRUE(d.Checked(IDS_SAME_PROXY_FOR_ALL));
             EXPECT_FALSE(d.Enabled(IDC_FTP_PROXY_HOST));
         }, IDOK, "proxy:8080;", ""},
        {"HTTP only", "http=proxy:8080;", "", [](DialogWindow& d) {
             EXPECT_EQ("", d.Text(IDC_FTP_PROXY_HOST));
             EXPECT_FALSE(d.Checked(IDS_SAME_PROXY_FOR_ALL));
             EXPECT_TRUE(d.Enabled(IDC_FTP_PROXY_HOST));
         }, IDOK, "http=proxy:8080;", ""},
        {"default ports", "http=web:;ftp=files:;", "", [](DialogWindow&) {}, IDOK, "http=web:80;ftp=files:21;", ""},
        {"same for all without HTTP", "ftp=files:21;", "", [](DialogWindow& d) { d.Click(IDS_SAME_PROXY_FOR_ALL); },
         IDOK, "", ""},
        {"a name without a dot", "", "intranet", [](DialogWindow& d) {
             EXPECT_EQ("", d.Text(IDC_PROXY_EXCEPTIONS));
             EXPECT_FALSE(d.Checked(IDS_BYPASS_LOCAL));
         }, IDOK, "", ""},
        {"list and local addresses", "", "", [](DialogWindow& d) {
             d.SetText(IDC_PROXY_EXCEPTIONS, "a.com;b.com");
             d.Click(IDS_BYPASS_LOCAL);
         }, IDOK, "", "a.com;b.com;<local>"},
        {"a typed proxy URL", "", "", [](DialogWindow& d) {
             d.Focus(IDC_HTTP_PROXY_HOST);
             d.SetText(IDC_HTTP_PROXY_HOST, "http://proxy.example.com:3128");
             d.Focus(IDC_PROXY_EXCEPTIONS);
             EXPECT_EQ("proxy.example.com", d.Text(IDC_HTTP_PROXY_HOST));
             EXPECT_EQ("3128", d.Text(IDC_HTTP_PROXY_PORT));
             EXPECT_EQ("proxy.example.com", d.Text(IDC_FTP_PROXY_HOST));
         }, IDOK, "proxy.example.com:3128;", ""},
        {"cancel", "old:1;", "x.com;", [](DialogWindow& d) { d.SetText(IDC_HTTP_PROXY_HOST, "new"); }, IDCANCEL,
         "old:1;", "x.com;"},
    };
    for (const auto& c : cases)
    {
        CProxySettingsDlg dialog;
        dialog.SetProxyTexts(c.servers, c.exceptions);
        driver.When(kProxyTitle, [&](DialogWindow& d) {
            c.act(d);
            d.Click(c.button);
        });
        EXPECT_EQ(c.button, dialog.DoModal(nullptr)) << c.what;
        EXPECT_EQ(c.builtServers, dialog.Servers()) << c.what;
        EXPECT_EQ(c.builtExceptions, dialog.Exceptions()) << c.what;
    }
}

// Russian texts in the dialogs, with the ANSI code page of a Russian system.
using DialogsLocale_ru_RU = DialogsTest;

TEST_F(DialogsLocale_ru_RU, LabelsTitlesAndButtonsComeFromTheRussianTable)
{
    ResetUiLanguage(1049);
    Set({{"UseProxy", L"-1"}, {"UseIEProxySettings", L"0"}});
    driver.When(u8"Новая закачка - Tolvane Download Manager", [](DialogWindow& d) {
        const std::pair<int, const char*> labels[] = {
            {IDC_URL_LABEL, u8"Адрес:"}, {IDS_USER_NAME, u8"Имя пользователя:"},
            {IDS_MAX_REDIRECTIONS, u8"Макс. перенаправлений:"}, {IDS_FTP_PASSIVE, u8"Пассивный режим FTP"},
            {IDS_USE_PROXY, u8"Использовать прокси-сервер"}, {IDS_USE_CUSTOM_PROXY, u8"Собственные настройки"},
            {IDCANCEL, u8"Отмена"}, {IDS_HELP, u8"&Справка"}};
        for (const auto& [id, text] : labels)
            EXPECT_EQ(text, d.Text(id)) << "control " << id;
        d.Click(IDS_CUSTOM_PROXY_SETTINGS);
        d.Click(IDCANCEL);
    });
    driver.When(kProxyTitle, [](DialogWindow& d) {
        EXPECT_EQ(u8"Адрес прокси-сервера", d.Text(IDS_PROXY_ADDRESS));
        EXPECT_EQ(u8"Один прокси-сервер для всех протоколов", d.Text(IDS_SAME_PROXY_FOR_ALL));
        d.Click(IDCANCEL);
    });
    EXPECT_EQ(IDCANCEL, RunDialog("", "", true));
}
