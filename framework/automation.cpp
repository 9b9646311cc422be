#include "framework/automation.h"

#include <windows.h>
#include <climits>
#include <cstring>
#include <cwchar>

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

std::string Utf8FromWide(std::wstring_view text)
{
    if (text.empty() || text.size() > INT_MAX / 4)
        return {};
    const int wide = static_cast<int>(text.size());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return {};
    std::string result(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), wide, result.data(), bytes, nullptr, nullptr);
    return result;
}

std::wstring WideFromUtf8(std::string_view text)
{
    if (text.empty() || text.size() > INT_MAX)
        return {};
    const int narrow = static_cast<int>(text.size());
    const int chars = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), narrow, nullptr, 0);
    if (chars <= 0)
        return {};
    std::wstring result(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), narrow, result.data(), chars);
    return result;
}

bool ReadGlobalText(HGLOBAL memory, bool wide, std::wstring& text)
{
    const void* locked = memory ? ::GlobalLock(memory) : nullptr;
    if (!locked)
        return false;
    const size_t size = ::GlobalSize(memory);
    try
    {
        if (wide)
        {
            const auto* chars = static_cast<const wchar_t*>(locked);
            text.assign(chars, wcsnlen(chars, size / sizeof(wchar_t)));
        }
        else
        {
            const auto* bytes = static_cast<const char*>(locked);
            text = WideFromNarrow(std::string_view(bytes, strnlen(bytes, size)));
        }
    }
    catch (...)
    {
        ::GlobalUnlock(memory);
        throw;
    }
    ::GlobalUnlock(memory);
    return true;
}

BSTR AllocBstr(std::wstring_view text) noexcept
{
    if (text.size() > UINT_MAX / sizeof(wchar_t) - 1)
        return nullptr;
    return ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

}  // namespace tdm
