// Opens the client's dialogs filled with realistic downloads, one after the
// other, and saves a picture of each as the screen shows it (a BMP per dialog,
// converted by tools/screenshots.sh). Run under Wine with a real display driver:
//     screenshots.exe <language id> <output folder>
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <map>
#include <string>

#include "dialogs/about_dialog.h"
#include "dialogs/credentials_dialog.h"
#include "dialogs/download_properties.h"
#include "dialogs/log_dialog.h"
#include "engine_h.h"
#include "framework/activation_context.h"
#include "module/class_table.h"
#include "settings/proxy_dialog.h"
#include "settings/settings_sheet.h"
#include "settings/settings_store.h"
#include "text/language.h"

using namespace tdm;

namespace {

// An option object holding the values a dialog shows; writes are kept too.
class SampleOptions : public IDownloadOptions
{
public:
    explicit SampleOptions(std::map<std::string, std::wstring> values) : m_values(std::move(values)) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        const bool known = iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IDownloadOptions;
        *out = known ? this : nullptr;
        return known ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
#define SAMPLE_PROPERTY(Name, Type, read, written)                             \
    STDMETHODIMP get_##Name(Type* v) override { return (*v = read), S_OK; }    \
    STDMETHODIMP put_##Name(Type v) override { return (m_values[#Name] = written), S_OK; }
#define SAMPLE_TEXT(Name) SAMPLE_PROPERTY(Name, BSTR, ::SysAllocString(m_values[#Name].c_str()), v ? v : L"")
#define SAMPLE_NUMBER(Name, Type) \
    SAMPLE_PROPERTY(Name, Type, static_cast<Type>(_wtol(m_values[#Name].c_str())), std::to_wstring(v))
    SAMPLE_TEXT(Url) SAMPLE_NUMBER(IntegerOption1, long) SAMPLE_TEXT(LocalPath) SAMPLE_TEXT(UserName)
    SAMPLE_TEXT(Password) SAMPLE_NUMBER(UseProxy, VARIANT_BOOL) SAMPLE_NUMBER(UseIEProxySettings, VARIANT_BOOL)
    SAMPLE_TEXT(ProxyUserName) SAMPLE_TEXT(ProxyPassword) SAMPLE_TEXT(ProxyServers)
    SAMPLE_NUMBER(IntegerOption2, long) SAMPLE_TEXT(ProxyBypass) SAMPLE_NUMBER(MaxRedirections, long)
    SAMPLE_NUMBER(FtpPassive, VARIANT_BOOL)

private:
    std::map<std::string, std::wstring> m_values;
};

std::string g_folder;
std::string g_shot;  // the name of the picture the next dialog gives
int g_ticks = 0;

// Saves the screen's pixels under the window as a 24-bit BMP.
void SaveWindowPicture(HWND window, const std::string& path)
{
    RECT frame{};
    ::GetWindowRect(window, &frame);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY);
    ::SelectObject(memory, old);

    BITMAPINFOHEADER info{};
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
    std::string pixels(stride * static_cast<DWORD>(height), '\0');
    ::GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
                DIB_RGB_COLORS);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(info);
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    if (FILE* out = std::fopen(path.c_str(), "wb"))
    {
        std::fwrite(&file, sizeof(file), 1, out);
        std::fwrite(&info, sizeof(info), 1, out);
        std::fwrite(pixels.data(), 1, pixels.size(), out);
        std::fclose(out);
        std::printf("saved %s (%dx%d)\n", path.c_str(), width, height);
    }
}

// The enabled dialog of this thread that is shown on top.
HWND FrontDialog()
{
    for (HWND window = ::GetTopWindow(nullptr); window; window = ::GetWindow(window, GW_HWNDNEXT))
    {
        wchar_t name[16] = {};
        ::GetClassNameW(window, name, 16);
        if (::GetWindowThreadProcessId(window, nullptr) == ::GetCurrentThreadId() &&
            std::wstring(name) == L"#32770" && ::IsWindowVisible(window) && ::IsWindowEnabled(window))
            return window;
    }
    return nullptr;
}

// Once the dialog has been shown for a while (painted by the display), takes
// its picture and cancels it.
void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD)
{
    HWND dialog = FrontDialog();
    if (!dialog || g_shot.empty() || ++g_ticks < 8)
        return;
    SaveWindowPicture(dialog, g_folder + "\\" + g_shot + ".bmp");
    g_shot.clear();
    g_ticks = 0;
    ::PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
}

void Shoot(const std::string& name, const std::function<void()>& show)
{
    g_shot = name;
    g_ticks = 0;
    show();
    if (!g_shot.empty())
        std::printf("no dialog appeared for %s\n", name.c_str());
}

CDownloadOptions Options(SampleOptions& sample)
{
    return CDownloadOptions(com_ptr<IDownloadOptions>(&sample));
}

// A download's log as the engine keeps it: dates and times in the user's
// locale, one line per event, the last line without its line break.
std::wstring SampleLog()
{
    const wchar_t* const events[] = {
        L"Download started: http://downloads.example.com/releases/tolvane-setup-2.4.1.exe",
        L"Resolving host downloads.example.com...",
        L"Connecting to 203.0.113.25:80...",
        L"Connected. Sending request...",
        L"HTTP/1.1 200 OK, Content-Length: 13002752",
        L"Section 1: bytes 0-6501375; section 2: bytes 6501376-13002751",
        L"Section 2: connection lost (error 10054), retrying in 5 seconds",
        L"Download completed: 13002752 bytes in 00:00:32"};
    SYSTEMTIME time = {2024, 5, 3, 1, 10, 15, 30, 0};
    std::wstring log;
    for (const wchar_t* event : events)
    {
        wchar_t date[64] = {}, clock[64] = {};
        ::GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &time, nullptr, date, 64);
        ::GetTimeFormatW(LOCALE_USER_DEFAULT, TIME_FORCE24HOURFORMAT | TIME_NOTIMEMARKER, &time, nullptr, clock, 64);
        log += (log.empty() ? L"" : L"\r\n") + std::wstring(date) + L" " + clock + L" " + event;
        time.wSecond = static_cast<WORD>(time.wSecond + 4);
    }
    return log;
}

// --- the settings sheet ------------------------------------------------------------

// An engine holding the engine-wide settings the sheet shows, and the options of
// new downloads. It has no downloads; what the sheet stores is dropped.
class SampleEngine : public IDownloadEngine
{
public:
    SampleEngine(SampleOptions& options, WORD language) : m_options(options), m_language(language) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        const bool known = iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IDownloadEngine;
        *out = known ? this : nullptr;
        return known ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP AddUrl(BSTR, BSTR, LONG, VARIANT_BOOL, LONG, BSTR) override { return E_NOTIMPL; }
    STDMETHODIMP StartDownload(LONG, LONG, BSTR) override { return E_NOTIMPL; }
    STDMETHODIMP PauseDownload(LONG, LONG) override { return E_NOTIMPL; }
    STDMETHODIMP DeleteDownload(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP GetDownloadLog(LONG, BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetOptions(LONG, IDownloadOptions** options) override
    {
        *options = &m_options;
        return S_OK;
    }
    STDMETHODIMP SetOptions(LONG, LONG, IDownloadOptions*) override { return S_OK; }
    STDMETHODIMP GetLogSettings(VARIANT_BOOL* commonLog, LONG* days, VARIANT_BOOL* perDownload) override
    {
        *commonLog = VARIANT_TRUE;
        *days = 30;
        *perDownload = VARIANT_TRUE;
        return S_OK;
    }
    STDMETHODIMP SetLogSettings(VARIANT_BOOL, LONG, VARIANT_BOOL) override { return S_OK; }
    STDMETHODIMP GetLanguage(unsigned short* language) override { return (*language = m_language), S_OK; }
    STDMETHODIMP SetLanguage(unsigned short) override { return S_OK; }
    STDMETHODIMP GetKeepDescriptionFile(VARIANT_BOOL* keep) override { return (*keep = VARIANT_TRUE), S_OK; }
    STDMETHODIMP SetKeepDescriptionFile(VARIANT_BOOL) override { return S_OK; }
    STDMETHODIMP GetTrafficMode(LONG* mode) override { return (*mode = 2), S_OK; }
    STDMETHODIMP SetTrafficMode(LONG) override { return S_OK; }
    STDMETHODIMP AddDownload(IDownloadOptions*, LONG, VARIANT_BOOL, LONG, BSTR) override { return E_NOTIMPL; }
    STDMETHODIMP GetDownloadList(VARIANT*) override { return E_NOTIMPL; }

private:
    SampleOptions& m_options;
    WORD m_language;
};

// The pictures of the sheet, one per page in the order of its tabs.
const char* const kSettingsPages[] = {"settings_general_", "settings_interface_", "settings_default_properties_",
                                      "settings_logs_"};
std::string g_sheetSuffix;
size_t g_sheetPage = 0;
int g_sheetTicks = 0;

// Once the page has been shown for a while, takes its picture and turns to the
// next tab; after the last one cancels the sheet.
void CALLBACK OnSheetTimer(HWND, UINT, UINT_PTR, DWORD)
{
    HWND sheet = FrontDialog();
    if (!sheet || g_sheetPage >= std::size(kSettingsPages) || ++g_sheetTicks < 8)
        return;
    g_sheetTicks = 0;
    SaveWindowPicture(sheet, g_folder + "\\" + kSettingsPages[g_sheetPage] + g_sheetSuffix + ".bmp");
    if (++g_sheetPage < std::size(kSettingsPages))
        PropSheet_SetCurSel(sheet, nullptr, g_sheetPage);
    else
        ::PostMessageW(sheet, WM_COMMAND, IDCANCEL, 0);
}

// The settings command as the bar runs it, over settings a user might have.
void ShootSettingsSheet(const std::string& suffix, WORD language)
{
    SetBrowse("C:\\Users\\Public\\Downloads\\");
    SetStart(true);
    SetConfirmFileOpen(true);
    SetNotifications(true);
    SetInformWhenCompleted(true);
    SampleOptions options({{"MaxRedirections", L"10"}, {"UseIEProxySettings", L"-1"}, {"FtpPassive", L"-1"}});
    SampleEngine engine(options, language);
    g_sheetSuffix = suffix;
    g_sheetPage = 0;
    g_sheetTicks = 0;
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 100, &OnSheetTimer);
    ShowSettings(nullptr, &engine);
    ::KillTimer(nullptr, timer);
    if (g_sheetPage < std::size(kSettingsPages))
        std::printf("the settings sheet closed before %s%s\n", kSettingsPages[g_sheetPage], suffix.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: screenshots <language id> <output folder>\n");
        return 2;
    }
    const WORD language = static_cast<WORD>(std::atoi(argv[1]));
    g_folder = argv[2];
    const std::string suffix = language == 1049 ? "ru" : "en";
    ::OleInitialize(nullptr);
    InitModule(::GetModuleHandleW(nullptr));
    ResetUiLanguage(language);
    ::SetTimer(nullptr, 0, 100, &OnTimer);

    SampleOptions fresh({{"MaxRedirections", L"10"}, {"UseIEProxySettings", L"-1"}, {"FtpPassive", L"-1"}});
    Shoot("new_download_" + suffix, [&] {
        CDefDownDlg dialog(Options(fresh), "http://downloads.example.com/releases/tolvane-setup-2.4.1.exe",
                           "C:\\Users\\Public\\Downloads\\", -1, nullptr, true);
        dialog.DoModal(nullptr);
    });

    SampleOptions existing({{"UserName", L"reader"},
                            {"Password", L"secret"},
                            {"MaxRedirections", L"5"},
                            {"UseProxy", L"-1"},
                            {"UseIEProxySettings", L"0"},
                            {"ProxyUserName", L"office\\reader"},
                            {"ProxyPassword", L"secret"},
                            {"ProxyServers", L"http=proxy.example.com:3128;ftp=ftp-gw.example.com:2121;"}});
    Shoot("properties_" + suffix, [&] {
        CDefDownDlg dialog(Options(existing), "ftp://ftp.example.org/pub/images/debian-12.5.0-i386-netinst.iso",
                           "C:\\Users\\Public\\Downloads\\debian-12.5.0-i386-netinst.iso", 12, nullptr, false);
        dialog.DoModal(nullptr);
    });

    Shoot("proxy_settings_" + suffix, [] {
        CProxySettingsDlg dialog;
        dialog.SetProxyTexts("http=proxy.example.com:3128;ftp=ftp-gw.example.com:2121;",
                             "*.example.com;intranet.example.org;192.168.*;<local>");
        dialog.DoModal(nullptr);
    });

    Shoot("settings_page_" + suffix, [&] {
        CDownloadPropPage page(Options(existing));
        HPROPSHEETPAGE pages[] = {page.CreatePage()};
        const std::wstring caption = LoadUiStringW(IDS_SETTINGS) + L" - " + LoadNeutralStringW(IDS_PRODUCT_NAME);
        PROPSHEETHEADERW sheet{sizeof(sheet), PSH_NOAPPLYNOW | PSH_HASHELP, nullptr, nullptr, {}, caption.c_str(), 1};
        sheet.phpage = pages;
        CActivationScope commonControls6;  // as the settings command shows its sheet
        ::PropertySheetW(&sheet);
    });

    Shoot("credentials_" + suffix, [] {
        AskCredentials(nullptr, {L"reader", L"secret", L"http://downloads.example.com/private/report-2024.pdf",
                                 L"Members area", false});
    });
    Shoot("about_" + suffix, [] { ShowAboutBox(nullptr); });
    Shoot("download_log_" + suffix, [] {
        const std::wstring log = SampleLog();
        ShowDownloadLog(nullptr, log.c_str(), static_cast<UINT>(log.size()));
    });
    ShootSettingsSheet(suffix, language);
    ::OleUninitialize();
    return 0;
}
