#include "framework/object.h"

namespace tdm {

HRESULT QueryInterfaceFromTable(void* object, const InterfaceEntry* table, size_t count,
                                REFIID riid, void** ppv) noexcept
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (count == 0)
        return E_NOINTERFACE;
    const InterfaceEntry* found = nullptr;
    if (::IsEqualIID(riid, IID_IUnknown))
        found = &table[0];
    for (size_t i = 0; !found && i < count; ++i)
        if (::IsEqualIID(riid, *table[i].iid))
            found = &table[i];
    if (!found)
        return E_NOINTERFACE;
    auto* unknown = reinterpret_cast<IUnknown*>(static_cast<char*>(object) + found->offset);
    unknown->AddRef();
    *ppv = unknown;
    return S_OK;
}

STDMETHODIMP CClassFactoryBase::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (::IsEqualIID(riid, IID_IUnknown) || ::IsEqualIID(riid, IID_IClassFactory))
    {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CClassFactoryBase::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&m_refs)); }

STDMETHODIMP_(ULONG) CClassFactoryBase::Release()
{
    const LONG refs = ::InterlockedDecrement(&m_refs);
    if (refs == 0)
        delete this;
    return static_cast<ULONG>(refs);
}

STDMETHODIMP CClassFactoryBase::LockServer(BOOL lock)
{
    if (lock)
        CModule::Instance().Lock();
    else
        CModule::Instance().Unlock();
    return S_OK;
}

}  // namespace tdm
