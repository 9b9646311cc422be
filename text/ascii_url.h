// URLs as data and as the wire takes them.
//
// A URL is data: UTF-16, as the browser, the user and the engine give it (an
// address may hold any character, as typed or linked). Where a URL must be
// ASCII (the rule that checks it, the request aria2 sends) it is taken in the
// form browsers send: every character outside ASCII as the %XX escapes of its
// UTF-8 bytes. Portable: the native tests and the engine use it too.
#pragma once

#include <string>
#include <string_view>

namespace tdm {

// UTF-8 of a UTF-16 text; a lone surrogate becomes U+FFFD.
std::string Utf8FromUtf16(std::wstring_view text);

// `url` with every character outside ASCII as the upper-case %XX escapes of
// its UTF-8 bytes; ASCII characters stay as they are, escapes and blanks
// included, so that an address already in that form is unchanged.
std::string AsciiUrl(std::wstring_view url);

}  // namespace tdm
