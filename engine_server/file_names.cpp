#include "engine_server/file_names.h"

#include <cwctype>

namespace tdm::engine {

namespace {

bool IsControl(wchar_t c) noexcept { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// Embeddings, overrides and isolates: they make "a\x202Etxt.exe" look like
// "aexe.txt" in every list that shows the name.
bool IsDirectionControl(wchar_t c) noexcept { return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069); }

bool IsSeparator(wchar_t c) noexcept { return c == L'\\' || c == L'/'; }

// Characters Windows refuses in a name (the colon also opens a stream).
bool IsForbidden(wchar_t c) noexcept
{
    return c == L'*' || c == L'?' || c == L'"' || c == L'<' || c == L'>' || c == L'|';
}

bool Unsafe(wchar_t c) noexcept
{
    // Wine shows a character that a Unix name may hold and a Windows name may
    // not (the colon of "x:y") as U+F000 plus its code.
    if (c > 0xF000 && c < 0xF080)
        c = static_cast<wchar_t>(c - 0xF000);
    return IsControl(c) || IsDirectionControl(c) || IsSeparator(c) || c == L':' || IsForbidden(c);
}

// CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, also with an extension ("con.txt")
// or blanks before it: Windows opens the device for each of them.
bool IsDeviceName(std::wstring_view name) noexcept
{
    std::wstring_view stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ')
        stem.remove_suffix(1);
    std::wstring upper;
    for (wchar_t c : stem)
        upper += static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
    if (upper == L"CON" || upper == L"PRN" || upper == L"AUX" || upper == L"NUL")
        return true;
    return upper.size() == 4 && (upper.compare(0, 3, L"COM") == 0 || upper.compare(0, 3, L"LPT") == 0) &&
           upper[3] >= L'1' && upper[3] <= L'9';
}

}  // namespace

bool HasControlCharacter(std::wstring_view text) noexcept
{
    for (wchar_t c : text)
        if (IsControl(c))
            return true;
    return false;
}

const char* FileNameProblem(std::wstring_view name) noexcept
{
    if (name.empty())
        return "is empty";
    if (name == L"." || name == L"..")
        return "names a folder, not a file";
    for (wchar_t c : name)
    {
        if (IsControl(c))
            return "contains a control character";
        if (IsDirectionControl(c))
            return "contains a character that reverses the text direction";
        if (IsSeparator(c))
            return "contains a path separator";
        if (c == L':')
            return "contains a colon (a drive or a stream)";
        if (IsForbidden(c))
            return "contains a character that file names cannot hold";
    }
    if (name.back() == L'.' || name.back() == L' ')
        return "ends with a dot or a blank";
    if (IsDeviceName(name))
        return "is the name of a device";
    return nullptr;
}

std::wstring SafeFileName(std::wstring_view name)
{
    std::wstring safe;
    for (wchar_t c : name)
        safe += Unsafe(c) ? L'_' : c;
    while (!safe.empty() && (safe.back() == L'.' || safe.back() == L' '))
        safe.pop_back();
    if (safe.empty())
        return L"download";
    if (IsDeviceName(safe))
        safe.insert(0, 1, L'_');
    return safe;
}

const char* FolderProblem(std::wstring_view folder) noexcept
{
    std::wstring_view rest;
    if (folder.size() >= 3 && std::iswalpha(static_cast<wint_t>(folder[0])) && folder[1] == L':' &&
        IsSeparator(folder[2]))
        rest = folder.substr(3);
    else if (folder.size() > 2 && IsSeparator(folder[0]) && IsSeparator(folder[1]) && folder[2] != L'?' &&
             folder[2] != L'.')
    {
        // \\server\share: both parts present.
        rest = folder.substr(2);
        size_t server = 0;
        while (server < rest.size() && !IsSeparator(rest[server]))
            ++server;
        if (server == 0 || server + 1 >= rest.size() || IsSeparator(rest[server + 1]))
            return "names no share";
    }
    else
        return "is not a full local or network path";
    while (!rest.empty())
    {
        size_t end = 0;
        while (end < rest.size() && !IsSeparator(rest[end]))
            ++end;
        const std::wstring_view part = rest.substr(0, end);
        rest.remove_prefix(end < rest.size() ? end + 1 : end);
        if (part.empty())
            continue;
        if (const char* problem = FileNameProblem(part))
            return problem;
    }
    return nullptr;
}

}  // namespace tdm::engine
