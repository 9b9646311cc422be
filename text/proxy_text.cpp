#include "text/proxy_text.h"

namespace tdm {

namespace {

constexpr std::string_view kLocal = "<local>";

// The entry after `prefix` up to the next ";" (or the end); false without one.
bool FindEntry(std::string_view text, std::string_view prefix, std::string_view& entry)
{
    const size_t start = text.find(prefix);
    if (start == std::string_view::npos)
        return false;
    entry = text.substr(start + prefix.size());
    entry = entry.substr(0, entry.find(';'));
    return true;
}

// A host or port without the characters that separate the text's entries and
// fields: typed into the dialog or handed over by the engine, a ";", ":" or "="
// would make the text read back as other servers.
std::string Field(const std::string& text)
{
    std::string field;
    for (const char c : text)
        if (c != ';' && c != ':' && c != '=')
            field += c;
    return field;
}

// "host:port;" with the default port for an empty one; empty without a host.
std::string ServerPart(const std::string& host, const std::string& port, std::string_view defaultPort)
{
    std::string part = Field(host);
    if (part.empty())
        return {};
    const std::string number = Field(port);
    part += ':';
    part += number.empty() ? std::string(defaultPort) : number;
    part += ';';
    return part;
}

}  // namespace

bool SplitProxyEntry(std::string_view entry, std::string& host, std::string& port)
{
    host.clear();
    port.clear();
    const size_t colon = entry.find(':');
    if (colon == std::string_view::npos)
        return false;
    host.assign(entry.substr(0, colon));
    const std::string_view rest = entry.substr(colon + 1);
    port.assign(rest.substr(0, rest.find(';')));
    return true;
}

ProxyServers ParseProxyServers(std::string_view text)
{
    ProxyServers servers;
    std::string_view http, ftp;
    const bool hasHttp = FindEntry(text, "http=", http);
    const bool hasFtp = FindEntry(text, "ftp=", ftp);
    if (hasHttp || hasFtp)
    {
        // A text with an FTP entry alone (what an FTP-only proxy is written as)
        // leaves HTTP without a proxy.
        if (hasHttp)
            SplitProxyEntry(http, servers.httpHost, servers.httpPort);
        if (hasFtp)
            SplitProxyEntry(ftp, servers.ftpHost, servers.ftpPort);
    }
    else
    {
        SplitProxyEntry(text, servers.httpHost, servers.httpPort);
        servers.ftpHost = servers.httpHost;
        servers.ftpPort = servers.httpPort;
    }
    // The fields hold what a text built from them can hold again.
    for (std::string* field : {&servers.httpHost, &servers.httpPort, &servers.ftpHost, &servers.ftpPort})
        *field = Field(*field);
    servers.sameForAll = servers.httpHost == servers.ftpHost && servers.httpPort == servers.ftpPort;
    return servers;
}

std::string BuildProxyServers(const ProxyServers& servers)
{
    const std::string http = ServerPart(servers.httpHost, servers.httpPort, "80");
    const std::string ftp = ServerPart(servers.ftpHost, servers.ftpPort, "21");
    // Two equal parts (an empty HTTP port became 80 beside an FTP port of 80)
    // are one proxy for all protocols, and are written as one.
    if ((servers.sameForAll || http == ftp) && !http.empty())
        return http;
    std::string text;
    if (!http.empty())
        text += "http=" + http;
    if (!ftp.empty())
        text += "ftp=" + ftp;
    return text;
}

ProxyExceptions ParseProxyExceptions(std::string_view text)
{
    ProxyExceptions exceptions;
    const size_t local = text.find(kLocal);
    if (local != std::string_view::npos)
    {
        exceptions.bypassLocal = true;
        exceptions.list.assign(text.substr(0, local));
    }
    else if (text.find('.') != std::string_view::npos)
    {
        exceptions.list.assign(text);
    }
    return exceptions;
}

std::string BuildProxyExceptions(const ProxyExceptions& exceptions)
{
    std::string text = exceptions.list;
    if (!text.empty() && text.back() != ';')
        text += ';';
    if (exceptions.bypassLocal)
        text += kLocal;
    return text;
}

}  // namespace tdm
