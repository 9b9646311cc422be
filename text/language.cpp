#include "text/language.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include <mutex>

#include "framework/automation.h"
#include "framework/lock.h"
#include "framework/module.h"
#include "resources/resource.h"
#include "store/settings_store.h"

namespace tdm {

namespace {

// The current language, or kUnread until the first use reads the stored one
// (not when the module is loaded: the loader lock is no place for the registry).
// Written only on browser user-interface threads; readers take the value at the
// moment they load a string.
constexpr LONG kUnread = -1;
std::atomic<LONG> g_uiLanguage{kUnread};

LanguageChangeHook g_changeHook = nullptr;

WORD CurrentLanguage() noexcept
{
    LONG language = g_uiLanguage.load();
    if (language == kUnread)
    {
        // Two threads may both read the setting; the first to store it wins.
        LONG expected = kUnread;
        g_uiLanguage.compare_exchange_strong(expected, GetLanguageID());
        language = g_uiLanguage.load();
    }
    return static_cast<WORD>(language);
}

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
// process already or not at all). It stays loaded while help is in use. Help is
// asked for on every browser thread.
srw_lock g_helpLibraryLock;
HMODULE g_helpLibrary = nullptr;

// HtmlHelpA of the loaded hhctrl.ocx, loading it here when the process has not.
FARPROC FindHtmlHelp() noexcept
{
    if (HMODULE loaded = ::GetModuleHandleW(L"hhctrl.ocx"))
        return ::GetProcAddress(loaded, "HtmlHelpA");
    std::lock_guard<srw_lock> guard(g_helpLibraryLock);
    if (!g_helpLibrary)
    {
        HMODULE library = ::LoadLibraryW(L"hhctrl.ocx");
        if (!library)
            return nullptr;
        if (!::GetProcAddress(library, "HtmlHelpA"))
        {
            ::FreeLibrary(library);
            return nullptr;
        }
        g_helpLibrary = library;
    }
    return ::GetProcAddress(g_helpLibrary, "HtmlHelpA");
}

}  // namespace

WORD GetUiLanguage() noexcept { return CurrentLanguage(); }

void ForgetUiLanguage() noexcept { g_uiLanguage = kUnread; }

void ResetUiLanguage(WORD language) noexcept { g_uiLanguage = language; }

void SetLanguageChangeHook(LanguageChangeHook hook) noexcept { g_changeHook = hook; }

void SetUiLanguage(WORD language) noexcept
{
    if (language == CurrentLanguage())
        return;
    const LanguageChangeHook hook = g_changeHook;
    if (hook)
        hook(false);
    g_uiLanguage = language;
    if (hook)
        hook(true);
}

std::wstring LoadUiStringW(UINT id)
{
    std::wstring text;
    FindString(CurrentLanguage(), id, text);
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
    std::snprintf(name, sizeof(name), "tdm%d.chm", static_cast<int>(CurrentLanguage()));
    return std::string(drive) + folder + name;
}

HWND ShowHelp(HWND owner, DWORD context) noexcept
{
    try
    {
        const std::string file = HelpFilePath();
        if (file.empty())
            return nullptr;
        using HtmlHelpFunction = HWND(WINAPI*)(HWND, LPCSTR, UINT, DWORD_PTR);
        const auto htmlHelp = reinterpret_cast<HtmlHelpFunction>(FindHtmlHelp());
        if (!htmlHelp)
            return nullptr;
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
