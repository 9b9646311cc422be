#include "dialogs/download_properties.h"

#include <commdlg.h>
#include <shlobj.h>
#include <algorithm>

#include "dialogs/dialog_controls.h"
#include "dialogs/proxy_dialog.h"
#include "engine/download_record.h"
#include "framework/automation.h"
#include "resources/window_messages.h"
#include "store/settings_store.h"
#include "text/language.h"
#include "text/message_box.h"
#include "text/url_components.h"
#include "text/url_message.h"

namespace tdm {

namespace {

// The credentials dialog takes as many: a password it remembered fits here.
constexpr size_t kNameLimit = 100;
constexpr size_t kPasswordLimit = 100;
constexpr size_t kPathLimit = 260;
constexpr int kMinRedirections = 1;
constexpr int kMaxRedirections = 99;

// What the engine writes into the two option properties whose meaning the
// dialogs do not show: two retries of a failed connection, and a connection
// timeout of 120 seconds.
constexpr long kFixedRetries = 2;
constexpr long kFixedTimeoutSeconds = 120;

std::wstring Trimmed(const std::wstring& text)
{
    const wchar_t* const blanks = L" \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::wstring::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool IsFolder(const std::wstring& path) { return !path.empty() && path.back() == L'\\'; }

std::wstring UrlOf(const CTolInfoDownload& download) { return WideFromBstr(download.url.get()); }

}  // namespace

// --- CDownloadPropBaseT ---------------------------------------------------------

template <typename T>
CDownloadPropBaseT<T>::CDownloadPropBaseT(CDownloadOptions options) noexcept : m_options(std::move(options))
{
}

// An option object that cannot be read is reported and dropped: the dialog ends,
// a page stays without one, so that nothing read half is written back.
template <typename T>
LRESULT CDownloadPropBaseT<T>::OnInitDialog(UINT, WPARAM, LPARAM, bool&)
{
    try
    {
        InitControls();
    }
    catch (const CComError& error)
    {
        ShowComError(error);
        m_options = CDownloadOptions();
        if (this->IsModal())
            this->EndDialog(IDCANCEL);
    }
    return TRUE;
}

template <typename T>
void CDownloadPropBaseT<T>::SetTexts()
{
    SetLabelsFromStrings(this->m_window, {IDS_SERVER_CONNECTION, IDS_MAX_REDIRECTIONS, IDS_USER_NAME, IDS_PASSWORD,
                                          IDS_USE_PROXY, IDS_PROXY_USER_NAME, IDS_PROXY_PASSWORD, IDS_USE_IE_PROXY,
                                          IDS_USE_CUSTOM_PROXY, IDS_CUSTOM_PROXY_SETTINGS, IDS_FTP_PASSIVE});
}

template <typename T>
void CDownloadPropBaseT<T>::InitControls()
{
    HWND dialog = this->m_window;
    ::SendDlgItemMessageW(dialog, IDC_MAX_REDIRECTIONS_SPIN, UDM_SETRANGE32, kMinRedirections, kMaxRedirections);
    ::SendDlgItemMessageW(dialog, IDC_MAX_REDIRECTIONS, EM_LIMITTEXT, 2, 0);
    SetTexts();
    // The check box sits on the frame of the proxy group: as wide as its text.
    FitWidthToText(::GetDlgItem(dialog, IDS_USE_PROXY));
    AddToolTips(dialog, {{IDC_MAX_REDIRECTIONS, IDS_TIP_MAX_REDIRECTIONS}, {IDS_USE_IE_PROXY, IDS_TIP_USE_IE_PROXY}});
    HWND firstRadio = ::GetDlgItem(dialog, IDS_USE_IE_PROXY);
    ::SetWindowLongW(firstRadio, GWL_STYLE, ::GetWindowLongW(firstRadio, GWL_STYLE) | WS_GROUP);
    LoadFields();
    ShowFields();
    UpdateEnabledStates();
}

template <typename T>
void CDownloadPropBaseT<T>::LoadFields()
{
    if (!m_options)
        return;
    m_userName = m_options.UserName();
    m_password = m_options.Password();
    m_proxyUserName = m_options.ProxyUserName();
    m_proxyPassword = m_options.ProxyPassword();
    m_proxyServers = m_options.ProxyServers();
    m_proxyExceptions = m_options.ProxyBypass();
    m_useProxy = m_options.UseProxy();
    m_ftpPassive = m_options.FtpPassive();
    m_maxRedirections = m_options.MaxRedirections();
    m_useIESettings = m_options.UseIEProxySettings();
}

// The engine's texts may be of any length: each is shown whole.
template <typename T>
void CDownloadPropBaseT<T>::ShowFields()
{
    HWND dialog = this->m_window;
    SetLimitedText(dialog, IDC_USER_NAME, m_userName, kNameLimit);
    SetLimitedText(dialog, IDC_PASSWORD, m_password, kPasswordLimit);
    SetLimitedText(dialog, IDC_PROXY_USER_NAME, m_proxyUserName, kNameLimit);
    SetLimitedText(dialog, IDC_PROXY_PASSWORD, m_proxyPassword, kPasswordLimit);
    const long redirections = std::clamp<long>(m_maxRedirections, kMinRedirections, kMaxRedirections);
    ::SendDlgItemMessageW(dialog, IDC_MAX_REDIRECTIONS_SPIN, UDM_SETPOS32, 0, redirections);
    ::CheckDlgButton(dialog, IDS_FTP_PASSIVE, m_ftpPassive ? BST_CHECKED : BST_UNCHECKED);
    ::CheckDlgButton(dialog, IDS_USE_PROXY, m_useProxy ? BST_CHECKED : BST_UNCHECKED);
    ::CheckRadioButton(dialog, IDS_USE_IE_PROXY, IDS_USE_CUSTOM_PROXY,
                       m_useIESettings ? IDS_USE_IE_PROXY : IDS_USE_CUSTOM_PROXY);
}

template <typename T>
LRESULT CDownloadPropBaseT<T>::OnRedirectionsLeft(WORD, WORD, HWND, bool&)
{
    ClampRedirections();
    return 0;
}

// Anything but a number from 1 to 99 in the edit is pulled into that range.
template <typename T>
int CDownloadPropBaseT<T>::ClampRedirections()
{
    BOOL number = FALSE;
    const UINT value = ::GetDlgItemInt(this->m_window, IDC_MAX_REDIRECTIONS, &number, FALSE);
    if (number && value >= kMinRedirections && value <= kMaxRedirections)
        return static_cast<int>(value);
    const int clamped = number && value > kMaxRedirections ? kMaxRedirections : kMinRedirections;
    ::SendDlgItemMessageW(this->m_window, IDC_MAX_REDIRECTIONS_SPIN, UDM_SETPOS32, 0, clamped);
    return clamped;
}

template <typename T>
LRESULT CDownloadPropBaseT<T>::OnProxyModeClicked(WORD, WORD, HWND, bool&)
{
    UpdateEnabledStates();
    return 0;
}

template <typename T>
void CDownloadPropBaseT<T>::UpdateEnabledStates()
{
    HWND dialog = this->m_window;
    const bool proxy = Checked(IDS_USE_PROXY);
    for (const int id : {IDC_PROXY_USER_NAME, IDC_PROXY_PASSWORD, IDS_PROXY_USER_NAME, IDS_PROXY_PASSWORD,
                         IDS_USE_IE_PROXY, IDS_USE_CUSTOM_PROXY})
        ::EnableWindow(::GetDlgItem(dialog, id), proxy);
    ::EnableWindow(::GetDlgItem(dialog, IDS_CUSTOM_PROXY_SETTINGS), proxy && Checked(IDS_USE_CUSTOM_PROXY));
}

template <typename T>
LRESULT CDownloadPropBaseT<T>::OnCustomSettings(WORD, WORD, HWND, bool&)
{
    OpenProxySettings();
    return 0;
}

template <typename T>
void CDownloadPropBaseT<T>::OpenProxySettings()
{
    CProxySettingsDlg proxy;
    proxy.SetProxyTexts(m_proxyServers, m_proxyExceptions);
    if (proxy.DoModal(::GetActiveWindow()) != IDOK)
        return;
    m_proxyServers = proxy.Servers();
    m_proxyExceptions = proxy.Exceptions();
}

template <typename T>
bool CDownloadPropBaseT<T>::Save()
{
    if (!ReadFields())
        return false;
    if (m_useProxy && !m_useIESettings && m_proxyServers.empty())
    {
        ShowInfoBox(LoadUiStringW(IDS_PROXY_SETTINGS_REQUIRED), this->m_window);
        FocusControl(IDS_CUSTOM_PROXY_SETTINGS);
        OpenProxySettings();
        return false;
    }
    try
    {
        WriteFields();
    }
    catch (const CComError& error)
    {
        // The engine refused the options: the user's edits stay on the screen.
        ShowComError(error);
        return false;
    }
    return true;
}

template <typename T>
bool CDownloadPropBaseT<T>::ReadFields()
{
    HWND dialog = this->m_window;
    BOOL number = FALSE;
    ::GetDlgItemInt(dialog, IDC_MAX_REDIRECTIONS, &number, TRUE);
    if (!number)
    {
        ::MessageBeep(MB_OK);
        FocusControl(IDC_MAX_REDIRECTIONS);
        return false;
    }
    // A number typed and confirmed with Enter has not been through the focus
    // rule; the engine takes 1 to 99 only.
    m_maxRedirections = ClampRedirections();
    m_userName = ControlText(dialog, IDC_USER_NAME);
    m_password = ControlText(dialog, IDC_PASSWORD);
    m_proxyUserName = ControlText(dialog, IDC_PROXY_USER_NAME);
    m_proxyPassword = ControlText(dialog, IDC_PROXY_PASSWORD);
    m_useProxy = Checked(IDS_USE_PROXY);
    m_useIESettings = Checked(IDS_USE_IE_PROXY);
    m_ftpPassive = Checked(IDS_FTP_PASSIVE);
    return true;
}

template <typename T>
void CDownloadPropBaseT<T>::WriteFields() const
{
    if (!m_options)
        return;
    m_options.SetUserName(m_userName);
    m_options.SetPassword(m_password);
    m_options.SetUseProxy(m_useProxy);
    m_options.SetUseIEProxySettings(m_useIESettings);
    m_options.SetProxyPassword(m_proxyPassword);
    m_options.SetProxyUserName(m_proxyUserName);
    m_options.SetFtpPassive(m_ftpPassive);
    m_options.SetMaxRedirections(m_maxRedirections);
    m_options.SetProxyServers(m_proxyServers);
    m_options.SetProxyBypass(m_proxyExceptions);
    m_options.SetIntegerOption2(kFixedRetries);
    m_options.SetIntegerOption1(kFixedTimeoutSeconds);
}

// --- CDownloadPropBase2T --------------------------------------------------------

template <typename T>
CDownloadPropBase2T<T>::CDownloadPropBase2T(CDownloadOptions options, std::wstring url, std::wstring localPath,
                                            long downloadId, HWND conflictWindow, bool newDownload) noexcept
    : CDownloadPropBaseT<T>(std::move(options)),
      m_url(std::move(url)),
      m_path(std::move(localPath)),
      m_newDownload(newDownload),
      m_downloadId(downloadId),
      m_conflictWindow(conflictWindow)
{
}

template <typename T>
void CDownloadPropBase2T<T>::SetTexts()
{
    CDownloadPropBaseT<T>::SetTexts();
    SetLabelsFromStrings(this->m_window, {IDCANCEL, IDS_HELP});
}

template <typename T>
void CDownloadPropBase2T<T>::InitControls()
{
    HWND dialog = this->m_window;
    SetDialogSmallIcon(dialog, m_icon);
    CDownloadPropBaseT<T>::InitControls();

    const std::wstring title = LoadUiStringW(m_newDownload ? IDS_NEW_DOWNLOAD_TITLE : IDS_PROPERTIES_TITLE) +
                               L" - " + LoadNeutralStringW(IDS_PRODUCT_NAME);
    ::SetWindowTextW(dialog, title.c_str());
    m_title = title;  // the caption of the dialog's questions

    // A URL or a path longer than the edit's limit is shown whole: cutting it
    // would make OK write another address or file than the download's.
    m_urlShown = !m_url.empty() || m_newDownload;
    ::SetDlgItemTextW(dialog, IDC_URL_LABEL, (LoadUiStringW(IDS_COL_URL) + L":").c_str());
    SetLimitedText(dialog, IDC_URL, m_url, kPathLimit);
    ShowControl(dialog, IDC_URL_LABEL, m_urlShown);
    ShowControl(dialog, IDC_URL, m_urlShown);

    m_pathShown = !m_path.empty();
    ShowPath(m_path);
    for (const int id : {IDC_PATH_LABEL, IDC_LOCAL_PATH, IDC_BROWSE_PATH})
        ShowControl(dialog, id, m_pathShown);
}

// The path in its edit, labelled "File Name:" or, for a folder, "Save to:".
template <typename T>
void CDownloadPropBase2T<T>::ShowPath(std::wstring path)
{
    HWND dialog = this->m_window;
    m_path = std::move(path);
    const std::wstring label =
        IsFolder(m_path) ? LoadUiStringW(IDS_SAVE_TO) : LoadUiStringW(IDS_COL_FILE_NAME) + L":";
    ::SetDlgItemTextW(dialog, IDC_PATH_LABEL, label.c_str());
    SetLimitedText(dialog, IDC_LOCAL_PATH, m_path, kPathLimit);
}

// The URL and path labels in the active caption's colour.
template <typename T>
LRESULT CDownloadPropBase2T<T>::OnCtlColorStatic(UINT, WPARAM wParam, LPARAM lParam, bool& handled)
{
    const int id = ::GetDlgCtrlID(reinterpret_cast<HWND>(lParam));
    if (id != IDC_URL_LABEL && id != IDC_PATH_LABEL)
    {
        handled = false;
        return 0;
    }
    auto dc = reinterpret_cast<HDC>(wParam);
    ::SetTextColor(dc, ::GetSysColor(COLOR_ACTIVECAPTION));
    ::SetBkColor(dc, ::GetSysColor(COLOR_BTNFACE));
    return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_BTNFACE));
}

