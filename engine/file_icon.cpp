#include "engine/file_icon.h"

#include <windows.h>
#include <shellapi.h>

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
            ::DeleteFileA(m_path.c_str());
    }

    // Forms the stand-in path for `path` and creates the empty file unless one of
    // that name exists. Returns the stand-in path, or an empty text when no path
    // can be formed.
    const std::string& Prepare(const std::string& path)
    {
        char folder[MAX_PATH + 1] = {};
        const DWORD length = ::GetTempPathA(MAX_PATH + 1, folder);
        if (length == 0 || length > MAX_PATH)
            return m_path;
        const size_t name = path.find_last_of("\\/:");
        m_path = std::string(folder) + "_" + path.substr(name == std::string::npos ? 0 : name + 1);
        if (::GetFileAttributesA(m_path.c_str()) != INVALID_FILE_ATTRIBUTES)
            return m_path;
        unique_file file(::CreateFileA(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_HIDDEN, nullptr));
        m_created = static_cast<bool>(file);
        return m_path;
    }

private:
    std::string m_path;
    bool m_created = false;
};

unique_hicon ShellSmallIcon(const std::string& path)
{
    SHFILEINFOA info = {};
    // On failure the shell may leave anything in hIcon.
    if (::SHGetFileInfoA(path.c_str(), 0, &info, sizeof(info), SHGFI_ICON | SHGFI_SMALLICON) == 0)
        return {};
    return unique_hicon(info.hIcon);
}

// The icon of the program associated with `path`, in its small version when the
// icon file has one.
unique_hicon AssociatedSmallIcon(const std::string& path)
{
    // ExtractAssociatedIcon rewrites the buffer with the icon file's path.
    char iconPath[MAX_PATH] = {};
    if (path.size() >= MAX_PATH)
        return {};
    path.copy(iconPath, path.size());
    WORD index = 0;
    unique_hicon icon(::ExtractAssociatedIconA(CModule::Instance().ModuleInstance(), iconPath, &index));
    if (!icon)
        return {};
    HICON smallIcon = nullptr;
    if (::ExtractIconExA(iconPath, index, nullptr, &smallIcon, 1) != 0 && smallIcon)
        icon.reset(smallIcon);
    return icon;
}

}  // namespace

unique_hicon LookUpFileIcon(const std::string& path) noexcept
{
    try
    {
        if (path.empty() || path.back() == '\\')
            return {};
        StandInFile standIn;
        const std::string& lookup =
            ::GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES ? standIn.Prepare(path) : path;
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

}  // namespace tdm
