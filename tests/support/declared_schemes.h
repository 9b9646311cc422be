// Declares URL schemes for the engine stand-in, as a real engine does when it
// registers, in the test's registry for as long as the object lives.
#pragma once

#include <windows.h>

#include <string>

#include "engine/declared_schemes.h"
#include "support/registry_sandbox.h"

namespace tdm::test {

struct DeclaredSchemes
{
    DeclaredSchemes(const RegistrySandbox& sandbox, const std::wstring& schemes) : root(sandbox.Root())
    {
        ::RegSetKeyValueW(root, kKey, L"Schemes", REG_SZ, schemes.c_str(),
                          static_cast<DWORD>((schemes.size() + 1) * sizeof(wchar_t)));
        RefreshDeclaredEngineSchemes();
    }
    ~DeclaredSchemes()
    {
        ::RegDeleteTreeW(root, kKey);
        RefreshDeclaredEngineSchemes();
    }
    DeclaredSchemes(const DeclaredSchemes&) = delete;
    DeclaredSchemes& operator=(const DeclaredSchemes&) = delete;
    static constexpr const wchar_t* kKey = L"Software\\Classes\\CLSID\\{85DD53AA-0FBC-40C2-94FF-CAC57CCF8452}";
    HKEY root;
};

}  // namespace tdm::test
