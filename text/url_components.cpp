#include "text/url_components.h"

#include "text/case_fold.h"
#include "text/pattern.h"

#include <atomic>
#include <cstring>
#include <iterator>
#include <new>

namespace tdm {

namespace {

struct SchemeEntry
{
    std::string_view name;
    std::uint16_t defaultPort;
};

// Indexed by CUrlComponents::Scheme.
constexpr SchemeEntry Schemes[] = {
    {"ftp", 21},
    {"gopher", 70},
    {"http", 80},
    {"https", 443},
    {"file", 0},
    {"news", 0},
    {"mailto", 0},
    {"socks", 1080},
};

// The crack collects the characters of the part being read in a working buffer
// of this size; a part that reaches WorkLimit characters fails the crack. Every
// buffer it can end in is smaller, so the limit only bounds the work.
constexpr std::size_t WorkSize = 2090;
constexpr std::size_t WorkLimit = WorkSize - 1;
// The second buffer of "host:port" and "user:password@".
constexpr std::size_t SecondLimit = 128;

// Copies value into a fixed buffer of capacity characters plus the NUL.
bool SetPart(char* buffer, std::size_t capacity, std::uint32_t& length, std::string_view value) noexcept
{
    if (value.size() > capacity)
        return false;
    if (!value.empty())
        std::memcpy(buffer, value.data(), value.size());
    buffer[value.size()] = '\0';
    length = static_cast<std::uint32_t>(value.size());
    return true;
}

// Digits and letters a-f in either case; anything else is -1.
int HexValue(char c) noexcept
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Replaces each "%" and the two characters after it by one byte, in place. A
// non-hexadecimal character counts as -1 and the value is taken modulo 256, so
// every escape yields a byte; only a "%" too close to the end fails.
bool DecodePart(char* buffer, std::uint32_t& length) noexcept
{
    std::size_t out = 0;
    for (std::size_t in = 0; in < length;)
    {
        if (buffer[in] != '%')
        {
            buffer[out++] = buffer[in++];
            continue;
        }
        if (length - in < 3)
            return false;
        const int value = 16 * HexValue(buffer[in + 1]) + HexValue(buffer[in + 2]);
        buffer[out++] = static_cast<char>(static_cast<unsigned char>(value & 0xFF));
        in += 3;
    }
    buffer[out] = '\0';
    length = static_cast<std::uint32_t>(out);
    return true;
}

// Leading decimal digits, modulo 65536; no digits gives 0.
std::uint16_t ParsePort(std::string_view text) noexcept
{
    std::uint32_t port = 0;
    for (const char c : text)
    {
        if (c < '0' || c > '9')
            break;
        port = (port * 10 + static_cast<std::uint32_t>(c - '0')) & 0xFFFFu;
    }
    return static_cast<std::uint16_t>(port);
}

bool IsBlank(char c) noexcept
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The engine's declared schemes; constant-initialised, so usable whatever the
// order of static construction.
std::atomic<DeclaredSchemeSource> DeclaredSchemes{nullptr};

bool AcceptsDownload(const CUrlComponents& url, bool checkBackslash) noexcept
{
    const auto scheme = url.SchemeIndex();
    if (!IsDownloadScheme(scheme))
        return false;
    const auto host = url.HostName();
    if (host.empty() || (checkBackslash && host.find('\\') != std::string_view::npos))
        return false;
    if (scheme == CUrlComponents::SchemeFtp)
    {
        // An ftp URL must name a file; a directory listing is not a download.
        const auto path = url.UrlPath();
        if (path.empty() || path.back() == '/')
            return false;
    }
    return true;
}

// Copies a format template, putting text in place of the first "%s" and "%" in
// place of "%%"; other "%" sequences are copied as they are.
std::string Substitute(std::string_view format, std::string_view text)
{
    std::string result;
    result.reserve(format.size() + text.size());
    bool substituted = false;
    for (std::size_t i = 0; i < format.size(); ++i)
    {
        if (format[i] == '%' && i + 1 < format.size())
        {
            if (format[i + 1] == '%')
            {
                result += '%';
                ++i;
                continue;
            }
            if (format[i + 1] == 's' && !substituted)
            {
                result.append(text.data(), text.size());
                substituted = true;
                ++i;
                continue;
            }
        }
        result += format[i];
    }
    return result;
}

// The server-address splitter's pattern: an optional "scheme://", the host (the
// longest run without "/", "?", "#", ":" and ";") and an optional ":port".
constexpr std::string_view ServerAddressPattern = "({[^:/\\?#;]+}://)?({[^/\\?#:;]*})(:{\\d+})?";

} // namespace

CUrlComponents::CUrlComponents() noexcept
{
    Clear();
    m_scheme = SchemeHttp;
    m_port = Schemes[SchemeHttp].defaultPort;
    SetPart(m_schemeName, MaxSchemeName, m_schemeNameLength, Schemes[SchemeHttp].name);
}

void CUrlComponents::Clear() noexcept
{
    m_schemeName[0] = m_hostName[0] = m_userName[0] = m_password[0] = '\0';
    m_urlPath[0] = m_extraInfo[0] = '\0';
    m_schemeNameLength = m_hostNameLength = m_userNameLength = m_passwordLength = 0;
    m_urlPathLength = m_extraInfoLength = 0;
    m_port = 0;
    m_scheme = SchemeUnknown;
}

bool CUrlComponents::Crack(std::string_view url, std::uint32_t flags) noexcept
{
    Clear();
    const bool decode = (flags & (CrackDecode | CrackDecodeAlt)) != 0;
    if (!Parse(url) || (decode && !Decode()))
    {
        Clear();
        return false;
    }
    return true;
}

bool CUrlComponents::SetScheme(std::string_view name) noexcept
{
    for (std::size_t index = 0; index < std::size(Schemes); ++index)
    {
        if (EqualsIgnoreCase(name, Schemes[index].name))
        {
            m_scheme = static_cast<std::int32_t>(index);
            m_port = Schemes[index].defaultPort;
            // Kept as written; the lengths are equal.
            return SetPart(m_schemeName, MaxSchemeName, m_schemeNameLength, name);
        }
    }
    m_scheme = SchemeUnknown;
    m_port = 0;
    return SetPart(m_schemeName, MaxSchemeName, m_schemeNameLength, name);
}

bool CUrlComponents::SetUserName(std::string_view name) noexcept
{
    return SetPart(m_userName, MaxUserName, m_userNameLength, name);
}

bool CUrlComponents::SetPassword(std::string_view password) noexcept
{
    // A password needs a user name.
    if (!password.empty() && m_userNameLength == 0)
        return false;
    return SetPart(m_password, MaxPassword, m_passwordLength, password);
}

bool CUrlComponents::Parse(std::string_view url) noexcept
{
    if (url.empty())
        return false;

    char work[WorkSize];
    std::size_t used = 0;
    const auto collected = [&work, &used]() { return std::string_view(work, used); };

    bool schemeSeen = false;
    bool userKnown = false;
    bool hostKnown = false;
    bool portKnown = false;
    std::size_t pathFrom = std::string_view::npos;

    std::size_t i = 0;
    while (i < url.size())
    {
        const char c = url[i];
        if (c == ':' && !schemeSeen)
        {
            // What was collected is the scheme name.
            if (!SetScheme(collected()))
                return false;
            schemeSeen = true;
            used = 0;
            if (url.compare(i, 3, "://") == 0)
            {
                if (m_scheme == SchemeMailto)
                    return false;
                i += 3;
                if (m_scheme == SchemeFile)
                {
                    pathFrom = i;
                    break;
                }
                continue;
            }
            if (url.compare(i, 2, ":/") == 0)
            {
                // "scheme:/path": no authority.
                pathFrom = i + 1;
                break;
            }
            ++i;
            if (m_scheme == SchemeFile)
            {
                pathFrom = i;
                break;
            }
            continue;
        }

        if (c == ':' && !(userKnown && portKnown))
        {
            // "host:port" or "user:password@": the second half runs to "/", "@" or the end.
            std::size_t end = i + 1;
            while (end < url.size() && url[end] != '/' && url[end] != '@')
                ++end;
            const std::string_view second = url.substr(i + 1, end - (i + 1));
            if (second.size() > SecondLimit)
                return false;
            const bool atSign = end < url.size() && url[end] == '@';
            if (!atSign && !portKnown)
            {
                if (!SetPart(m_hostName, MaxHostName, m_hostNameLength, collected()))
                    return false;
                m_port = ParsePort(second);
                hostKnown = portKnown = true;
                used = 0;
                i = end;
                continue;
            }
            if (atSign && !userKnown)
            {
                if (!SetUserName(collected()) || !SetPassword(second))
                    return false;
                userKnown = true;
                used = 0;
                i = end + 1;
                continue;
            }
            return false;
        }

        if (c == '@')
        {
            if (userKnown)
                return false;
            if (!SetUserName(collected()))
                return false;
            userKnown = true;
            used = 0;
            ++i;
            continue;
        }

        if (c == '/' || c == '?')
        {
            // The end of the authority.
            if (!hostKnown)
            {
                if (!SetPart(m_hostName, MaxHostName, m_hostNameLength, collected()))
                    return false;
                hostKnown = true;
            }
            pathFrom = i;
            break;
        }

        if (used + 1 >= WorkLimit)
            return false;
        work[used++] = c;
        ++i;
    }

    // Relative URLs are never accepted.
    if (!schemeSeen)
        return false;

    if (pathFrom == std::string_view::npos)
    {
        // The URL ended right after its host.
        if (!hostKnown && !SetPart(m_hostName, MaxHostName, m_hostNameLength, collected()))
            return false;
    }
    else
    {
        const std::string_view rest = url.substr(pathFrom);
        const std::size_t split = m_scheme == SchemeFile ? rest.size() : rest.find_first_of("#?");
        const std::string_view path = rest.substr(0, split);
        const std::string_view extra = split < rest.size() ? rest.substr(split) : std::string_view();
        // Parts longer than their buffers (and so longer than the working buffer) fail.
        if (!SetPart(m_urlPath, MaxUrlPath, m_urlPathLength, path) ||
            !SetPart(m_extraInfo, MaxExtraInfo, m_extraInfoLength, extra))
        {
            return false;
        }
    }

    if (m_scheme == SchemeFile || m_scheme == SchemeNews || m_scheme == SchemeMailto)
        m_port = 0;
    // Otherwise m_port holds the written port, or the default SetScheme gave.
    return true;
}

bool CUrlComponents::Decode() noexcept
{
    return DecodePart(m_userName, m_userNameLength) && DecodePart(m_password, m_passwordLength) &&
           DecodePart(m_hostName, m_hostNameLength) && DecodePart(m_urlPath, m_urlPathLength) &&
           DecodePart(m_extraInfo, m_extraInfoLength);
}

CSchemeSet CSchemeSet::FromList(std::string_view list) noexcept
{
    CSchemeSet set;
    while (!list.empty())
    {
        std::size_t length = 0;
        while (length < list.size() && !IsBlank(list[length]))
            ++length;
        for (std::size_t index = 0; length && index < std::size(Schemes); ++index)
        {
            if (EqualsIgnoreCase(list.substr(0, length), Schemes[index].name))
                set.Add(static_cast<std::int32_t>(index));
        }
        list.remove_prefix(length < list.size() ? length + 1 : length);
    }
    return set;
}

void SetDeclaredSchemeSource(DeclaredSchemeSource source) noexcept
{
    DeclaredSchemes.store(source);
}

bool IsDownloadScheme(std::int32_t scheme) noexcept
{
    if (scheme == CUrlComponents::SchemeHttp || scheme == CUrlComponents::SchemeFtp)
        return true;
    const DeclaredSchemeSource source = DeclaredSchemes.load();
    return source && source().Has(scheme);
}

bool IsDownloadableUrl(std::string_view url) noexcept
{
    while (!url.empty() && IsBlank(url.front()))
        url.remove_prefix(1);
    while (!url.empty() && IsBlank(url.back()))
        url.remove_suffix(1);
    return IsDownloadableUrlAsGiven(url);
}

bool IsDownloadableUrlAsGiven(std::string_view url) noexcept
{
    CUrlComponents components;
    return components.Crack(url, CUrlComponents::CrackDecode) && AcceptsDownload(components, true);
}

bool IsDownloadableLink(std::string_view link) noexcept
{
    CUrlComponents components;
    return components.Crack(link, 0) && AcceptsDownload(components, false);
}

bool IsDownloadableUrl(std::wstring_view url) noexcept
{
    try
    {
        return IsDownloadableUrl(std::string_view(AsciiUrl(url)));
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
}

bool IsDownloadableUrlAsGiven(std::wstring_view url) noexcept
{
    try
    {
        return IsDownloadableUrlAsGiven(std::string_view(AsciiUrl(url)));
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
}

bool IsDownloadableLink(std::wstring_view link) noexcept
{
    try
    {
        return IsDownloadableLink(std::string_view(AsciiUrl(link)));
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
}

void SplitServerAddress(std::string_view text, std::string& scheme, std::string& host,
                        std::string& port) noexcept
{
    scheme.clear();
    host.clear();
    port.clear();

    CPattern pattern;
    if (pattern.Compile(ServerAddressPattern, true) != PatternOk)
        return;
    CPatternMatch match;
    if (!pattern.Match(text, match))
        return;

    try
    {
        std::string* const outputs[] = {&scheme, &host, &port};
        for (std::size_t group = 0; group < std::size(outputs); ++group)
        {
            const PatternSpan span = match.GetGroup(group);
            if (span.Matched())
                outputs[group]->assign(text.data() + span.start, span.Length());
        }
    }
    catch (const std::bad_alloc&)
    {
        scheme.clear();
        host.clear();
        port.clear();
    }
}

std::string FormatIncorrectUrlMessage(std::string_view messageTemplate, std::string_view url) noexcept
{
    try
    {
        if (!url.empty())
            return Substitute(messageTemplate, url);

        // Without a URL only the request to specify one is left: the text after
        // the first line break, or after the first "." of a one-line template.
        std::string_view rest = messageTemplate;
        const std::size_t lineBreak = rest.find_first_of("\r\n");
        if (lineBreak != std::string_view::npos)
        {
            std::size_t from = lineBreak + 1;
            if (rest[lineBreak] == '\r' && from < rest.size() && rest[from] == '\n')
                ++from;
            rest.remove_prefix(from);
        }
        else if (const std::size_t dot = rest.find('.'); dot != std::string_view::npos)
        {
            rest.remove_prefix(dot + 1);
        }
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
            rest.remove_prefix(1);
        return Substitute(rest, {});
    }
    catch (const std::bad_alloc&)
    {
        return {};
    }
}

}  // namespace tdm
