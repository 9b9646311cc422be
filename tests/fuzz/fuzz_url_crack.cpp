// Fuzzes CUrlComponents::Crack with and without %-decoding. The whole input is
// the URL.
#include "text/url_components.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

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
    {
        Check(url.SchemeIndex() == CUrlComponents::SchemeUnknown && url.Port() == 0);
        Check(url.SchemeNameLength() + url.HostNameLength() + url.UserNameLength() + url.PasswordLength() +
                  url.UrlPathLength() + url.ExtraInfoLength() ==
              0);
    }
    else
    {
        // A password always comes with a user name.
        Check(url.PasswordLength() == 0 || url.UserNameLength() != 0);
    }
}

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
    {
        Check(decoded.SchemeIndex() == raw.SchemeIndex() && decoded.Port() == raw.Port());
        Check(decoded.SchemeName() == raw.SchemeName());
        Check(decoded.HostNameLength() <= raw.HostNameLength());
        Check(decoded.UserNameLength() <= raw.UserNameLength());
        Check(decoded.PasswordLength() <= raw.PasswordLength());
        Check(decoded.UrlPathLength() <= raw.UrlPathLength());
        Check(decoded.ExtraInfoLength() <= raw.ExtraInfoLength());
    }

    // Cracking again into a used object gives the same answer.
    Check(raw.Crack(text, 0) == rawCracked);
    return 0;
}
