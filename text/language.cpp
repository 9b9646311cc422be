#include "text/language.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "framework/automation.h"
#include "framework/module.h"
#include "module/context_menu.h"
#include "resources/resource.h"
#include "settings/settings_store.h"

namespace tdm {

namespace {

// Written only on browser user-interface threads; readers take the value at the
// moment they load a string.
std::atomic<WORD> g_uiLanguage{1033};

// Finds entry `id` of the string table in `language`; false when the block or the
// entry is missing.
bool FindString(WORD language, UINT id, std::wstring& text)
{
    text.clear();
    HMODULE module = CModule::Instance().ModuleInstance();
    HRSRC block = ::FindResourceExW(module, reinterpret_cast<LPCWSTR>(RT_STRING),
                                    MAKEINTRESOURCEW(static_cast<WORD>(id / 16 + 1)), language);
    if (!block)
        return false;
    const DWORD size = ::SizeofResource(module, block);
    HGLOBAL loaded = ::LoadResource(module, block);
    const auto* data = loaded ? static_cast<const WCHAR*>(::LockResource(loaded)) : nullptr;
    if (!data)
        return false;
    // A block holds 16 counted UTF-16 strings; walk them within the block's size.
    const size_t words = size / sizeof(WCHAR);
    size_t position = 0;
    for (UINT entry = 0; entry < id % 16; ++entry)
    {
        if (position >= words)
            return false;
        position += 1 + data[position];
    }
    if (position >= words)
        return false;
    const size_t length = data[position];
    if (position + 1 + length > words)
        return false;
    text.assign(data + position + 1, length);
    return length > 0;
}

// The hhctrl.ocx that this module loaded itself (null when it was loaded by the
// process already or not at all). It stays loaded while help is in use.
HMODULE g_helpLibrary = nullptr;

}  // namespace

WORD GetUiLanguage() noexcept { return g_uiLanguage.load(); }

void InitUiLanguage() noexcept { g_uiLanguage = GetLanguageID(); }

void ResetUiLanguage(WORD language) noexcept { g_uiLanguage = language; }

void SetUiLanguage(WORD language) noexcept
{
    if (language == g_uiLanguage.load())
        return;
    RemoveContextMenuEntries();
    g_uiLanguage = language;
    RegisterContextMenuEntry();
}

std::wstring LoadUiStringW(UINT id)
{
    std::wstring text;
    FindString(g_uiLanguage.load(), id, text);
    return text;
}

std::string LoadUiString(UINT id)
{
    const std::wstring text = LoadUiStringW(id);
    return NarrowFromWide(text.data(), text.size());
}

std::wstring LoadNeutralStringW(UINT id)
{
    std::wstring text;
    FindString(MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), id, text);
    return text;
}

std::string LoadNeutralString(UINT id)
{
    const std::wstring text = LoadNeutralStringW(id);
    return NarrowFromWide(text.data(), text.size());
}

std::string HelpFilePath()
{
    char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(CModule::Instance().ModuleInstance(), path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return {};
    char drive[_MAX_DRIVE] = {};
    char folder[_MAX_DIR] = {};
    if (_splitpath_s(path, drive, sizeof(drive), folder, sizeof(folder), nullptr, 0, nullptr, 0) != 0)
        return {};
    char name[32] = {};
    std::snprintf(name, sizeof(name), "tdm%d.chm", static_cast<int>(g_uiLanguage.load()));
    return std::string(drive) + folder + name;
}

HWND ShowHelp(HWND owner, DWORD context) noexcept
{
    try
    {
        const std::string file = HelpFilePath();
        if (file.empty())
            return nullptr;
        HMODULE library = ::GetModuleHandleW(L"hhctrl.ocx");
        bool loadedHere = false;
        if (!library)
        {
            library = g_helpLibrary ? g_helpLibrary : ::LoadLibraryW(L"hhctrl.ocx");
            if (!library)
                return nullptr;
            loadedHere = library != g_helpLibrary;
        }
        using HtmlHelpFunction = HWND(WINAPI*)(HWND, LPCSTR, UINT, DWORD_PTR);
        auto htmlHelp = reinterpret_cast<HtmlHelpFunction>(::GetProcAddress(library, "HtmlHelpA"));
        if (!htmlHelp)
        {
            if (loadedHere)
                ::FreeLibrary(library);
            return nullptr;
        }
        if (loadedHere)
            g_helpLibrary = library;
        constexpr UINT kDisplayTopic = 0x0000;
        constexpr UINT kHelpContext = 0x000F;
        HWND window = context == kHelpContents ? htmlHelp(owner, file.c_str(), kDisplayTopic, 0)
                                               : htmlHelp(owner, file.c_str(), kHelpContext, context);
        if (window)
            ::SetWindowTextA(window, LoadNeutralString(IDS_PRODUCT_NAME).c_str());
        return window;
    }
    catch (...)
    {
        return nullptr;
    }
}

}  // namespace tdm
