#include "support/engine_standin.h"

#include <oleauto.h>
#include <sstream>

#include "framework/automation.h"

namespace tdm::test {

std::string Utf8(const wchar_t* text, size_t length)
{
    if (!text || length == 0)
        return {};
    const int wide = static_cast<int>(length);
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, wide, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text, wide, result.data(), bytes, nullptr, nullptr);
    return result;
}

std::string Utf8(BSTR text)
{
    return Utf8(text, ::SysStringLen(text));
}

std::wstring Wide(std::string_view utf8)
{
    if (utf8.empty())
        return {};
    const int bytes = static_cast<int>(utf8.size());
    const int chars = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), bytes, nullptr, 0);
    std::wstring result(static_cast<size_t>(chars > 0 ? chars : 0), L'\0');
    if (chars > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), bytes, result.data(), chars);
    return result;
}

std::string VariantText(const VARIANT& value)
{
    if (V_VT(&value) == VT_BOOL)
        return std::to_string(static_cast<int>(V_BOOL(&value)));
    if (V_VT(&value) == VT_BSTR)
        return V_BSTR(&value) ? Utf8(V_BSTR(&value)) : "(null)";
    if (V_VT(&value) == VT_EMPTY)
        return {};
    unique_variant text;
    if (FAILED(::VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(&value), MAKELCID(0x0409, SORT_DEFAULT), 0,
                                     VT_BSTR)))
        return "(vt " + std::to_string(V_VT(&value)) + ")";
    return Utf8(V_BSTR(text.get()));
}

std::string EngineCall::Text() const
{
    std::string text = name + "(";
    for (size_t i = 0; i < arguments.size(); ++i)
        text += (i ? ", " : "") + arguments[i];
    return text + ")";
}

// --- EventArgument ------------------------------------------------------------------

EventArgument::EventArgument(int value) noexcept : EventArgument(static_cast<long>(value)) {}

EventArgument::EventArgument(long value) noexcept
{
    ::VariantInit(&m_value);
    V_VT(&m_value) = VT_I4;
    V_I4(&m_value) = value;
}

EventArgument::EventArgument(double value) noexcept
{
    ::VariantInit(&m_value);
    V_VT(&m_value) = VT_R8;
    V_R8(&m_value) = value;
}

EventArgument::EventArgument(bool value) noexcept
{
    ::VariantInit(&m_value);
    V_VT(&m_value) = VT_BOOL;
    V_BOOL(&m_value) = value ? VARIANT_TRUE : VARIANT_FALSE;
}

