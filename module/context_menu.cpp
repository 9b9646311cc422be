#include "module/context_menu.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "framework/module.h"
#include "framework/unique_any.h"
#include "resources/resource.h"
#include "text/language.h"

namespace tdm {

namespace {

constexpr DWORD kContextsLinksAndImages = 0x22;  // links (0x20) and images (0x02)
constexpr int kLinkScriptResource = 3000;

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

void DeleteMenuKey(UINT nameString)
{
    const std::string path = MenuKeyPath(nameString);
    if (path.empty())
        return;
    // The key holds only values, so deleting it with its (absent) subtree is the
    // same as deleting it.
    ::RegDeleteTreeA(HKEY_CURRENT_USER, path.c_str());
}

}  // namespace

void RegisterContextMenuEntry() noexcept
{
    try
    {
        RemoveContextMenuEntries();
        const std::string path = MenuKeyPath(IDS_MENU_DOWNLOAD_BY);
        if (path.empty())
            return;
        unique_hkey key;
        if (::RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, key.put(),
                              nullptr) != ERROR_SUCCESS)
            return;
        char modulePath[MAX_PATH] = {};
        const DWORD length = ::GetModuleFileNameA(CModule::Instance().ModuleInstance(), modulePath, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return;
        char script[MAX_PATH + 32] = {};
        std::snprintf(script, sizeof(script), "res://%s/%d", modulePath, kLinkScriptResource);
        ::RegSetValueExA(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(script),
                         static_cast<DWORD>(std::strlen(script) + 1));
        const DWORD contexts = kContextsLinksAndImages;
        ::RegSetValueExA(key.get(), "Contexts", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&contexts),
                         sizeof(contexts));
    }
    catch (...)
    {
    }
}

void RemoveContextMenuEntries() noexcept
{
    try
    {
        DeleteMenuKey(IDS_MENU_DOWNLOAD_BY);
        DeleteMenuKey(IDS_MENU_DOWNLOAD_ALL_BY);
    }
    catch (...)
    {
    }
}

}  // namespace tdm
