// Creating a download from a URL: the one path by which every new download of
// the client reaches the engine (the link context menu, the browser's own
// downloads, links dropped on the bar or the toolbar, the Add command).
#pragma once

#include <windows.h>
#include <exdisp.h>
#include <string>
#include <string_view>

#include "engine/engine_link.h"

namespace tdm {

class CTolDownloadHelper;

// CreateDownload of the helper on the calling browser thread. `url` may be null
// or empty (the Add command). E_FAIL when the thread has no browser; S_OK in
// every other case: a refused URL, a cancelled dialog and an engine failure are
// told to the user, not to the caller. The download carries `request` (what
// the browser gave with a download it hands over) or, without one, the
// Referer and User-Agent of a link of the page shown.
HRESULT CreateDownloadOnThisThread(CTolDownloadHelper& helper, BSTR url,
                                   const PageRequest* request = nullptr) noexcept;

// CreateDownloads of the helper on the calling browser thread: the downloadable
// links of the collection `links` (the page's `links`) are offered in the
// link-selection dialog, owned by the browser's top-level window, and the ones
// the user confirms go to the engine one by one, in page order. E_FAIL when the
// thread has no browser; S_OK when the user confirmed or cancelled, also when the
// page had no downloadable link or the engine failed (the user is told).
HRESULT CreateDownloadsOnThisThread(CTolDownloadHelper& helper, IDispatch* links) noexcept;

// The cookie that goes with a download of `url`: the one the browser keeps for
// that address (its cookie store, HttpOnly cookies included); without one, the
// cookie of the page shown in `browser` when `url` is, byte for byte (or with
// `ignoreCase`, but for letter case), the address of one of the page's links
// and has the page's scheme and host; empty otherwise.
std::wstring GetPageCookieForUrl(std::wstring_view url, IWebBrowser2* browser, bool ignoreCase = false) noexcept;

// The top-level window of the browser: the owner of every box and dialog of a
// download created in it. Null when the browser has no window.
HWND BrowserOwnerWindow(IWebBrowser2* browser) noexcept;

// A URL of a download scheme (http, ftp or one the engine declares) that the
// clipboard holds as text (CF_UNICODETEXT, else CF_TEXT), as the new-download
// dialog proposes it; empty when there is none. Bounded by the clipboard
// block's size, whether or not the text ends with a NUL.
std::wstring ClipboardUrl(HWND owner) noexcept;

}  // namespace tdm