template <typename T>
LRESULT CDownloadPropBase2T<T>::OnOk(WORD, WORD, HWND, bool&)
{
    if (!this->Save())
        return 0;
    HWND dialog = this->m_window;
    m_url = Trimmed(ControlText(dialog, IDC_URL));
    m_path = Trimmed(ControlText(dialog, IDC_LOCAL_PATH));
    if ((m_urlShown && !CheckUrl()) || (m_pathShown && !CheckPath()))
        return 0;
    try
    {
        StoreUrlAndPath();
    }
    catch (const CComError& error)
    {
        ShowComError(error);
        return 0;
    }
    this->EndDialog(IDOK);
    return 0;
}

template <typename T>
LRESULT CDownloadPropBase2T<T>::OnCancel(WORD, WORD, HWND, bool&)
{
    this->EndDialog(IDCANCEL);
    return 0;
}

template <typename T>
bool CDownloadPropBase2T<T>::CheckUrl()
{
    if (!IsDownloadableUrl(m_url))
    {
        this->FocusControl(IDC_URL);
        ShowIncorrectUrlMessage(m_url, this->m_window);
        return false;
    }
    if (const CTolInfoDownload* other = QueryConflict(kQueryUrlConflict, m_url))
    {
        this->FocusControl(IDC_URL);
        ShowInfoBox(FillTemplate(LoadUiStringW(IDS_URL_ALREADY_USED_FMT), {UrlOf(*other)}), this->m_window);
        return false;
    }
    return true;
}

