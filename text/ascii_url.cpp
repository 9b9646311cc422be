#include "text/ascii_url.h"

#include <cstdint>

namespace tdm {

std::string Utf8FromUtf16(std::wstring_view text)
{
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        // UTF-16 on Windows; a portable build's wide characters may be whole
        // code points.
        std::uint32_t c = static_cast<std::uint32_t>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<std::uint32_t>(text[i + 1]) : 0u;
        if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF)
        {
            c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
            ++i;
        }
        else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
        {
            c = 0xFFFD;
        }
        if (c < 0x80)
        {
            bytes += static_cast<char>(c);
        }
        else if (c < 0x800)
        {
            bytes += static_cast<char>(0xC0 | (c >> 6));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        }
        else if (c < 0x10000)
        {
            bytes += static_cast<char>(0xE0 | (c >> 12));
            bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        }
        else
        {
            bytes += static_cast<char>(0xF0 | (c >> 18));
            bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return bytes;
}

std::string AsciiUrl(std::wstring_view url)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string ascii;
    ascii.reserve(url.size());
    for (const char byte : Utf8FromUtf16(url))
    {
        const auto b = static_cast<unsigned char>(byte);
        if (b < 0x80)
        {
            ascii += byte;
            continue;
        }
        ascii += '%';
        ascii += kHex[b >> 4];
        ascii += kHex[b & 0xF];
    }
    return ascii;
}

}  // namespace tdm
