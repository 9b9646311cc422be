#include "engine/declared_schemes.h"

#include <windows.h>
#include <mutex>
#include <string>

#include "engine_h.h"
#include "framework/lock.h"
#include "framework/unique_any.h"

namespace tdm {

namespace {

// How long a set that was read stays good: the registration changes only when
// an engine is installed or removed, but the rule is checked at every drop.
constexpr ULONGLONG kKeepMs = 3000;

struct DeclaredCache
{
    srw_lock lock;
    bool valid = false;
    unsigned refreshes = 0;  // a read begun before a refresh is not kept
    ULONGLONG readAt = 0;
    CSchemeSet schemes;
};

DeclaredCache& Cache() noexcept
{
    // Constant-initialised: no construction runs at module load.
    static DeclaredCache cache;
    return cache;
}

// Reads the declaration from the engine's class key as the classes root shows
// it: the user's own registration first, then the machine's (also its 64-bit
// view, where a 64-bit engine registers itself on 64-bit Windows).
CSchemeSet ReadDeclaration() noexcept
{
    wchar_t clsid[40] = {};
    if (!::StringFromGUID2(CLSID_DownloadEngine, clsid, 40))
        return {};
    const std::wstring path = std::wstring(L"Software\\Classes\\CLSID\\") + clsid;
    const struct
    {
        HKEY root;
        REGSAM view;
    } places[] = {
        {HKEY_CURRENT_USER, 0},
        {HKEY_LOCAL_MACHINE, 0},
        {HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY},
    };
    for (const auto& place : places)
    {
        unique_hkey key;
        if (::RegOpenKeyExW(place.root, path.c_str(), 0, KEY_QUERY_VALUE | place.view, key.put()) != ERROR_SUCCESS)
            continue;
        // The first registration found is the one COM uses; its value decides.
        wchar_t text[256] = {};
        DWORD type = 0;
        DWORD size = sizeof(text) - sizeof(wchar_t);
        if (::RegQueryValueExW(key.get(), L"Schemes", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
                ERROR_SUCCESS ||
            type != REG_SZ)
            return {};
        // Scheme names are ASCII; anything else matches no scheme.
        std::string names;
        for (const wchar_t* c = text; *c; ++c)
            names += *c < 0x80 ? static_cast<char>(*c) : '?';
        return CSchemeSet::FromList(names);
    }
    return {};
}

// The rule reads the declaration through this module's cache.
const bool kInstalled = (SetDeclaredSchemeSource(&DeclaredEngineSchemes), true);

}  // namespace

CSchemeSet DeclaredEngineSchemes() noexcept
{
    DeclaredCache& cache = Cache();
    const ULONGLONG now = ::GetTickCount64();
    unsigned refreshes = 0;
    {
        std::lock_guard<srw_lock> hold(cache.lock);
        if (cache.valid && now - cache.readAt < kKeepMs)
            return cache.schemes;
        refreshes = cache.refreshes;
    }
    // Read outside the lock: other threads keep the old set meanwhile.
    const CSchemeSet schemes = ReadDeclaration();
    std::lock_guard<srw_lock> hold(cache.lock);
    if (refreshes == cache.refreshes)
    {
        cache.schemes = schemes;
        cache.readAt = now;
        cache.valid = true;
    }
    return schemes;
}

void RefreshDeclaredEngineSchemes() noexcept
{
    DeclaredCache& cache = Cache();
    std::lock_guard<srw_lock> hold(cache.lock);
    cache.valid = false;
    ++cache.refreshes;
}

}  // namespace tdm
