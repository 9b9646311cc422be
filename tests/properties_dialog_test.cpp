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
