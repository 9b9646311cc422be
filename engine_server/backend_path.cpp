#include "engine_server/backend_path.h"

namespace tdm::engine {

namespace {

bool IsSeparator(wchar_t c) noexcept
{
    return c == L'\\' || c == L'/';
}

wchar_t FoldAscii(wchar_t c) noexcept
{
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

}  // namespace

std::wstring WindowsPath(std::wstring_view path)
{
    std::wstring result;
    result.reserve(path.size());
    size_t start = 0;
    // "\\?\UNC\server\share" is "\\server\share"; "\\?\C:\x" is "C:\x".
    const auto prefixed = [&](std::wstring_view prefix) {
        if (path.size() < prefix.size())
            return false;
        for (size_t i = 0; i < prefix.size(); ++i)
            if (IsSeparator(prefix[i]) ? !IsSeparator(path[i]) : FoldAscii(path[i]) != FoldAscii(prefix[i]))
                return false;
        return true;
    };
    if (prefixed(L"\\\\?\\UNC\\"))
    {
        result = L"\\\\";
        start = 8;
    }
    else if (prefixed(L"\\\\?\\"))
        start = 4;
    else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]))
    {
        result = L"\\\\";
        start = 2;
    }
    for (size_t i = start; i < path.size(); ++i)
    {
        if (!IsSeparator(path[i]))
            result += path[i];
        else if (result.empty() || result.back() != L'\\')
            result += L'\\';
    }
    return result;
}

}  // namespace tdm::engine
