#include "framework/module.h"

#include <oleauto.h>
#include <mutex>
#include <vector>

#include "framework/com_ptr.h"
#include "framework/lock.h"

namespace tdm {

namespace {

// Class objects created so far, in table order; guarded by the mutex because
// every browser thread of the process may ask for a class object.
tdm::srw_lock g_classObjectsLock;
std::vector<com_ptr<IUnknown>> g_classObjects;

tdm::srw_lock g_typeLibLock;
com_ptr<ITypeLib> g_typeLibs[CModule::kMaxTypeLibs];

}  // namespace

CModule& CModule::Instance() noexcept
{
    static CModule module;
    return module;
}

void CModule::Init(HINSTANCE instance, const GUID& libid, const ClassEntry* classes, size_t classCount) noexcept
{
    m_instance = instance;
    m_libid = libid;
    m_classes = classes;
    m_classCount = classCount;
}

bool CModule::ReleaseIfUnused() noexcept
{
    // Taken out under the lock, so that no request creates a class object in
    // between, and released outside it: a class object's destructor (the
    // singleton's instance) may call back into the module.
    std::vector<com_ptr<IUnknown>> objects;
    {
        std::lock_guard<tdm::srw_lock> guard(g_classObjectsLock);
        if (LockCount() != 0)
            return false;
        objects.swap(g_classObjects);
    }
    objects.clear();
    for (size_t i = 0; i < m_classCount; ++i)
        if (m_classes[i].terminate)
            m_classes[i].terminate();
    {
        std::lock_guard<tdm::srw_lock> guard(g_typeLibLock);
        for (com_ptr<ITypeLib>& library : g_typeLibs)
            library.reset();
    }
    return LockCount() == 0;
}

LONG CModule::Lock() noexcept { return ::InterlockedIncrement(&m_lockCount); }
LONG CModule::Unlock() noexcept { return ::InterlockedDecrement(&m_lockCount); }
LONG CModule::LockCount() const noexcept { return m_lockCount; }

HRESULT CModule::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) noexcept
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    for (size_t i = 0; i < m_classCount; ++i)
    {
        if (!::IsEqualCLSID(*m_classes[i].clsid, clsid))
            continue;
        com_ptr<IUnknown> object;
        {
            std::lock_guard<tdm::srw_lock> guard(g_classObjectsLock);
            try
            {
                if (g_classObjects.size() < m_classCount)
                    g_classObjects.resize(m_classCount);
            }
            catch (...)
            {
                return E_OUTOFMEMORY;
            }
            if (!g_classObjects[i])
            {
                IUnknown* created = nullptr;
                const HRESULT hr = m_classes[i].createClassObject(&created);
                if (FAILED(hr))
                    return hr;
                g_classObjects[i] = com_ptr<IUnknown>::attach(created);
            }
            object = g_classObjects[i];
        }
        return object->QueryInterface(riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

std::wstring CModule::ModulePath() const
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;)
    {
        const DWORD length = ::GetModuleFileNameW(m_instance, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size())
        {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768)
            return {};
        path.resize(path.size() * 2);
    }
}

HRESULT CModule::GetTypeInfo(REFGUID guid, ITypeInfo** info, UINT typeLib) noexcept
{
    if (!info)
        return E_POINTER;
    *info = nullptr;
    if (typeLib < 1 || typeLib > kMaxTypeLibs)
        return E_INVALIDARG;
    std::lock_guard<tdm::srw_lock> guard(g_typeLibLock);
    com_ptr<ITypeLib>& library = g_typeLibs[typeLib - 1];
    if (!library)
    {
        std::wstring path;
        try
        {
            path = ModulePath();
            // The plain module path names the first TYPELIB resource; "path\N"
            // names resource N.
            if (typeLib != 1 && !path.empty())
                path += L"\\" + std::to_wstring(typeLib);
        }
        catch (...)
        {
            return E_OUTOFMEMORY;
        }
        if (path.empty())
            return E_FAIL;
        const HRESULT hr = ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.put());
        if (FAILED(hr))
            return hr;
    }
    return library->GetTypeInfoOfGuid(guid, info);
}

}  // namespace tdm
