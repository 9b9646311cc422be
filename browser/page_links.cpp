#include "browser/page_links.h"

#include <string>
#include <unordered_set>

#include "framework/automation.h"
#include "framework/com_ptr.h"
#include "framework/error.h"
#include "text/url_components.h"

namespace tdm {

namespace {

// The DISPID of member `name` of `object`, or DISPID_UNKNOWN.
DISPID MemberId(IDispatch* object, const wchar_t* name) noexcept
{
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id)))
        return DISPID_UNKNOWN;
    return id;
}

// Reads a property of `object`, or calls its method with one number argument.
// Only a method call says it is one: a script object refuses to "call" a
// property that holds no function.
HRESULT Get(IDispatch* object, DISPID id, unique_variant& result, const long* argument = nullptr) noexcept
{
    VARIANT value;
    ::VariantInit(&value);
    DISPPARAMS parameters{};
    if (argument)
    {
        V_VT(&value) = VT_I4;
        V_I4(&value) = *argument;
        parameters.rgvarg = &value;
        parameters.cArgs = 1;
    }
    const WORD flags = argument ? DISPATCH_METHOD : DISPATCH_PROPERTYGET;
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &parameters, result.put(), nullptr, nullptr);
}

// The number of entries the collection claims; 0 when it gives no number.
long CollectionLength(IDispatch* links) noexcept
{
    const DISPID id = MemberId(links, L"length");
    unique_variant length;
    if (id == DISPID_UNKNOWN || FAILED(Get(links, id, length)) ||
        FAILED(::VariantChangeType(length.get(), length.get(), 0, VT_I4)))
        return 0;
    return V_I4(length.get()) > 0 ? V_I4(length.get()) : 0;
}

// Entry `index`: through the collection's `item` method, or, for an object
// without one (a script's array), its property named by the index.
HRESULT CollectionItem(IDispatch* links, DISPID itemId, long index, unique_variant& item) noexcept
{
    if (itemId != DISPID_UNKNOWN)
        return Get(links, itemId, item, &index);
    const DISPID id = MemberId(links, std::to_wstring(index).c_str());
    return id == DISPID_UNKNOWN ? DISP_E_MEMBERNOTFOUND : Get(links, id, item);
}

// The `href` of one element as the page gives it; empty when it has none, when
// it is not text, or when it is longer than any URL the rule accepts.
std::wstring Href(const VARIANT& element)
{
    if (V_VT(&element) != VT_DISPATCH || !V_DISPATCH(&element))
        return {};
    IDispatch* object = V_DISPATCH(&element);
    const DISPID id = MemberId(object, L"href");
    unique_variant href;
    if (id == DISPID_UNKNOWN || FAILED(Get(object, id, href)) || V_VT(href.get()) != VT_BSTR)
        return {};
    const BSTR text = V_BSTR(href.get());
    if (::SysStringLen(text) > kMaxLinkLength)
        return {};
    return WideFromBstr(text);
}

}  // namespace

std::vector<std::wstring> ReadDownloadableLinks(IDispatch* links) noexcept
{
    std::vector<std::wstring> found;
    if (!links)
        return found;
    try
    {
        std::unordered_set<std::wstring> seen;
        const long count = CollectionLength(links);
        const DISPID itemId = MemberId(links, L"item");
        for (long index = 0; index < count; ++index)
        {
            unique_variant item;
            // A collection failing part-way (the page changed, a script object
            // lied about its length) keeps what was read before.
            if (FAILED(CollectionItem(links, itemId, index, item)))
                break;
            std::wstring url = Href(*item.get());
            // The rule refuses empty and relative addresses.
            if (!IsDownloadableUrlAsGiven(url) || !seen.insert(url).second)
                continue;
            found.push_back(std::move(url));
        }
    }
    catch (...)
    {
        TraceCaughtException(__FILE__, __LINE__);
    }
    return found;
}

}  // namespace tdm
