// Entry points of tdm.dll.
#include <windows.h>

#include "framework/module.h"
#include "module/class_table.h"

using namespace tdm;

// Only remembers the module: no locks, registry, COM or other modules under the
// loader lock. What the module holds is released when DllCanUnloadNow answers
// S_OK, on a thread of the caller's, not here: at process exit other modules may
// be gone already, and calls into other apartments must not be made from here.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        ::DisableThreadLibraryCalls(instance);
        InitModule(instance);
    }
    return TRUE;
}

namespace {

// The module stays in the process once its classes are used. The C++ runtime
// linked into it cannot be unloaded cleanly: every unload would leave behind
// its exception emergency pool (about 19 KB), the semaphores of its internal
// locks and a thread-local storage index, whatever the thread model; a browser
// that frees idle modules and loads them again on the next use would lose them
// each time. DllCanUnloadNow still releases everything the module holds.
void PinModuleOnce() noexcept
{
    static volatile LONG pinned = 0;
    if (::InterlockedCompareExchange(&pinned, 1, 0) != 0)
        return;
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&PinModuleOnce), &self);
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    PinModuleOnce();
    return CModule::Instance().GetClassObject(clsid, riid, ppv);
}

STDAPI DllCanUnloadNow()
{
    return CanUnloadModule();
}
