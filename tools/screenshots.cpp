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
#include <vector>

#include "bar/band.h"
#include "dialogs/about_dialog.h"
#include "dialogs/credentials_dialog.h"
#include "dialogs/download_properties.h"
#include "dialogs/links_dialog.h"
#include "dialogs/log_dialog.h"
#include "dialogs/proxy_dialog.h"
#include "engine_h.h"
#include "framework/activation_context.h"
#include "module/class_table.h"
#include "module/context_menu.h"
#include "settings/settings_sheet.h"
#include "store/settings_store.h"
#include "support/browser_standin.h"
#include "support/engine_standin.h"
#include "tdm_h.h"
#include "text/language.h"
#include "window_picture.h"

using namespace tdm;
using tdm::tools::SaveWindowPicture;

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

// The links of a page of releases: twenty archives among other files.
std::vector<std::wstring> SampleLinks()
{
    std::vector<std::wstring> links;
    const char* const projects[] = {"tolvane", "netinst", "mirror-tools", "photo-viewer", "archiver"};
    for (const char* project : projects)
        for (const char* version : {"1.0.2", "1.1.0", "2.0.0-beta", "2.4.1"})
        {
            links.push_back(WideFromUtf8(std::string("http://downloads.example.com/releases/") + project + "/" +
                                         project + "-" + version + ".zip"));
            if (version[0] == '2')
                links.push_back(WideFromUtf8(std::string("ftp://ftp.example.org/pub/") + project + "/" + project +
                                             "-" + version + "-manual.pdf"));
        }
    links.push_back(L"http://downloads.example.com/releases/checksums.txt");
    return links;
}

// Once the link dialog is up: filter it down to the archives and turn two of
// them off, as a user picking files would.
void CALLBACK FilterLinks(HWND, UINT, UINT_PTR timer, DWORD)
{
    HWND dialog = FrontDialog();
    if (!dialog)
        return;
    ::KillTimer(nullptr, timer);
    ::SetDlgItemTextW(dialog, IDC_LINKS_FILTER, L".zip");
    ::SendMessageW(dialog, WM_COMMAND, IDS_LINKS_CHECK_SHOWN, 0);
    const HWND list = ::GetDlgItem(dialog, IDC_LINKS_LIST);
    // Tall enough for the twenty rows.
    RECT row{LVIR_BOUNDS}, header{}, client{}, frame{};
    ::SendMessageW(list, LVM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&row));
    ::GetWindowRect(reinterpret_cast<HWND>(::SendMessageW(list, LVM_GETHEADER, 0, 0)), &header);
    ::GetClientRect(list, &client);
    ::GetWindowRect(dialog, &frame);
    const int grow = (header.bottom - header.top) + 20 * (row.bottom - row.top) + 2 - client.bottom;
    ::SetWindowPos(dialog, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top + grow,
                   SWP_NOMOVE | SWP_NOZORDER);
    for (const int row : {2, 5})
    {
        LVITEMW item{};
        item.stateMask = LVIS_SELECTED;
        ::SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&item));
        item.state = LVIS_SELECTED;
        ::SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
        ::SendMessageW(list, WM_KEYDOWN, VK_SPACE, 0);
    }
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
class SampleEngine : public IDownloadEngine2
{
public:
    SampleEngine(SampleOptions& options, WORD language) : m_options(options), m_language(language) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        const bool known = iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IDownloadEngine ||
                           iid == IID_IDownloadEngine2;
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
    STDMETHODIMP AddUrlFromPage(BSTR, BSTR, LONG, VARIANT_BOOL, LONG, BSTR, BSTR, BSTR) override { return E_NOTIMPL; }
    STDMETHODIMP AddDownloadFromPage(IDownloadOptions*, LONG, VARIANT_BOOL, LONG, BSTR, BSTR, BSTR) override
    {
        return E_NOTIMPL;
    }
    STDMETHODIMP GetConnections(LONG* connections) override { return (*connections = 8), S_OK; }
    STDMETHODIMP SetConnections(LONG) override { return S_OK; }

private:
    SampleOptions& m_options;
    WORD m_language;
};

// The pictures of the sheet, one per page in the order of its tabs.
const char* const kSettingsPages[] = {"settings_general_", "settings_interface_", "settings_capture_",
                                      "settings_default_properties_", "settings_logs_"};
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
    SetBrowse(L"C:\\Users\\Public\\Downloads\\");
    SetStart(true);
    SetConfirmFileOpen(true);
    SetNotifications(true);
    SetInformWhenCompleted(true);
    SetCaptureNeverSites(L"^intranet\\.\r\nupdates\\.example\\.com$\r\n[a-z]*\\.local$");
    SetBypassKey(VK_MENU);
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


// --- the explorer bar and the toolbar band in a stand-in browser window --------------

