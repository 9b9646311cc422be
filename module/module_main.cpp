// Entry points of tdm.dll.
#include <windows.h>

#include "framework/module.h"
#include "module/class_table.h"

using namespace tdm;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        ::DisableThreadLibraryCalls(instance);
        InitModule(instance);
    }
    else if (reason == DLL_PROCESS_DETACH)
    {
        // At process exit (reserved non-null) other modules may be gone already;
        // the class objects are released only on a real unload.
        if (!reserved)
            TermModule();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    return CModule::Instance().GetClassObject(clsid, riid, ppv);
}

STDAPI DllCanUnloadNow()
{
    return CModule::Instance().LockCount() == 0 ? S_OK : S_FALSE;
}
