#include "text/message_box.h"

#include "text/language.h"
#include "resources/resource.h"

namespace tdm {

int ShowMessageBox(const std::string& text, HWND owner, UINT type, const char* caption) noexcept
{
    try
    {
        const std::string productName = caption ? std::string() : LoadNeutralString(IDS_PRODUCT_NAME);
        HWND focus = ::GetFocus();
        const int result = ::MessageBoxA(owner, text.c_str(), caption ? caption : productName.c_str(), type);
        if (focus && ::IsWindow(focus))
            ::SetFocus(focus);
        return result;
    }
    catch (...)
    {
        return 0;
    }
}

void ShowErrorBox(const std::string& text, HWND owner) noexcept
{
    ShowMessageBox(text, owner, MB_OK | MB_ICONERROR);
}

void ShowInfoBox(const std::string& text, HWND owner) noexcept
{
    ShowMessageBox(text, owner, MB_OK | MB_ICONINFORMATION);
}

}  // namespace tdm
