#include "dialogs/credentials_dialog.h"

#include <cctype>
#include <string>

#include "dialogs/dialog_controls.h"
#include "framework/automation.h"
#include "text/language.h"
#include "text/url_components.h"

namespace tdm {

namespace {

constexpr size_t kFieldLimit = 100;

// The host of `url` as the URL names it (a host in any script included);
// empty for a URL that does not crack.
std::wstring HostOf(const std::wstring& url)
{
    CUrlComponents components;
    if (!components.Crack(AsciiUrl(url), 0))
        return {};
    // Only characters outside ASCII were escaped (bytes from 0x80 up): they
    // come back as they were.
    const std::string_view host = components.HostName();
    std::string bytes;
    for (size_t i = 0; i < host.size(); ++i)
    {
        if (host[i] == '%' && i + 2 < host.size() && std::isxdigit(static_cast<unsigned char>(host[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(host[i + 2])) && host[i + 1] >= '8')
        {
            bytes += static_cast<char>(std::stoi(std::string(host.substr(i + 1, 2)), nullptr, 16));
            i += 2;
            continue;
        }
        bytes += host[i];
    }
    return WideFromUtf8(bytes);
}

void BringForward(HWND window) noexcept
{
    if (!window)
        return;
    if (::IsIconic(window))
        ::ShowWindow(window, SW_RESTORE);
    else if (::GetForegroundWindow() != window)
        ::SetForegroundWindow(window);
}

}  // namespace

CUserPasswordDlg::CUserPasswordDlg(std::wstring userName, std::wstring password, bool proxy, std::wstring host,
                                   std::wstring realm)
    : m_userName(std::move(userName)),
      m_password(std::move(password)),
      m_proxy(proxy),
      m_host(std::move(host)),
      m_realm(std::move(realm))
{
}

LRESULT CUserPasswordDlg::OnInitDialog(UINT, WPARAM, LPARAM, bool&)
{
    CenterOverOwner(m_window);
    SetDialogSmallIcon(m_window, m_icon);
    SetLabelsFromStrings(m_window, {IDS_HOST, IDS_REALM, IDS_USER_NAME, IDS_PASSWORD, IDS_REMEMBER_PASSWORD,
                                    IDS_CANCEL, IDS_HELP});
    ::SetWindowTextW(m_window, LoadUiStringW(m_proxy ? IDS_PROXY_CREDENTIALS_TITLE : IDS_CREDENTIALS_TITLE).c_str());
    ::SetDlgItemTextW(m_window, IDC_HOST_NAME, m_host.c_str());
    ::SetDlgItemTextW(m_window, IDC_REALM_NAME, m_realm.c_str());
    SetLimitedText(m_window, IDC_CREDENTIALS_USER_NAME, m_userName, kFieldLimit);
    SetLimitedText(m_window, IDC_CREDENTIALS_PASSWORD, m_password, kFieldLimit);
    ::CheckDlgButton(m_window, IDS_REMEMBER_PASSWORD, BST_UNCHECKED);
    ::SetFocus(::GetDlgItem(m_window, IDC_CREDENTIALS_USER_NAME));
    return FALSE;  // the focus is set
}

LRESULT CUserPasswordDlg::OnOk(WORD, WORD, HWND, bool&)
{
    std::wstring userName = ControlText(m_window, IDC_CREDENTIALS_USER_NAME);
    std::wstring password = ControlText(m_window, IDC_CREDENTIALS_PASSWORD);
    m_userName = std::move(userName);
    m_password = std::move(password);
    m_remember = ::IsDlgButtonChecked(m_window, IDS_REMEMBER_PASSWORD) == BST_CHECKED;
    EndDialog(IDOK);
    return 0;
}

LRESULT CUserPasswordDlg::OnCancel(WORD, WORD, HWND, bool&)
{
    EndDialog(IDCANCEL);
    return 0;
}

CredentialAnswer AskCredentials(HWND owner, const CredentialRequest& request) noexcept
{
    try
    {
        CredentialAnswer answer;
        BringForward(owner);
        HWND focus = ::GetFocus();
        CUserPasswordDlg dialog(request.userName, request.password, request.proxy, HostOf(request.url),
                                request.realm);
        if (dialog.DoModal(owner) == IDOK)
        {
            answer.cancelled = false;
            answer.userName = dialog.UserName();
            answer.password = dialog.Password();
            answer.remember = dialog.Remember();
        }
        if (focus && ::IsWindow(focus))
            ::SetFocus(focus);
        return answer;
    }
    catch (...)
    {
        TraceCaughtException(__FILE__, __LINE__);
        return {};
    }
}

}  // namespace tdm
