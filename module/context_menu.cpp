#include "module/context_menu.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "framework/error.h"
#include "framework/module.h"
#include "framework/unique_any.h"
#include "resources/resource.h"
#include "text/language.h"

namespace tdm {

namespace {

// The browser's menu contexts an entry is offered in.
constexpr DWORD kContextsLinksAndImages = 0x22;  // links (0x20) and images (0x02)
constexpr DWORD kContextsPage = 0x01;            // the page itself, off any link or image

// Each entry: the string that names its key, the script it runs, where it is offered.
struct MenuEntry
{
    UINT nameString;
    int scriptResource;
    DWORD contexts;
};
constexpr MenuEntry kEntries[] = {
    {IDS_MENU_DOWNLOAD_BY, 3000, kContextsLinksAndImages},    // the link under the pointer
    {IDS_MENU_DOWNLOAD_ALL_BY, 3001, kContextsPage},         // the page's links, in the link dialog
};

// The entry's key path, or empty when the language has no name for it: an empty
// name would make the path the MenuExt key itself, the home of every other
// add-on's entries, which must never be written or deleted here.
std::string MenuKeyPath(UINT nameString)
{
    const std::string name = LoadUiString(nameString);
    if (name.empty())
        return {};
    return "Software\\Microsoft\\Internet Explorer\\MenuExt\\" + name + "\\";
}

LONG DeleteMenuKey(UINT nameString)
{
    const std::string path = MenuKeyPath(nameString);
    if (path.empty())
        return ERROR_SUCCESS;
    // The key holds only values, so deleting it with its (absent) subtree is the
    // same as deleting it.
    const LONG error = ::RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
    return error == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : error;
}

// Writes one entry's key: the script as its default value and its contexts.
// A language without a name for it writes nothing (S_FALSE).
HRESULT WriteMenuEntry(const MenuEntry& entry, const char* modulePath)
{
    const std::string path = MenuKeyPath(entry.nameString);
    if (path.empty())
        return S_FALSE;
    unique_hkey key;
    RETURN_IF_WIN32_ERROR(::RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                            KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr));
    char script[MAX_PATH + 32] = {};
    std::snprintf(script, sizeof(script), "res://%s/%d", modulePath, entry.scriptResource);
    RETURN_IF_WIN32_ERROR(::RegSetValueExA(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(script),
                                           static_cast<DWORD>(std::strlen(script) + 1)));
    RETURN_IF_WIN32_ERROR(::RegSetValueExA(key.get(), "Contexts", 0, REG_DWORD,
                                           reinterpret_cast<const BYTE*>(&entry.contexts), sizeof(entry.contexts)));
    return S_OK;
}

}  // namespace

HRESULT RegisterContextMenuEntries() noexcept
try
{
    RETURN_IF_FAILED(RemoveContextMenuEntries());
    char modulePath[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(CModule::Instance().ModuleInstance(), modulePath, MAX_PATH);
    RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), length >= MAX_PATH);
    RETURN_LAST_ERROR_IF(length == 0);
    HRESULT result = S_OK;
    for (const MenuEntry& entry : kEntries)
    {
        const HRESULT written = WriteMenuEntry(entry, modulePath);
        RETURN_IF_FAILED(written);
        if (written != S_OK)
            result = written;
    }
    return result;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT RemoveContextMenuEntries() noexcept
try
{
    // Every entry is tried; the first failure is the answer.
    LONG first = ERROR_SUCCESS;
    for (const MenuEntry& entry : kEntries)
    {
        const LONG error = DeleteMenuKey(entry.nameString);
        if (first == ERROR_SUCCESS)
            first = error;
    }
    return HRESULT_FROM_WIN32(first);
}
catch (...)
{
    return HResultFromCaughtException();
}

void MoveContextMenuEntries(bool languageChanged) noexcept
{
    // Called once with the old language current, once with the new one.
    if (languageChanged)
        LOG_IF_FAILED(RegisterContextMenuEntries());
    else
        LOG_IF_FAILED(RemoveContextMenuEntries());
}

}  // namespace tdm
