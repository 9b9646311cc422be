#include "settings/settings_sheet.h"

#include <commctrl.h>
#include <prsht.h>
#include <shlwapi.h>
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <utility>
#include <vector>

#include "browser/capture_rules.h"
#include "browser/download_creation.h"
#include "dialogs/dialog_controls.h"
#include "dialogs/download_properties.h"
#include "engine/engine_contract.h"
#include "framework/activation_context.h"
#include "framework/lock.h"
#include "framework/module.h"
#include "framework/unique_any.h"
#include "store/settings_store.h"
#include "text/language.h"
#include "text/message_box.h"

namespace tdm {

namespace {

// Every page: its tab title, a Help button, made together with the sheet where
// the common controls do so. The pages hold their settings from construction,
// so a page never shown stores what it was given.
constexpr DWORD kPageFlags = PSP_USETITLE | PSP_HASHELP | PSP_PREMATURE;
constexpr DWORD kSheetFlags = PSH_PROPSHEETPAGE | PSH_NOAPPLYNOW | PSH_USEICONID | PSH_USECALLBACK;
constexpr WORD kSheetIcon = 244;

constexpr size_t kFolderLimit = 260;
constexpr long kMinDays = 1;
constexpr long kMaxDays = 999;
constexpr WORD kEnglish = 1033;
constexpr WORD kRussian = 1049;
// The place of the Capture page among the sheet's tabs.
constexpr int kCapturePageIndex = 2;
// The browser takes its downloads from a download manager from version 6 on.
constexpr DWORD kFirstBrowserToCatch = 6;

class CSettingsSheet;

// The settings sheet of the process. The browser's windows run on threads of
// their own, and all of them share one sheet: a settings command while it is
// open only brings its owner forward.
struct SheetRecord
{
    srw_lock lock;
    bool open = false;
    HWND owner = nullptr;  // may be null: a browser without a window
    // The sheet's subclass, waiting for the sheet's window to exist.
    CSettingsSheet* pending = nullptr;
};
SheetRecord g_sheet;

// The calling command's hold on the process's sheet, released when it ends.
class CSheetClaim
{
public:
    explicit CSheetClaim(HWND owner) noexcept
    {
        std::lock_guard<srw_lock> guard(g_sheet.lock);
        if (g_sheet.open)
        {
            m_openOwner = g_sheet.owner;
            return;
        }
        g_sheet.open = m_claimed = true;
        g_sheet.owner = owner;
    }
    CSheetClaim(const CSheetClaim&) = delete;
    CSheetClaim& operator=(const CSheetClaim&) = delete;
    ~CSheetClaim()
    {
        if (!m_claimed)
            return;
        std::lock_guard<srw_lock> guard(g_sheet.lock);
        g_sheet.open = false;
        g_sheet.owner = nullptr;
        g_sheet.pending = nullptr;
    }

