#include "browser/page_request.h"

#include <mshtml.h>
#include <urlmon.h>
#include <algorithm>
#include <cwctype>

#include "engine/engine_contract.h"
#include "framework/automation.h"
#include "framework/com_ptr.h"

namespace tdm {

namespace {

std::wstring Lowered(std::wstring_view text)
{
    std::wstring lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return lowered;
}

// The scheme of an absolute address, lower-cased ("https"); empty without one.
std::wstring SchemeOf(std::wstring_view url)
{
    const size_t colon = url.find(L"://");
    if (colon == std::wstring_view::npos || colon == 0)
        return {};
    return Lowered(url.substr(0, colon));
}

// A text the engine takes: no control character, not longer than `limit`.
// Anything else is dropped here, so that the download goes out without it
// rather than being refused.
std::wstring Acceptable(std::wstring text, unsigned long limit)
{
    const bool control = std::any_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; });
    if (control || text.size() > limit)
        return {};
    return text;
}

std::wstring Trimmed(std::wstring_view text)
{
    while (!text.empty() && (text.front() == L' ' || text.front() == L'\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == L' ' || text.back() == L'\t'))
        text.remove_suffix(1);
    return std::wstring(text);
}

}  // namespace

std::wstring BrowserUserAgent()
{
    char agent[1024] = {};
    DWORD size = sizeof(agent);
    if (FAILED(::ObtainUserAgentString(0, agent, &size)))
        return {};
    const std::string text(agent, strnlen(agent, sizeof(agent)));
    return Acceptable(std::wstring(text.begin(), text.end()), kMaxUserAgentLength);  // ASCII by its grammar
}

std::wstring PageAddress(IWebBrowser2* browser)
{
    if (!browser)
        return {};
    com_ptr<IDispatch> documentDispatch;
    unique_bstr address;
    if (SUCCEEDED(browser->get_Document(documentDispatch.put())) && documentDispatch)
    {
        if (const auto document = documentDispatch.try_query<IHTMLDocument2>())
            (void)document->get_URL(address.put());
    }
    if (address.empty())
        (void)browser->get_LocationURL(address.put());
    return std::wstring(address.get() ? address.get() : L"", address.length());
}

std::wstring ReferrerFor(std::wstring_view page, std::wstring_view url)
{
    const std::wstring pageScheme = SchemeOf(page);
    if (pageScheme != L"http" && pageScheme != L"https")
        return {};
    if (pageScheme == L"https" && SchemeOf(url) != L"https")
        return {};
    std::wstring referrer(page.substr(0, page.find(L'#')));
    // No user name or password: they are the user's, not the page's address.
    const size_t authority = referrer.find(L"://") + 3;
    const size_t authorityEnd = std::min(referrer.find_first_of(L"/?", authority), referrer.size());
    const size_t at = referrer.rfind(L'@', authorityEnd);
    if (at != std::wstring::npos && at >= authority)
        referrer.erase(authority, at + 1 - authority);
    return Acceptable(std::move(referrer), kMaxReferrerLength);
}

PageRequest PageRequestFor(std::wstring_view url, IWebBrowser2* browser)
{
    return {ReferrerFor(PageAddress(browser), url), BrowserUserAgent()};
}

PageRequest PageRequestFromHeaders(const wchar_t* headers)
{
    PageRequest request;
    bool agentGiven = false;
    const std::wstring_view text = headers ? std::wstring_view(headers) : std::wstring_view();
    for (size_t at = 0; at < text.size();)
    {
        const size_t end = std::min(text.find(L"\r\n", at), text.size());
        const std::wstring_view line = text.substr(at, end - at);
        at = end + 2;
        const size_t colon = line.find(L':');
        if (colon == std::wstring_view::npos)
            continue;
        const std::wstring name = Lowered(Trimmed(line.substr(0, colon)));
        if (name == L"referer")
        {
            std::wstring referrer = Trimmed(line.substr(colon + 1));
            const std::wstring scheme = SchemeOf(referrer);
            if (scheme == L"http" || scheme == L"https")
                request.referrer = Acceptable(std::move(referrer), kMaxReferrerLength);
        }
        else if (name == L"user-agent")
        {
            request.userAgent = Acceptable(Trimmed(line.substr(colon + 1)), kMaxUserAgentLength);
            agentGiven = true;
        }
    }
    if (!agentGiven)
        request.userAgent = BrowserUserAgent();
    return request;
}

}  // namespace tdm
