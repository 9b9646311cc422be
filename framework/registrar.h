// The registry-script registrar.
//
// A registry script describes keys and values under a root key:
//
//     HKCR
//     {
//         NoRemove CLSID
//         {
//             ForceRemove {GUID} = s 'Description'
//             {
//                 InprocServer32 = s '%MODULE%'
//                 {
//                     val ThreadingModel = s 'Apartment'
//                 }
//             }
//         }
//     }
//
// Roots: HKCR, HKCU, HKLM (or their long names). A key is a bare word or a
// 'quoted' name ('' stands for one quote); `= s 'text'` sets its default value;
// `val Name = s 'text'` or `= d 'number'` sets a named value. %NAME% anywhere in a
// name or text is replaced from the replacement table.
//
// Registering creates every key and value. A key marked NoRemove (kept) is never
// deleted; a key marked ForceRemove (replaced) is deleted with its subtree before
// it is written and on unregistration. Unregistering deletes the values a script
// wrote and then every other key of the script that is left without subkeys and
// values; keys and values that do not exist are passed over.
#pragma once

#include <windows.h>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tdm {

using RegistrarReplacements = std::vector<std::pair<std::wstring, std::wstring>>;

// Runs a script held in memory. A script that does not parse fails with
// E_INVALIDARG before any key is touched.
[[nodiscard]] HRESULT RunRegistryScript(std::wstring_view script, bool registering,
                                        const RegistrarReplacements& replacements) noexcept;

// Runs the script of a REGISTRY resource (8-bit text) of `module`.
[[nodiscard]] HRESULT RunRegistryScriptResource(HMODULE module, UINT resourceId, bool registering,
                                                const RegistrarReplacements& replacements) noexcept;

}  // namespace tdm
