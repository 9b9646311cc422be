// Error policy of the module.
//
// * Internal functions return HRESULT and are [[nodiscard]] noexcept. The macros
//   below keep their happy path flat; an HRESULT is never reused so that a later
//   call could hide an earlier failure.
// * Calls into the download engine and into the helper object are the exception:
//   a failing call there is *raised* as a CComError that carries the status code,
//   the interface that failed and the error-information object the callee left.
//   Creating the engine or the helper object, and a few other calls named where
//   they are made, are tried once more before the failure is raised (CallTwice,
//   CreateTwice).
// * The public entry points (COM methods, window procedures, commands and event
//   handlers) are boundaries: nothing is thrown across them. Every COM method of
//   the module is a function-try-block closed by TDM_COM_CATCH, which turns
//   whatever escaped into its HRESULT (CComError its status, std::bad_alloc
//   E_OUTOFMEMORY); tools/check_boundaries.py checks that none is missing. The
//   window and dialog templates catch for every message map. Handlers that ask
//   the user catch CComError and show it with ShowComError instead.
// * A best-effort call whose failure is allowed leaves a trace in the debug
//   output (LOG_IF_FAILED): the expression, file and line.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <objbase.h>
#include <new>
#include <utility>

#include "framework/com_ptr.h"

namespace tdm {

// A failed COM call: status code, interface and optional error information.
class CComError
{
public:
    CComError(HRESULT hr, REFIID iid, com_ptr<IErrorInfo> info = {}) noexcept
        : m_hr(hr), m_iid(iid), m_info(std::move(info)) {}

    HRESULT Status() const noexcept { return m_hr; }
    const IID& Interface() const noexcept { return m_iid; }
    IErrorInfo* ErrorInfo() const noexcept { return m_info.get(); }

private:
    HRESULT m_hr;
    IID m_iid;
    com_ptr<IErrorInfo> m_info;
};

// Raises `hr` as a CComError for interface `iid`. The thread's current
// error-information object goes with it when `source` (the object whose call
// failed) declares through ISupportErrorInfo that it sets one for `iid`;
// otherwise it may be left over from an unrelated call and is dropped. Without a
// source (failed creations) the thread's error information is taken as it is.
[[noreturn]] void RaiseComError(HRESULT hr, REFIID iid, IUnknown* source = nullptr);

inline void RaiseIfFailed(HRESULT hr, REFIID iid, IUnknown* source = nullptr)
{
    if (FAILED(hr))
        RaiseComError(hr, iid, source);
}

// Runs `call` (returning HRESULT); on failure once more; a second failure is raised.
template <typename Call>
HRESULT CallTwice(REFIID iid, Call&& call)
{
    HRESULT hr = call();
    if (FAILED(hr))
        hr = call();
    RaiseIfFailed(hr, iid);
    return hr;
}

// Creates a COM object for interface I; on failure once more, then raises.
template <typename I>
com_ptr<I> CreateTwice(REFCLSID clsid, DWORD context = CLSCTX_ALL)
{
    com_ptr<I> result;
    CallTwice(__uuidof(I), [&] {
        return ::CoCreateInstance(clsid, nullptr, context, __uuidof(I), result.put_void());
    });
    return result;
}

// Converts whatever a boundary caught into its HRESULT; call from a catch block.
HRESULT HResultFromCaughtException() noexcept;

// Writes "tdm: file(line): what" to the debug output.
void TraceToDebugger(const char* file, int line, const char* what) noexcept;
// Traces the exception a boundary caught; call from a catch block.
void TraceCaughtException(const char* file, int line) noexcept;
// Traces a failed best-effort call and passes its status on.
HRESULT TraceFailure(HRESULT hr, const char* file, int line, const char* expression) noexcept;

// Runs `body` (returning HRESULT) at a COM boundary: no exception escapes.
template <typename Body>
HRESULT ComBoundary(Body&& body) noexcept
{
    try
    {
        return body();
    }
    catch (...)
    {
        return HResultFromCaughtException();
    }
}

}  // namespace tdm

// Closes the function-try-block of a COM method:
//     STDMETHODIMP CClass::Method(...)
//     try
//     {
//         ...
//     }
//     TDM_COM_CATCH
#define TDM_COM_CATCH                                           \
    catch (...)                                                 \
    {                                                           \
        ::tdm::TraceCaughtException(__FILE__, __LINE__);        \
        return ::tdm::HResultFromCaughtException();             \
    }

// Runs a best-effort call: a failure is traced and returned, never raised.
#define LOG_IF_FAILED(expr)                                                                                \
    [&]() noexcept -> HRESULT {                                                                           \
        const HRESULT hr_logged_ = (expr);                                                                \
        return FAILED(hr_logged_) ? ::tdm::TraceFailure(hr_logged_, __FILE__, __LINE__, #expr) : hr_logged_; \
    }()

#define RETURN_IF_FAILED(expr)                  \
    do                                          \
    {                                           \
        const HRESULT hr_returned_ = (expr);    \
        if (FAILED(hr_returned_))               \
            return hr_returned_;                \
    } while (0)

#define RETURN_HR_IF(hr, condition)             \
    do                                          \
    {                                           \
        if (condition)                          \
            return (hr);                        \
    } while (0)

#define RETURN_HR_IF_NULL(hr, ptr) RETURN_HR_IF(hr, (ptr) == nullptr)

#define RETURN_IF_WIN32_ERROR(expr)                                     \
    do                                                                  \
    {                                                                   \
        const LONG error_returned_ = (expr);                            \
        if (error_returned_ != ERROR_SUCCESS)                           \
            return HRESULT_FROM_WIN32(error_returned_);                 \
    } while (0)

#define RETURN_LAST_ERROR_IF(condition)                             \
    do                                                              \
    {                                                               \
        if (condition)                                              \
        {                                                           \
            const DWORD error_ = ::GetLastError();                  \
            return error_ ? HRESULT_FROM_WIN32(error_) : E_FAIL;    \
        }                                                           \
    } while (0)
