// Declares URL schemes for the engine stand-in as a real engine does when it
// registers (the value "Schemes" of its class key), in the test's own registry,
// for as long as the object lives. Only for programs linked with the module.
#pragma once

#include <windows.h>
#include <string>

#include "engine/declared_schemes.h"
#include "support/registry_sandbox.h"

namespace tdm::test {

class DeclaredSchemes
{
public:
    DeclaredSchemes(const RegistrySandbox& sandbox, const std::wstring& schemes) : m_root(sandbox.Root())
    {
        ::RegSetKeyValueW(m_root, kKey, L"Schemes", REG_SZ, schemes.c_str(),
                          static_cast<DWORD>((schemes.size() + 1) * sizeof(wchar_t)));
        RefreshDeclaredEngineSchemes();
    }
    ~DeclaredSchemes()
    {
        ::RegDeleteTreeW(m_root, kKey);
        RefreshDeclaredEngineSchemes();
    }

private:
    static constexpr const wchar_t* kKey = L"Software\\Classes\\CLSID\\{85DD53AA-0FBC-40C2-94FF-CAC57CCF8452}";
    HKEY m_root;
};

}  // namespace tdm::test
