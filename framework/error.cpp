#include "framework/error.h"

#include <oleauto.h>

namespace tdm {

void RaiseComError(HRESULT hr, REFIID iid, IUnknown* source)
{
    // Always taken, so that it cannot be mistaken for a later call's information.
    com_ptr<IErrorInfo> info;
    if (::GetErrorInfo(0, info.put()) != S_OK)
        info.reset();
    if (source && info)
    {
        com_ptr<ISupportErrorInfo> support;
        if (FAILED(source->QueryInterface(IID_ISupportErrorInfo, support.put_void())) || !support ||
            support->InterfaceSupportsErrorInfo(iid) != S_OK)
            info.reset();
    }
    throw CComError(hr, iid, std::move(info));
}

HRESULT HResultFromCaughtException() noexcept
{
    try
    {
        throw;
    }
    catch (const CComError& error)
    {
        return FAILED(error.Status()) ? error.Status() : E_FAIL;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    catch (...)
    {
        return E_UNEXPECTED;
    }
}

}  // namespace tdm
