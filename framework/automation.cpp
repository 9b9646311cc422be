#include "framework/automation.h"

#include <windows.h>
#include <climits>

namespace tdm {

std::string NarrowFromWide(const wchar_t* text, size_t length)
{
    if (!text || length == 0 || length > INT_MAX)
        return {};
    const int wide = static_cast<int>(length);
    const int bytes = ::WideCharToMultiByte(CP_ACP, 0, text, wide, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return {};
    std::string result(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text, wide, result.data(), bytes, nullptr, nullptr);
    return result;
}

std::wstring WideFromNarrow(std::string_view text)
{
    if (text.empty() || text.size() > INT_MAX)
        return {};
    const int narrow = static_cast<int>(text.size());
    const int chars = ::MultiByteToWideChar(CP_ACP, 0, text.data(), narrow, nullptr, 0);
    if (chars <= 0)
        return {};
    std::wstring result(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), narrow, result.data(), chars);
    return result;
}

BSTR AllocBstrFromNarrow(std::string_view text) noexcept
{
    try
    {
        const std::wstring wide = WideFromNarrow(text);
        return ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    }
    catch (...)
    {
        return nullptr;
    }
}

}  // namespace tdm
