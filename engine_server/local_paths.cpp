#include "engine_server/local_paths.h"

#include <algorithm>

#include "framework/error.h"
#include "framework/unique_any.h"

namespace tdm::engine {

std::wstring WithSeparator(std::wstring folder)
{
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/')
        folder += L'\\';
    return folder;
}

// A folder as aria2 takes it: without the separator at the end, except for a
// drive's root ("C:\\").
std::wstring WithoutSeparator(const std::wstring& folder)
{
    return folder.size() > 3 ? folder.substr(0, folder.size() - 1) : folder;
}

// `path` (a full local or UNC path) in the form that the file functions take
// as it stands: a server's name in the staging folder may end with a dot or be
// "CON", which the ordinary form would trim or turn into a device.
std::wstring ExtendedPath(std::wstring path)
{
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (path.compare(0, 4, L"\\\\?\\") == 0)
        return path;
    if (path.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + path.substr(2);
    if (path.size() > 2 && path[1] == L':')
        return L"\\\\?\\" + path;
    return path;
}

bool FileExists(const std::wstring& path) noexcept
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Removes `folder` (ending with "\\") with the files in it; best effort.
void RemoveFolderWithFiles(const std::wstring& folder) noexcept
try
{
    const std::wstring extended = ExtendedPath(folder);
    WIN32_FIND_DATAW found = {};
    {
        const unique_any<HANDLE, detail::CloseFindHandle, -1> search(::FindFirstFileW((extended + L"*").c_str(), &found));
        for (BOOL more = static_cast<bool>(search); more; more = ::FindNextFileW(search.get(), &found))
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                ::DeleteFileW((extended + found.cFileName).c_str());
    }
    ::RemoveDirectoryW(extended.c_str());
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

long NumberOfName(const std::wstring& name) noexcept
{
    if (name.empty() || name.size() > 9 || (name[0] == L'0' && name.size() > 1) ||
        !std::all_of(name.begin(), name.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; }))
        return -1;
    long number = 0;
    for (wchar_t c : name)
        number = number * 10 + (c - L'0');
    return number;
}

// Whether two folder paths (each ending with a separator) name the same
// folder: separators either way, letters of any case.
bool SameFolder(std::wstring a, std::wstring b)
{
    std::replace(a.begin(), a.end(), L'/', L'\\');
    std::replace(b.begin(), b.end(), L'/', L'\\');
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// A name for a new file beside `path` + `extension` that is not taken:
// "<path><extension>", else "<path> (2)<extension>", "(3)", ...
std::wstring FreeFileName(const std::wstring& path, const std::wstring& extension)
{
    std::wstring candidate = path + extension;
    for (int n = 2; ::GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES && n < 10000; ++n)
        candidate = path + L" (" + std::to_wstring(n) + L")" + extension;
    return candidate;
}

}  // namespace tdm::engine
