#include "engine_server/low_rights.h"

#include <sddl.h>

#include "framework/error.h"
#include "framework/unique_any.h"

namespace tdm::engine {

namespace {

// The engine's class; its AppID has the same value.
constexpr wchar_t kEngineClass[] = L"{85DD53AA-0FBC-40C2-94FF-CAC57CCF8452}";
// The key of the engine's elevation policy (an identifier of our own).
constexpr wchar_t kPolicyKey[] =
    L"SOFTWARE\\Microsoft\\Internet Explorer\\Low Rights\\ElevationPolicy\\{4E7B9C1D-2A63-4F0E-8D51-93C6A7E2B0F4}";
constexpr wchar_t kAppIdKey[] = L"SOFTWARE\\Classes\\AppID\\{85DD53AA-0FBC-40C2-94FF-CAC57CCF8452}";
// COM rights: execute (1), local execute (2), local activation (8); nothing
// remote. Owner and group the administrators; the low label admits callers
// of low integrity (no-execute-up stops only those below it).
constexpr wchar_t kLaunchPermission[] = L"O:BAG:BAD:(A;;0xb;;;IU)(A;;0xb;;;SY)(A;;0xb;;;BA)S:(ML;;NX;;;LW)";
constexpr wchar_t kAccessPermission[] = L"O:BAG:BAD:(A;;0x3;;;IU)(A;;0x3;;;SY)(A;;0x3;;;BA)S:(ML;;NX;;;LW)";

// The registry views to write: the 64-bit one as well where it exists (a
// 64-bit engine runs only there; a 32-bit one may run on 64-bit Windows).
template <typename Action>
HRESULT ForEachView(Action action) noexcept
{
#ifdef _WIN64
    BOOL wow64 = TRUE;
#else
    BOOL wow64 = FALSE;
    (void)::IsWow64Process(::GetCurrentProcess(), &wow64);
#endif
    RETURN_IF_FAILED(action(KEY_WOW64_32KEY));
    return wow64 ? action(KEY_WOW64_64KEY) : S_OK;
}

HRESULT SetString(HKEY key, const wchar_t* name, const std::wstring& value) noexcept
{
    return HRESULT_FROM_WIN32(::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
}

HRESULT SetDescriptor(HKEY key, const wchar_t* name, const wchar_t* sddl) noexcept
{
    PSECURITY_DESCRIPTOR made = nullptr;
    ULONG size = 0;
    RETURN_LAST_ERROR_IF(!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &made, &size));
    const unique_any<HLOCAL, detail::FreeLocal> descriptor(made);
    return HRESULT_FROM_WIN32(::RegSetValueExW(key, name, 0, REG_BINARY, static_cast<const BYTE*>(made), size));
}

HRESULT CreateKey(const wchar_t* path, REGSAM view, unique_hkey& key) noexcept
{
    return HRESULT_FROM_WIN32(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                                                key.put(), nullptr));
}

HRESULT DeleteKey(const wchar_t* path, REGSAM view) noexcept
{
    const LSTATUS status = ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, view, 0);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}

}  // namespace

HRESULT RegisterLowRightsAccess(const std::wstring& enginePath) noexcept
try
{
    const size_t separator = enginePath.find_last_of(L'\\');
    RETURN_HR_IF(E_INVALIDARG, separator == std::wstring::npos);
    const std::wstring folder = enginePath.substr(0, separator), name = enginePath.substr(separator + 1);
    return ForEachView([&](REGSAM view) noexcept -> HRESULT {
        unique_hkey policy;
        RETURN_IF_FAILED(CreateKey(kPolicyKey, view, policy));
        RETURN_IF_FAILED(SetString(policy.get(), L"AppName", name));
        RETURN_IF_FAILED(SetString(policy.get(), L"AppPath", folder));
        RETURN_IF_FAILED(SetString(policy.get(), L"CLSID", kEngineClass));
        const DWORD silentElevation = 3;
        RETURN_IF_WIN32_ERROR(::RegSetValueExW(policy.get(), L"Policy", 0, REG_DWORD,
                                               reinterpret_cast<const BYTE*>(&silentElevation), sizeof(silentElevation)));
        unique_hkey appId;
        RETURN_IF_FAILED(CreateKey(kAppIdKey, view, appId));
        RETURN_IF_FAILED(SetString(appId.get(), nullptr, L"Tolvane download engine"));
        RETURN_IF_FAILED(SetDescriptor(appId.get(), L"LaunchPermission", kLaunchPermission));
        return SetDescriptor(appId.get(), L"AccessPermission", kAccessPermission);
    });
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT UnregisterLowRightsAccess() noexcept
{
    return ForEachView([](REGSAM view) noexcept -> HRESULT {
        RETURN_IF_FAILED(DeleteKey(kPolicyKey, view));
        return DeleteKey(kAppIdKey, view);
    });
}

}  // namespace tdm::engine
