// The user name and password dialog (template 170), asked when a server or a
// proxy server wants the user to authenticate a download.
//
// The names and passwords stay in UTF-16 from the engine's event to the edits
// and back: passing them through the ANSI code page would replace the
// characters it lacks and send the server a password the user did not type.
#pragma once

#include <windows.h>
#include <string>

#include "dialogs/help_dialog.h"
#include "framework/unique_any.h"

namespace tdm {

// What the engine's credential request brings.
struct CredentialRequest
{
    std::wstring userName;
    std::wstring password;
    std::wstring url;  // the URL being fetched: the dialog shows its host
    std::wstring realm;
    bool proxy = false;
};

// The user's answer. A cancelled one carries nothing else: the caller leaves
// the outputs of the engine's request as they were.
struct CredentialAnswer
{
    bool cancelled = true;
    std::wstring userName;
    std::wstring password;
    bool remember = false;
};

// Brings `owner` (the browser's top-level window) forward (restored when
// minimised, else made the foreground window), asks, and gives the keyboard
// focus back.
CredentialAnswer AskCredentials(HWND owner, const CredentialRequest& request) noexcept;

class CUserPasswordDlg : public CHelpDlgT<CUserPasswordDlg>
{
public:
    static constexpr UINT TemplateId = IDD_CREDENTIALS;

    CUserPasswordDlg(std::wstring userName, std::wstring password, bool proxy, std::wstring host,
                     std::wstring realm);

    // After DoModal(owner) returned IDOK: what the user confirmed.
    const std::wstring& UserName() const noexcept { return m_userName; }
    const std::wstring& Password() const noexcept { return m_password; }
    bool Remember() const noexcept { return m_remember; }

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_INITDIALOG, OnInitDialog)
        TDM_ON_COMMAND(IDOK, OnOk)
        TDM_ON_COMMAND(IDCANCEL, OnCancel)
        TDM_CHAIN_TO(CHelpDlgT<CUserPasswordDlg>)
    TDM_END_MESSAGE_MAP()

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnOk(WORD, WORD, HWND, bool&);
    LRESULT OnCancel(WORD, WORD, HWND, bool&);

    std::wstring m_userName;
    std::wstring m_password;
    bool m_remember = false;
    bool m_proxy;
    std::wstring m_host;
    std::wstring m_realm;
    unique_hicon m_icon;
};

}  // namespace tdm
