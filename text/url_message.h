// The message that reports a URL the client cannot download.
#pragma once

#include <windows.h>
#include <string>

namespace tdm {

// The incorrect-URL message in the interface language, naming `url`; for an empty
// URL only the request to give a correct one.
std::string IncorrectUrlMessage(const std::string& url);

// Shows the incorrect-URL message in an error box owned by `owner`.
void ShowIncorrectUrlMessage(const std::string& url, HWND owner) noexcept;

}  // namespace tdm
