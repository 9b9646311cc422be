#include "framework/error.h"

#include <oleauto.h>
#include <cstdio>
#include <exception>

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

void TraceToDebugger(const char* file, int line, const char* what) noexcept
{
    char text[512];
    std::snprintf(text, sizeof(text), "tdm: %s(%d): %s\n", file, line, what);
    ::OutputDebugStringA(text);
}

void TraceCaughtException(const char* file, int line) noexcept
{
    char what[160];
    std::snprintf(what, sizeof(what), "exception caught at a boundary, 0x%08lX",
                  static_cast<unsigned long>(HResultFromCaughtException()));
    TraceToDebugger(file, line, what);
}

HRESULT TraceFailure(HRESULT hr, const char* file, int line, const char* expression) noexcept
{
    char what[400];
    std::snprintf(what, sizeof(what), "%s failed with 0x%08lX", expression, static_cast<unsigned long>(hr));
    TraceToDebugger(file, line, what);
    return hr;
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
