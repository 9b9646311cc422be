// The settings sheet: five pages over the user's registry settings and the
// engine's own settings (General, Interface Settings, Capture, Default Download
// Properties, Logs), opened by the settings command of the bar and the toolbar.
//
// Nothing is stored while the sheet is open. The pages keep what the user chose
// in their fields; once the sheet has closed with OK, ShowSettings stores every
// page, the registry first and the engine after.
#pragma once

#include <windows.h>
#include <exdisp.h>
#include <string>

#include "dialogs/help_dialog.h"
#include "engine/engine_link.h"

namespace tdm {

// The settings command of the bar and the toolbar: one sheet per process;
// failures of the engine are shown with ShowComError.
void ShowSettings(IWebBrowser2* browser, IDownloadEngine* engine) noexcept;

// The help topic of the settings sheet as a whole (its Help button and F1 on the tabs).
inline constexpr DWORD kSettingsSheetHelpTopic = 0x2012C;

// General (template 121): confirmation, start and deletion of downloads, file
// names, the engine's description file, the default folder, and the engine's
// bandwidth mode (shown only: the bar's commands change it).
class CSettingsDialog final : public CHelpDlgT<CSettingsDialog>
{
public:
    static constexpr UINT TemplateId = IDD_SETTINGS_GENERAL;

    // Takes the stored settings and the engine's description-file flag and
    // bandwidth mode; a failing engine call is raised.
    explicit CSettingsDialog(CEngine engine);

    // The sheet's check before it accepts OK: reads the page; a folder that does
    // not exist brings the page to the front with the focus on the folder and
    // the user told, and refuses.
    bool CheckFolder();
    // Stores the page's settings, then the engine's description-file flag and
    // connections per download (raised when the engine fails).
    void Store() const;

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_INITDIALOG, OnInitDialog)
        TDM_ON_COMMAND_CODE(IDC_BROWSE_FOLDER, BN_CLICKED, OnBrowse)
        TDM_ON_COMMAND_CODE(IDC_CONNECTIONS, EN_KILLFOCUS, OnConnectionsLeft)
        TDM_CHAIN_TO(CHelpDlgT<CSettingsDialog>)
    TDM_END_MESSAGE_MAP()

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnBrowse(WORD, WORD, HWND, bool&);
    LRESULT OnConnectionsLeft(WORD, WORD, HWND, bool&);

    void FillBandwidthModes();
    void ReadControls();

    CEngine m_engine;
    std::wstring m_folder;
    bool m_confirmCreation;
    bool m_delete;
    bool m_start;
    bool m_saveFileDefault;
    bool m_keepDescriptionFile;
    bool m_confirmFileOpen;
    long m_bandwidthMode;  // 1 minimal, 2 normal, 3 unlimited
    long m_connections;    // 1 to 16; 0: the engine has no such setting
};

// Interface Settings (template 218): the explorer bar at start, the
// notifications, and the interface language (shown only: it stays the language
// in use).
class CInterfaceSettingsDlg final : public CHelpDlgT<CInterfaceSettingsDlg>
{
public:
    static constexpr UINT TemplateId = IDD_SETTINGS_INTERFACE;

    // Takes the stored settings and the language in use.
    CInterfaceSettingsDlg() noexcept;

    WORD Language() const noexcept { return m_language; }
    void Store() const noexcept;

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_INITDIALOG, OnInitDialog)
        TDM_ON_COMMAND_CODE(IDS_ENABLE_NOTIFICATIONS, BN_CLICKED, OnNotificationsClicked)
        TDM_ON_NOTIFY_CODE(PSN_KILLACTIVE, OnKillActive)
        TDM_ON_NOTIFY_CODE(PSN_APPLY, OnApply)
        TDM_CHAIN_TO(CHelpDlgT<CInterfaceSettingsDlg>)
    TDM_END_MESSAGE_MAP()

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnNotificationsClicked(WORD, WORD, HWND, bool&);
    LRESULT OnKillActive(int, NMHDR*, bool&);
    LRESULT OnApply(int, NMHDR*, bool&);

    void UpdateEnabledStates();
    void ReadControls();

    bool m_notOpenBand;
    bool m_notifications;
    bool m_messageBoxes;
    bool m_sounds;
    WORD m_language;
};

