// Checks of code that raises CComError (framework/error.h).
#pragma once

#include <windows.h>
#include <string>

#include "framework/automation.h"
#include "framework/error.h"

namespace tdm::test {

// The CComError `action` raises (status S_OK when it raises none).
template <typename Action>
CComError Raised(Action&& action)
{
    try
    {
        action();
    }
    catch (const CComError& error)
    {
        return error;
    }
    return CComError(S_OK, IID_NULL);
}

// An interface id as text, for failure messages.
inline std::string IidText(REFIID iid)
{
    wchar_t text[40] = {};
    ::StringFromGUID2(iid, text, 40);
    return NarrowFromWide(text, wcslen(text));
}

}  // namespace tdm::test