// A section array of `count` equal sections of `size` bytes, the first
// `loaded` bytes of each loaded.
test::Arg Sections(ULONG count, ULONG size, const std::vector<ULONG>& loaded)
{
    SAFEARRAYBOUND bounds[2] = {{count, 0}, {4, 0}};
    VARIANT value{};
    V_VT(&value) = VT_ARRAY | VT_UI4;
    V_ARRAY(&value) = ::SafeArrayCreate(VT_UI4, 2, bounds);
    for (LONG i = 0; i < static_cast<LONG>(count); ++i)
    {
        ULONG fields[4] = {i * (size / count), size / count, 0, loaded[static_cast<size_t>(i)]};
        for (LONG f = 0; f < 4; ++f)
        {
            LONG index[2] = {i, f};
            ::SafeArrayPutElement(V_ARRAY(&value), index, &fields[f]);
        }
    }
    test::Arg arg(value);
    ::VariantClear(&value);
    return arg;
}

// A dozen downloads in every state the bar shows.
void AddSampleDownloads(const test::EngineStandIn& engine)
{
    const VARIANT none{};
    struct Row
    {
        long id;
        const char* name;
        long state, size, loaded, speed, resumable;
        double elapsedSeconds;
    };
    const Row rows[] = {
        {1, "debian-12.5.0-i386-netinst.iso", 2, 659554304, 398458880, 1843200, 1, 216},
        {2, "tolvane-setup-2.4.1.exe", 2, 13002752, 4551000, 512000, 1, 9},
        {3, "отчёт-за-квартал-2024.pdf", 8, 8388608, 5033165, 0, 1, 14},
        {4, "holiday-photos.zip", 4, 104857600, 104857600, 0, 1, 95},
        {5, "broken-link.tar.gz", 20, 0, 0, 0, 0, 3},
        {6, "live-stream-recording.mp4", 2, 0, 1258291, 96000, 0, 13},
        {7, "fonts-collection.7z", 1, 31457280, 0, 0, 1, 0},
        {8, "kernel-source.tar.xz", 18, 141557760, 70778880, 720000, 1, 101},
        {9, "说明文件 readme.txt", 8, 0, 0, 0, 0, 0},
        {10, "music-album.flac.zip", 4, 418381824, 418381824, 0, 1, 320},
        {11, "game-patch-1.0.3.bin", 2, 52428800, 47185920, 2048000, 2, 24},
        {12, "数据库备份-dump.sql.gz", 8, 26214400, 7864320, 0, 0, 40},
    };
    for (const Row& row : rows)
    {
        const std::string url = std::string("http://downloads.example.com/files/") + row.name;
        const test::Arg sections = row.id == 1   ? Sections(4, row.size, {120000000, 98000000, 110000000, 70458880})
                                   : row.id == 8 ? Sections(2, row.size, {50000000, 20778880})
                                                 : test::Arg(none);
        engine.AddListRow({row.id, std::string_view(url), "C:\\Users\\Public\\Downloads\\", row.name, row.state, 3,
                           row.elapsedSeconds / 86400.0, row.size, 0, row.resumable, 0, row.loaded, row.speed * 9 / 10,
                           row.speed, sections});
    }
}

void Pump(DWORD milliseconds)
{
    const DWORD end = ::GetTickCount() + milliseconds;
    while (static_cast<LONG>(end - ::GetTickCount()) > 0)
    {
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            ::DispatchMessageW(&message);
        ::Sleep(10);
    }
}

std::string g_popupShot;  // the picture the next popup menu or box gives
HWND g_popupFrame = nullptr;

// A shown popup menu or message box of this thread: its picture (the browser
// window's area, where it opens), then it is closed.
void CALLBACK OnPopupTimer(HWND, UINT, UINT_PTR, DWORD)
{
    if (g_popupShot.empty())
        return;
    const HWND menu = ::FindWindowW(L"#32768", nullptr);
    const HWND box = FrontDialog();
    if (!(menu && ::IsWindowVisible(menu)) && !box)
        return;
    if (++g_ticks < 6)
        return;
    SaveWindowPicture(g_popupFrame, g_folder + "\\" + g_popupShot + ".bmp");
    g_popupShot.clear();
    g_ticks = 0;
    if (box)
    {
        ::PostMessageW(box, WM_COMMAND, IDNO, 0);
        ::PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
    }
    else
        ::EndMenu();
}

void ShootPopup(const std::string& name, HWND frame, const std::function<void()>& open)
{
    g_popupShot = name;
    g_popupFrame = frame;
    g_ticks = 0;
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 100, &OnPopupTimer);
    open();
    ::KillTimer(nullptr, timer);
    if (!g_popupShot.empty())
        std::printf("no popup appeared for %s\n", name.c_str());
    g_popupShot.clear();
}

