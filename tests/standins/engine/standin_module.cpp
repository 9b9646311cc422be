// Entry points of test_engine.dll: the engine class (whose creation a test can
// make fail) and the control class, their registration and the two type libraries.
#include <windows.h>
#include <oleauto.h>

#include <string>

#include "framework/com_ptr.h"
#include "framework/error.h"
#include "framework/module.h"
#include "framework/object.h"
#include "framework/registrar.h"
#include "standin_objects.h"

namespace tdm::standin {

namespace {

// The engine's class object. Every creation attempt is recorded as a call, so a
// test can make the next ones fail and count the client's attempts.
class CEngineClassFactory final : public CClassFactoryBase
{
public:
    static HRESULT Create(IUnknown** classObject) noexcept
    {
        *classObject = new (std::nothrow) CEngineClassFactory();
        return *classObject ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    try
    {
        RETURN_HR_IF_NULL(E_POINTER, ppv);
        *ppv = nullptr;
        RETURN_IF_FAILED(CStandInState::Instance().Record(L"DownloadEngine", L"CreateInstance", {}));
        return CreateComInstance<CTestEngine>(outer, riid, ppv);
    }
    catch (...)
    {
        return HResultFromCaughtException();
    }
};

const ClassEntry kClasses[] = {
    {&CLSID_DownloadEngine, 101, &CEngineClassFactory::Create, nullptr},
    {&CLSID_TestEngineControl, 102, &CSingletonClassFactory<CTestEngineControl>::Create, nullptr},
};
constexpr UINT kTypeLibs[] = {kEngineTypeLib, kControlTypeLib};

std::wstring TypeLibPath(UINT typeLib)
{
    std::wstring path = CModule::Instance().ModulePath();
    if (typeLib != 1 && !path.empty())
        path += L"\\" + std::to_wstring(typeLib);
    return path;
}

HRESULT RunClassScripts(bool registering) noexcept
try
{
    const CModule& module = CModule::Instance();
    const RegistrarReplacements replacements = {{L"MODULE", module.ModulePath()}};
    for (const ClassEntry& entry : kClasses)
        RETURN_IF_FAILED(
            RunRegistryScriptResource(module.ModuleInstance(), entry.registryScript, registering, replacements));
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT RegisterTypeLibs() noexcept
try
{
    for (UINT typeLib : kTypeLibs)
    {
        com_ptr<ITypeLib> library;
        RETURN_IF_FAILED(::LoadTypeLibEx(TypeLibPath(typeLib).c_str(), REGKIND_REGISTER, library.put()));
    }
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT UnregisterTypeLibs() noexcept
try
{
    for (UINT typeLib : kTypeLibs)
    {
        com_ptr<ITypeLib> library;
        RETURN_IF_FAILED(::LoadTypeLibEx(TypeLibPath(typeLib).c_str(), REGKIND_NONE, library.put()));
        TLIBATTR* attributes = nullptr;
        RETURN_IF_FAILED(library->GetLibAttr(&attributes));
        const HRESULT hr = ::UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum,
                                               attributes->wMinorVerNum, attributes->lcid, attributes->syskind);
        library->ReleaseTLibAttr(attributes);
        if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS && hr != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
            return hr;
    }
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

}  // namespace

}  // namespace tdm::standin

using namespace tdm;
using namespace tdm::standin;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        ::DisableThreadLibraryCalls(instance);
        CModule::Instance().Init(instance, LIBID_TolvaneTestEngineLib, kClasses, sizeof(kClasses) / sizeof(kClasses[0]));
    }
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
    RETURN_IF_FAILED(RunClassScripts(true));
    return RegisterTypeLibs();
}

STDAPI DllUnregisterServer()
{
    RETURN_IF_FAILED(RunClassScripts(false));
    return UnregisterTypeLibs();
}
