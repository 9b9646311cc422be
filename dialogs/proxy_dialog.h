// The "Proxy Settings" dialog (template 187): the proxy servers text and the
// exceptions text of a download's options, edited as HTTP and FTP servers with
// their ports, an exceptions list and the local-addresses flag. The exceptions
// the download engine cannot hand to aria2 are named under the list as it
// changes; they are kept as typed.
#pragma once

#include <windows.h>
#include <string>

#include "dialogs/help_dialog.h"
#include "framework/unique_any.h"

namespace tdm {

class CProxySettingsDlg : public CHelpDlgT<CProxySettingsDlg>
{
public:
    static constexpr UINT TemplateId = 187;

    // The texts the dialog opens with; on IDOK they are replaced by the texts
    // built from what the user confirmed, on Cancel they stay.
    void SetProxyTexts(std::wstring servers, std::wstring exceptions);
    const std::wstring& Servers() const noexcept { return m_servers; }
    const std::wstring& Exceptions() const noexcept { return m_exceptions; }

    // DoModal(owner) runs it: IDOK or IDCANCEL.

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_INITDIALOG, OnInitDialog)
        TDM_ON_COMMAND_CODE(IDS_SAME_PROXY_FOR_ALL, BN_CLICKED, OnSameForAllClicked)
        TDM_ON_COMMAND_CODE(IDC_HTTP_PROXY_HOST, EN_KILLFOCUS, OnHostLeft)
        TDM_ON_COMMAND_CODE(IDC_FTP_PROXY_HOST, EN_KILLFOCUS, OnHostLeft)
        TDM_ON_COMMAND_CODE(IDC_HTTP_PROXY_PORT, EN_KILLFOCUS, OnHttpPortLeft)
        TDM_ON_COMMAND_CODE(IDC_PROXY_EXCEPTIONS, EN_CHANGE, OnExceptionsChanged)
        TDM_ON_COMMAND(IDOK, OnOk)
        TDM_ON_COMMAND(IDCANCEL, OnCancel)
        TDM_CHAIN_TO(CHelpDlgT<CProxySettingsDlg>)
    TDM_END_MESSAGE_MAP()

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnSameForAllClicked(WORD, WORD, HWND, bool&);
    LRESULT OnHostLeft(WORD, WORD id, HWND, bool&);
    LRESULT OnHttpPortLeft(WORD, WORD, HWND, bool&);
    LRESULT OnExceptionsChanged(WORD, WORD, HWND, bool&);
    LRESULT OnOk(WORD, WORD, HWND, bool&);
    LRESULT OnCancel(WORD, WORD, HWND, bool&);

    bool SameForAll() const;
    void CopyHttpToFtpWhenSame();
    void UpdateEnabledStates();
    void ShowIgnoredExceptions();

    std::wstring m_servers;
    std::wstring m_exceptions;
    // Where "<local>" stood in the exceptions text, so that it is built as it was.
    size_t m_localPosition = std::string::npos;
    unique_hicon m_icon;
};

}  // namespace tdm
