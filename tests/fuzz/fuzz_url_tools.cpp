// Fuzzes IsDownloadableUrl, IsDownloadableLink, SplitServerAddress and
// FormatIncorrectUrlMessage. The whole input is the URL / address; for the
// message, a 0x01 byte splits it into template and URL (without one, the
// English template is used).
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

constexpr std::string_view EnglishTemplate =
    "Incorrect URL or unsupported protocol: %s.\nPlease, specify a correct URL.";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const bool downloadable = IsDownloadableUrl(text);
    const bool droppable = IsDownloadableLink(text);
    if (downloadable)
    {
        CUrlComponents url;
        // Only http and ftp URLs with a host pass.
        std::string_view trimmed = text;
        while (!trimmed.empty() && std::string_view(" \t\r\n\v\f").find(trimmed.front()) != std::string_view::npos)
            trimmed.remove_prefix(1);
        while (!trimmed.empty() && std::string_view(" \t\r\n\v\f").find(trimmed.back()) != std::string_view::npos)
            trimmed.remove_suffix(1);
        Check(url.Crack(trimmed, CUrlComponents::CrackDecode));
        Check(url.SchemeIndex() == CUrlComponents::SchemeHttp || url.SchemeIndex() == CUrlComponents::SchemeFtp);
        Check(url.HostNameLength() != 0);
    }
    (void)droppable;

    std::string scheme, host, port;
    SplitServerAddress(text, scheme, host, port);
    Check(scheme.size() + host.size() + port.size() <= text.size());
    Check(text.find(host) != std::string_view::npos);
    Check(text.find(scheme) != std::string_view::npos);
    for (const char c : port)
        Check(c >= '0' && c <= '9');
    for (const char c : host)
        Check(std::string_view("/?#:;").find(c) == std::string_view::npos);

    const std::size_t split = text.find('\x01');
    const std::string_view messageTemplate = split == std::string_view::npos ? EnglishTemplate : text.substr(0, split);
    const std::string_view url = split == std::string_view::npos ? text : text.substr(split + 1);
    const std::string message = FormatIncorrectUrlMessage(messageTemplate, url);
    Check(message.size() <= messageTemplate.size() + url.size());
    if (!url.empty() && split == std::string_view::npos)
        Check(message.size() == EnglishTemplate.size() - 2 + url.size());
    return 0;
}
