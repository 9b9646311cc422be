// The download engine stand-in (test_engine.dll, registered in the test prefix
// under the engine's class) as C++ tests use it: configure it, say which calls
// are expected, fire events.
//
// All engine objects of the process share the stand-in's state, so one
// EngineStandIn sees the calls made on every engine the code under test creates.
// Construct it after COM is initialised; construction resets the stand-in.
//
//     test::EngineStandIn engine;
//     engine.FailNext("CreateInstance", E_OUTOFMEMORY);
//     ... code under test ...
//     EXPECT_TRUE(engine.Expect("AddUrl", {"http://host/a.zip", "C:\\", "0", "1", "-1", ""}));
//
// Arguments are compared as the stand-in renders them: numbers in decimal, flags
// as -1/0/1, strings as they are ("(null)" for a null BSTR), option objects as
// "options#N" (their values: CallOption).
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "framework/com_ptr.h"
#include "test_engine_h.h"

namespace tdm::test {

struct EngineCall
{
    std::string target;  // "engine#1", "options#2", "DownloadEngine" (creation)
    std::string name;
    std::vector<std::string> arguments;

    // "Name(argument, argument)".
    std::string Text() const;
};

// One event argument: a number, a double, a flag, a text (UTF-8) or any VARIANT.
class EventArgument
{
public:
    EventArgument(int value) noexcept;
    EventArgument(long value) noexcept;
    EventArgument(double value) noexcept;
    EventArgument(bool value) noexcept;
    EventArgument(const char* text);
    EventArgument(const VARIANT& value) noexcept;
    EventArgument(const EventArgument& other) noexcept;
    EventArgument& operator=(const EventArgument&) = delete;
    ~EventArgument();

    const VARIANT& get() const noexcept { return m_value; }

private:
    VARIANT m_value;
};

class EngineStandIn
{
public:
    EngineStandIn();

    ITestEngineControl* operator->() const noexcept { return m_control.get(); }
    ITestEngineControl* get() const noexcept { return m_control.get(); }

    // --- recorded calls ---------------------------------------------------------------
    std::vector<EngineCall> Calls() const;
    std::vector<EngineCall> CallsNamed(std::string_view name) const;
    // Every call, one "target Name(arguments)" line each: for failure messages.
    std::string CallLog() const;
    // The value (as text) property `property` of the option object passed to
    // call `index` had at the time of the call; empty when the call had none.
    std::string CallOption(size_t index, const char* property) const;

    // The next call named `name` after the one the previous Expect matched must
    // have exactly `arguments`. Calls of other names in between are passed over.
    ::testing::AssertionResult Expect(std::string_view name, const std::vector<std::string>& arguments);
    // Same, without looking at the arguments.
    ::testing::AssertionResult Expect(std::string_view name);
    // No call named `name` after the one the previous Expect matched.
    ::testing::AssertionResult ExpectNo(std::string_view name) const;

    // --- configuration ----------------------------------------------------------------
    // The next `count` calls of `operation` fail with `status` (see
    // ITestEngineControl::FailNext; "CreateInstance" for engine creation).
    void FailNext(std::string_view operation, HRESULT status, long count = 1, std::string_view description = {});

    // --- events -------------------------------------------------------------------------
    // Fires `event` (a name of _IDownloadEngineEvents) with its arguments in
    // declaration order to every connected sink; returns the number of sinks
    // called, or -1 (with a test failure) when the stand-in refused the event.
    long Fire(std::string_view event, std::initializer_list<EventArgument> arguments);
    // Argument `index` of the event fired last as the sinks left it, as text
    // (flags -1/0).
    std::string FiredArgument(long index) const;

    // --- objects --------------------------------------------------------------------------
    long ConnectionCount() const;
    long LiveEngines() const;
    long LiveOptions() const;

private:
    com_ptr<ITestEngineControl> m_control;
    size_t m_cursor = 0;  // calls before this index are behind the last Expect
};

// Text conversions between the tests' UTF-8 and COM's UTF-16.
std::string Utf8(const wchar_t* text, size_t length);
std::string Utf8(BSTR text);
std::wstring Wide(std::string_view utf8);
// A VARIANT rendered as the stand-in renders arguments.
std::string VariantText(const VARIANT& value);

}  // namespace tdm::test
