// The download engine stand-in (tests/standins/engine) as C++ tests use it, and
// an event sink that records what the engine sends.
//
// The control is created by its ProgID and called by name through IDispatch,
// as scripts call it. It lives in the process of the engines (the test
// program's, or the stand-in's own local server), so one EngineStandIn sees the
// calls on every engine the code under test creates. Construct it after COM is
// initialised; construction resets the stand-in.
//
//     test::EngineStandIn engine;
//     engine.FailNext("CreateInstance", E_OUTOFMEMORY);
//     ... code under test ...
//     EXPECT_TRUE(engine.Expect("AddUrl(http://host/a.zip, C:\\, 0, 1, -1, )"));
//
// Calls read as the stand-in records them: numbers in decimal, flags -1/0/1,
// texts as they are (UTF-8 here, so that a test writes any character as it is),
// option objects "options#N".
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "engine_h.h"
#include "framework/automation.h"
#include "framework/object.h"

namespace tdm::test {

// A value handed to the stand-in: a number, double, flag, text or VARIANT.
class Arg
{
public:
    Arg(int value) noexcept : Arg(static_cast<long>(value)) {}
    Arg(long value) noexcept { V_VT(m_value.get()) = VT_I4, V_I4(m_value.get()) = value; }
    Arg(double value) noexcept { V_VT(m_value.get()) = VT_R8, V_R8(m_value.get()) = value; }
    Arg(bool value) noexcept { V_VT(m_value.get()) = VT_BOOL, V_BOOL(m_value.get()) = value ? VARIANT_TRUE : 0; }
    Arg(std::string_view text)
    {
        V_VT(m_value.get()) = VT_BSTR, V_BSTR(m_value.get()) = AllocBstr(WideFromUtf8(text));
    }
    Arg(std::wstring_view text) { V_VT(m_value.get()) = VT_BSTR, V_BSTR(m_value.get()) = AllocBstr(text); }
    Arg(const wchar_t* text) : Arg(std::wstring_view(text)) {}
    Arg(const std::wstring& text) : Arg(std::wstring_view(text)) {}
    Arg(const std::string& text) : Arg(std::string_view(text)) {}
    Arg(const char* text) : Arg(std::string_view(text)) {}
    Arg(const VARIANT& value) noexcept { ::VariantCopy(m_value.get(), const_cast<VARIANT*>(&value)); }
    Arg(const Arg& other) noexcept : Arg(other.get()) {}
    const VARIANT& get() const noexcept { return *m_value.get(); }

private:
    unique_variant m_value;
};

// A VARIANT as the stand-in records it (texts in UTF-8).
std::string Text(const VARIANT& value);

class EngineStandIn
{
public:
    EngineStandIn();

    // Calls the control's method or reads its property `name` with `arguments`
    // followed by `more` (a [vararg] list); a failure fails the test. Numbers
    // come back as VT_I4.
    unique_variant Invoke(const wchar_t* name, std::initializer_list<Arg> arguments = {},
                          std::initializer_list<Arg> more = {}) const;

    // Every recorded call, "Name(arguments)" (without its target), oldest first.
    std::vector<std::string> Calls() const;
    // The next call of the operation `call` names, after the one the previous
    // Expect matched, must be `call` exactly; calls of others in between pass.
    ::testing::AssertionResult Expect(std::string_view call);
    // Recorded calls of the operation `name`.
    size_t Count(std::string_view name) const;
    // Property `property` of the option object passed to the call the last
    // Expect matched, as it was at the call.
    std::string PassedOption(std::string_view property) const
    {
        return Text(*Invoke(L"CallOption", {static_cast<long>(m_cursor) - 1, property}).get());
    }

    void FailNext(std::string_view operation, HRESULT status, long count = 1, std::string_view description = "") const
    {
        Invoke(L"FailNext", {operation, status, count, description});
    }
    void FailAfter(std::string_view operation, long passing, HRESULT status) const
    {
        Invoke(L"FailAfter", {operation, passing, status});
    }
    void Answer(std::string_view call, std::initializer_list<Arg> values) const { Invoke(L"Answer", {call}, values); }
    void AddListRow(std::initializer_list<Arg> columns) const { Invoke(L"AddListRow", {}, columns); }
    // Fires `event` (a name of _IDownloadEngineEvents) to every connected sink;
    // returns the number of sinks that took it (their Invoke succeeded).
    long Fire(std::string_view event, std::initializer_list<Arg> arguments) const
    {
        return V_I4(Invoke(L"FireEvent", {event}, arguments).get());
    }
    void FireOnCall(std::string_view operation, std::string_view event, std::initializer_list<Arg> arguments) const
    {
        Invoke(L"FireOnCall", {operation, event}, arguments);
    }
    // Argument `index` of the event fired last, as the sinks left it.
    std::string FiredArgument(long index) const { return Text(*Invoke(L"EventArgument", {index}).get()); }
    long LiveObjects() const { return V_I4(Invoke(L"LiveObjects").get()); }
    long Connections() const { return V_I4(Invoke(L"Connections").get()); }
    DWORD ProcessId() const { return static_cast<DWORD>(V_I4(Invoke(L"ProcessId").get())); }

private:
    com_ptr<IDispatch> m_control;
    size_t m_cursor = 0;  // calls before it are behind the last Expect
};

// Sends event `dispid` with `arguments` (in declaration order) to `sink`, as the
// engine does.
void SendEvent(IDispatch* sink, DISPID dispid, std::initializer_list<Arg> arguments);

// An event sink of the engine that records each event: its DISPID, arguments
// (declaration order, as text; by-reference flags as their value) and thread.
// With `claim` it sets every by-reference flag it gets; `onEvent` runs after
// (what it raises is returned as the status of the event).
class CEventRecorder : public CObjectRoot, public _IDownloadEngineEvents
{
public:
    struct Received { DISPID dispid; std::vector<std::string> arguments; DWORD thread; };
    static const InterfaceEntry* Interfaces(size_t* count) noexcept;
    static com_ptr<CComObject<CEventRecorder>> Create();
    _IDownloadEngineEvents* Sink() noexcept { return this; }

    STDMETHODIMP GetTypeInfoCount(UINT* count) override { return count ? (*count = 0, S_OK) : E_POINTER; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* parameters, VARIANT*, EXCEPINFO*,
                        UINT*) override;

    bool claim = false;
    std::function<void()> onEvent;
    std::vector<Received> received;
};

}  // namespace tdm::test