    bool Claimed() const noexcept { return m_claimed; }
    // The owner of the sheet another command holds open.
    HWND OpenOwner() const noexcept { return m_openOwner; }

private:
    bool m_claimed = false;
    HWND m_openOwner = nullptr;
};

void BringForward(HWND owner) noexcept
{
    if (!owner || !::IsWindow(owner))
        return;
    if (::IsIconic(owner))
        ::ShowWindow(owner, SW_RESTORE);
    else if (::GetForegroundWindow() != owner)
        ::SetForegroundWindow(owner);
}

bool Checked(HWND dialog, int id) noexcept { return ::IsDlgButtonChecked(dialog, id) == BST_CHECKED; }
void Check(HWND dialog, int id, bool checked) noexcept
{
    ::CheckDlgButton(dialog, id, checked ? BST_CHECKED : BST_UNCHECKED);
}
void Enable(HWND dialog, std::initializer_list<int> ids, bool enabled) noexcept
{
    for (const int id : ids)
        ::EnableWindow(::GetDlgItem(dialog, id), enabled);
}

// A drop-down list of strings with their item data; the item whose data is
// `selected` is selected.
void FillChoices(HWND dialog, int id, std::initializer_list<std::pair<UINT, LPARAM>> items, LPARAM selected)
{
    HWND list = ::GetDlgItem(dialog, id);
    for (const auto& [text, data] : items)
    {
        const LRESULT index = ::SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(LoadUiStringW(text).c_str()));
        if (index < 0)
            continue;
        ::SendMessageW(list, CB_SETITEMDATA, static_cast<WPARAM>(index), data);
        if (data == selected)
            ::SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }
}

// Major version of the browser's Shdocvw.dll; 0 without the library or its
// DllGetVersion.
DWORD BrowserLibraryVersion() noexcept
{
    const unique_hmodule library(::LoadLibraryW(L"shdocvw.dll"));
    if (!library)
        return 0;
    const auto getVersion = reinterpret_cast<DLLGETVERSIONPROC>(::GetProcAddress(library.get(), "DllGetVersion"));
    DLLVERSIONINFO info{};
    info.cbSize = sizeof(info);
    if (!getVersion || FAILED(getVersion(&info)))
        return 0;
    return info.dwMajorVersion;
}

// The sheet's template before the sheet is made from it: without the
// context-help style its title bar has no "?" button. An extended template
// begins with its version and the signature 0xFFFF and holds the style after the
// help id and the extended style; a plain one begins with the style.
void RemoveContextHelpStyle(void* dialogTemplate) noexcept
{
    auto* bytes = static_cast<BYTE*>(dialogTemplate);
    WORD signature = 0;
    std::memcpy(&signature, bytes + sizeof(WORD), sizeof(signature));
    BYTE* at = bytes + (signature == 0xFFFF ? 3 * sizeof(DWORD) : 0);
    DWORD style = 0;
    std::memcpy(&style, at, sizeof(style));
    style &= ~static_cast<DWORD>(DS_CONTEXTHELP);
    std::memcpy(at, &style, sizeof(style));
}

// Centred in the work area, keeping its size and place in the z-order.
void CenterInWorkArea(HWND window) noexcept
{
    RECT area{};
    RECT frame{};
    if (!::SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0) || !::GetWindowRect(window, &frame))
        return;
    const LONG left = area.left + (area.right - area.left) / 2 - (frame.right - frame.left) / 2;
    const LONG top = area.top + (area.bottom - area.top) / 2 - (frame.bottom - frame.top) / 2;
    ::SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The sheet's own window, taken over once it exists: its buttons' texts and its
// place when first shown, the help of the sheet as a whole, and the General
// page's folder check before the sheet takes an OK.
class CSettingsSheet final : public CWindowImplT<CSettingsSheet>
{
public:
    explicit CSettingsSheet(CSettingsDialog& general) noexcept : m_general(general) {}
    ~CSettingsSheet() = default;

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_SHOWWINDOW, OnShowWindow)
        TDM_ON_MESSAGE(WM_HELP, OnHelp)
        TDM_ON_COMMAND(IDOK, OnOk)
        TDM_ON_COMMAND(kHelpButtonId, OnHelpButton)
    TDM_END_MESSAGE_MAP()

private:
    LRESULT OnShowWindow(UINT, WPARAM shown, LPARAM, bool& handled)
    {
        handled = false;
        if (!shown || m_shown)
            return 0;
        m_shown = true;
        SetLabelsFromStrings(m_window, {IDCANCEL, IDS_HELP});
        CenterInWorkArea(m_window);
        return 0;
    }
    LRESULT OnHelp(UINT, WPARAM, LPARAM, bool&)
    {
        ShowHelpOrComplain(m_window, kSettingsSheetHelpTopic);
        return TRUE;
    }
    LRESULT OnHelpButton(WORD, WORD, HWND, bool&)
    {
        ShowHelpOrComplain(m_window, kSettingsSheetHelpTopic);
        return 0;
    }
    // A refused check drops the OK; otherwise the sheet goes on with it.
    LRESULT OnOk(WORD, WORD, HWND, bool& handled)
    {
        handled = !m_general.CheckFolder();
        return 0;
    }

    CSettingsDialog& m_general;
    bool m_shown = false;
};

int CALLBACK SheetCallback(HWND sheet, UINT message, LPARAM data)
{
    if (message == PSCB_PRECREATE && data)
    {
        RemoveContextHelpStyle(reinterpret_cast<void*>(data));
    }
    else if (message == PSCB_INITIALIZED)
    {
        CSettingsSheet* window = nullptr;
        {
            std::lock_guard<srw_lock> guard(g_sheet.lock);
            window = std::exchange(g_sheet.pending, nullptr);
        }
        if (window && !window->Subclass(sheet))
            TraceToDebugger(__FILE__, __LINE__, "the settings sheet could not be subclassed");
    }
    return 0;
}

