// The Referer and User-Agent of a download created in a browser window: what
// the browser itself would send with a request for the link, so that servers
// that refuse requests from elsewhere (hot-link protection, mirrors) give the
// download what they give the browser.
#pragma once

#include <windows.h>
#include <exdisp.h>
#include <string>
#include <string_view>

#include "engine/engine_link.h"

namespace tdm {

// The user agent string the browser sends (the system's, as urlmon gives it to
// the browser); empty when the system gives none.
std::wstring BrowserUserAgent();

// The address of the document shown in `browser` (the browser's location when
// the document does not say); empty without a browser or a page.
std::wstring PageAddress(IWebBrowser2* browser);

// The Referer a browser sends for `url` from a page at `page`: the page's
// address without its fragment and user name or password. None for a page that
// is not http or https, and none for an https page and a link that is not
// https: the address of a secure page never goes out in the clear.
std::wstring ReferrerFor(std::wstring_view page, std::wstring_view url);

// What a download of `url` created in `browser`'s window sends: the referrer
// of the page shown and the browser's user agent.
PageRequest PageRequestFor(std::wstring_view url, IWebBrowser2* browser);

// What the browser gave with a download it hands over: the values of its
// "Referer" and "User-Agent" lines in `headers` ("Name: value" lines ended by
// CR LF, names in any letter case; may be null). Without a User-Agent line,
// the browser's user agent.
PageRequest PageRequestFromHeaders(const wchar_t* headers);

}  // namespace tdm
