#include "engine_server/engine_events.h"

#include <new>

namespace tdm::engine {

EventArgument Long(long value)
{
    EventArgument argument;
    V_VT(argument.value.get()) = VT_I4;
    V_I4(argument.value.get()) = value;
    return argument;
}

EventArgument Double(double value, VARTYPE type)
{
    EventArgument argument;
    V_VT(argument.value.get()) = type;
    V_R8(argument.value.get()) = value;
    return argument;
}

EventArgument Flag(bool value, bool byReference)
{
    EventArgument argument;
    V_VT(argument.value.get()) = VT_BOOL;
    V_BOOL(argument.value.get()) = value ? VARIANT_TRUE : VARIANT_FALSE;
    argument.byReference = byReference;
    return argument;
}

EventArgument Text(const std::wstring& text, bool byReference)
{
    EventArgument argument;
    V_VT(argument.value.get()) = VT_BSTR;
    V_BSTR(argument.value.get()) = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!V_BSTR(argument.value.get()))
        throw std::bad_alloc();
    argument.byReference = byReference;
    return argument;
}

EventArgument Word(unsigned short value)
{
    EventArgument argument;
    V_VT(argument.value.get()) = VT_UI2;
    V_UI2(argument.value.get()) = value;
    return argument;
}

std::wstring TextOf(const EventArgument& argument)
{
    const VARIANT& value = *argument.value.get();
    return V_VT(&value) == VT_BSTR && V_BSTR(&value) ? std::wstring(V_BSTR(&value), ::SysStringLen(V_BSTR(&value)))
                                                    : std::wstring();
}

bool FlagOf(const EventArgument& argument)
{
    return V_VT(argument.value.get()) == VT_BOOL && V_BOOL(argument.value.get()) != VARIANT_FALSE;
}

}  // namespace tdm::engine
