// The message that reports a URL the client cannot download.
#pragma once

#include <windows.h>
#include <string>

namespace tdm {

// The incorrect-URL message in the interface language, naming `url`; for an empty
// URL only the request to give a correct one.
std::wstring IncorrectUrlMessage(const std::wstring& url);

// Shows the incorrect-URL message in an error box owned by `owner`.
void ShowIncorrectUrlMessage(const std::wstring& url, HWND owner) noexcept;

}  // namespace tdm
