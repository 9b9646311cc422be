#include "store/settings_store.h"

#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "framework/automation.h"
#include "framework/unique_any.h"

namespace tdm {

namespace {

// Getters ask only for read access: a browser in protected mode may read the
// user's settings key but not write it, and must still see the stored values.
bool OpenForRead(const char* keyPath, unique_hkey& key) noexcept
{
    return ::RegOpenKeyExA(HKEY_CURRENT_USER, keyPath, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

LONG OpenForWrite(const char* keyPath, unique_hkey& key) noexcept
{
    return ::RegCreateKeyExA(HKEY_CURRENT_USER, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                             nullptr, key.put(), nullptr);
}

// Reads a REG_DWORD; false for a missing value, another type or other data size.
bool ReadDword(const char* keyPath, const char* valueName, DWORD& value) noexcept
{
    unique_hkey key;
    if (!OpenForRead(keyPath, key))
        return false;
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof(data);
    const LONG error = ::RegQueryValueExA(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    if (error != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(data))
        return false;
    value = data;
    return true;
}

LONG WriteDword(const char* keyPath, const char* valueName, DWORD value) noexcept
{
    unique_hkey key;
    const LONG error = OpenForWrite(keyPath, key);
    if (error != ERROR_SUCCESS)
        return error;
    return ::RegSetValueExA(key.get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

}  // namespace

bool ReadRegFlag(const char* keyPath, const char* valueName, bool defaultValue) noexcept
{
    DWORD value = 0;
    return ReadDword(keyPath, valueName, value) ? value != 0 : defaultValue;
}

LONG WriteRegFlag(const char* keyPath, const char* valueName, bool value) noexcept
{
    return WriteDword(keyPath, valueName, value ? 1 : 0);
}

LONG ReadRegNumber(const char* keyPath, const char* valueName, LONG defaultValue) noexcept
{
    DWORD value = 0;
    return ReadDword(keyPath, valueName, value) ? static_cast<LONG>(value) : defaultValue;
}

LONG WriteRegNumber(const char* keyPath, const char* valueName, LONG value) noexcept
{
    return WriteDword(keyPath, valueName, static_cast<DWORD>(value));
}

WORD ReadRegWord(const char* keyPath, const char* valueName, WORD defaultValue) noexcept
{
    DWORD value = 0;
    return ReadDword(keyPath, valueName, value) ? static_cast<WORD>(value & 0xFFFF) : defaultValue;
}

LONG WriteRegWord(const char* keyPath, const char* valueName, DWORD value) noexcept
{
    return WriteDword(keyPath, valueName, value & 0xFFFF);
}

namespace {

// Value names are ASCII.
std::wstring WideName(const char* name)
{
    return std::wstring(name, name + std::strlen(name));
}

}  // namespace

std::wstring ReadRegText(const char* keyPath, const char* valueName, const std::wstring& defaultValue)
{
    unique_hkey key;
    if (!OpenForRead(keyPath, key))
        return defaultValue;
    const std::wstring name = WideName(valueName);
    DWORD size = 0;
    DWORD type = REG_NONE;
    if (::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return defaultValue;
    // The stored type is not checked: a text type is read as UTF-16, any other
    // as 8-bit text in the ANSI code page, as the ANSI functions always read it.
    // The data need not end with a NUL, so the result is cut at the first NUL or
    // at the end of the data, whichever comes first.
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    DWORD read = size;
    if (size > 0 && ::RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(buffer.data()), &read) != ERROR_SUCCESS)
        return defaultValue;
    read = std::min(read, size);
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ)
    {
        const auto* bytes = reinterpret_cast<const char*>(buffer.data());
        return WideFromNarrow(std::string_view(bytes, strnlen(bytes, read)));
    }
    const size_t characters = read / sizeof(wchar_t);
    size_t length = 0;
    while (length < characters && buffer[length] != L'\0')
        ++length;
    return std::wstring(buffer.data(), length);
}

LONG WriteRegText(const char* keyPath, const char* valueName, const std::wstring& value) noexcept
try
{
    unique_hkey key;
    const LONG error = OpenForWrite(keyPath, key);
    if (error != ERROR_SUCCESS)
        return error;
    return ::RegSetValueExW(key.get(), WideName(valueName).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}
catch (const std::bad_alloc&)
{
    return ERROR_OUTOFMEMORY;
}

#define TDM_FLAG_SETTING(Name, Default)                                                     \
    bool Get##Name() noexcept { return ReadRegFlag(kSettingsKey, #Name, Default); }         \
    void Set##Name(bool value) noexcept { (void)WriteRegFlag(kSettingsKey, #Name, value); }

#define TDM_NUMBER_SETTING(Name, Default)                                                   \
    LONG Get##Name() noexcept { return ReadRegNumber(kSettingsKey, #Name, Default); }       \
    void Set##Name(LONG value) noexcept { (void)WriteRegNumber(kSettingsKey, #Name, value); }

TDM_FLAG_SETTING(SaveFileDefault, true)
TDM_FLAG_SETTING(IsIconic, false)
TDM_NUMBER_SETTING(RestoredHeight, 200)
TDM_NUMBER_SETTING(IconicTopOffset, 4)
TDM_FLAG_SETTING(MSIEIntegrate, true)
TDM_FLAG_SETTING(NotOpenBand, false)
TDM_FLAG_SETTING(Start, true)
TDM_FLAG_SETTING(ConfirmCreation, false)
TDM_FLAG_SETTING(Delete, false)
TDM_FLAG_SETTING(ConfirmFileOpen, false)
TDM_FLAG_SETTING(Notifications, true)
TDM_FLAG_SETTING(InformWhenCompleted, false)
TDM_FLAG_SETTING(PlaySounds, true)
TDM_FLAG_SETTING(ShowToolbar, true)
TDM_FLAG_SETTING(ShowToolbarLabels, false)
TDM_NUMBER_SETTING(LinksDialogWidth, 0)
TDM_NUMBER_SETTING(LinksDialogHeight, 0)
TDM_NUMBER_SETTING(LinksNameColumnWidth, 0)
TDM_NUMBER_SETTING(LinksUrlColumnWidth, 0)

#undef TDM_FLAG_SETTING
#undef TDM_NUMBER_SETTING

std::wstring GetBrowse() { return ReadRegText(kSettingsKey, "Browse", std::wstring()); }
void SetBrowse(const std::wstring& folder) { (void)WriteRegText(kSettingsKey, "Browse", folder); }

std::wstring GetDownloadFolder()
{
    std::wstring folder = GetBrowse();
    unique_cotaskmem_string downloads;
    if (folder.empty() &&
        SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_Downloads, KF_FLAG_CREATE, nullptr, downloads.put())) && downloads)
        folder = std::wstring(downloads.get()) + L"\\";
    return folder;
}

WORD GetLanguageID() noexcept { return ReadRegWord(kSettingsKey, "LanguageID", 1033); }
void SetLanguageID(DWORD language) noexcept { (void)WriteRegWord(kSettingsKey, "LanguageID", language); }

std::wstring DefaultCaptureTypes()
{
    return L"zip rar 7z gz tgz bz2 xz tar cab arj lzh "  // archives
           L"exe msi msu msp "                          // installers
           L"iso img vhd vhdx dmg nrg "                 // disk images
           L"mp3 wav wma ogg flac aac m4a "             // audio
           L"avi mp4 m4v mkv mov wmv mpg mpeg flv webm 3gp "  // video
           L"pdf doc docx xls xlsx ppt pptx rtf odt ods odp djvu";  // documents
}

std::wstring GetCaptureTypes() { return ReadRegText(kSettingsKey, "CaptureTypes", DefaultCaptureTypes()); }
void SetCaptureTypes(const std::wstring& types) { (void)WriteRegText(kSettingsKey, "CaptureTypes", types); }
std::wstring GetCaptureNeverSites() { return ReadRegText(kSettingsKey, "CaptureNeverSites", std::wstring()); }
void SetCaptureNeverSites(const std::wstring& patterns)
{
    (void)WriteRegText(kSettingsKey, "CaptureNeverSites", patterns);
}

UINT GetBypassKey() noexcept
{
    const LONG key = ReadRegNumber(kSettingsKey, "BypassKey", VK_MENU);
    switch (key)
    {
    case 0:
    case VK_MENU:
    case VK_CONTROL:
    case VK_SHIFT:
        return static_cast<UINT>(key);
    default:
        return VK_MENU;
    }
}
void SetBypassKey(UINT key) noexcept { (void)WriteRegNumber(kSettingsKey, "BypassKey", static_cast<LONG>(key)); }

CompletionSettings CompletionSettings::Load() noexcept
{
    CompletionSettings settings;
    settings.deleteCompleted = GetDelete();
    settings.saveFileDefault = GetSaveFileDefault();
    settings.confirmFileOpen = GetConfirmFileOpen();
    if (GetNotifications())
    {
        settings.informWhenCompleted = GetInformWhenCompleted();
        settings.playSounds = GetPlaySounds();
    }
    return settings;
}

}  // namespace tdm
