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
// explorer-bar category the cache must go so the new bar is offered. A missing
// cache is no failure.
HRESULT DeleteCategoryCache() noexcept
{
    const struct
    {
        HKEY root;
        const wchar_t* path;
    } caches[] = {
        {HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Discardable\\PostSetup\\"
                            L"Component Categories\\{00021494-0000-0000-C000-000000000046}\\Enum"},
        {HKEY_CLASSES_ROOT, L"Component Categories\\{00021494-0000-0000-C000-000000000046}\\Enum"},
    };
    HRESULT result = S_OK;
    for (const auto& cache : caches)
    {
        const LONG error = ::RegDeleteTreeW(cache.root, cache.path);
        if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND && SUCCEEDED(result))
            result = HRESULT_FROM_WIN32(error);
    }
    return result;
}

HRESULT CreateCategoryManager(com_ptr<ICatRegister>& manager) noexcept
{
    constexpr DWORD kAllServerContexts = 0x17;  // in-process, local, remote, in-process handler
    return ::CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, kAllServerContexts, IID_ICatRegister,
                              manager.put_void());
}

HRESULT SetBandCategory(bool registering) noexcept
{
    com_ptr<ICatRegister> manager;
    RETURN_IF_FAILED(CreateCategoryManager(manager));
    CATID categories[] = {kCatidCommBand};
    return registering ? manager->RegisterClassImplCategories(CLSID_TolBand, 1, categories)
                       : manager->UnRegisterClassImplCategories(CLSID_TolBand, 1, categories);
}

// Registering stops at the first failing script; unregistering goes on through
// every class, so that a failure of one does not leave the others registered,
// and reports the first failure.
HRESULT RunClassScripts(bool registering) noexcept
{
    const std::wstring path = CModule::Instance().ModulePath();
    if (path.empty())
        return E_FAIL;
    const RegistrarReplacements replacements = {{L"MODULE", path}};
    const CModule& module = CModule::Instance();
    HRESULT result = S_OK;
    for (size_t i = 0; i < module.ClassCount(); ++i)
    {
        const HRESULT hr = RunRegistryScriptResource(module.ModuleInstance(), module.Classes()[i].registryScript,
                                                     registering, replacements);
        if (FAILED(hr) && registering)
            return hr;
        if (FAILED(hr) && SUCCEEDED(result))
            result = hr;
    }
    return result;
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

// Fails with the first failure: the scripts, the type library or the explorer-bar
// category (without it the browser offers no bar). The category cache and the
// context-menu entries are best effort.
STDAPI DllRegisterServer()
{
    LOG_IF_FAILED(DeleteCategoryCache());
    RETURN_IF_FAILED(RunClassScripts(true));
    RETURN_IF_FAILED(RegisterTypeLibrary());
    LOG_IF_FAILED(RegisterContextMenuEntries());
    return SetBandCategory(true);
}

// Removes everything it can and reports the first failure of the scripts or the
// type library; the context-menu entries and the category are best effort.
STDAPI DllUnregisterServer()
{
    LOG_IF_FAILED(RemoveContextMenuEntries());
    LOG_IF_FAILED(SetBandCategory(false));
    const HRESULT scripts = RunClassScripts(false);
    const HRESULT library = UnregisterTypeLibrary();
    return FAILED(scripts) ? scripts : library;
}
