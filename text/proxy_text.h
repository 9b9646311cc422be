// The two proxy texts of a download's options, in the format of the Windows
// internet functions, and their fields as the proxy dialog edits them.
//
// Servers text: one proxy for all protocols, "host:port;", or one entry per
// protocol, "http=host:port;ftp=host:port;". Exceptions text: entries separated
// by ";" (names, addresses, "*." domains, "192.168.*" networks), one of which
// may be "<local>" (bypass the proxy for names without a dot).
//
// Portable: no Windows headers, so that the parsing can be tested and fuzzed
// natively. Texts are byte ranges in the ANSI code page.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tdm {

struct ProxyServers
{
    std::string httpHost;
    std::string httpPort;
    std::string ftpHost;
    std::string ftpPort;
    // One proxy for all protocols: the FTP fields follow the HTTP ones.
    bool sameForAll = true;
};

struct ProxyExceptions
{
    // Every entry but "<local>", as the text holds them, separated by ";".
    std::string list;
    bool bypassLocal = false;
    // The number of entries of the list that stood before "<local>", so that a
    // text read and built again is the text it was; npos puts it last.
    size_t localPosition = std::string::npos;
};

// Reads a servers text. The HTTP entry follows "http=" up to the next ";" and the
// FTP entry "ftp="; without either the whole text is one proxy for both.
// An entry is split at its first ":" into host and port (the port ends at the
// next ";"); an entry without ":" gives neither. Fields come without ";", ":"
// and "=", which no text could hold again. The protocols start out as one proxy
// when their hosts and ports are equal.
ProxyServers ParseProxyServers(std::string_view text);

// Builds a servers text: "host:port;" per protocol with a host (the port 80 for
// HTTP and 21 for FTP when empty), the HTTP part alone when one proxy serves all
// protocols (or both parts came out equal), else "http=" and "ftp=" before their
// parts. Hosts and ports are
// written without ";", ":" and "=", which would change what the text means.
std::string BuildProxyServers(const ProxyServers& servers);

// Reads an exceptions text: every entry in order, but those that read
// "<local>" (any case, blanks around it), which set the flag where the first
// of them stood.
ProxyExceptions ParseProxyExceptions(std::string_view text);

// Builds an exceptions text: the list, with "<local>" put back between its
// entries where it stood (last when it stood nowhere or after their end).
// Building what was read gives the text again, but for "<local>" written more
// than once, differently or around empty entries.
std::string BuildProxyExceptions(const ProxyExceptions& exceptions);

// The exceptions as aria2's no-proxy option matches them: entries separated by
// ",", each a host name or address matched exactly, a domain with a leading
// "." (its subdomains), or a network in CIDR form. `unusable` holds the entries
// of the text it cannot express, as written (a wildcard elsewhere than "*." in
// front or ".*" at the end of a dotted address, a port, a scheme, ...).
struct NoProxyHosts
{
    std::string hosts;
    std::vector<std::string> unusable;
};

// "*.example.com" -> ".example.com", "192.168.*" -> "192.168.0.0/16",
// "Host.Example" -> "host.example"; "<local>" -> the local host's names and
// addresses, "localhost,127.0.0.1,::1" (aria2 cannot match "names without a
// dot"). Each host appears once.
NoProxyHosts TranslateProxyExceptions(std::string_view text);

// Splits "host:port" (the port ends at the next ";"); false, with both empty,
// without a ":".
bool SplitProxyEntry(std::string_view entry, std::string& host, std::string& port);

}  // namespace tdm