// Shows the sheet modally over `owner`; true when it ended with OK.
bool RunSheet(HWND owner, CSettingsDialog& general, CInterfaceSettingsDlg& interfacePage,
              CCaptureSettingsDlg& capture, CDownloadPropPage& properties, CSettingsLogDlg& logs)
{
    const std::wstring generalTitle = LoadUiStringW(IDS_PAGE_GENERAL);
    const std::wstring interfaceTitle = LoadUiStringW(IDS_PAGE_INTERFACE);
    const std::wstring captureTitle = LoadUiStringW(IDS_PAGE_CAPTURE);
    const std::wstring logsTitle = LoadUiStringW(IDS_PAGE_LOGS);
    PROPSHEETPAGEW pages[] = {general.PropertyPage(kPageFlags), interfacePage.PropertyPage(kPageFlags),
                              capture.PropertyPage(kPageFlags), properties.Page(), logs.PropertyPage(kPageFlags)};
    pages[0].pszTitle = generalTitle.c_str();
    pages[1].pszTitle = interfaceTitle.c_str();
    pages[kCapturePageIndex].pszTitle = captureTitle.c_str();
    pages[4].pszTitle = logsTitle.c_str();

    const std::wstring caption = LoadUiStringW(IDS_SETTINGS) + L" - " + LoadNeutralStringW(IDS_PRODUCT_NAME);
    PROPSHEETHEADERW header{};
    header.dwSize = sizeof(header);
    header.dwFlags = kSheetFlags;
    header.hwndParent = owner;
    header.hInstance = CModule::Instance().ModuleInstance();
    header.pszIcon = MAKEINTRESOURCEW(kSheetIcon);
    header.pszCaption = caption.c_str();
    header.nPages = static_cast<UINT>(std::size(pages));
    header.ppsp = pages;
    header.pfnCallback = &SheetCallback;

    CSettingsSheet window(general);
    {
        std::lock_guard<srw_lock> guard(g_sheet.lock);
        g_sheet.pending = &window;
    }
    INT_PTR result = 0;
    {
        CActivationScope activation;
        result = ::PropertySheetW(&header);
    }
    {
        std::lock_guard<srw_lock> guard(g_sheet.lock);
        g_sheet.pending = nullptr;  // a sheet that failed to appear never took it
    }
    // Common controls that make every page with the sheet may answer 0 to an OK
    // when no page reported a change; there the last page has seen the OK, which
    // it accepts only after every page before it has. Where pages are made only
    // when first shown, the answer is positive after an OK.
    return result > 0 || logs.Applied();
}

void RunSettings(HWND owner, const CEngine& engine)
{
    const CDownloadOptions options = engine.GetOptions(-1);
    const EngineLogSettings logSettings = engine.GetLogSettings();
    CSettingsDialog general(engine);
    CInterfaceSettingsDlg interfacePage;
    CCaptureSettingsDlg capture;
    CDownloadPropPage properties(options);
    CSettingsLogDlg logs(logSettings);
    if (!RunSheet(owner, general, interfacePage, capture, properties, logs))
        return;
    general.Store();
    interfacePage.Store();
    capture.Store();
    engine.SetLogSettings(logs.Settings());
    engine.SetLanguage(interfacePage.Language());
    engine.SetOptions(-1, owner, options);
}

}  // namespace

void ShowSettings(IWebBrowser2* browser, IDownloadEngine* engine) noexcept
{
    try
    {
        const HWND owner = BrowserOwnerWindow(browser);
        CSheetClaim claim(owner);
        if (!claim.Claimed())
        {
            BringForward(claim.OpenOwner());
            return;
        }
        RunSettings(owner, CEngine(com_ptr<IDownloadEngine>(engine)));
    }
    catch (const CComError& error)
    {
        ShowComError(error);
    }
    catch (...)
    {
        TraceCaughtException(__FILE__, __LINE__);
    }
}

