// URL cracking and the rules that decide which URLs may become downloads.
//
// Everything here takes text from outside (links of any web page, the
// clipboard, dropped data) and must stay within its buffers whatever the input:
// URLs are byte strings given by pointer and length, a NUL byte is an ordinary
// character, and every limit below is checked before a byte is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "text/ascii_url.h"

namespace tdm {

// An absolute URL split into its parts, held in fixed buffers inside the object
// (it is meant to live on the caller's stack). Each buffer is NUL-terminated;
// the length is authoritative, since decoding can produce NUL bytes.
class CUrlComponents
{
public:
    // Capacities in characters, without the terminating NUL.
    static constexpr std::size_t MaxSchemeName = 32;
    static constexpr std::size_t MaxHostName = 256;
    static constexpr std::size_t MaxUserName = 128;
    static constexpr std::size_t MaxPassword = 128;
    static constexpr std::size_t MaxUrlPath = 2048;
    static constexpr std::size_t MaxExtraInfo = 2048;

    // Indexes into the scheme table.
    enum Scheme : std::int32_t
    {
        SchemeUnknown = -1,
        SchemeFtp = 0,
        SchemeGopher = 1,
        SchemeHttp = 2,
        SchemeHttps = 3,
        SchemeFile = 4,
        SchemeNews = 5,
        SchemeMailto = 6,
        SchemeSocks = 7,
    };

    // Crack flags: either bit decodes %XX sequences in the user name, password,
    // host name, path and extra information.
    enum : std::uint32_t
    {
        CrackDecodeAlt = 0x1,
        CrackDecode = 0x4,
    };

    // Holds the scheme "http" with port 80 and nothing else.
    CUrlComponents() noexcept;

    // Empties every part: scheme -1, port 0.
    void Clear() noexcept;

    // Splits url into its parts. Relative URLs, parts longer than their buffers and
    // truncated %-escapes (when decoding) fail; on failure the object is cleared.
    bool Crack(std::string_view url, std::uint32_t flags) noexcept;

    std::int32_t SchemeIndex() const noexcept { return m_scheme; }
    std::uint16_t Port() const noexcept { return m_port; }

    std::string_view SchemeName() const noexcept { return {m_schemeName, m_schemeNameLength}; }
    std::string_view HostName() const noexcept { return {m_hostName, m_hostNameLength}; }
    std::string_view UserName() const noexcept { return {m_userName, m_userNameLength}; }
    std::string_view Password() const noexcept { return {m_password, m_passwordLength}; }
    std::string_view UrlPath() const noexcept { return {m_urlPath, m_urlPathLength}; }
    std::string_view ExtraInfo() const noexcept { return {m_extraInfo, m_extraInfoLength}; }

    std::uint32_t SchemeNameLength() const noexcept { return m_schemeNameLength; }
    std::uint32_t HostNameLength() const noexcept { return m_hostNameLength; }
    std::uint32_t UserNameLength() const noexcept { return m_userNameLength; }
    std::uint32_t PasswordLength() const noexcept { return m_passwordLength; }
    std::uint32_t UrlPathLength() const noexcept { return m_urlPathLength; }
    std::uint32_t ExtraInfoLength() const noexcept { return m_extraInfoLength; }

private:
    bool Parse(std::string_view url) noexcept;
    bool Decode() noexcept;
    bool SetScheme(std::string_view name) noexcept;
    bool SetUserName(std::string_view name) noexcept;
    bool SetPassword(std::string_view password) noexcept;

    char m_schemeName[MaxSchemeName + 1];
    char m_hostName[MaxHostName + 1];
    char m_userName[MaxUserName + 1];
    char m_password[MaxPassword + 1];
    char m_urlPath[MaxUrlPath + 1];
    char m_extraInfo[MaxExtraInfo + 1];
    std::uint32_t m_schemeNameLength;
    std::uint32_t m_hostNameLength;
    std::uint32_t m_userNameLength;
    std::uint32_t m_passwordLength;
    std::uint32_t m_urlPathLength;
    std::uint32_t m_extraInfoLength;
    std::uint16_t m_port;
    std::int32_t m_scheme;
};

// A set of schemes of the scheme table, one bit per CUrlComponents::Scheme index.
class CSchemeSet
{
public:
    constexpr CSchemeSet() noexcept = default;

    // The known schemes named in a blank-separated list ("http https ftp"),
    // compared without regard to letter case; names outside the table are left out.
    static CSchemeSet FromList(std::string_view list) noexcept;

    constexpr bool Has(std::int32_t scheme) const noexcept
    {
        return scheme >= 0 && scheme < 32 && ((m_bits >> scheme) & 1u) != 0;
    }
    constexpr void Add(std::int32_t scheme) noexcept
    {
        if (scheme >= 0 && scheme < 32)
            m_bits |= 1u << scheme;
    }

private:
    std::uint32_t m_bits = 0;
};

// Where the download rule learns the schemes that the installed download engine
// declares it serves. http and ftp are always downloadable; a declaration can
// only add to them. Without a source (the portable build) nothing is declared.
// The source is called on every check, from any thread: it must be cheap and
// thread-safe. The module installs the reader of the engine's registration.
using DeclaredSchemeSource = CSchemeSet (*)() noexcept;
void SetDeclaredSchemeSource(DeclaredSchemeSource source) noexcept;

// The schemes a download may have: http, ftp and those the engine declares.
bool IsDownloadScheme(std::int32_t scheme) noexcept;

// The one rule for URLs that may become downloads: after trimming white space the
// URL cracks (decoding %XX), its scheme is http, ftp or one the engine declares
// (IsDownloadScheme), its host is not empty and holds no backslash, and an ftp URL
// names a file (a path not ending with "/").
bool IsDownloadableUrl(std::string_view url) noexcept;

// The same rule without the trimming: a blank before the scheme makes it part of
// the scheme's name (download creation takes URLs as they are given).
bool IsDownloadableUrlAsGiven(std::string_view url) noexcept;

// The same rule for a link dropped on the bar or the toolbar: the text is taken
// as it is (no trimming, no decoding) and a backslash in the host is not checked.
bool IsDownloadableLink(std::string_view link) noexcept;

// The three rules over a URL as data (UTF-16, text/ascii_url.h) check the
// form it goes on the wire in, AsciiUrl.
bool IsDownloadableUrl(std::wstring_view url) noexcept;
bool IsDownloadableUrlAsGiven(std::wstring_view url) noexcept;
bool IsDownloadableLink(std::wstring_view link) noexcept;

// Cuts a server address "scheme://host:port" into its parts; each part that is
// absent comes back empty, and all three are empty when the text does not parse.
void SplitServerAddress(std::string_view text, std::string& scheme, std::string& host,
                        std::string& port) noexcept;

// Builds the incorrect-URL message from its template (string 177, loaded by the
// caller): the URL replaces the first "%s" (as text: the URL is never used as a
// format) and "%%" stands for "%". For an empty URL the message is only the
// template's second sentence: the text after its first line break, or after its
// first "." when it has none, without leading blanks. Returns an empty string when
// memory runs out.
std::string FormatIncorrectUrlMessage(std::string_view messageTemplate, std::string_view url) noexcept;

}  // namespace tdm
