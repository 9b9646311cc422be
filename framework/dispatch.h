// IDispatch of a dual interface, implemented over the module's type library.
#pragma once

#include <oaidl.h>

#include "framework/com_ptr.h"
#include "framework/module.h"

namespace tdm {

// `Dual` is a dual interface described in the module's type library (or in its
// TYPELIB resource `TypeLib`, for a module that carries several). The class
// deriving from CDispatchImpl<Dual> implements Dual's own methods; the type
// library's invoke machinery calls them through the vtable.
template <typename Dual, UINT TypeLib = 1>
class CDispatchImpl : public Dual
{
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        if (!count)
            return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override
    {
        if (!info)
            return E_POINTER;
        *info = nullptr;
        if (index != 0)
            return DISP_E_BADINDEX;
        return CModule::Instance().GetTypeInfo(__uuidof(Dual), info, TypeLib);
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override
    {
        com_ptr<ITypeInfo> info;
        const HRESULT hr = CModule::Instance().GetTypeInfo(__uuidof(Dual), info.put(), TypeLib);
        if (FAILED(hr))
            return hr;
        return info->GetIDsOfNames(names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argError) override
    {
        if (!::IsEqualIID(riid, IID_NULL))
            return DISP_E_UNKNOWNINTERFACE;
        com_ptr<ITypeInfo> info;
        const HRESULT hr = CModule::Instance().GetTypeInfo(__uuidof(Dual), info.put(), TypeLib);
        if (FAILED(hr))
            return hr;
        return info->Invoke(static_cast<Dual*>(this), id, flags, params, result, exception, argError);
    }
};

}  // namespace tdm