namespace {

// The number in a spin box's edit, pulled into [low, high]: a number out of
// range becomes the nearer end, anything else `low`, and the edit shows it.
long ClampSpinNumber(HWND page, int edit, int spin, long low, long high)
{
    BOOL number = FALSE;
    const long value = static_cast<int>(::GetDlgItemInt(page, edit, &number, TRUE));
    if (number && value >= low && value <= high)
        return value;
    const long clamped = number && value > high ? high : low;
    ::SendDlgItemMessageW(page, spin, UDM_SETPOS32, 0, clamped);
    return clamped;
}

}  // namespace

// --- General ----------------------------------------------------------------------

CSettingsDialog::CSettingsDialog(CEngine engine)
    : m_engine(std::move(engine)),
      m_folder(GetDownloadFolder()),
      m_confirmCreation(GetConfirmCreation()),
      m_delete(GetDelete()),
      m_start(GetStart()),
      m_saveFileDefault(GetSaveFileDefault()),
      m_keepDescriptionFile(m_engine.GetKeepDescriptionFile()),
      m_confirmFileOpen(GetConfirmFileOpen()),
      m_bandwidthMode(m_engine.GetTrafficMode()),
      m_connections(m_engine.GetConnections())
{
}

LRESULT CSettingsDialog::OnInitDialog(UINT, WPARAM, LPARAM, bool&)
{
    HWND page = m_window;
    SetLabelsFromStrings(page, {IDS_DOWNLOAD_GROUP, IDS_CONFIRM_CREATION, IDS_START_ON_CREATION,
                                IDS_DELETE_WHEN_COMPLETED, IDS_BANDWIDTH_MODE, IDS_FILES_GROUP, IDS_USE_DEFAULT_NAMES,
                                IDS_KEEP_DESCRIPTION_FILE, IDS_CONFIRM_FILE_OPEN, IDS_SAVE_FILES_TO,
                                IDS_CONNECTIONS});
    FillChoices(page, IDC_BANDWIDTH_MODE,
                {{IDS_BANDWIDTH_MINIMAL, 1}, {IDS_BANDWIDTH_NORMAL, 2}, {IDS_BANDWIDTH_UNLIMITED, 3}}, m_bandwidthMode);
    Enable(page, {IDS_BANDWIDTH_MODE, IDC_BANDWIDTH_MODE}, false);
    // An engine without the setting leaves it greyed and empty.
    ::SendDlgItemMessageW(page, IDC_CONNECTIONS_SPIN, UDM_SETRANGE32, kMinConnections, kMaxConnections);
    ::SendDlgItemMessageW(page, IDC_CONNECTIONS, EM_LIMITTEXT, 2, 0);
    if (m_connections > 0)
        ::SendDlgItemMessageW(page, IDC_CONNECTIONS_SPIN, UDM_SETPOS32, 0, m_connections);
    else
        ::SetDlgItemTextW(page, IDC_CONNECTIONS, L"");
    Enable(page, {IDS_CONNECTIONS, IDC_CONNECTIONS, IDC_CONNECTIONS_SPIN}, m_connections > 0);
    Check(page, IDS_CONFIRM_CREATION, m_confirmCreation);
    Check(page, IDS_DELETE_WHEN_COMPLETED, m_delete);
    Check(page, IDS_START_ON_CREATION, m_start);
    Check(page, IDS_USE_DEFAULT_NAMES, m_saveFileDefault);
    Check(page, IDS_KEEP_DESCRIPTION_FILE, m_keepDescriptionFile);
    Check(page, IDS_CONFIRM_FILE_OPEN, m_confirmFileOpen);
    // A stored folder longer than the edit takes is shown whole: cut, OK would
    // store another folder.
    SetLimitedText(page, IDC_DEFAULT_FOLDER, m_folder, std::max(kFolderLimit, m_folder.size()));
    HWND folder = ::GetDlgItem(page, IDC_DEFAULT_FOLDER);
    const int end = ::GetWindowTextLengthW(folder);
    ::SendMessageW(folder, EM_SETSEL, static_cast<WPARAM>(end), end);
    ::SendMessageW(folder, EM_SCROLLCARET, 0, 0);
    AddToolTips(page, {{IDC_DEFAULT_FOLDER, IDS_TIP_DEFAULT_FOLDER}, {IDC_BROWSE_FOLDER, IDS_TIP_BROWSE_FOLDER},
                       {IDC_CONNECTIONS, IDS_TIP_CONNECTIONS}});
    return TRUE;
}

