// What aria2 gets of a download: its options, its address and the cookie file.
#include "engine_server/engine_core.h"

#include <winhttp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

#include "engine_server/aria2_backend.h"  // WriteUserOnlyFile
#include "engine_server/local_paths.h"
#include "engine_server/engine_text.h"
#include "framework/error.h"
#include "framework/unique_any.h"
#include "text/ascii_url.h"
#include "text/proxy_text.h"

namespace tdm::engine {

using nlohmann::json;

namespace {

// The proxy of the system's internet settings: servers and exceptions texts.
void SystemProxy(std::wstring& servers, std::wstring& bypass)
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    if (!::WinHttpGetIEProxyConfigForCurrentUser(&config))
        return;
    // The texts are the caller's to free with GlobalFree.
    const unique_hglobal proxy(config.lpszProxy), proxyBypass(config.lpszProxyBypass),
        autoConfig(config.lpszAutoConfigUrl);
    if (config.lpszProxy)
        servers = config.lpszProxy;
    if (config.lpszProxyBypass)
        bypass = config.lpszProxyBypass;
}

std::string PercentEncoded(const std::string& text)
{
    std::string encoded;
    for (const unsigned char c : text)
    {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~')
            encoded += static_cast<char>(c);
        else
        {
            char escape[4];
            std::snprintf(escape, sizeof(escape), "%%%02X", c);
            encoded += escape;
        }
    }
    return encoded;
}

// The parts of an address the cookie file needs: host (without port) and the
// folder of its path ("/" when it has none), or false when it has no host.
bool HostAndFolder(const std::wstring& url, std::string& host, std::string& folder)
{
    const std::string text = Utf8FromWide(url);
    const size_t scheme = text.find("://");
    if (scheme == std::string::npos)
        return false;
    const size_t start = scheme + 3, end = text.find_first_of("/?#", start);
    std::string authority = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    authority = authority.substr(authority.find('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
    const size_t colon = authority.rfind(':');
    host = authority[0] == '[' ? authority.substr(0, authority.find(']') + 1) : authority.substr(0, colon);
    std::string path = end == std::string::npos || text[end] != '/' ? "/" : text.substr(end);
    path = path.substr(0, path.find_first_of("?#"));
    const size_t last = path.rfind('/');
    folder = last == 0 ? "/" : path.substr(0, last);
    return !host.empty();
}

}  // namespace

json CEngineCore::BackendOptions(const Download& d) const
{
    const DownloadOptionsData& o = d.options;
    json options = json::object();
    options["dir"] = m_backend.ToBackendPath(WithoutSeparator(d.staging.empty() ? d.folder : d.staging));
    // In staging aria2 keeps the server's name; the settled one comes with the move.
    if (d.nameGiven && !d.fileName.empty() && d.staging.empty())
        options["out"] = Utf8FromWide(LoadName(d));
    // The staging folder is the download's own: a file there without aria2's
    // control file is what an interrupted attempt left (a restart, a retry with
    // credentials), loaded again in place, not kept beside a renamed copy.
    if (!d.staging.empty())
        options["allow-overwrite"] = "true";
    // Several connections load sections of one file; aria2 opens them only
    // to a server that answers range requests, and only for a file of at
    // least two sections of 1 MiB.
    const std::string connections = std::to_string(m_settings.connections);
    options["split"] = connections;
    options["max-connection-per-server"] = connections;
    options["min-split-size"] = "1M";
    const long timeout = std::clamp(o.timeoutSeconds, 1L, 600L);
    options["timeout"] = std::to_string(timeout);
    options["connect-timeout"] = std::to_string(timeout);
    options["max-tries"] = std::to_string(std::clamp(o.retries, 0L, 99L) + 1);
    options["retry-wait"] = "1";
    options["ftp-pasv"] = o.ftpPassive ? "true" : "false";
    // A torrent or Metalink answer is saved as the file it is: aria2 would
    // otherwise load what it names, under downloads the engine never sees.
    options["follow-torrent"] = "false";
    options["follow-metalink"] = "false";
    // http credentials go only to the server that asks for them: in the
    // address (BackendUri) once it has, which aria2 keeps to that server; its
    // http-user would go to any server a redirection leads to. The cookie is
    // in the cookie file, scoped to the download's host and path.
    options["http-auth-challenge"] = "true";
    const bool ftp = d.url.compare(0, 4, L"ftp:") == 0;
    if (ftp && (!o.userName.empty() || !o.password.empty()))
    {
        options["ftp-user"] = Utf8FromWide(o.userName);
        options["ftp-passwd"] = Utf8FromWide(o.password);
    }
    // The page's address and the browser's user agent go with every request,
    // as the browser would send them (servers that refuse other requests).
    if (!d.headers.referrer.empty())
        options["referer"] = AsciiUrl(d.headers.referrer);  // an address on the wire is ASCII
    if (!d.headers.userAgent.empty())
        options["user-agent"] = Utf8FromWide(d.headers.userAgent);
    // Without a proxy none is used, whatever aria2's environment says.
    options["all-proxy"] = "";
    if (o.useProxy)
    {
        std::wstring servers = o.proxyServers, bypass = o.proxyBypass;
        if (o.useIEProxySettings)
        {
            servers.clear();
            bypass.clear();
            SystemProxy(servers, bypass);
        }
        const ProxyServers parsed = ParseProxyServers(Utf8FromWide(servers));
        const std::string user = Utf8FromWide(o.proxyUserName), password = Utf8FromWide(o.proxyPassword);
        const auto proxy = [&](const char* option, const std::string& host, const std::string& port) {
            if (host.empty())
                return;
            options[option] = "http://" + host + (port.empty() ? "" : ":" + port);
            if (!user.empty())
            {
                options[std::string(option) + "-user"] = user;
                options[std::string(option) + "-passwd"] = password;
            }
        };
        proxy("http-proxy", parsed.httpHost, parsed.httpPort);
        proxy("https-proxy", parsed.httpHost, parsed.httpPort);
        proxy("ftp-proxy", parsed.sameForAll ? parsed.httpHost : parsed.ftpHost,
              parsed.sameForAll ? parsed.httpPort : parsed.ftpPort);
        // The exceptions are kept in the browser's format; aria2 gets what its
        // no-proxy matches of them (the proxy dialog names the entries it drops).
        const NoProxyHosts noProxy = TranslateProxyExceptions(Utf8FromWide(bypass));
        if (!noProxy.hosts.empty())
            options["no-proxy"] = noProxy.hosts;
    }
    return options;
}

// The address as it goes on the wire: characters outside ASCII (an address
// typed or linked in any script) as the %XX escapes of their UTF-8, as a
// browser sends them. The download keeps its address as it was given.
std::string CEngineCore::BackendUri(const Download& d) const
{
    const std::string url = AsciiUrl(d.url);
    const size_t scheme = url.find("://");
    if (!d.credentialsAsked || d.options.userName.empty() || scheme == std::string::npos ||
        url.compare(0, 4, "http") != 0 || url.find('@', scheme) < url.find_first_of("/?#", scheme + 3))
        return url;
    return url.substr(0, scheme + 3) + PercentEncoded(Utf8FromWide(d.options.userName)) + ":" +
           PercentEncoded(Utf8FromWide(d.options.password)) + "@" + url.substr(scheme + 3);
}

// Writes the cookie file that aria2 loads as it starts: every download's
// cookie for its own host and path (https ones for https only), as a browser
// keeps them. aria2 reads the file only when it starts, so a changed file
// means another aria2 (the downloads go on from its session).
HRESULT CEngineCore::UpdateCookies() noexcept
try
{
    std::set<std::string> lines;
    for (const auto& [id, d] : m_downloads)
    {
        std::string host, folder;
        if (d.cookie.empty() || !HostAndFolder(d.url, host, folder))
            continue;
        const std::string secure = d.url.compare(0, 6, L"https:") == 0 ? "TRUE" : "FALSE";
        const std::string cookie = Utf8FromWide(d.cookie);
        for (size_t start = 0; start < cookie.size();)
        {
            size_t end = cookie.find(';', start);
            if (end == std::string::npos)
                end = cookie.size();
            std::string pair = cookie.substr(start, end - start);
            start = end + 1;
            pair.erase(0, pair.find_first_not_of(' '));
            const size_t equals = pair.find('=');
            if (equals == 0 || equals == std::string::npos)
                continue;
            // host only, the folder, secure, a session cookie (expiry 0), name, value
            lines.insert(host + "\tFALSE\t" + folder + "\t" + secure + "\t0\t" + pair.substr(0, equals) + "\t" +
                         pair.substr(equals + 1) + "\n");
        }
    }
    std::string text;
    for (const std::string& line : lines)
        text += line;
    if (text == m_cookieFile)
        return S_OK;
    RETURN_IF_FAILED(WriteUserOnlyFile(m_dataFolder + L"\\cookies.txt", text));
    m_cookieFile = text;
    m_backend.Restart();
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

}  // namespace tdm::engine
