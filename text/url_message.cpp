#include "text/url_message.h"

#include <climits>
#include <string_view>

#include "resources/resource.h"
#include "text/language.h"
#include "text/message_box.h"
#include "text/url_components.h"

namespace tdm {

namespace {

std::wstring WideFromUtf8(std::string_view text)
{
    if (text.empty() || text.size() > INT_MAX)
        return {};
    const int size = static_cast<int>(text.size());
    const int chars = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    if (chars <= 0)
        return {};
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), chars);
    return wide;
}

}  // namespace

// The message is built over UTF-8, which holds the template in any language and
// the URL as it was given, and shown as UTF-16.
std::wstring IncorrectUrlMessage(const std::wstring& url)
{
    return WideFromUtf8(FormatIncorrectUrlMessage(Utf8FromUtf16(LoadUiStringW(IDS_INCORRECT_URL_FMT)),
                                                  Utf8FromUtf16(url)));
}

void ShowIncorrectUrlMessage(const std::wstring& url, HWND owner) noexcept
{
    try
    {
        ShowErrorBox(IncorrectUrlMessage(url), owner);
    }
    catch (...)
    {
    }
}

}  // namespace tdm