LRESULT CSettingsDialog::OnConnectionsLeft(WORD, WORD, HWND, bool&)
{
    ClampSpinNumber(m_window, IDC_CONNECTIONS, IDC_CONNECTIONS_SPIN, kMinConnections, kMaxConnections);
    return 0;
}

LRESULT CSettingsDialog::OnBrowse(WORD, WORD, HWND, bool&)
{
    const std::wstring chosen = BrowseForFolder(m_window, ControlText(m_window, IDC_DEFAULT_FOLDER));
    if (!chosen.empty())
        SetLimitedText(m_window, IDC_DEFAULT_FOLDER, chosen, 0);
    return 0;
}

void CSettingsDialog::ReadControls()
{
    HWND page = m_window;
    m_confirmCreation = Checked(page, IDS_CONFIRM_CREATION);
    m_delete = Checked(page, IDS_DELETE_WHEN_COMPLETED);
    m_start = Checked(page, IDS_START_ON_CREATION);
    m_saveFileDefault = Checked(page, IDS_USE_DEFAULT_NAMES);
    m_keepDescriptionFile = Checked(page, IDS_KEEP_DESCRIPTION_FILE);
    m_confirmFileOpen = Checked(page, IDS_CONFIRM_FILE_OPEN);
    m_folder = ControlText(page, IDC_DEFAULT_FOLDER);
    // A number confirmed with Enter has not been through the focus rule.
    if (m_connections > 0)
        m_connections = ClampSpinNumber(page, IDC_CONNECTIONS, IDC_CONNECTIONS_SPIN, kMinConnections, kMaxConnections);
}

bool CSettingsDialog::CheckFolder()
{
    if (m_window)
        ReadControls();
    if (::PathFileExistsW(m_folder.c_str()))
        return true;
    HWND sheet = m_window ? ::GetParent(m_window) : nullptr;
    PropSheet_SetCurSel(sheet, nullptr, 0);
    ::SetFocus(::GetDlgItem(m_window, IDC_DEFAULT_FOLDER));
    ShowErrorBox(LoadUiStringW(IDS_SAVE_FILES_TO) + L" " + LoadUiStringW(IDS_PATH_NOT_EXIST), ::GetForegroundWindow());
    return false;
}

void CSettingsDialog::Store() const
{
    SetConfirmCreation(m_confirmCreation);
    SetDelete(m_delete);
    SetStart(m_start);
    SetSaveFileDefault(m_saveFileDefault);
    SetConfirmFileOpen(m_confirmFileOpen);
    std::wstring folder = m_folder;
    if (folder.empty() || folder.back() != L'\\')
        folder += L'\\';
    SetBrowse(folder);
    m_engine.SetKeepDescriptionFile(m_keepDescriptionFile);
    if (m_connections > 0)
        m_engine.SetConnections(m_connections);
}

// --- Interface Settings ---------------------------------------------------------------

CInterfaceSettingsDlg::CInterfaceSettingsDlg() noexcept
    : m_notOpenBand(GetNotOpenBand()),
      m_notifications(GetNotifications()),
      m_messageBoxes(GetInformWhenCompleted()),
      m_sounds(GetPlaySounds()),
      m_language(GetUiLanguage())
{
}

LRESULT CInterfaceSettingsDlg::OnInitDialog(UINT, WPARAM, LPARAM, bool&)
{
    HWND page = m_window;
    SetLabelsFromStrings(page, {IDS_UI_LANGUAGE, IDS_IE_INTEGRATION, IDS_DONT_OPEN_BAR, IDS_ENABLE_NOTIFICATIONS,
                                IDS_PLAY_SOUNDS, IDS_SHOW_MESSAGE_BOXES});
    // The check box sits on the frame of its group: as wide as its text.
    FitWidthToText(::GetDlgItem(page, IDS_ENABLE_NOTIFICATIONS));
    FillChoices(page, IDC_UI_LANGUAGE, {{IDS_LANG_ENGLISH, kEnglish}, {IDS_LANG_RUSSIAN, kRussian}}, m_language);
    Enable(page, {IDS_UI_LANGUAGE, IDC_UI_LANGUAGE}, false);
    Check(page, IDS_DONT_OPEN_BAR, m_notOpenBand);
    Check(page, IDS_ENABLE_NOTIFICATIONS, m_notifications);
    Check(page, IDS_SHOW_MESSAGE_BOXES, m_messageBoxes);
    Check(page, IDS_PLAY_SOUNDS, m_sounds);
    AddToolTips(page, {{IDS_SHOW_MESSAGE_BOXES, IDS_TIP_SHOW_MESSAGE_BOXES}, {IDS_PLAY_SOUNDS, IDS_TIP_PLAY_SOUNDS}});
    UpdateEnabledStates();
    return TRUE;
}

