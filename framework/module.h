// Module-wide state of the in-process server: instance handle, lock count,
// class-object table and the module's type library.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <string>

namespace tdm {

// One COM class served by the module.
struct ClassEntry
{
    const CLSID* clsid;
    UINT registryScript;  // REGISTRY resource run by registration
    // Creates the class object (ordinary or singleton) with one reference.
    HRESULT (*createClassObject)(IUnknown** classObject);
    // Run when the module is about to unload, after the class objects are released.
    void (*terminate)();
};

class CModule
{
public:
    static CModule& Instance() noexcept;

    // Called once at process attach (and by test programs that link the module's
    // code directly, with their own instance handle). Only stores.
    void Init(HINSTANCE instance, const GUID& libid, const ClassEntry* classes, size_t classCount) noexcept;
    // When nothing holds the module (lock count 0): releases the class objects
    // and the type libraries, runs the classes' termination hooks and returns
    // true, so that the module may be unloaded. A later request creates them
    // anew. Returns false, releasing nothing, while the module is in use.
    bool ReleaseIfUnused() noexcept;

    HINSTANCE ModuleInstance() const noexcept { return m_instance; }
    const GUID& LibId() const noexcept { return m_libid; }

    // Lock count: live objects and server locks. Safe from any thread.
    LONG Lock() noexcept;
    LONG Unlock() noexcept;
    LONG LockCount() const noexcept;

    // Looks the CLSID up in the class table, creating the class object on first use.
    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept;

    const ClassEntry* Classes() const noexcept { return m_classes; }
    size_t ClassCount() const noexcept { return m_classCount; }

    // Full path of the module file; empty when it cannot be read.
    std::wstring ModulePath() const;

    // Type information of an interface or coclass of one of the module's type
    // libraries: the TYPELIB resource `typeLib` of the module file (1, the module's
    // own library, unless a module carries more), loaded once without registration.
    HRESULT GetTypeInfo(REFGUID guid, ITypeInfo** info, UINT typeLib = 1) noexcept;

    // Type libraries a module may carry (TYPELIB resources 1 to this number).
    static constexpr UINT kMaxTypeLibs = 4;

private:
    CModule() = default;

    HINSTANCE m_instance = nullptr;
    GUID m_libid = {};
    const ClassEntry* m_classes = nullptr;
    size_t m_classCount = 0;
    volatile LONG m_lockCount = 0;
};

// Keeps the module locked for the holder's lifetime.
class CModuleLock
{
public:
    CModuleLock() noexcept { CModule::Instance().Lock(); }
    CModuleLock(const CModuleLock&) noexcept { CModule::Instance().Lock(); }
    CModuleLock& operator=(const CModuleLock&) noexcept = default;
    ~CModuleLock() { CModule::Instance().Unlock(); }
};

}  // namespace tdm
