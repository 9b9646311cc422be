// Registration of the module with COM and with the browser.
#include <windows.h>
#include <comcat.h>
#include <oleauto.h>

#include "framework/automation.h"
#include "framework/com_ptr.h"
#include "framework/error.h"
#include "framework/module.h"
#include "framework/registrar.h"
#include "module/context_menu.h"
#include "tdm_h.h"

namespace tdm {

namespace {

// The horizontal explorer-bar category.
const CATID kCatidCommBand = {0x00021494, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The shell caches which classes implement a category; after a change of the
// explorer-bar category the cache must go so the new bar is offered.
void DeleteCategoryCache() noexcept
{
    ::RegDeleteTreeW(HKEY_CURRENT_USER,
                     L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Discardable\\PostSetup\\"
                     L"Component Categories\\{00021494-0000-0000-C000-000000000046}\\Enum");
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, L"Component Categories\\{00021494-0000-0000-C000-000000000046}\\Enum");
}

com_ptr<ICatRegister> CreateCategoryManager() noexcept
{
    com_ptr<ICatRegister> manager;
    constexpr DWORD kAllServerContexts = 0x17;  // in-process, local, remote, in-process handler
    if (FAILED(::CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, kAllServerContexts, IID_ICatRegister,
                                  manager.put_void())))
        manager.reset();
    return manager;
}

HRESULT RunClassScripts(bool registering) noexcept
{
    const std::wstring path = CModule::Instance().ModulePath();
    if (path.empty())
        return E_FAIL;
    const RegistrarReplacements replacements = {{L"MODULE", path}};
    const CModule& module = CModule::Instance();
    for (size_t i = 0; i < module.ClassCount(); ++i)
    {
        RETURN_IF_FAILED(RunRegistryScriptResource(module.ModuleInstance(), module.Classes()[i].registryScript,
                                                   registering, replacements));
    }
    return S_OK;
}

HRESULT RegisterTypeLibrary() noexcept
{
    const std::wstring path = CModule::Instance().ModulePath();
    com_ptr<ITypeLib> library;
    return ::LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, library.put());
}

HRESULT UnregisterTypeLibrary() noexcept
{
    const std::wstring path = CModule::Instance().ModulePath();
    com_ptr<ITypeLib> library;
    RETURN_IF_FAILED(::LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.put()));
    TLIBATTR* attributes = nullptr;
    RETURN_IF_FAILED(library->GetLibAttr(&attributes));
    const TLIBATTR attributesCopy = *attributes;
    library->ReleaseTLibAttr(attributes);
    // A type library that is not registered is already where unregistration wants
    // it; only a failure to remove a registered one is reported.
    unique_bstr registeredPath;
    if (FAILED(::QueryPathOfRegTypeLib(attributesCopy.guid, attributesCopy.wMajorVerNum, attributesCopy.wMinorVerNum,
                                       attributesCopy.lcid, registeredPath.put())))
        return S_OK;
    return ::UnRegisterTypeLib(attributesCopy.guid, attributesCopy.wMajorVerNum, attributesCopy.wMinorVerNum,
                               attributesCopy.lcid, attributesCopy.syskind);
}

}  // namespace

}  // namespace tdm

using namespace tdm;

STDAPI DllRegisterServer()
{
    DeleteCategoryCache();
    HRESULT hr = RunClassScripts(true);
    if (SUCCEEDED(hr))
        hr = RegisterTypeLibrary();
    if (FAILED(hr))
        return hr;
    RegisterContextMenuEntry();
    if (com_ptr<ICatRegister> manager = CreateCategoryManager())
    {
        CATID categories[] = {kCatidCommBand};
        manager->RegisterClassImplCategories(CLSID_TolBand, 1, categories);
    }
    return hr;
}

STDAPI DllUnregisterServer()
{
    RemoveContextMenuEntries();
    if (com_ptr<ICatRegister> manager = CreateCategoryManager())
    {
        CATID categories[] = {kCatidCommBand};
        manager->UnRegisterClassImplCategories(CLSID_TolBand, 1, categories);
    }
    HRESULT hr = RunClassScripts(false);
    if (SUCCEEDED(hr))
        hr = UnregisterTypeLibrary();
    return hr;
}