// A file another download writes to is taken only when the user says so; No
// browses for another name, which is checked again.
template <typename T>
bool CDownloadPropBase2T<T>::CheckPath()
{
    while (!m_path.empty() && !IsFolder(m_path))
    {
        const CTolInfoDownload* other = QueryConflict(kQueryPathConflict, m_path);
        if (!other)
            return true;
        const std::wstring question =
            FillTemplate(LoadUiStringW(IDS_CONFIRM_SAME_FILE_NAME_FMT), {m_path, UrlOf(*other)});
        const int answer =
            ShowMessageBox(question, this->m_window, MB_YESNOCANCEL | MB_ICONQUESTION, m_title.c_str());
        if (answer == IDYES)
            return true;
        if (answer != IDNO)
        {
            this->FocusControl(IDC_LOCAL_PATH);
            return false;
        }
        Browse();
    }
    return true;
}

template <typename T>
const CTolInfoDownload* CDownloadPropBase2T<T>::QueryConflict(UINT query, const std::wstring& text) const
{
    if (!m_conflictWindow)
        return nullptr;
    return reinterpret_cast<const CTolInfoDownload*>(
        ::SendMessageW(m_conflictWindow, query, static_cast<WPARAM>(m_downloadId), reinterpret_cast<LPARAM>(text.c_str())));
}