EventArgument::EventArgument(const char* text)
{
    ::VariantInit(&m_value);
    const std::wstring wide = Wide(text ? text : "");
    V_VT(&m_value) = VT_BSTR;
    V_BSTR(&m_value) = ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

EventArgument::EventArgument(const VARIANT& value) noexcept
{
    ::VariantInit(&m_value);
    ::VariantCopy(&m_value, const_cast<VARIANT*>(&value));
}

EventArgument::EventArgument(const EventArgument& other) noexcept : EventArgument(other.m_value) {}

EventArgument::~EventArgument()
{
    ::VariantClear(&m_value);
}

// --- EngineStandIn ------------------------------------------------------------------

EngineStandIn::EngineStandIn()
{
    const HRESULT hr = ::CoCreateInstance(__uuidof(TestEngineControl), nullptr, CLSCTX_INPROC_SERVER,
                                          __uuidof(ITestEngineControl), m_control.put_void());
    if (FAILED(hr) || !m_control)
    {
        ADD_FAILURE() << "the engine stand-in is not registered in this prefix: 0x" << std::hex << hr;
        return;
    }
    m_control->Reset();
}

std::vector<EngineCall> EngineStandIn::Calls() const
{
    std::vector<EngineCall> calls;
    long count = 0;
    if (!m_control || FAILED(m_control->get_CallCount(&count)))
        return calls;
    for (long i = 0; i < count; ++i)
    {
        EngineCall call;
        unique_bstr text;
        if (SUCCEEDED(m_control->CallTarget(i, text.put())))
            call.target = Utf8(text.get());
        if (SUCCEEDED(m_control->CallName(i, text.put())))
            call.name = Utf8(text.get());
        long arguments = 0;
        m_control->CallArgumentCount(i, &arguments);
        for (long argument = 0; argument < arguments; ++argument)
        {
            if (SUCCEEDED(m_control->CallArgument(i, argument, text.put())))
                call.arguments.push_back(Utf8(text.get()));
        }
        calls.push_back(std::move(call));
    }
    return calls;
}

std::vector<EngineCall> EngineStandIn::CallsNamed(std::string_view name) const
{
    std::vector<EngineCall> named;
    for (EngineCall& call : Calls())
        if (call.name == name)
            named.push_back(std::move(call));
    return named;
}

std::string EngineStandIn::CallLog() const
{
    unique_bstr log;
    if (!m_control || FAILED(m_control->get_CallLog(log.put())))
        return {};
    return Utf8(log.get());
}

std::string EngineStandIn::CallOption(size_t index, const char* property) const
{
    unique_variant value;
    const std::wstring name = Wide(property);
    unique_bstr nameText(::SysAllocString(name.c_str()));
    if (!m_control || FAILED(m_control->CallOption(static_cast<long>(index), nameText.get(), value.put())))
        return {};
    return VariantText(*value.get());
}

::testing::AssertionResult EngineStandIn::Expect(std::string_view name, const std::vector<std::string>& arguments)
{
    const std::vector<EngineCall> calls = Calls();
    for (size_t i = m_cursor; i < calls.size(); ++i)
    {
        if (calls[i].name != name)
            continue;
        if (calls[i].arguments != arguments)
        {
            EngineCall expected{calls[i].target, calls[i].name, arguments};
            return ::testing::AssertionFailure() << "expected " << expected.Text() << "\n  actual " << calls[i].Text()
                                                 << "\nall calls:\n" << CallLog();
        }
        m_cursor = i + 1;
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no call " << name << " after call " << m_cursor << "; all calls:\n"
                                         << CallLog();
}

::testing::AssertionResult EngineStandIn::Expect(std::string_view name)
{
    const std::vector<EngineCall> calls = Calls();
    for (size_t i = m_cursor; i < calls.size(); ++i)
    {
        if (calls[i].name == name)
        {
            m_cursor = i + 1;
            return ::testing::AssertionSuccess();
        }
    }
    return ::testing::AssertionFailure() << "no call " << name << " after call " << m_cursor << "; all calls:\n"
                                         << CallLog();
}

::testing::AssertionResult EngineStandIn::ExpectNo(std::string_view name) const
{
    const std::vector<EngineCall> calls = Calls();
    for (size_t i = m_cursor; i < calls.size(); ++i)
    {
        if (calls[i].name == name)
            return ::testing::AssertionFailure() << "unexpected " << calls[i].Text() << "; all calls:\n" << CallLog();
    }
    return ::testing::AssertionSuccess();
}

void EngineStandIn::FailNext(std::string_view operation, HRESULT status, long count, std::string_view description)
{
    const std::wstring wideOperation = Wide(operation);
    const std::wstring wideDescription = Wide(description);
    unique_bstr operationText(::SysAllocString(wideOperation.c_str()));
    unique_bstr descriptionText(::SysAllocString(wideDescription.c_str()));
    const HRESULT hr = m_control ? m_control->FailNext(operationText.get(), status, count, descriptionText.get())
                                 : E_POINTER;
    EXPECT_EQ(S_OK, hr) << "FailNext(" << operation << "): 0x" << std::hex << hr;
}

long EngineStandIn::Fire(std::string_view event, std::initializer_list<EventArgument> arguments)
{
    if (!m_control)
        return -1;
    SAFEARRAYBOUND bounds{static_cast<ULONG>(arguments.size()), 0};
    unique_safearray array(::SafeArrayCreate(VT_VARIANT, 1, &bounds));
    LONG index = 0;
    for (const EventArgument& argument : arguments)
    {
        ::SafeArrayPutElement(array.get(), &index, const_cast<VARIANT*>(&argument.get()));
        ++index;
    }
    const std::wstring name = Wide(event);
    unique_variant eventName;
    V_VT(eventName.get()) = VT_BSTR;
    V_BSTR(eventName.get()) = ::SysAllocString(name.c_str());
    long delivered = 0;
    const HRESULT hr = m_control->FireEvent(*eventName.get(), array.get(), &delivered);
    if (FAILED(hr))
    {
        ADD_FAILURE() << "the stand-in refused to fire " << event << ": 0x" << std::hex << hr;
        return -1;
    }
    return delivered;
}

std::string EngineStandIn::FiredArgument(long index) const
{
    unique_variant value;
    if (!m_control || FAILED(m_control->EventArgument(index, value.put())))
        return "(none)";
    return VariantText(*value.get());
}

long EngineStandIn::ConnectionCount() const
{
    long count = -1;
    if (m_control)
        m_control->get_ConnectionCount(&count);
    return count;
}

long EngineStandIn::LiveEngines() const
{
    long count = -1;
    if (m_control)
        m_control->get_LiveEngines(&count);
    return count;
}

long EngineStandIn::LiveOptions() const
{
    long count = -1;
    if (m_control)
        m_control->get_LiveOptions(&count);
    return count;
}

}  // namespace tdm::test
