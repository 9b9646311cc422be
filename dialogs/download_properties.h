// The dialogs that edit a download's options: the new-download / properties
// dialog (template 301) and the page of the settings sheet that edits the
// options of new downloads (template 299).
//
// Both are built from two layers over the help-aware dialog base:
// CDownloadPropBaseT holds the server and proxy fields that both show and writes
// them into the engine's option object; CDownloadPropBase2T adds the URL and the
// local path of one download with their checks.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <string>

#include "dialogs/help_dialog.h"
#include "engine/engine_link.h"
#include "framework/unique_any.h"

namespace tdm {

class CTolInfoDownload;

// Server credentials, maximum redirections, FTP passive mode, proxy use with its
// credentials, and the proxy texts (edited through the proxy dialog).
template <typename T>
class CDownloadPropBaseT : public CHelpDlgT<T>
{
public:
    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_INITDIALOG, OnInitDialog)
        TDM_ON_COMMAND_CODE(IDC_MAX_REDIRECTIONS, EN_KILLFOCUS, OnRedirectionsLeft)
        TDM_ON_COMMAND_CODE(IDS_USE_PROXY, BN_CLICKED, OnProxyModeClicked)
        TDM_ON_COMMAND_CODE(IDS_USE_IE_PROXY, BN_CLICKED, OnProxyModeClicked)
        TDM_ON_COMMAND_CODE(IDS_USE_CUSTOM_PROXY, BN_CLICKED, OnProxyModeClicked)
        TDM_ON_COMMAND_CODE(IDS_CUSTOM_PROXY_SETTINGS, BN_CLICKED, OnCustomSettings)
        TDM_CHAIN_TO(CHelpDlgT<T>)
    TDM_END_MESSAGE_MAP()

protected:
    explicit CDownloadPropBaseT(CDownloadOptions options) noexcept;
    virtual ~CDownloadPropBaseT() = default;

    // Opening: texts in the interface language, then limits, fields and states.
    virtual void SetTexts();
    virtual void InitControls();

    // Reads the controls and writes the option object. False when a field
    // refuses or the engine fails: the user has been told and the focus is on
    // the field in question.
    bool Save();

    void FocusControl(int id) const noexcept { ::SetFocus(::GetDlgItem(this->m_window, id)); }

    CDownloadOptions m_options;  // may be empty: nothing is read or written

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnRedirectionsLeft(WORD, WORD, HWND, bool&);
    LRESULT OnProxyModeClicked(WORD, WORD, HWND, bool&);
    LRESULT OnCustomSettings(WORD, WORD, HWND, bool&);

    void LoadFields();
    void ShowFields();
    bool ReadFields();
    void WriteFields() const;
    int ClampRedirections();
    void UpdateEnabledStates();
    void OpenProxySettings();
    bool Checked(int id) const noexcept { return ::IsDlgButtonChecked(this->m_window, id) == BST_CHECKED; }

    std::wstring m_proxyExceptions;
    std::wstring m_proxyServers;
    std::wstring m_userName;
    std::wstring m_password;
    std::wstring m_proxyUserName;
    std::wstring m_proxyPassword;
    bool m_useProxy = false;
    bool m_useIESettings = true;  // else the custom settings
    bool m_ftpPassive = false;
    long m_maxRedirections = 1;
};

// The URL and the local path of one download: shown when given, checked for
// downloadability and for other downloads using them, and browsed for.
template <typename T>
class CDownloadPropBase2T : public CDownloadPropBaseT<T>
{
public:
    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_CTLCOLORSTATIC, OnCtlColorStatic)
        TDM_ON_COMMAND(IDOK, OnOk)
        TDM_ON_COMMAND(IDCANCEL, OnCancel)
        TDM_ON_COMMAND_CODE(IDC_BROWSE_PATH, BN_CLICKED, OnBrowse)
        TDM_CHAIN_TO(CDownloadPropBaseT<T>)
    TDM_END_MESSAGE_MAP()

protected:
    CDownloadPropBase2T(CDownloadOptions options, std::wstring url, std::wstring localPath, long downloadId,
                        HWND conflictWindow, bool newDownload) noexcept;

    void SetTexts() override;
    void InitControls() override;
    // Writes the URL and the path into the option object, when not empty.
    virtual void StoreUrlAndPath();

private:
    LRESULT OnCtlColorStatic(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnOk(WORD, WORD, HWND, bool&);
    LRESULT OnCancel(WORD, WORD, HWND, bool&);
    LRESULT OnBrowse(WORD, WORD, HWND, bool&);

    bool CheckUrl();
    bool CheckPath();
    const CTolInfoDownload* QueryConflict(UINT query, const std::wstring& text) const;
    void Browse();
    void BrowseForFile();
    void BrowseForFolder();
    void ShowPath(std::wstring path);

    std::wstring m_url;
    std::wstring m_path;  // a file name, or a folder ending with "\"
    bool m_newDownload;
    long m_downloadId;
    HWND m_conflictWindow;
    bool m_urlShown = false;
    bool m_pathShown = false;
    std::wstring m_title;
    unique_hicon m_icon;
};

// The new-download and download-properties dialog. It reads `options` when it
// opens and, when the user confirms, writes the edited values into it (the URL
// and the local path too, when they are not empty); the caller then hands the
// options to the engine. `localPath` is a file name, or a folder ending with
// "\"; an empty one hides the Local Path row. `conflictWindow` (the downloads
// panel or the toolbar frame; may be null) answers the queries for other
// downloads with the same URL or path.
//
// DoModal(owner) runs it: IDOK or IDCANCEL (-1 when it could not be shown).
class CDefDownDlg : public CDownloadPropBase2T<CDefDownDlg>
{
public:
    static constexpr UINT TemplateId = 301;

    CDefDownDlg(CDownloadOptions options, std::wstring url, std::wstring localPath, long downloadId,
                HWND conflictWindow, bool newDownload);
    ~CDefDownDlg() override;
    CDefDownDlg(const CDefDownDlg&) = delete;
    CDefDownDlg& operator=(const CDefDownDlg&) = delete;
};

// The Default Download Properties page of the settings sheet, over the option
// object of new downloads. Leaving the page and applying the sheet write the
// object; a page whose fields refuse stays active.
class CDownloadPropPage : public CDownloadPropBaseT<CDownloadPropPage>
{
public:
    static constexpr UINT TemplateId = 299;

    explicit CDownloadPropPage(CDownloadOptions options);
    ~CDownloadPropPage() override;

    // The page as a sheet takes it: its title (string 115), a help button,
    // created with the sheet. The object must outlive the sheet.
    PROPSHEETPAGEW Page();
    HPROPSHEETPAGE CreatePage();

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_NOTIFY_CODE(PSN_KILLACTIVE, OnKillActive)
        TDM_ON_NOTIFY_CODE(PSN_APPLY, OnApply)
        TDM_CHAIN_TO(CDownloadPropBaseT<CDownloadPropPage>)
    TDM_END_MESSAGE_MAP()

private:
    LRESULT OnKillActive(int, NMHDR*, bool&);
    LRESULT OnApply(int, NMHDR*, bool&);

    std::wstring m_title;
};

extern template class CDownloadPropBaseT<CDefDownDlg>;
extern template class CDownloadPropBase2T<CDefDownDlg>;
extern template class CDownloadPropBaseT<CDownloadPropPage>;

}  // namespace tdm
