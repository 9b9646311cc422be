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

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    return CModule::Instance().GetClassObject(clsid, riid, ppv);
}

STDAPI DllCanUnloadNow()
{
    return CanUnloadModule();
}
