#include "browser/download_creation.h"

#include <mshtml.h>
#include <wininet.h>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <unordered_set>
#include <vector>

#include "browser/batch_progress.h"
#include "browser/download_helper.h"
#include "browser/page_links.h"
#include "browser/page_request.h"
#include "dialogs/dialog_controls.h"
#include "dialogs/download_properties.h"
#include "dialogs/links_dialog.h"
#include "engine/declared_schemes.h"
#include "engine/engine_link.h"
#include "framework/automation.h"
#include "framework/error.h"
#include "framework/unique_any.h"
#include "store/settings_store.h"
#include "text/case_fold.h"
#include "text/format.h"
#include "text/language.h"
#include "text/message_box.h"
#include "text/url_components.h"
#include "text/url_message.h"

namespace tdm {

namespace {

// Opens the bar when the thread shows neither the bar nor the toolbar, so that
// the user sees the new download; returns the bar or toolbar window, which
// answers the dialog's conflict queries (null when the bar was only opened).
HWND EnsureDownloadsShown(CTolDownloadHelper& helper) noexcept
{
    const LONG thread = static_cast<LONG>(::GetCurrentThreadId());
    HWND window = nullptr;
    if (SUCCEEDED(helper.GetBandHWND(thread, &window)) && window)
        return window;
    if (SUCCEEDED(helper.GetToolbarHWND(thread, &window)) && window)
        return window;
    LOG_IF_FAILED(helper.ShowTolDownloadBand(VARIANT_TRUE));
    return nullptr;
}

// What the download of `url` sends: the browser's own request when it handed
// the download over, else that of a link of the page shown.
PageRequest RequestFor(const std::wstring& url, IWebBrowser2* browser, const PageRequest* given)
{
    return given ? *given : PageRequestFor(url, browser);
}

void CreateDirectly(const std::wstring& url, const std::wstring& folder, HWND owner, bool start, IWebBrowser2* browser,
                    const PageRequest* request)
{
    if (!IsDownloadableUrlAsGiven(url))
    {
        ShowIncorrectUrlMessage(url, owner);
        return;
    }
    const std::wstring cookie = GetPageCookieForUrl(url, browser);
    CEngine::Create().AddUrl(url, folder, owner, start, cookie, RequestFor(url, browser, request));
}

void CreateThroughDialog(std::wstring url, const std::wstring& folder, HWND owner, bool start, HWND conflictWindow,
                         IWebBrowser2* browser, const PageRequest* request)
{
    if (url.empty())
        url = ClipboardUrl(owner);
    CFocusRestorer focus;
    const CEngine engine = CEngine::Create();
    const CDownloadOptions options = engine.GetOptions(-1);
    CDefDownDlg dialog(options, url, folder, -1, conflictWindow, true);
    if (dialog.DoModal(owner) != IDOK)
        return;
    const std::wstring chosen = options.Url();
    engine.AddDownload(options, owner, start, GetPageCookieForUrl(chosen, browser), RequestFor(chosen, browser, request));
}

}  // namespace

HWND BrowserOwnerWindow(IWebBrowser2* browser) noexcept
{
    SHANDLE_PTR handle = 0;
    if (!browser || FAILED(browser->get_HWND(&handle)))
        return nullptr;
    HWND window = reinterpret_cast<HWND>(handle);
    for (HWND parent = window ? ::GetParent(window) : nullptr; parent && parent != window;
         parent = ::GetParent(window))
        window = parent;
    return window;
}

// The clipboard's UTF-16 text first: its 8-bit text holds only what the ANSI
// code page does.
std::wstring ClipboardUrl(HWND owner) noexcept
try
{
    const bool wide = ::IsClipboardFormatAvailable(CF_UNICODETEXT) != FALSE;
    if ((!wide && !::IsClipboardFormatAvailable(CF_TEXT)) || !::OpenClipboard(owner))
        return {};
    std::wstring text;
    try
    {
        if (HANDLE data = ::GetClipboardData(wide ? CF_UNICODETEXT : CF_TEXT))
            ReadGlobalText(data, wide, text);
    }
    catch (...)
    {
        ::CloseClipboard();
        throw;
    }
    ::CloseClipboard();
    CUrlComponents components;
    if (!components.Crack(AsciiUrl(text), CUrlComponents::CrackDecode))
        return {};
    return IsDownloadScheme(components.SchemeIndex()) ? text : std::wstring();
}
catch (...)
{
    return {};
}

namespace {

// Equal but for letter case, in any script.
bool SameIgnoringCase(std::wstring_view first, std::wstring_view second) noexcept
{
    return first.size() == second.size() && first.size() <= INT_MAX &&
           ::CompareStringOrdinal(first.data(), static_cast<int>(first.size()), second.data(),
                                  static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

// The document shown in `browser` as an HTML document, or null.
com_ptr<IHTMLDocument2> PageDocument(IWebBrowser2* browser) noexcept
{
    com_ptr<IDispatch> documentDispatch;
    if (!browser || FAILED(browser->get_Document(documentDispatch.put())) || !documentDispatch)
        return {};
    return documentDispatch.try_query<IHTMLDocument2>();
}

// Calls `visit` with the href of each anchor of `document`, in page order, until
// it answers true; returns whether it did.
template <typename Visit>
bool VisitPageLinks(IHTMLDocument2* document, Visit visit)
{
    com_ptr<IHTMLElementCollection> links;
    if (!document || FAILED(document->get_links(links.put())) || !links)
        return false;
    long count = 0;
    if (FAILED(links->get_length(&count)))
        return false;
    for (long i = 0; i < count; ++i)
    {
        unique_variant index;
        V_VT(index.get()) = VT_I4;
        V_I4(index.get()) = i;
        com_ptr<IDispatch> item;
        if (FAILED(links->item(*index.get(), *index.get(), item.put())) || !item)
            continue;
        const auto anchor = item.try_query<IHTMLAnchorElement>();
        unique_bstr href;
        if (!anchor || FAILED(anchor->get_href(href.put())))
            continue;
        if (visit(WideFromBstr(href.get())))
            return true;
    }
    return false;
}

std::wstring DocumentCookie(IHTMLDocument2* document)
{
    unique_bstr cookie;
    if (FAILED(document->get_cookie(cookie.put())))
        return {};
    return WideFromBstr(cookie.get());
}

// The cookie the browser itself would send with a request for `url`, from its
// cookie store (HttpOnly cookies included: the page's script cannot read
// them, but the browser sends them). The store is asked with the address as
// it goes on the wire.
std::wstring StoredCookie(const std::wstring& url)
{
    const std::string ascii = AsciiUrl(url);
    const std::wstring address(ascii.begin(), ascii.end());
    DWORD size = 0;
    if (!::InternetGetCookieExW(address.c_str(), nullptr, nullptr, &size, INTERNET_COOKIE_HTTPONLY, nullptr) ||
        !size)
        return {};
    // The size is in characters; a few more cost nothing.
    std::wstring cookie(size + 1, L'\0');
    DWORD room = size + 1;
    if (!::InternetGetCookieExW(address.c_str(), nullptr, &cookie[0], &room, INTERNET_COOKIE_HTTPONLY, nullptr))
        return {};
    cookie.resize(::wcsnlen(cookie.c_str(), cookie.size()));
    return cookie;
}

// True when `url` has the scheme and host of the page shown: only then may the
// page's own cookie go with it.
bool OnThePagesServer(const std::wstring& url, IHTMLDocument2* document)
{
    unique_bstr address;
    if (!document || FAILED(document->get_URL(address.put())) || !address)
        return false;
    CUrlComponents link, page;
    return link.Crack(AsciiUrl(url), 0) && page.Crack(AsciiUrl(WideFromBstr(address.get())), 0) &&
           EqualsIgnoreCase(link.SchemeName(), page.SchemeName()) && !link.HostName().empty() &&
           EqualsIgnoreCase(link.HostName(), page.HostName());
}

// The cookie for a download of `url`: the browser's own for that address; else
// the page's, when `url` is a link of the page on the page's own server.
std::wstring CookieFor(const std::wstring& url, bool pageLink, IHTMLDocument2* document)
{
    std::wstring cookie = StoredCookie(url);
    if (cookie.empty() && pageLink && OnThePagesServer(url, document))
        cookie = DocumentCookie(document);
    return cookie;
}

// Each of `urls` (in its order) to the engine, with the page's cookie for the
// ones that are links of the page shown, as a single link gets it. The first
// engine failure stops the run: the downloads added before it stay, and the
// user is told of the failure and of how many were added.
void AddLinks(const std::vector<std::wstring>& urls, const std::wstring& folder, HWND owner, bool start,
              IWebBrowser2* browser)
{
    const com_ptr<IHTMLDocument2> document = PageDocument(browser);
    std::unordered_set<std::wstring> pageLinks;
    VisitPageLinks(document.get(), [&](std::wstring href) {
        pageLinks.insert(std::move(href));
        return false;
    });
    size_t added = 0;
    try
    {
        const CEngine engine = CEngine::Create();
        CBatchProgress progress(owner, urls.size());
        for (const std::wstring& url : urls)
        {
            // The window may have gone while the progress dispatched messages.
            engine.AddUrl(url, folder, ::IsWindow(owner) ? owner : nullptr, start,
                          CookieFor(url, pageLinks.count(url) != 0, document.get()), PageRequestFor(url, browser));
            if (!progress.Step(++added))
                break;
        }
    }
    catch (const CComError& error)
    {
        ShowComError(error);
        ShowInfoBox(FillTemplate(LoadUiString(IDS_LINKS_ADDED_FMT), {FormatGroupedUInt(static_cast<std::uint32_t>(added)),
                                                                     FormatGroupedUInt(static_cast<std::uint32_t>(urls.size()))}),
                    owner);
    }
}

}  // namespace

std::wstring GetPageCookieForUrl(std::wstring_view url, IWebBrowser2* browser, bool ignoreCase) noexcept
try
{
    const com_ptr<IHTMLDocument2> document = PageDocument(browser);
    const bool found = VisitPageLinks(document.get(), [&](const std::wstring& address) {
        return ignoreCase ? SameIgnoringCase(address, url) : address == url;
    });
    return CookieFor(std::wstring(url), found, document.get());
}
catch (...)
{
    return {};
}

HRESULT CreateDownloadsOnThisThread(CTolDownloadHelper& helper, IDispatch* links) noexcept
{
    // Our own reference for the whole call, as for a single link.
    const com_ptr<IWebBrowser2> browser(CWebBrowsersHolder::GetBrowser());
    if (!browser)
        return E_FAIL;
    try
    {
        // As for a single link, the engine's declared schemes are read afresh.
        RefreshDeclaredEngineSchemes();
        const HWND owner = BrowserOwnerWindow(browser.get());
        const std::vector<std::wstring> found = ReadDownloadableLinks(links);
        if (found.empty())
        {
            ShowInfoBox(LoadUiStringW(IDS_LINKS_NONE_FOUND), owner);
            return S_OK;
        }
        CFocusRestorer focus;
        CLinksDlg dialog(found, GetBrowse(), GetStart());
        const INT_PTR answer = dialog.DoModal(owner);
        if (answer == -1)
            return E_FAIL;
        if (answer != IDOK)
            return S_OK;
        EnsureDownloadsShown(helper);
        AddLinks(dialog.CheckedLinks(), dialog.Folder(), owner, dialog.Start(), browser.get());
    }
    catch (const CComError& error)
    {
        ShowComError(error);
    }
    catch (...)
    {
        TraceCaughtException(__FILE__, __LINE__);
    }
    return S_OK;
}

HRESULT CreateDownloadOnThisThread(CTolDownloadHelper& helper, BSTR url, const PageRequest* request) noexcept
{
    // Our own reference for the whole call: a dialog's message loop may let the
    // browser clear the site meanwhile.
    const com_ptr<IWebBrowser2> browser(CWebBrowsersHolder::GetBrowser());
    if (!browser)
        return E_FAIL;
    try
    {
        // A new download is a user's action that creates an engine anyway: the
        // engine's declared schemes are read afresh for it.
        RefreshDeclaredEngineSchemes();
        const HWND conflictWindow = EnsureDownloadsShown(helper);
        const HWND owner = BrowserOwnerWindow(browser.get());
        const std::wstring text = WideFromBstr(url);
        const bool start = GetStart();
        const std::wstring folder = GetBrowse();
        if (!GetConfirmCreation() && !text.empty())
            CreateDirectly(text, folder, owner, start, browser.get(), request);
        else
            CreateThroughDialog(text, folder, owner, start, conflictWindow, browser.get(), request);
    }
    catch (const CComError& error)
    {
        ShowComError(error);
    }
    catch (...)
    {
        TraceCaughtException(__FILE__, __LINE__);
    }
    return S_OK;
}

}  // namespace tdm
