// The two proxy texts of a download's options, in the format of the Windows
// internet functions, and their fields as the proxy dialog edits them.
//
// Servers text: one proxy for all protocols, "host:port;", or one entry per
// protocol, "http=host:port;ftp=host:port;". Exceptions text: entries separated
// by ";", with "<local>" (bypass the proxy for local addresses) always last.
//
// Portable: no Windows headers, so that the parsing can be tested and fuzzed
// natively. Texts are byte ranges in the ANSI code page.
#pragma once

#include <string>
#include <string_view>

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
    std::string list;  // the exceptions without "<local>"
    bool bypassLocal = false;
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

// Reads an exceptions text: with "<local>" the list is what precedes its first
// occurrence; without it, the whole text when it holds a "." (a name), else none.
ProxyExceptions ParseProxyExceptions(std::string_view text);

// Builds an exceptions text: the list, closed by ";" when it does not end with
// one, then "<local>" when local addresses bypass the proxy.
std::string BuildProxyExceptions(const ProxyExceptions& exceptions);

// Splits "host:port" (the port ends at the next ";"); false, with both empty,
// without a ":".
bool SplitProxyEntry(std::string_view entry, std::string& host, std::string& port);

}  // namespace tdm
