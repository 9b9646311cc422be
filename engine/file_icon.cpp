#include "engine/file_icon.h"

#include <windows.h>
#include <shellapi.h>

#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "framework/lock.h"
#include "framework/module.h"

namespace tdm {

namespace {

// Deletes the stand-in file it created when the lookup is over.
class StandInFile
{
public:
    StandInFile() = default;
    StandInFile(const StandInFile&) = delete;
    StandInFile& operator=(const StandInFile&) = delete;
    ~StandInFile()
    {
        if (m_created)
            ::DeleteFileW(m_path.c_str());
    }

    // Forms the stand-in path for `path` and creates the empty file unless one of
    // that name exists. Returns the stand-in path, or an empty text when no path
    // can be formed.
    const std::wstring& Prepare(const std::wstring& path)
    {
        wchar_t folder[MAX_PATH + 1] = {};
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
        if (length == 0 || length > MAX_PATH)
            return m_path;
        const size_t name = path.find_last_of(L"\\/:");
        m_path = std::wstring(folder) + L"_" + path.substr(name == std::wstring::npos ? 0 : name + 1);
        if (::GetFileAttributesW(m_path.c_str()) != INVALID_FILE_ATTRIBUTES)
            return m_path;
        unique_file file(::CreateFileW(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_HIDDEN, nullptr));
        m_created = static_cast<bool>(file);
        return m_path;
    }

private:
    std::wstring m_path;
    bool m_created = false;
};

unique_hicon ShellSmallIcon(const std::wstring& path)
{
    SHFILEINFOW info = {};
    // On failure the shell may leave anything in hIcon.
    if (::SHGetFileInfoW(path.c_str(), 0, &info, sizeof(info), SHGFI_ICON | SHGFI_SMALLICON) == 0)
        return {};
    return unique_hicon(info.hIcon);
}

// The icon of the program associated with `path`, in its small version when the
// icon file has one.
unique_hicon AssociatedSmallIcon(const std::wstring& path)
{
    // ExtractAssociatedIcon rewrites the buffer with the icon file's path.
    wchar_t iconPath[MAX_PATH] = {};
    if (path.size() >= MAX_PATH)
        return {};
    path.copy(iconPath, path.size());
    WORD index = 0;
    unique_hicon icon(::ExtractAssociatedIconW(CModule::Instance().ModuleInstance(), iconPath, &index));
    if (!icon)
        return {};
    HICON smallIcon = nullptr;
    if (::ExtractIconExW(iconPath, index, nullptr, &smallIcon, 1) != 0 && smallIcon)
        icon.reset(smallIcon);
    return icon;
}

// Lower-cases a key in place, in any script, as file names compare.
void FoldToLower(std::wstring& text) noexcept
{
    if (!text.empty() && text.size() <= MAXDWORD)
        ::CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
}

// The cache: key (see CacheKey) -> icon, null for files the shell has no icon
// for. Made on first use and left to the system at process exit rather than
// destroyed by a static destructor, which would run under the loader lock.
srw_lock g_iconsLock;
std::unordered_map<std::wstring, unique_hicon>* g_icons = nullptr;

// The lower-case extension of the file (with its dot; empty without one), or for
// the kinds of file that carry their own icon and exist, the lower-case path.
std::wstring CacheKey(const std::wstring& path)
{
    const size_t nameStart = path.find_last_of(L"\\/:");
    const size_t dot = path.rfind(L'.');
    std::wstring key =
        dot == std::wstring::npos || (nameStart != std::wstring::npos && dot < nameStart) ? L"" : path.substr(dot);
    FoldToLower(key);
    static const wchar_t* const ownIcons[] = {L".exe", L".ico", L".lnk", L".cur", L".ani"};
    for (const wchar_t* extension : ownIcons)
    {
        if (key == extension && ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        {
            key = path;
            FoldToLower(key);
            break;
        }
    }
    return key;
}

}  // namespace

unique_hicon LookUpFileIcon(const std::wstring& path) noexcept
{
    try
    {
        if (path.empty() || path.back() == L'\\')
            return {};
        StandInFile standIn;
        const std::wstring& lookup =
            ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES ? standIn.Prepare(path) : path;
        if (lookup.empty())
            return {};
        if (unique_hicon icon = ShellSmallIcon(lookup))
            return icon;
        return AssociatedSmallIcon(lookup);
    }
    catch (...)
    {
        return {};
    }
}

HICON CachedFileIcon(const std::wstring& path) noexcept
{
    try
    {
        if (path.empty() || path.back() == L'\\')
            return nullptr;
        const std::wstring key = CacheKey(path);
        {
            std::lock_guard<srw_lock> guard(g_iconsLock);
            if (g_icons)
            {
                const auto found = g_icons->find(key);
                if (found != g_icons->end())
                    return found->second.get();
            }
        }
        // The shell may pump sent messages, which could bring this thread back
        // here: no lock is held across the lookup. Of two threads that looked the
        // same key up, the first to store its icon wins.
        unique_hicon icon = LookUpFileIcon(path);
        std::lock_guard<srw_lock> guard(g_iconsLock);
        if (!g_icons)
            g_icons = new std::unordered_map<std::wstring, unique_hicon>();
        return g_icons->try_emplace(key, std::move(icon)).first->second.get();
    }
    catch (...)
    {
        return nullptr;
    }
}

void ReleaseFileIconCache() noexcept
{
    std::unique_ptr<std::unordered_map<std::wstring, unique_hicon>> icons;
    {
        std::lock_guard<srw_lock> guard(g_iconsLock);
        if (CModule::Instance().LockCount() != 0)
            return;
        icons.reset(std::exchange(g_icons, nullptr));
    }
}

}  // namespace tdm
