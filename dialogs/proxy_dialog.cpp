#include "dialogs/proxy_dialog.h"

#include "dialogs/dialog_controls.h"
#include "framework/automation.h"
#include "text/language.h"
#include "text/proxy_text.h"
#include "text/url_components.h"

namespace tdm {

namespace {

constexpr size_t kHostLimit = 255;
constexpr size_t kPortLimit = 10;

// The port edit beside a host edit.
int PortOf(int hostId) { return hostId == IDC_HTTP_PROXY_HOST ? IDC_HTTP_PROXY_PORT : IDC_FTP_PROXY_PORT; }

// The proxy texts are parsed and built as UTF-8, whose multi-byte characters
// never hold the ASCII separators the parsers cut at: a host named in any
// script goes through unchanged.
std::string Utf8Text(HWND dialog, int id) { return Utf8FromWide(ControlText(dialog, id)); }
void SetUtf8Text(HWND dialog, int id, std::string_view text, size_t limit)
{
    SetLimitedText(dialog, id, WideFromUtf8(text), limit);
}

}  // namespace

void CProxySettingsDlg::SetProxyTexts(std::wstring servers, std::wstring exceptions)
{
    m_servers = std::move(servers);
    m_exceptions = std::move(exceptions);
}

LRESULT CProxySettingsDlg::OnInitDialog(UINT, WPARAM, LPARAM, bool&)
{
    CenterOverOwner(m_window);
    SetDialogSmallIcon(m_window, m_icon);
    ::SetWindowTextW(m_window, LoadUiStringW(IDS_PROXY_SETTINGS_TITLE).c_str());
    SetLabelsFromStrings(m_window, {IDS_PROXY_SERVERS, IDS_PROXY_TYPE, IDS_PROXY_ADDRESS, IDS_PROXY_PORT,
                                    IDS_PROXY_HTTP, IDS_PROXY_FTP, IDS_SAME_PROXY_FOR_ALL, IDS_PROXY_EXCEPTIONS,
                                    IDS_PROXY_EXCEPTIONS_PROMPT, IDS_PROXY_SEPARATOR_HINT, IDS_BYPASS_LOCAL,
                                    IDS_CANCEL, IDS_HELP});

    const ProxyServers servers = ParseProxyServers(Utf8FromWide(m_servers));
    SetUtf8Text(m_window, IDC_HTTP_PROXY_HOST, servers.httpHost, kHostLimit);
    SetUtf8Text(m_window, IDC_HTTP_PROXY_PORT, servers.httpPort, kPortLimit);
    SetUtf8Text(m_window, IDC_FTP_PROXY_HOST, servers.ftpHost, kHostLimit);
    SetUtf8Text(m_window, IDC_FTP_PROXY_PORT, servers.ftpPort, kPortLimit);
    ::CheckDlgButton(m_window, IDS_SAME_PROXY_FOR_ALL, servers.sameForAll ? BST_CHECKED : BST_UNCHECKED);

    const ProxyExceptions exceptions = ParseProxyExceptions(Utf8FromWide(m_exceptions));
    m_localPosition = exceptions.localPosition;
    SetUtf8Text(m_window, IDC_PROXY_EXCEPTIONS, exceptions.list, 0);
    ::CheckDlgButton(m_window, IDS_BYPASS_LOCAL, exceptions.bypassLocal ? BST_CHECKED : BST_UNCHECKED);

    UpdateEnabledStates();
    ShowIgnoredExceptions();
    return TRUE;
}

LRESULT CProxySettingsDlg::OnSameForAllClicked(WORD, WORD, HWND, bool&)
{
    CopyHttpToFtpWhenSame();
    UpdateEnabledStates();
    return 0;
}

// A host typed as a whole server address ("http://proxy:3128") is spread over the
// host and port edits; the port edit keeps its text when none was written.
LRESULT CProxySettingsDlg::OnHostLeft(WORD, WORD id, HWND, bool&)
{
    std::string scheme, host, port;
    SplitServerAddress(Utf8Text(m_window, id), scheme, host, port);
    SetUtf8Text(m_window, id, host, kHostLimit);
    if (!port.empty())
        SetUtf8Text(m_window, PortOf(id), port, kPortLimit);
    if (id == IDC_HTTP_PROXY_HOST)
        CopyHttpToFtpWhenSame();
    return 0;
}

LRESULT CProxySettingsDlg::OnHttpPortLeft(WORD, WORD, HWND, bool&)
{
    CopyHttpToFtpWhenSame();
    return 0;
}

LRESULT CProxySettingsDlg::OnExceptionsChanged(WORD, WORD, HWND, bool&)
{
    ShowIgnoredExceptions();
    return 0;
}

LRESULT CProxySettingsDlg::OnOk(WORD, WORD, HWND, bool&)
{
    ProxyServers servers;
    servers.httpHost = Utf8Text(m_window, IDC_HTTP_PROXY_HOST);
    servers.httpPort = Utf8Text(m_window, IDC_HTTP_PROXY_PORT);
    servers.ftpHost = Utf8Text(m_window, IDC_FTP_PROXY_HOST);
    servers.ftpPort = Utf8Text(m_window, IDC_FTP_PROXY_PORT);
    servers.sameForAll = SameForAll();
    ProxyExceptions exceptions;
    exceptions.list = Utf8Text(m_window, IDC_PROXY_EXCEPTIONS);
    exceptions.bypassLocal = ::IsDlgButtonChecked(m_window, IDS_BYPASS_LOCAL) == BST_CHECKED;
    exceptions.localPosition = m_localPosition;

    std::wstring builtServers = WideFromUtf8(BuildProxyServers(servers));
    std::wstring builtExceptions = WideFromUtf8(BuildProxyExceptions(exceptions));
    m_servers = std::move(builtServers);
    m_exceptions = std::move(builtExceptions);
    EndDialog(IDOK);
    return 0;
}

LRESULT CProxySettingsDlg::OnCancel(WORD, WORD, HWND, bool&)
{
    EndDialog(IDCANCEL);
    return 0;
}

bool CProxySettingsDlg::SameForAll() const
{
    return ::IsDlgButtonChecked(m_window, IDS_SAME_PROXY_FOR_ALL) == BST_CHECKED;
}

void CProxySettingsDlg::CopyHttpToFtpWhenSame()
{
    if (!SameForAll())
        return;
    SetUtf8Text(m_window, IDC_FTP_PROXY_HOST, Utf8Text(m_window, IDC_HTTP_PROXY_HOST), kHostLimit);
    SetUtf8Text(m_window, IDC_FTP_PROXY_PORT, Utf8Text(m_window, IDC_HTTP_PROXY_PORT), kPortLimit);
}

// The FTP server follows the HTTP one while one proxy serves all protocols.
void CProxySettingsDlg::UpdateEnabledStates()
{
    const BOOL own = !SameForAll();
    ::EnableWindow(::GetDlgItem(m_window, IDC_FTP_PROXY_HOST), own);
    ::EnableWindow(::GetDlgItem(m_window, IDC_FTP_PROXY_PORT), own);
}

// Names the exceptions the engine leaves out (it hands aria2 only what aria2
// matches), or hides the line when there are none.
void CProxySettingsDlg::ShowIgnoredExceptions()
{
    const NoProxyHosts translated = TranslateProxyExceptions(Utf8Text(m_window, IDC_PROXY_EXCEPTIONS));
    std::string ignored;
    for (const std::string& entry : translated.unusable)
        ignored += (ignored.empty() ? "" : "; ") + entry;
    std::wstring text = LoadUiStringW(IDS_PROXY_EXCEPTIONS_IGNORED_FMT);
    const size_t field = text.find(L"%s");
    if (field != std::wstring::npos)
        text.replace(field, 2, WideFromUtf8(ignored));
    ::SetDlgItemTextW(m_window, IDC_PROXY_EXCEPTIONS_IGNORED, text.c_str());
    ShowControl(m_window, IDC_PROXY_EXCEPTIONS_IGNORED, !ignored.empty());
}

}  // namespace tdm
