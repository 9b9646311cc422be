// Main of every test program: sets up the module's code as the test program's
// own, and a watchdog that ends a hung test program instead of blocking CI.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "module/class_table.h"

namespace {

DWORD WINAPI Watchdog(void* parameter)
{
    const DWORD seconds = static_cast<DWORD>(reinterpret_cast<UINT_PTR>(parameter));
    ::Sleep(seconds * 1000);
    std::fprintf(stderr, "\nwatchdog: the test program did not finish within %lu seconds; "
                         "the current test hangs\n", static_cast<unsigned long>(seconds));
    std::fflush(stderr);
    ::ExitProcess(3);
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    DWORD seconds = 240;
    if (const char* value = std::getenv("TDM_TEST_WATCHDOG_SECONDS"))
        seconds = static_cast<DWORD>(std::strtoul(value, nullptr, 10));
    ::CreateThread(nullptr, 0, &Watchdog, reinterpret_cast<void*>(static_cast<UINT_PTR>(seconds)), 0, nullptr);
    // The module's code is linked into the test program; its resources too.
    tdm::InitModule(::GetModuleHandleW(nullptr));
    return RUN_ALL_TESTS();
}
