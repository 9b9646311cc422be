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

}  // namespace

HRESULT RegisterContextMenuEntry() noexcept
try
{
    RETURN_IF_FAILED(RemoveContextMenuEntries());
    const std::string path = MenuKeyPath(IDS_MENU_DOWNLOAD_BY);
    if (path.empty())
        return S_FALSE;
    unique_hkey key;
    RETURN_IF_WIN32_ERROR(::RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                            KEY_READ | KEY_WRITE, nullptr, key.put(), nullptr));
    char modulePath[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(CModule::Instance().ModuleInstance(), modulePath, MAX_PATH);
    RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), length >= MAX_PATH);
    RETURN_LAST_ERROR_IF(length == 0);
    char script[MAX_PATH + 32] = {};
    std::snprintf(script, sizeof(script), "res://%s/%d", modulePath, kLinkScriptResource);
    RETURN_IF_WIN32_ERROR(::RegSetValueExA(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(script),
                                           static_cast<DWORD>(std::strlen(script) + 1)));
    const DWORD contexts = kContextsLinksAndImages;
    RETURN_IF_WIN32_ERROR(::RegSetValueExA(key.get(), "Contexts", 0, REG_DWORD,
                                           reinterpret_cast<const BYTE*>(&contexts), sizeof(contexts)));
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT RemoveContextMenuEntries() noexcept
try
{
    const LONG link = DeleteMenuKey(IDS_MENU_DOWNLOAD_BY);
    const LONG all = DeleteMenuKey(IDS_MENU_DOWNLOAD_ALL_BY);
    return HRESULT_FROM_WIN32(link != ERROR_SUCCESS ? link : all);
}
catch (...)
{
    return HResultFromCaughtException();
}

void MoveContextMenuEntries(bool languageChanged) noexcept
{
    // Called once with the old language current, once with the new one.
    if (languageChanged)
        LOG_IF_FAILED(RegisterContextMenuEntry());
    else
        LOG_IF_FAILED(RemoveContextMenuEntries());
}

}  // namespace tdm
