// Fuzzes the URL code. The whole input is the URL (or server address) for
// CUrlComponents::Crack (with and without %-decoding), IsDownloadableUrl,
// IsDownloadableLink and SplitServerAddress; for FormatIncorrectUrlMessage a 0x01 byte splits it into
// template and URL (without one, the English template is used).
#include "text/url_components.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace tdm;

namespace {

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

void CheckPart(std::string_view part, std::size_t capacity)
{
    Check(part.size() <= capacity);
    Check(part.data()[part.size()] == '\0');
}

// Every part within its capacity and terminated; a failed crack leaves nothing.
void CheckObject(const CUrlComponents& url, bool cracked)
{
    CheckPart(url.SchemeName(), CUrlComponents::MaxSchemeName);
    CheckPart(url.HostName(), CUrlComponents::MaxHostName);
    CheckPart(url.UserName(), CUrlComponents::MaxUserName);
    CheckPart(url.Password(), CUrlComponents::MaxPassword);
    CheckPart(url.UrlPath(), CUrlComponents::MaxUrlPath);
    CheckPart(url.ExtraInfo(), CUrlComponents::MaxExtraInfo);
    Check(url.SchemeIndex() >= CUrlComponents::SchemeUnknown && url.SchemeIndex() <= CUrlComponents::SchemeSocks);
    if (!cracked)
        Check(url.SchemeIndex() == CUrlComponents::SchemeUnknown && url.Port() == 0 &&
              url.SchemeNameLength() + url.HostNameLength() + url.UserNameLength() + url.PasswordLength() +
                      url.UrlPathLength() + url.ExtraInfoLength() == 0);
    else
        Check(url.PasswordLength() == 0 || url.UserNameLength() != 0);  // a password comes with a user name
}

constexpr std::string_view EnglishTemplate =
    "Incorrect URL or unsupported protocol: %s.\nPlease, specify a correct URL.";
constexpr std::string_view Space = " \t\r\n\v\f";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    CUrlComponents raw;
    const bool rawCracked = raw.Crack(text, 0);
    CheckObject(raw, rawCracked);
    CUrlComponents decoded;
    const bool decodedCracked = decoded.Crack(text, CUrlComponents::CrackDecode);
    CheckObject(decoded, decodedCracked);
    // Decoding can only fail a crack, never rescue one, and it only shortens parts.
    Check(rawCracked || !decodedCracked);
    if (decodedCracked)
        Check(decoded.SchemeIndex() == raw.SchemeIndex() && decoded.Port() == raw.Port() &&
              decoded.SchemeName() == raw.SchemeName() && decoded.HostNameLength() <= raw.HostNameLength() &&
              decoded.UserNameLength() <= raw.UserNameLength() && decoded.PasswordLength() <= raw.PasswordLength() &&
              decoded.UrlPathLength() <= raw.UrlPathLength() && decoded.ExtraInfoLength() <= raw.ExtraInfoLength());
    // Cracking again into a used object gives the same answer.
    Check(raw.Crack(text, 0) == rawCracked);

    static_cast<void>(IsDownloadableLink(text));  // for the sanitizers
    // Only http and ftp URLs with a host are downloads.
    if (IsDownloadableUrl(text))
    {
        const std::size_t first = text.find_first_not_of(Space);
        const std::string_view trimmed = text.substr(first, text.find_last_not_of(Space) - first + 1);
        CUrlComponents url;
        Check(url.Crack(trimmed, CUrlComponents::CrackDecode) && url.HostNameLength() != 0 &&
              (url.SchemeIndex() == CUrlComponents::SchemeHttp || url.SchemeIndex() == CUrlComponents::SchemeFtp));
    }

    std::string scheme, host, port;
    SplitServerAddress(text, scheme, host, port);
    Check(scheme.size() + host.size() + port.size() <= text.size());
    Check(text.find(host) != std::string_view::npos && text.find(scheme) != std::string_view::npos);
    Check(port.find_first_not_of("0123456789") == std::string::npos);
    Check(host.find_first_of("/?#:;") == std::string::npos);

    const std::size_t split = text.find('\x01');
    const std::string_view messageTemplate = split == std::string_view::npos ? EnglishTemplate : text.substr(0, split);
    const std::string_view url = split == std::string_view::npos ? text : text.substr(split + 1);
    const std::string message = FormatIncorrectUrlMessage(messageTemplate, url);
    Check(message.size() <= messageTemplate.size() + url.size());
    if (!url.empty() && split == std::string_view::npos)
        Check(message.size() == EnglishTemplate.size() - 2 + url.size());
    return 0;
}