// The module's own classes for the stand-in browser's CoCreateInstance.
void RegisterModuleClasses(std::vector<DWORD>& cookies)
{
    for (const CLSID* clsid : {&CLSID_TolBand, &CLSID_TolDownloadToolbar, &CLSID_TolDownloadHelper})
    {
        com_ptr<IUnknown> factory;
        DWORD cookie = 0;
        if (SUCCEEDED(CModule::Instance().GetClassObject(*clsid, IID_IUnknown, factory.put_void())) &&
            SUCCEEDED(::CoRegisterClassObject(*clsid, factory.get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                              &cookie)))
            cookies.push_back(cookie);
    }
}

// The browser's context-menu entries as it lists them: one item per key under
// MenuExt, named as the key, as registration writes them in the interface language.
void ShootContextMenuEntries(const std::string& suffix)
{
    if (FAILED(RegisterContextMenuEntries()))
    {
        std::printf("the context-menu entries were not registered\n");
        return;
    }
    unique_hkey menuExt;
    const unique_hmenu menu(::CreatePopupMenu());
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Internet Explorer\\MenuExt", 0, KEY_READ,
                        menuExt.put()) != ERROR_SUCCESS || !menu)
        return;
    wchar_t name[256];
    for (DWORD index = 0, size = 256; ::RegEnumKeyExW(menuExt.get(), index, name, &size, nullptr, nullptr, nullptr,
                                                      nullptr) == ERROR_SUCCESS; ++index, size = 256)
        ::AppendMenuW(menu.get(), MF_STRING, 100 + index, name);
    const unique_hwnd frame(::CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 20, 20, 560, 140, nullptr,
                                              nullptr, nullptr, nullptr));
    ShootPopup("context_menu_entries_" + suffix, frame.get(), [&] {
        ::SetForegroundWindow(frame.get());
        ::TrackPopupMenu(menu.get(), TPM_LEFTALIGN, 40, 40, 0, frame.get(), nullptr);
    });
    (void)RemoveContextMenuEntries();
}

