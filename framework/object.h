// COM object roots, the final object classes that implement IUnknown for them,
// and the two class factories of the module.
//
// A COM class of the module derives from CObjectRoot and its interfaces, lists its
// interfaces in a table, and is instantiated only through CComObject<T> (its own
// identity), CAggregatedObject<T> (inside an outer object) or CSingletonObject<T>.
// Objects live on the browser's single-threaded apartment threads, so their own
// reference counts are plain counters; the module lock count they hold is shared
// by all threads and is atomic.
#pragma once

#include <objbase.h>
#include <cstddef>
#include <mutex>
#include <new>

#include "framework/com_ptr.h"
#include "framework/lock.h"
#include "framework/module.h"

namespace tdm {

// One row of an interface table: the interface identifier and the offset of that
// interface's vtable pointer from the start of the implementing class.
struct InterfaceEntry
{
    const IID* iid;
    std::ptrdiff_t offset;
};

template <typename Class, typename Interface>
std::ptrdiff_t InterfaceOffset() noexcept
{
    // The classic offset computation on a fake, suitably aligned address.
    constexpr std::uintptr_t fake = 0x1000;
    return reinterpret_cast<std::uintptr_t>(static_cast<Interface*>(reinterpret_cast<Class*>(fake))) - fake;
}

// `Interface` reached through the base `Via` (for IDispatch of a dual interface).
template <typename Class, typename Interface, typename Via>
std::ptrdiff_t InterfaceOffsetVia() noexcept
{
    constexpr std::uintptr_t fake = 0x1000;
    return reinterpret_cast<std::uintptr_t>(
               static_cast<Interface*>(static_cast<Via*>(reinterpret_cast<Class*>(fake)))) - fake;
}

#define TDM_INTERFACE(Class, Interface) \
    ::tdm::InterfaceEntry { &__uuidof(Interface), ::tdm::InterfaceOffset<Class, Interface>() }
#define TDM_INTERFACE_VIA(Class, Interface, Via) \
    ::tdm::InterfaceEntry { &__uuidof(Interface), ::tdm::InterfaceOffsetVia<Class, Interface, Via>() }

// Looks `riid` up in a table; IUnknown is answered with the first entry.
HRESULT QueryInterfaceFromTable(void* object, const InterfaceEntry* table, size_t count,
                                REFIID riid, void** ppv) noexcept;

// Base of every COM class of the module. `T` declares
//     static const InterfaceEntry* Interfaces(size_t* count);
// and may define FinalConstruct / FinalRelease.
class CObjectRoot
{
public:
    HRESULT FinalConstruct() noexcept { return S_OK; }
    void FinalRelease() noexcept {}

protected:
    CObjectRoot() = default;
    ~CObjectRoot() = default;
    CObjectRoot(const CObjectRoot&) = delete;
    CObjectRoot& operator=(const CObjectRoot&) = delete;

    // The controlling unknown when the object is aggregated, else null.
    IUnknown* m_outer = nullptr;

    template <typename T>
    HRESULT InternalQueryInterface(T* self, REFIID riid, void** ppv) noexcept
    {
        size_t count = 0;
        const InterfaceEntry* table = T::Interfaces(&count);
        return QueryInterfaceFromTable(self, table, count, riid, ppv);
    }
};

// The object with its own identity. Holds a module lock for its lifetime: its
// first base takes it before T is constructed and gives it back after the last of
// T's members is destroyed, so that the module never reports itself unloadable
// while the object's code still runs.
template <typename T>
class CComObject final : private CModuleLock, public T
{
public:
    // Creates an instance with no references yet (the caller queries it).
    static HRESULT CreateInstance(CComObject** out) noexcept
    {
        *out = nullptr;
        auto* object = new (std::nothrow) CComObject();
        if (!object)
            return E_OUTOFMEMORY;
        object->m_refs = 1;  // keep it alive through FinalConstruct
        const HRESULT hr = object->FinalConstruct();
        object->m_refs = 0;
        if (FAILED(hr))
        {
            object->FinalRelease();
            delete object;
            return hr;
        }
        *out = object;
        return S_OK;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        return this->InternalQueryInterface(static_cast<T*>(this), riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG refs = --m_refs;
        if (refs == 0)
        {
            m_refs = 1;  // guard against re-entrant release during FinalRelease
            this->FinalRelease();
            delete this;
        }
        return refs;
    }

private:
    CComObject() noexcept = default;
    ~CComObject() = default;

    ULONG m_refs = 0;
};

// The inner object of an aggregate: its interfaces delegate IUnknown to the outer.
template <typename T>
class CContainedObject final : public T
{
public:
    explicit CContainedObject(IUnknown* outer) noexcept { this->m_outer = outer; }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return this->m_outer->QueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return this->m_outer->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return this->m_outer->Release(); }
    HRESULT InnerQueryInterface(REFIID riid, void** ppv) noexcept
    {
        return this->InternalQueryInterface(static_cast<T*>(this), riid, ppv);
    }
};

// The non-delegating unknown handed to an aggregating outer object; locks the
// module like CComObject.
template <typename T>
class CAggregatedObject final : private CModuleLock, public IUnknown
{
public:
    static HRESULT CreateInstance(IUnknown* outer, CAggregatedObject** out) noexcept
    {
        *out = nullptr;
        auto* object = new (std::nothrow) CAggregatedObject(outer);
        if (!object)
            return E_OUTOFMEMORY;
        object->m_refs = 1;
        const HRESULT hr = object->m_contained.FinalConstruct();
        object->m_refs = 0;
        if (FAILED(hr))
        {
            object->m_contained.FinalRelease();
            delete object;
            return hr;
        }
        *out = object;
        return S_OK;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (::IsEqualIID(riid, IID_IUnknown))
        {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return m_contained.InnerQueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG refs = --m_refs;
        if (refs == 0)
        {
            m_refs = 1;
            m_contained.FinalRelease();
            delete this;
        }
        return refs;
    }

private:
    explicit CAggregatedObject(IUnknown* outer) noexcept : m_contained(outer) {}
    ~CAggregatedObject() = default;

    ULONG m_refs = 0;
    CContainedObject<T> m_contained;
};

// Creates a new instance of T (aggregated when `outer` is given) and queries it.
template <typename T>
HRESULT CreateComInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer)
    {
        // An aggregated object can only be asked for its non-delegating IUnknown.
        if (!::IsEqualIID(riid, IID_IUnknown))
            return CLASS_E_NOAGGREGATION;
        CAggregatedObject<T>* object = nullptr;
        const HRESULT hr = CAggregatedObject<T>::CreateInstance(outer, &object);
        if (FAILED(hr))
            return hr;
        object->AddRef();
        const HRESULT qhr = object->QueryInterface(riid, ppv);
        object->Release();
        return qhr;
    }
    CComObject<T>* object = nullptr;
    const HRESULT hr = CComObject<T>::CreateInstance(&object);
    if (FAILED(hr))
        return hr;
    object->AddRef();
    const HRESULT qhr = object->QueryInterface(riid, ppv);
    object->Release();
    return qhr;
}