LRESULT CInterfaceSettingsDlg::OnNotificationsClicked(WORD, WORD, HWND, bool&)
{
    UpdateEnabledStates();
    return 0;
}

// A disabled check box keeps its mark, and the mark is what is stored.
void CInterfaceSettingsDlg::UpdateEnabledStates()
{
    HWND page = m_window;
    Enable(page, {IDS_PLAY_SOUNDS, IDS_SHOW_MESSAGE_BOXES}, Checked(page, IDS_ENABLE_NOTIFICATIONS));
}

void CInterfaceSettingsDlg::ReadControls()
{
    HWND page = m_window;
    m_notOpenBand = Checked(page, IDS_DONT_OPEN_BAR);
    m_notifications = Checked(page, IDS_ENABLE_NOTIFICATIONS);
    m_messageBoxes = Checked(page, IDS_SHOW_MESSAGE_BOXES);
    m_sounds = Checked(page, IDS_PLAY_SOUNDS);
    // A language in use that the list does not offer stays as it is.
    const LRESULT selected = ::SendDlgItemMessageW(page, IDC_UI_LANGUAGE, CB_GETCURSEL, 0, 0);
    if (selected != CB_ERR)
        m_language = static_cast<WORD>(
            ::SendDlgItemMessageW(page, IDC_UI_LANGUAGE, CB_GETITEMDATA, static_cast<WPARAM>(selected), 0));
}

LRESULT CInterfaceSettingsDlg::OnKillActive(int, NMHDR*, bool&)
{
    ReadControls();
    return FALSE;
}

LRESULT CInterfaceSettingsDlg::OnApply(int, NMHDR*, bool&)
{
    ReadControls();
    return PSNRET_NOERROR;
}

void CInterfaceSettingsDlg::Store() const noexcept
{
    SetNotOpenBand(m_notOpenBand);
    SetNotifications(m_notifications);
    SetInformWhenCompleted(m_messageBoxes);
    SetPlaySounds(m_sounds);
    SetLanguageID(m_language);
}

// --- Capture ---------------------------------------------------------------------------

CCaptureSettingsDlg::CCaptureSettingsDlg()
    : m_catchDownloads(GetMSIEIntegrate()),
      m_types(GetCaptureTypes()),
      m_neverSites(GetCaptureNeverSites()),
      m_bypassKey(GetBypassKey()),
      m_browserVersion(BrowserLibraryVersion())
{
}

LRESULT CCaptureSettingsDlg::OnInitDialog(UINT, WPARAM, LPARAM, bool&)
{
    HWND page = m_window;
    SetLabelsFromStrings(page, {IDS_CATCH_IE_DOWNLOADS, IDS_CAPTURE_TYPES, IDS_CAPTURE_DEFAULT_TYPES,
                                IDS_CAPTURE_NEVER_SITES, IDS_CAPTURE_BYPASS_KEY});
    Check(page, IDS_CATCH_IE_DOWNLOADS, m_catchDownloads);
    SetLimitedText(page, IDC_CAPTURE_TYPES, m_types, 0);
    SetLimitedText(page, IDC_CAPTURE_NEVER_SITES, m_neverSites, 0);
    FillChoices(page, IDC_CAPTURE_BYPASS_KEY,
                {{IDS_KEY_ALT, VK_MENU}, {IDS_KEY_CTRL, VK_CONTROL}, {IDS_KEY_SHIFT, VK_SHIFT}, {IDS_KEY_NONE, 0}},
                static_cast<LPARAM>(m_bypassKey));
    AddToolTips(page, {{IDC_CAPTURE_TYPES, IDS_TIP_CAPTURE_TYPES}, {IDC_CAPTURE_NEVER_SITES, IDS_TIP_CAPTURE_NEVER_SITES}});
    UpdateEnabledStates();
    return TRUE;
}

