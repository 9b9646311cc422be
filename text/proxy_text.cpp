#include "text/proxy_text.h"

#include <algorithm>

namespace tdm {

namespace {

constexpr std::string_view kLocal = "<local>";

std::string_view Trimmed(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string AsciiLowered(std::string_view text)
{
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(), AsciiLower);
    return lowered;
}

// The exceptions' flag is an entry of its own; the system reads it in any case.
bool IsLocalEntry(std::string_view entry) { return AsciiLowered(Trimmed(entry)) == kLocal; }

// Calls `visit` with each ";"-separated entry of `text`, empty ones included.
template <typename Visit>
void ForEachEntry(std::string_view text, Visit visit)
{
    for (size_t start = 0; start <= text.size();)
    {
        size_t end = text.find(';', start);
        if (end == std::string_view::npos)
            end = text.size();
        visit(text.substr(start, end - start));
        start = end + 1;
    }
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f'); }

// A host name or a dotted address, lower case: labels of letters, digits, "-"
// and "_" between single dots, none at either end.
bool IsHostName(std::string_view text)
{
    if (text.empty() || text.front() == '.' || text.back() == '.' || text.find("..") != std::string_view::npos)
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || IsDigit(c) || c == '-' || c == '_' || c == '.';
    });
}

// A host name whose last label is not a number: "*.1.1" matches addresses on
// the system, and aria2 compares no address by its end.
bool IsDomainName(std::string_view text)
{
    const std::string_view last = text.substr(text.find_last_of('.') + 1);  // npos + 1: all of it
    return IsHostName(text) && !std::all_of(last.begin(), last.end(), IsDigit);
}

// An IPv6 address as a URL's host holds it (without brackets), lower case.
bool IsIpv6Address(std::string_view text)
{
    return std::count(text.begin(), text.end(), ':') >= 2 &&
           std::all_of(text.begin(), text.end(), [](char c) { return IsHexDigit(c) || c == ':' || c == '.'; });
}

// "10.*", "192.168.*", "192.168.1.*" (also "192.168.*.*"): one to three decimal
// numbers up to 255, then only "*" parts, as a network in CIDR form.
bool NetworkOf(std::string_view text, std::string& network)
{
    std::string address;
    size_t numbers = 0, parts = 0;
    bool wildcards = false;
    bool valid = true;
    for (size_t start = 0; valid && start <= text.size();)
    {
        size_t end = text.find('.', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view part = text.substr(start, end - start);
        ++parts;
        if (part == "*")
            wildcards = true;
        else if (!wildcards && !part.empty() && part.size() <= 3 && std::all_of(part.begin(), part.end(), IsDigit) &&
                 std::stoi(std::string(part)) <= 255)
        {
            address += std::string(part) + '.';
            ++numbers;
        }
        else
            valid = false;
        start = end + 1;
    }
    if (!valid || !wildcards || numbers == 0 || parts > 4)
        return false;
    for (size_t i = numbers; i < 4; ++i)
        address += "0.";
    address.pop_back();
    network = address + '/' + std::to_string(numbers * 8);
    return true;
}

// What aria2's no-proxy takes for one entry (several hosts for "<local>"),
// empty when it has nothing for it.
std::vector<std::string> NoProxyEntries(std::string_view entry)
{
    if (IsLocalEntry(entry))
        return {"localhost", "127.0.0.1", "::1"};
    std::string host = AsciiLowered(Trimmed(entry));
    std::string network;
    if (host.compare(0, 2, "*.") == 0 && IsDomainName(std::string_view(host).substr(2)))
        return {host.substr(1)};
    if (NetworkOf(host, network))
        return {network};
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (IsHostName(host) || IsIpv6Address(host))
        return {host};
    return {};
}

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
    size_t entries = 0;
    ForEachEntry(text, [&](std::string_view entry) {
        if (IsLocalEntry(entry))
        {
            if (!exceptions.bypassLocal)
                exceptions.localPosition = entries;
            exceptions.bypassLocal = true;
            return;
        }
        if (entries++ > 0)
            exceptions.list += ';';
        exceptions.list.append(entry);
    });
    return exceptions;
}

std::string BuildProxyExceptions(const ProxyExceptions& exceptions)
{
    const std::string& list = exceptions.list;
    if (!exceptions.bypassLocal)
        return list;
    if (list.empty())
        return std::string(kLocal);
    // The start of the entry "<local>" stood before, if the list has one there.
    size_t cut = 0;
    for (size_t entry = 0; entry < exceptions.localPosition && cut != std::string::npos; ++entry)
    {
        cut = list.find(';', cut);
        if (cut != std::string::npos)
            ++cut;
    }
    if (cut == std::string::npos)
        return list + ';' + std::string(kLocal);
    return list.substr(0, cut) + std::string(kLocal) + ';' + list.substr(cut);
}

NoProxyHosts TranslateProxyExceptions(std::string_view text)
{
    NoProxyHosts result;
    std::vector<std::string> hosts;
    ForEachEntry(text, [&](std::string_view entry) {
        if (Trimmed(entry).empty())
            return;
        const std::vector<std::string> translated = NoProxyEntries(entry);
        if (translated.empty())
            result.unusable.emplace_back(Trimmed(entry));
        for (const std::string& host : translated)
            if (std::find(hosts.begin(), hosts.end(), host) == hosts.end())
                hosts.push_back(host);
    });
    for (const std::string& host : hosts)
        result.hosts += (result.hosts.empty() ? "" : ",") + host;
    return result;
}

}  // namespace tdm