// The one process-wide instance of a singleton class. Its reference count is
// atomic because every browser thread of the process shares it; references held
// by clients lock the module, the class object's own reference does not.
template <typename T>
class CSingletonObject final : public T
{
public:
    static HRESULT CreateInstance(CSingletonObject** out) noexcept
    {
        *out = nullptr;
        auto* object = new (std::nothrow) CSingletonObject();
        if (!object)
            return E_OUTOFMEMORY;
        const HRESULT hr = object->FinalConstruct();
        if (FAILED(hr))
        {
            object->FinalRelease();
            delete object;
            return hr;
        }
        *out = object;
        return S_OK;
    }
    // Called by the class object when the module unloads. An instance that a
    // client still references (a request that raced the unload) is left alone.
    void Destroy() noexcept
    {
        if (m_refs != 0)
            return;
        this->FinalRelease();
        delete this;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        return this->InternalQueryInterface(static_cast<T*>(this), riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override
    {
        CModule::Instance().Lock();
        return static_cast<ULONG>(::InterlockedIncrement(&m_refs));
    }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG refs = ::InterlockedDecrement(&m_refs);
        CModule::Instance().Unlock();
        return static_cast<ULONG>(refs);
    }

private:
    CSingletonObject() noexcept = default;
    ~CSingletonObject() = default;
    volatile LONG m_refs = 0;
};

// Base of the module's class objects: IClassFactory with an atomic reference
// count, because class objects are shared by every thread of the process.
class CClassFactoryBase : public IClassFactory
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP LockServer(BOOL lock) override;

protected:
    CClassFactoryBase() = default;
    virtual ~CClassFactoryBase() = default;

private:
    volatile LONG m_refs = 1;
};

// Ordinary class object: a new instance per request, aggregation allowed.
template <typename T>
class CClassFactory final : public CClassFactoryBase
{
public:
    static HRESULT Create(IUnknown** classObject) noexcept
    {
        *classObject = new (std::nothrow) CClassFactory();
        return *classObject ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        return CreateComInstance<T>(outer, riid, ppv);
    }
};

// Singleton class object: the first CreateInstance creates the one instance under
// the class object's lock and remembers the result; every later request, from any
// thread, gets the same instance (or the same failure). No aggregation.
template <typename T>
class CSingletonClassFactory final : public CClassFactoryBase
{
public:
    static HRESULT Create(IUnknown** classObject) noexcept
    {
        *classObject = new (std::nothrow) CSingletonClassFactory();
        return *classObject ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        std::lock_guard<tdm::srw_lock> guard(m_lock);
        if (!m_created)
        {
            m_created = true;
            m_createResult = CSingletonObject<T>::CreateInstance(&m_instance);
        }
        if (FAILED(m_createResult))
            return m_createResult;
        return m_instance->QueryInterface(riid, ppv);
    }

private:
    CSingletonClassFactory() = default;
    ~CSingletonClassFactory() override
    {
        if (m_instance)
            m_instance->Destroy();
    }

    tdm::srw_lock m_lock;
    bool m_created = false;
    HRESULT m_createResult = E_UNEXPECTED;
    CSingletonObject<T>* m_instance = nullptr;
};

}  // namespace tdm