LRESULT CCaptureSettingsDlg::OnCatchClicked(WORD, WORD, HWND, bool&)
{
    UpdateEnabledStates();
    return 0;
}

LRESULT CCaptureSettingsDlg::OnDefaultTypes(WORD, WORD, HWND, bool&)
{
    SetLimitedText(m_window, IDC_CAPTURE_TYPES, DefaultCaptureTypes(), 0);
    return 0;
}

// The rules apply only while downloads are caught; a browser too old to hand
// its downloads over keeps the check box disabled, its mark kept and stored.
void CCaptureSettingsDlg::UpdateEnabledStates()
{
    HWND page = m_window;
    const bool browserCatches = m_browserVersion >= kFirstBrowserToCatch;
    Enable(page, {IDS_CATCH_IE_DOWNLOADS}, browserCatches);
    Enable(page,
           {IDS_CAPTURE_TYPES, IDC_CAPTURE_TYPES, IDS_CAPTURE_DEFAULT_TYPES, IDS_CAPTURE_NEVER_SITES,
            IDC_CAPTURE_NEVER_SITES, IDS_CAPTURE_BYPASS_KEY, IDC_CAPTURE_BYPASS_KEY},
           browserCatches && Checked(page, IDS_CATCH_IE_DOWNLOADS));
}

namespace {

// The number (from 0) of the first line of `sites` that is a pattern the
// matcher refuses; -1 when every line is a pattern or empty.
int FirstInvalidPatternLine(std::wstring_view sites)
{
    int line = 0;
    for (size_t at = 0; at <= sites.size(); ++line)
    {
        const size_t end = std::min(sites.find(L'\n', at), sites.size());
        const std::vector<std::wstring> pattern = SplitPatternLines(sites.substr(at, end - at));
        at = end + 1;
        if (!pattern.empty() && !CompileSitePattern(pattern.front()))
            return line;
    }
    return -1;
}

}  // namespace

bool CCaptureSettingsDlg::ReadControls()
{
    HWND page = m_window;
    const std::wstring sites = ControlText(page, IDC_CAPTURE_NEVER_SITES);
    // The edit does not wrap its lines, so its line numbers are those of the text.
    const int invalid = FirstInvalidPatternLine(sites);
    if (invalid >= 0)
    {
        HWND edit = ::GetDlgItem(page, IDC_CAPTURE_NEVER_SITES);
        const LRESULT start = ::SendMessageW(edit, EM_LINEINDEX, static_cast<WPARAM>(invalid), 0);
        const LRESULT length = ::SendMessageW(edit, EM_LINELENGTH, static_cast<WPARAM>(start), 0);
        ::SetFocus(edit);
        ::SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(start), start + length);
        ShowErrorBox(FillTemplate(LoadUiString(IDS_CAPTURE_BAD_PATTERN_FMT), {std::to_string(invalid + 1)}),
                     ::GetForegroundWindow());
        return false;
    }
    m_catchDownloads = Checked(page, IDS_CATCH_IE_DOWNLOADS);
    m_types = ControlText(page, IDC_CAPTURE_TYPES);
    m_neverSites = sites;
    const LRESULT selected = ::SendDlgItemMessageW(page, IDC_CAPTURE_BYPASS_KEY, CB_GETCURSEL, 0, 0);
    if (selected != CB_ERR)
        m_bypassKey = static_cast<UINT>(
            ::SendDlgItemMessageW(page, IDC_CAPTURE_BYPASS_KEY, CB_GETITEMDATA, static_cast<WPARAM>(selected), 0));
    return true;
}

LRESULT CCaptureSettingsDlg::OnKillActive(int, NMHDR*, bool&)
{
    return ReadControls() ? FALSE : TRUE;
}

// OK pressed on another page: the page comes to the front before the user is
// told what is wrong on it.
LRESULT CCaptureSettingsDlg::OnApply(int, NMHDR*, bool&)
{
    if (FirstInvalidPatternLine(ControlText(m_window, IDC_CAPTURE_NEVER_SITES)) >= 0)
        PropSheet_SetCurSel(::GetParent(m_window), nullptr, kCapturePageIndex);
    if (!ReadControls())
        return PSNRET_INVALID_NOCHANGEPAGE;
    m_applied = true;
    return PSNRET_NOERROR;
}