template <typename T>
void CDownloadPropBase2T<T>::StoreUrlAndPath()
{
    if (!this->m_options)
        return;
    if (!m_url.empty())
        this->m_options.SetUrl(m_url);
    if (!m_path.empty())
        this->m_options.SetLocalPath(m_path);
}

template <typename T>
LRESULT CDownloadPropBase2T<T>::OnBrowse(WORD, WORD, HWND, bool&)
{
    m_url = Trimmed(ControlText(this->m_window, IDC_URL));
    m_path = Trimmed(ControlText(this->m_window, IDC_LOCAL_PATH));
    Browse();
    return 0;
}

template <typename T>
void CDownloadPropBase2T<T>::Browse()
{
    if (IsFolder(m_path))
        BrowseForFolder();
    else
        BrowseForFile();
}

// The save-file dialog on the current path, offering files of its extension
// (".html" for a name without one) and any files.
template <typename T>
void CDownloadPropBase2T<T>::BrowseForFile()
{
    const size_t nameStart = m_path.find_last_of(L"\\/:") + 1;  // 0 without a folder
    const size_t dot = m_path.rfind(L'.');
    const std::wstring extension = dot != std::wstring::npos && dot >= nameStart ? m_path.substr(dot) : L".html";
    std::wstring type = extension.substr(1);
    if (!type.empty())
        ::CharUpperBuffW(type.data(), static_cast<DWORD>(type.size()));

    std::wstring filter = FillTemplate(LoadUiStringW(IDS_FILES_OF_TYPE_FMT), {type});
    filter += L'\0';
    filter += L"*" + extension;
    filter += L'\0';
    filter += LoadUiStringW(IDS_ANY_FILES);
    filter += L'\0';
    filter += L"*.*";
    filter += L'\0';
    const std::wstring title = FillTemplate(LoadUiStringW(IDS_SAVE_AS_TITLE_FMT), {m_url});
    const std::wstring defaultExtension = extension.substr(1);

    wchar_t file[MAX_PATH] = {};
    m_path.copy(file, MAX_PATH - 1);
    OPENFILENAMEW dialog{};
    dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400W;
    dialog.hwndOwner = this->m_window;
    dialog.lpstrFilter = filter.c_str();
    dialog.lpstrFile = file;
    dialog.nMaxFile = MAX_PATH;
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY;
    dialog.lpstrDefExt = defaultExtension.c_str();
    if (!::GetSaveFileNameW(&dialog))
        return;
    ShowPath(file);
    SetBrowse(std::wstring(file, std::min<size_t>(dialog.nFileOffset, m_path.size())));
}

