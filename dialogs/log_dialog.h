// The download log dialog (template 119): the engine's log of one download as
// a list of date, time and message, which the user can save to a file.
#pragma once

#include <windows.h>
#include <string>

#include "dialogs/help_dialog.h"
#include "framework/unique_any.h"

namespace tdm {

// Shows `length` characters of `log` (the engine's log text, lines ended by CR
// LF) modally, then gives the keyboard focus back to the window that had it.
void ShowDownloadLog(HWND owner, const wchar_t* log, UINT length) noexcept;

// The log is held and shown as the engine hands it over, UTF-16 (its lines name
// URLs and files in any script), and saved as UTF-8 (the engine's own log
// files are UTF-8 too) after a byte-order mark; line ends stay CR LF.
class CLogDlg : public CHelpDlgT<CLogDlg>
{
public:
    static constexpr UINT TemplateId = IDD_DOWNLOAD_LOG;

    CLogDlg(const wchar_t* log, UINT length);

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_INITDIALOG, OnInitDialog)
        TDM_ON_MESSAGE(WM_SIZE, OnSize)
        TDM_ON_MESSAGE(WM_GETMINMAXINFO, OnGetMinMaxInfo)
        TDM_ON_COMMAND(IDS_SAVE_AS, OnSaveAs)
        TDM_ON_COMMAND(IDS_CLOSE, OnClose)
        TDM_ON_COMMAND(IDCANCEL, OnClose)
        TDM_CHAIN_TO(CHelpDlgT<CLogDlg>)
    TDM_END_MESSAGE_MAP()

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnSize(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnGetMinMaxInfo(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnSaveAs(WORD, WORD, HWND, bool&);
    LRESULT OnClose(WORD, WORD, HWND, bool&);

    void InsertColumns();
    void FillList();
    void AppendRow(const std::wstring& date, const std::wstring& time, const std::wstring& message);
    void FitMessageColumn();
    void Save(const wchar_t* path);

    std::wstring m_log;
    HWND m_list = nullptr;
    int m_scrollBarWidth = 0;
    SIZE m_clientSize{};   // as of the last layout
    SIZE m_minimumSize{};  // the window as it opened
    unique_hicon m_icon;
};

}  // namespace tdm
