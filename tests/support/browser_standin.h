// A stand-in for the browser as the module meets it: a top-level frame window
// per browser window, the browser object (IWebBrowser2) with its document, the
// site it hands its browser helper objects, and the explorer bars it hosts.
//
// A BrowserWindow is opened, used and closed on one single-threaded apartment
// thread, as each window of the real browser lives on a thread of its own.
// Tests run it on a StaThread (browser_thread.h); the scriptable stand-in DLL
// (tests/standins/browser) runs it on the script's thread.
#pragma once

#include <windows.h>
#include <exdisp.h>
#include <mshtml.h>
#include <ocidl.h>
#include <servprov.h>
#include <shlobj.h>
#include <functional>
#include <memory>
#include <mutex>

#include "framework/lock.h"
#include <optional>
#include <string>
#include <vector>

#include "framework/com_ptr.h"
#include "framework/unique_any.h"
#include "support/browser_stubs.h"

namespace tdm::test {

// The arguments of one IWebBrowser2::ShowBrowserBar call, and what the browser
// did with the bar.
struct BrowserBarCall
{
    VARTYPE clsidType = VT_EMPTY;
    std::wstring clsid;  // text of a VT_BSTR first argument
    VARTYPE showType = VT_EMPTY;
    bool show = false;   // a VT_BOOL second argument
    bool sizeGiven = false;
    // CoCreateInstance of the bar's class; S_FALSE when it was not tried (the bar
    // was hosted already, or was to be hidden).
    HRESULT barCreation = S_FALSE;
    // The bar object is a band (IDeskBand) and was shown or hidden through ShowDW.
    bool hosted = false;
};

// What the browser's document holds.
struct DocumentContent
{
    // The page's links in document order. An entry without a value is an
    // element that answers no IHTMLAnchorElement (an image map area, say).
    std::vector<std::optional<std::wstring>> links;
    std::wstring cookie;
};

// Reference counting of the stand-in objects: atomic, created with one reference.
class RefCounted
{
public:
    LONG RefCount() const noexcept { return m_refs; }

protected:
    RefCounted() = default;
    virtual ~RefCounted() = default;
    ULONG AddRefImpl() noexcept { return static_cast<ULONG>(::InterlockedIncrement(&m_refs)); }
    ULONG ReleaseImpl() noexcept
    {
        const LONG refs = ::InterlockedDecrement(&m_refs);
        if (refs == 0)
            delete this;
        return static_cast<ULONG>(refs);
    }

private:
    volatile LONG m_refs = 1;
};

// The browser object of one window.
class StandInBrowser final : public WebBrowser2Stubs, public IServiceProvider, public RefCounted
{
public:
    static com_ptr<StandInBrowser> Create(HWND frame);

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

    // IWebBrowser2, the methods the module calls
    STDMETHODIMP get_Document(IDispatch** document) override;
    STDMETHODIMP get_HWND(SHANDLE_PTR* window) override;
    // Records the call; shows or hides the bar: creates it by CLSID on first
    // show, sites it with a band site and calls ShowDW, the way the browser does.
    STDMETHODIMP ShowBrowserBar(VARIANT* clsid, VARIANT* show, VARIANT* size) override;

    // IServiceProvider: SID_SWebBrowserApp gives this object.
    STDMETHODIMP QueryService(REFGUID service, REFIID riid, void** ppv) override;

    // Test controls, from any thread.
    std::vector<BrowserBarCall> BarCalls() const;
    void ClearBarCalls();
    // nullopt: no document (get_Document fails).
    void SetDocument(std::optional<DocumentContent> content);
    // What ShowBrowserBar answers once the call is recorded (S_OK by default).
    void SetBarResult(HRESULT result);

    // The window closes: its bars are closed, unsited and released. Owner thread.
    void CloseBars();

private:
    struct HostedBar;

    explicit StandInBrowser(HWND frame);
    ~StandInBrowser() override;

    void ShowBar(REFCLSID clsid, BrowserBarCall& call);
    void HideBar(REFCLSID clsid, BrowserBarCall& call);

    HWND m_frame;
    mutable tdm::srw_lock m_lock;  // guards the test-visible state below
    std::vector<BrowserBarCall> m_barCalls;
    std::optional<DocumentContent> m_document{DocumentContent{}};
    HRESULT m_barResult = S_OK;
    // Owner thread only.
    std::vector<std::unique_ptr<HostedBar>> m_bars;
};

// What the site handed to helper objects offers.
enum class SiteKind
{
    Browser,            // IOleWindow and IServiceProvider with the browser, as the browser's
    NoServiceProvider,  // IOleWindow only
    NoBrowserService,   // an IServiceProvider that knows no browser service
};

// The site of a browser window for its helper objects.
com_ptr<IUnknown> CreateBrowserSite(StandInBrowser* browser, HWND frame, SiteKind kind);

// One browser window: frame, browser, site and the browser helper object sited
// in it.
class BrowserWindow
{
public:
    // Creates the helper object the window sites; the default creates the
    // registered class (CoCreateInstance of CLSID_TolDownloadHelper), as the
    // browser does.
    using HelperFactory = std::function<HRESULT(IObjectWithSite** helper)>;

    explicit BrowserWindow(HelperFactory factory = {});
    BrowserWindow(const BrowserWindow&) = delete;
    BrowserWindow& operator=(const BrowserWindow&) = delete;
    // Close it on its thread first.
    ~BrowserWindow();

    // Creates the frame on the calling thread, the browser and the site, and
    // sites the helper object. Returns the creation failure or SetSite's answer.
    HRESULT Open();
    // Closes the bars, clears the helper's site, releases the helper and
    // destroys the frame. The browser object stays readable.
    void Close();

    HWND Frame() const noexcept { return m_frame.get(); }
    StandInBrowser* Browser() const noexcept { return m_browser.get(); }
    // The helper object as the window holds it; null when closed.
    IObjectWithSite* Helper() const noexcept { return m_helper.get(); }

private:
    HelperFactory m_factory;
    unique_hwnd m_frame;
    com_ptr<StandInBrowser> m_browser;
    com_ptr<IUnknown> m_site;
    com_ptr<IObjectWithSite> m_helper;
};

}  // namespace tdm::test