void CCaptureSettingsDlg::Store() const
{
    SetMSIEIntegrate(m_catchDownloads);
    SetCaptureTypes(m_types);
    SetCaptureNeverSites(m_neverSites);
    SetBypassKey(m_bypassKey);
}

// --- Logs ------------------------------------------------------------------------------

CSettingsLogDlg::CSettingsLogDlg(const EngineLogSettings& settings) noexcept
    : m_keepCommonLog(settings.keepCommonLog),
      m_neverDelete(settings.daysToKeep < 0),
      m_days(settings.daysToKeep < 0 ? kMinDays : std::clamp(settings.daysToKeep, kMinDays, kMaxDays)),
      m_logPerDownload(settings.logPerDownload)
{
}

EngineLogSettings CSettingsLogDlg::Settings() const noexcept
{
    return {m_keepCommonLog, m_neverDelete ? -1 : m_days, m_logPerDownload};
}

LRESULT CSettingsLogDlg::OnInitDialog(UINT, WPARAM, LPARAM, bool&)
{
    HWND page = m_window;
    SetLabelsFromStrings(page, {IDS_COMMON_LOG, IDS_KEEP_COMMON_LOG, IDS_NEVER_DELETE_LOGS, IDS_DAYS_TO_KEEP,
                                IDS_LOG_PER_DOWNLOAD});
    ::SendDlgItemMessageW(page, IDC_LOG_DAYS_SPIN, UDM_SETRANGE32, kMinDays, kMaxDays);
    ::SendDlgItemMessageW(page, IDC_LOG_DAYS, EM_LIMITTEXT, 3, 0);
    ::SendDlgItemMessageW(page, IDC_LOG_DAYS_SPIN, UDM_SETPOS32, 0, m_days);
    Check(page, IDS_KEEP_COMMON_LOG, m_keepCommonLog);
    Check(page, IDS_NEVER_DELETE_LOGS, m_neverDelete);
    Check(page, IDS_LOG_PER_DOWNLOAD, m_logPerDownload);
    UpdateEnabledStates();
    return TRUE;
}

LRESULT CSettingsLogDlg::OnChecksClicked(WORD, WORD, HWND, bool&)
{
    UpdateEnabledStates();
    return 0;
}

void CSettingsLogDlg::UpdateEnabledStates()
{
    HWND page = m_window;
    const bool commonLog = Checked(page, IDS_KEEP_COMMON_LOG);
    Enable(page, {IDS_NEVER_DELETE_LOGS}, commonLog);
    Enable(page, {IDS_DAYS_TO_KEEP, IDC_LOG_DAYS, IDC_LOG_DAYS_SPIN}, commonLog && !Checked(page, IDS_NEVER_DELETE_LOGS));
}

LRESULT CSettingsLogDlg::OnDaysLeft(WORD, WORD, HWND, bool&)
{
    ClampDays();
    return 0;
}

// Anything but a number from 1 to 999 in the edit is pulled into that range.
long CSettingsLogDlg::ClampDays()
{
    return ClampSpinNumber(m_window, IDC_LOG_DAYS, IDC_LOG_DAYS_SPIN, kMinDays, kMaxDays);
}

bool CSettingsLogDlg::ReadControls()
{
    HWND page = m_window;
    BOOL number = FALSE;
    ::GetDlgItemInt(page, IDC_LOG_DAYS, &number, TRUE);
    if (!number)
    {
        ::MessageBeep(MB_OK);
        ::SetFocus(::GetDlgItem(page, IDC_LOG_DAYS));
        return false;
    }
    // A number confirmed with Enter has not been through the focus rule.
    m_days = ClampDays();
    m_keepCommonLog = Checked(page, IDS_KEEP_COMMON_LOG);
    m_neverDelete = Checked(page, IDS_NEVER_DELETE_LOGS);
    m_logPerDownload = Checked(page, IDS_LOG_PER_DOWNLOAD);
    return true;
}

LRESULT CSettingsLogDlg::OnKillActive(int, NMHDR*, bool&)
{
    return ReadControls() ? FALSE : TRUE;
}

LRESULT CSettingsLogDlg::OnApply(int, NMHDR*, bool&)
{
    if (!ReadControls())
        return PSNRET_INVALID;
    m_applied = true;
    return PSNRET_NOERROR;
}

}  // namespace tdm
