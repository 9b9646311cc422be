#include "text/url_message.h"

#include "resources/resource.h"
#include "text/language.h"
#include "text/message_box.h"
#include "text/url_components.h"

namespace tdm {

std::string IncorrectUrlMessage(const std::string& url)
{
    return FormatIncorrectUrlMessage(LoadUiString(IDS_INCORRECT_URL_FMT), url);
}

void ShowIncorrectUrlMessage(const std::string& url, HWND owner) noexcept
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
