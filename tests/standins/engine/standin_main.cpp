// Entry points of the stand-in, built twice: test_engine.dll, an in-process
// server in the process of the test program that creates it, and
// test_engine.exe, a local server in a process of its own as the real engine
// runs. COM starts the executable ("-Embedding") for the first object of either
// class; it serves both from its one single-threaded apartment, so the control
// sees the state of this process's engines, and ends when the last object is
// released. "test_engine.exe -RegServer" registers it.
#include <winternl.h>

#include "framework/com_ptr.h"
#include "framework/error.h"
#include "standin.h"

using namespace tdm;
using namespace tdm::standin;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        CModule::Instance().Init(instance, LIBID_TolvaneTestEngineLib, kClasses, 2);
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    return CModule::Instance().GetClassObject(clsid, riid, ppv);
}

STDAPI DllCanUnloadNow()
{
    return CModule::Instance().ReleaseIfUnused() ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer()
{
    return RegisterServer(L"InprocServer32", CModule::Instance().ModulePath());
}

namespace {

DWORD g_mainThread = 0;

void CALLBACK Quit(void*, BOOLEAN)
{
    ::PostThreadMessageW(g_mainThread, WM_QUIT, 0, 0);
}

HRESULT Serve()
{
    g_mainThread = ::GetCurrentThreadId();
    ServeInOneApartment();
    OnLastObjectGone([] { Quit(nullptr, FALSE); });
    // COM starts the server from the process of the client (a test program). A
    // client that dies holding objects (its watchdog ended it) never releases
    // them, and COM under Wine does not run them down: the server ends with it.
    PROCESS_BASIC_INFORMATION basic = {};
    HANDLE wait = nullptr;
    if (NT_SUCCESS(::NtQueryInformationProcess(::GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof(basic),
                                               nullptr)))
        ::RegisterWaitForSingleObject(&wait, ::OpenProcess(SYNCHRONIZE, FALSE, basic.InheritedFromUniqueProcessId),
                                      &Quit, nullptr, INFINITE, WT_EXECUTEONLYONCE);
    DWORD cookies[2] = {};
    for (size_t i = 0; i < 2; ++i)
    {
        com_ptr<IUnknown> factory;
        RETURN_IF_FAILED(CModule::Instance().GetClassObject(*kClasses[i].clsid, IID_IUnknown, factory.put_void()));
        RETURN_IF_FAILED(::CoRegisterClassObject(*kClasses[i].clsid, factory.get(), CLSCTX_LOCAL_SERVER,
                                                 REGCLS_MULTIPLEUSE, &cookies[i]));
    }
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0)
        ::DispatchMessageW(&message);
    for (DWORD cookie : cookies)
        (void)::CoRevokeClassObject(cookie);
    return S_OK;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    CModule::Instance().Init(instance, LIBID_TolvaneTestEngineLib, kClasses, 2);
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    const HRESULT hr = std::wstring(::GetCommandLineW()).find(L"RegServer") != std::wstring::npos
                           ? RegisterServer(L"LocalServer32", L"\"" + CModule::Instance().ModulePath() + L"\"")
                           : Serve();
    (void)CModule::Instance().ReleaseIfUnused();
    ::CoUninitialize();
    return SUCCEEDED(hr) ? 0 : 1;
}
