// Gives a test its own HKEY_CURRENT_USER: a fresh key under the real one, mapped
// over HKEY_CURRENT_USER for the calling process while the sandbox lives.
#pragma once

#include <windows.h>
#include <string>

namespace tdm::test {

class RegistrySandbox
{
public:
    RegistrySandbox();
    RegistrySandbox(const RegistrySandbox&) = delete;
    RegistrySandbox& operator=(const RegistrySandbox&) = delete;
    ~RegistrySandbox();

    // The key that stands in for HKEY_CURRENT_USER.
    HKEY Root() const { return m_root; }

private:
    std::wstring m_name;
    HKEY m_root = nullptr;
};

}  // namespace tdm::test
