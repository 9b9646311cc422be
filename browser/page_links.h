// The downloadable links of a page, read from the link collection the
// "download all" script hands over (the document's `links`).
//
// The collection and its elements are the page's objects and are not trusted:
// they are reached only through IDispatch by name (`length`, `item`, `href`),
// which serves the browser's own collections of anchors and image-map areas as
// well as any scripted object, and every answer is checked before it is used.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <string>
#include <vector>

namespace tdm {

// The longest `href` considered: longer texts cannot crack as URLs anyway, so
// they are not even converted.
inline constexpr UINT kMaxLinkLength = 2089;

// The distinct links of `links` that pass the download rule (the same rule as a
// single link), in page order, as 8-bit texts. An `href` that is missing, not
// text, empty, relative or too long is skipped; a link equal byte for byte to an
// earlier one is dropped. A collection that fails part-way keeps the links read
// before the failure. A null or unreadable collection gives none.
std::vector<std::wstring> ReadDownloadableLinks(IDispatch* links) noexcept;

}  // namespace tdm