void ShootBar(const std::string& suffix, WORD language)
{
    std::vector<DWORD> cookies;
    RegisterModuleClasses(cookies);
    test::EngineStandIn engine;
    engine.Answer("GetLanguage", {static_cast<long>(language)});
    AddSampleDownloads(engine);
    test::BrowserWindow window([](IObjectWithSite** helper) {
        return ::CoCreateInstance(CLSID_TolDownloadHelper, nullptr, CLSCTX_INPROC_SERVER, IID_IObjectWithSite,
                                  reinterpret_cast<void**>(helper));
    });
    if (FAILED(window.Open()))
    {
        std::printf("no browser window for the bar\n");
        return;
    }
    const HWND frame = window.Frame();
    ::SetWindowPos(frame, HWND_TOP, 20, 20, 980, 560, SWP_SHOWWINDOW);
    test::StandInBrowser& browser = *window.Browser();
    browser.HostBars(true);
    browser.ShowToolbar(CLSID_TolDownloadToolbar);
    wchar_t clsid[40] = {};
    ::StringFromGUID2(CLSID_TolBand, clsid, 40);
    VARIANT name{}, show{};
    V_VT(&name) = VT_BSTR;
    V_BSTR(&name) = ::SysAllocString(clsid);
    V_VT(&show) = VT_BOOL;
    V_BOOL(&show) = VARIANT_TRUE;
    browser.ShowBrowserBar(&name, &show, nullptr);
    ::VariantClear(&name);
    HWND panel = nullptr;
    if (IDeskBand* band = browser.Bar(CLSID_TolBand))
        band->GetWindow(&panel);
    const HWND list = panel ? ::GetDlgItem(panel, 403) : nullptr;
    if (!list)
    {
        std::printf("no bar for the pictures\n");
        return;
    }
    // Sorted by size, two downloads selected.
    NMLISTVIEW click{};
    click.hdr = {list, 403, static_cast<UINT>(LVN_COLUMNCLICK)};
    click.iSubItem = 2;
    ::SendMessageW(panel, WM_NOTIFY, 403, reinterpret_cast<LPARAM>(&click));
    ListView_SetItemState(list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_SetItemState(list, 3, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_SetItemState(list, 4, LVIS_SELECTED, LVIS_SELECTED);
    ::SetFocus(list);
    Pump(1500);
    SaveWindowPicture(frame, g_folder + "\\bar_" + suffix + ".bmp");

    RECT rows{};
    ListView_GetItemRect(list, 4, &rows, LVIR_BOUNDS);
    POINT at{rows.left + 300, rows.top + 4};
    ::ClientToScreen(list, &at);
    ShootPopup("bar_menu_" + suffix, frame,
               [&] { ::SendMessageW(panel, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(list), MAKELPARAM(at.x, at.y)); });
    // One question of each command that asks: Delete, Delete All, Pause All (a
    // download that cannot resume), Start (a finished download whose file is
    // there).
    ShootPopup("bar_delete_question_" + suffix, frame, [&] { ::SendMessageW(panel, WM_COMMAND, 32788, 0); });
    ShootPopup("bar_delete_all_question_" + suffix, frame, [&] { ::SendMessageW(panel, WM_COMMAND, 32789, 0); });
    ShootPopup("bar_pause_all_question_" + suffix, frame, [&] { ::SendMessageW(panel, WM_COMMAND, 32787, 0); });
    ::CreateDirectoryW(L"C:\\Users\\Public\\Downloads", nullptr);
    if (FILE* file = std::fopen("C:\\Users\\Public\\Downloads\\holiday-photos.zip", "wb"))
        std::fclose(file);
    for (int row = 0; row < ListView_GetItemCount(list); ++row)
    {
        wchar_t text[MAX_PATH] = {};
        ListView_GetItemText(list, row, 1, text, MAX_PATH);
        ListView_SetItemState(list, row, std::wstring(text).find(L"holiday") != std::wstring::npos ? LVIS_SELECTED : 0,
                              LVIS_SELECTED);
    }
    ShootPopup("bar_start_question_" + suffix, frame, [&] { ::SendMessageW(panel, WM_COMMAND, 32783, 0); });

    // The minimised bar shows the toolbar frame; the indicator has its menu.
    ::SendMessageW(panel, WM_COMMAND, 542, 0);
    Pump(1200);
    SaveWindowPicture(frame, g_folder + "\\bar_minimised_" + suffix + ".bmp");
    // Hidden and shown again while minimised: the strip shows every download.
    if (IDeskBand* band = browser.Bar(CLSID_TolBand))
    {
        band->ShowDW(FALSE);
        band->ShowDW(TRUE);
    }
    Pump(1200);
    SaveWindowPicture(frame, g_folder + "\\bar_minimised_reshown_" + suffix + ".bmp");
    ::SendMessageW(panel, WM_COMMAND, 543, 0);
    Pump(1200);
    SaveWindowPicture(frame, g_folder + "\\bar_restored_" + suffix + ".bmp");

    if (IDeskBand* toolbar = browser.ShowToolbar(CLSID_TolDownloadToolbar))
    {
        HWND toolbarFrame = nullptr;
        toolbar->GetWindow(&toolbarFrame);
        HWND indicator = ::FindWindowExW(toolbarFrame, nullptr, L"TolvaneDownloadIndicator", nullptr);
        if (indicator)
        {
            POINT column{4, 10};
            ::SendMessageW(indicator, WM_MOUSEMOVE, 0, MAKELPARAM(column.x, column.y));
            Pump(800);
            SaveWindowPicture(frame, g_folder + "\\toolbar_tip_" + suffix + ".bmp");
            ::SendMessageW(indicator, WM_MOUSELEAVE, 0, 0);
            ::ClientToScreen(indicator, &column);
            ShootPopup("toolbar_menu_" + suffix, frame, [&] {
                ::SendMessageW(indicator, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(indicator),
                               MAKELPARAM(column.x, column.y));
            });
        }
    }
    window.Close();
    for (DWORD cookie : cookies)
        ::CoRevokeClassObject(cookie);
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
        CDefDownDlg dialog(Options(fresh), L"http://downloads.example.com/releases/tolvane-setup-2.4.1.exe",
                           L"C:\\Users\\Public\\Downloads\\", -1, nullptr, true);
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
        // An address and a file named in Cyrillic and Chinese.
        CDefDownDlg dialog(Options(existing), L"http://файлы.example.com/отчёты/季度报告-2024.pdf",
                           L"C:\\Users\\Public\\Загрузки\\Отчёт 季度报告 2024.pdf", 12, nullptr, false);
        dialog.DoModal(nullptr);
    });

    Shoot("proxy_settings_" + suffix, [] {
        CProxySettingsDlg dialog;
        dialog.SetProxyTexts(L"http=proxy.example.com:3128;ftp=ftp-gw.example.com:2121;",
                             L"*.example.com;intranet;192.168.*;<local>;www.*.example.org");
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
    Shoot("download_links_" + suffix, [] {
        ::SetTimer(nullptr, 0, 50, &FilterLinks);
        CLinksDlg dialog(SampleLinks(), L"C:\\Users\\Public\\Downloads\\", true);
        dialog.DoModal(nullptr);
    });
    ShootSettingsSheet(suffix, language);
    ShootBar(suffix, language);
    ShootContextMenuEntries(suffix);
    ::OleUninitialize();
    return 0;
}
