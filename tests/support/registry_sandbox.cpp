#include "support/registry_sandbox.h"

#include <cstdio>

namespace tdm::test {

namespace {
const wchar_t kSandboxParent[] = L"Software\\TolvaneTests";
}

RegistrySandbox::RegistrySandbox()
{
    static LONG counter = 0;
    wchar_t name[96];
    std::swprintf(name, 96, L"%ls\\%lu-%ld", kSandboxParent, ::GetCurrentProcessId(), ::InterlockedIncrement(&counter));
    m_name = name;
    ::RegDeleteTreeW(HKEY_CURRENT_USER, m_name.c_str());
    ::RegCreateKeyExW(HKEY_CURRENT_USER, m_name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                      &m_root, nullptr);
    ::RegOverridePredefKey(HKEY_CURRENT_USER, m_root);
}

RegistrySandbox::~RegistrySandbox()
{
    ::RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    if (m_root)
        ::RegCloseKey(m_root);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, m_name.c_str());
}

}  // namespace tdm::test
