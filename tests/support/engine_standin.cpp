#include "support/engine_standin.h"

#include <oleauto.h>

#include <sstream>

#include "framework/error.h"

namespace tdm::test {

std::string Text(const VARIANT& value)
{
    unique_variant text;
    if (V_VT(&value) == VT_BOOL)
        return std::to_string(V_BOOL(&value));
    if (V_VT(&value) == VT_BSTR && !V_BSTR(&value))
        return "(null)";
    if (FAILED(::VariantChangeTypeEx(text.get(), const_cast<VARIANT*>(&value), MAKELCID(0x0409, SORT_DEFAULT), 0,
                                     VT_BSTR)))
        return "(vt " + std::to_string(V_VT(&value)) + ")";
    return Utf8FromWide(WideFromBstr(V_BSTR(text.get())));
}

EngineStandIn::EngineStandIn()
{
    // All class contexts: in the test prefix the control is in process, in the
    // process prefix in the stand-in's local server.
    CLSID control = {};
    HRESULT hr = ::CLSIDFromProgID(L"TolvaneTest.EngineControl", &control);
    if (SUCCEEDED(hr))
        hr = ::CoCreateInstance(control, nullptr, CLSCTX_ALL, IID_IDispatch, m_control.put_void());
    EXPECT_EQ(S_OK, hr) << "the engine stand-in is not registered here: 0x" << std::hex << hr;
    if (m_control)
        Invoke(L"Reset");
}

unique_variant EngineStandIn::Invoke(const wchar_t* name, std::initializer_list<Arg> arguments,
                                     std::initializer_list<Arg> more) const
{
    std::vector<VARIANT> passed;  // the last argument first
    for (auto argument = more.end(); argument != more.begin();)
        passed.push_back((--argument)->get());
    for (auto argument = arguments.end(); argument != arguments.begin();)
        passed.push_back((--argument)->get());
    DISPPARAMS parameters{passed.data(), nullptr, static_cast<UINT>(passed.size()), 0};
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = DISPID_UNKNOWN;
    EXCEPINFO exception{};
    unique_variant result;
    HRESULT hr = m_control ? m_control->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id) : E_POINTER;
    if (SUCCEEDED(hr))
        hr = m_control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &parameters,
                               result.put(), &exception, nullptr);
    unique_bstr source(exception.bstrSource), description(exception.bstrDescription), help(exception.bstrHelpFile);
    EXPECT_EQ(S_OK, hr) << "engine stand-in: " << Utf8FromWide(name) << " failed: 0x" << std::hex
                        << (hr == DISP_E_EXCEPTION ? exception.scode : hr);
    return result;
}

std::vector<std::string> EngineStandIn::Calls() const
{
    std::vector<std::string> calls;
    std::istringstream log(Text(*Invoke(L"Calls").get()));
    for (std::string line; std::getline(log, line);)
        calls.push_back(line.substr(line.find(' ') + 1));  // without the target
    return calls;
}

::testing::AssertionResult EngineStandIn::Expect(std::string_view call)
{
    const std::vector<std::string> calls = Calls();
    const std::string prefix(call.substr(0, call.find('(') + 1));
    std::string all;
    for (const std::string& recorded : calls)
        all += "\n  " + recorded;
    for (size_t i = m_cursor; i < calls.size(); ++i)
    {
        if (calls[i].compare(0, prefix.size(), prefix) != 0)
            continue;
        if (calls[i] != call)
            return ::testing::AssertionFailure() << "expected " << call << "\n  actual " << calls[i] << "\nall:" << all;
        m_cursor = i + 1;
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no " << call << " after call " << m_cursor << "; all:" << all;
}

size_t EngineStandIn::Count(std::string_view name) const
{
    const std::string prefix = std::string(name) + "(";
    size_t count = 0;
    for (const std::string& call : Calls())
        count += call.compare(0, prefix.size(), prefix) == 0;
    return count;
}

const InterfaceEntry* CEventRecorder::Interfaces(size_t* count) noexcept
{
    static const InterfaceEntry entries[] = {TDM_INTERFACE(CEventRecorder, _IDownloadEngineEvents),
                                             TDM_INTERFACE_VIA(CEventRecorder, IDispatch, _IDownloadEngineEvents)};
    *count = sizeof(entries) / sizeof(entries[0]);
    return entries;
}

com_ptr<CComObject<CEventRecorder>> CEventRecorder::Create()
{
    CComObject<CEventRecorder>* sink = nullptr;
    EXPECT_EQ(S_OK, CComObject<CEventRecorder>::CreateInstance(&sink));
    return com_ptr<CComObject<CEventRecorder>>(sink);
}

STDMETHODIMP CEventRecorder::Invoke(DISPID dispid, REFIID, LCID, WORD, DISPPARAMS* parameters, VARIANT*, EXCEPINFO*,
                                    UINT*)
{
    Received event{dispid, {}, ::GetCurrentThreadId()};
    for (UINT i = parameters->cArgs; i-- > 0;)  // the last argument comes first
    {
        VARIANT& argument = parameters->rgvarg[i];
        const bool flag = V_VT(&argument) == (VT_BOOL | VT_BYREF);
        event.arguments.push_back(flag ? std::to_string(*V_BOOLREF(&argument)) : Text(argument));
        if (flag && claim)
            *V_BOOLREF(&argument) = VARIANT_TRUE;
    }
    received.push_back(std::move(event));
    return ComBoundary([&] {
        if (onEvent)
            onEvent();
        return S_OK;
    });
}

void SendEvent(IDispatch* sink, DISPID dispid, std::initializer_list<Arg> arguments)
{
    std::vector<VARIANT> reversed;
    for (auto it = std::rbegin(arguments); it != std::rend(arguments); ++it)
        reversed.push_back(it->get());
    DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    ASSERT_TRUE(sink);
    EXPECT_EQ(S_OK, sink->Invoke(dispid, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
}

}  // namespace tdm::test
