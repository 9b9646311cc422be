// The module (test program or stand-in DLL) that the calling code is linked into.
#pragma once

#include <windows.h>

namespace tdm::test {

inline HINSTANCE ThisModule() noexcept
{
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

}  // namespace tdm::test