// Capture (template 188): whether the browser's own downloads are taken over at
// all, which file types, the sites never taken over (patterns of the pattern
// matcher, one a line), and the key that leaves a starting download to the
// browser.
class CCaptureSettingsDlg final : public CHelpDlgT<CCaptureSettingsDlg>
{
public:
    static constexpr UINT TemplateId = IDD_SETTINGS_CAPTURE;

    // Takes the stored settings and the version of the browser's Shdocvw.dll.
    CCaptureSettingsDlg();

    // Whether the page accepted the sheet's OK: a line of the sites that the
    // pattern matcher refuses keeps the page active, the line selected.
    bool Applied() const noexcept { return m_applied; }
    void Store() const;

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_INITDIALOG, OnInitDialog)
        TDM_ON_COMMAND_CODE(IDS_CATCH_IE_DOWNLOADS, BN_CLICKED, OnCatchClicked)
        TDM_ON_COMMAND_CODE(IDS_CAPTURE_DEFAULT_TYPES, BN_CLICKED, OnDefaultTypes)
        TDM_ON_NOTIFY_CODE(PSN_KILLACTIVE, OnKillActive)
        TDM_ON_NOTIFY_CODE(PSN_APPLY, OnApply)
        TDM_CHAIN_TO(CHelpDlgT<CCaptureSettingsDlg>)
    TDM_END_MESSAGE_MAP()

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnCatchClicked(WORD, WORD, HWND, bool&);
    LRESULT OnDefaultTypes(WORD, WORD, HWND, bool&);
    LRESULT OnKillActive(int, NMHDR*, bool&);
    LRESULT OnApply(int, NMHDR*, bool&);

    void UpdateEnabledStates();
    bool ReadControls();

    bool m_catchDownloads;
    std::wstring m_types;
    std::wstring m_neverSites;
    UINT m_bypassKey;
    DWORD m_browserVersion;  // major version of Shdocvw.dll; 0 when unknown
    bool m_applied = false;
};

// Logs (template 185): the engine's common log, how long its files are kept,
// and a log per download.
class CSettingsLogDlg final : public CHelpDlgT<CSettingsLogDlg>
{
public:
    static constexpr UINT TemplateId = IDD_SETTINGS_LOGS;

    // Negative days mean that the logs are never deleted.
    explicit CSettingsLogDlg(const EngineLogSettings& settings) noexcept;

    // As the page holds them: -1 days when the logs are never deleted.
    EngineLogSettings Settings() const noexcept;
    // Whether the page accepted the sheet's OK. The last page of the sheet
    // accepts it only once every page before it has.
    bool Applied() const noexcept { return m_applied; }

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_INITDIALOG, OnInitDialog)
        TDM_ON_COMMAND_CODE(IDS_KEEP_COMMON_LOG, BN_CLICKED, OnChecksClicked)
        TDM_ON_COMMAND_CODE(IDS_NEVER_DELETE_LOGS, BN_CLICKED, OnChecksClicked)
        TDM_ON_COMMAND_CODE(IDC_LOG_DAYS, EN_KILLFOCUS, OnDaysLeft)
        TDM_ON_NOTIFY_CODE(PSN_KILLACTIVE, OnKillActive)
        TDM_ON_NOTIFY_CODE(PSN_APPLY, OnApply)
        TDM_CHAIN_TO(CHelpDlgT<CSettingsLogDlg>)
    TDM_END_MESSAGE_MAP()

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnChecksClicked(WORD, WORD, HWND, bool&);
    LRESULT OnDaysLeft(WORD, WORD, HWND, bool&);
    LRESULT OnKillActive(int, NMHDR*, bool&);
    LRESULT OnApply(int, NMHDR*, bool&);

    void UpdateEnabledStates();
    long ClampDays();
    bool ReadControls();

    bool m_keepCommonLog;
    bool m_neverDelete;
    long m_days;  // 1 to 999
    bool m_logPerDownload;
    bool m_applied = false;
};

}  // namespace tdm