template <typename T>
void CDownloadPropBase2T<T>::BrowseForFolder()
{
    std::wstring path = tdm::BrowseForFolder(this->m_window, m_path);
    if (path.empty())
        return;
    if (!IsFolder(path))
        path += L'\\';
    ShowPath(path);
    SetBrowse(path);
}

// --- the final classes ------------------------------------------------------------

CDefDownDlg::CDefDownDlg(CDownloadOptions options, std::wstring url, std::wstring localPath, long downloadId,
                         HWND conflictWindow, bool newDownload)
    : CDownloadPropBase2T<CDefDownDlg>(std::move(options), std::move(url), std::move(localPath), downloadId,
                                       conflictWindow, newDownload)
{
}

CDefDownDlg::~CDefDownDlg() = default;

CDownloadPropPage::CDownloadPropPage(CDownloadOptions options)
    : CDownloadPropBaseT<CDownloadPropPage>(std::move(options))
{
}

CDownloadPropPage::~CDownloadPropPage() = default;

PROPSHEETPAGEW CDownloadPropPage::Page()
{
    m_title = LoadUiStringW(IDS_PAGE_DEFAULT_PROPERTIES);
    PROPSHEETPAGEW page = PropertyPage(PSP_USETITLE | PSP_HASHELP | PSP_PREMATURE);
    page.pszTitle = m_title.c_str();
    return page;
}

HPROPSHEETPAGE CDownloadPropPage::CreatePage()
{
    const PROPSHEETPAGEW page = Page();
    return ::CreatePropertySheetPageW(&page);
}

LRESULT CDownloadPropPage::OnKillActive(int, NMHDR*, bool&)
{
    return Save() ? FALSE : TRUE;
}

// The sheet closes whatever the page says; a page that refuses has told the user.
LRESULT CDownloadPropPage::OnApply(int, NMHDR*, bool&)
{
    Save();
    return PSNRET_NOERROR;
}

template class CDownloadPropBaseT<CDefDownDlg>;
template class CDownloadPropBase2T<CDefDownDlg>;
template class CDownloadPropBaseT<CDownloadPropPage>;

}  // namespace tdm
