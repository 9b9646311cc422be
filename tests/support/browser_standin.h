// A stand-in for the browser as the module meets it: a top-level frame window
// per browser window, the browser object (IWebBrowser2) and the site it hands
// its browser helper objects.
//
// A BrowserWindow is opened, used and closed on one single-threaded apartment
// thread, as each window of the real browser lives on a thread of its own.
// Tests run it on a StaThread (browser_thread.h); the scriptable stand-in DLL
// (tests/standins/browser) runs it on the script's thread.
#pragma once

#include <windows.h>
#include <exdisp.h>
#include <ocidl.h>
#include <shlobj.h>
#include <servprov.h>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "framework/com_ptr.h"
#include "framework/lock.h"
#include "framework/unique_any.h"
#include "browser_stubs.h"

namespace tdm::test {

// The arguments of one IWebBrowser2::ShowBrowserBar call.
struct BrowserBarCall
{
    VARTYPE clsidType = VT_EMPTY;
    std::wstring clsid;  // text of a VT_BSTR first argument
    VARTYPE showType = VT_EMPTY;
    bool show = false;   // a VT_BOOL second argument
    bool sizeGiven = false;
};

// What a page's link collection does wrong, as pages may: the link entries at
// `numberHrefs` give a number as their href, and entries from `failFrom` on
// fail to be read.
struct PageFaults
{
    std::vector<size_t> numberHrefs;
    size_t failFrom = static_cast<size_t>(-1);
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
    STDMETHODIMP get_HWND(SHANDLE_PTR* window) override;
    // The page shown: a document with the links and the cookie SetPage gave.
    STDMETHODIMP get_Document(IDispatch** document) override;
    // Records the call and answers what SetBarResult set. With bar hosting on
    // (HostBars), it also shows or hides the bar of that CLSID as the browser
    // does: created and sited once in a host window along the frame's bottom,
    // then ShowDW(TRUE/FALSE).
    STDMETHODIMP ShowBrowserBar(VARIANT* clsid, VARIANT* show, VARIANT* size) override;

    // IServiceProvider: SID_SWebBrowserApp gives this object.
    STDMETHODIMP QueryService(REFGUID service, REFIID riid, void** ppv) override;

    // Test controls, from any thread.
    std::vector<BrowserBarCall> BarCalls() const;
    void SetBarResult(HRESULT result);  // S_OK unless set
    // The page the browser shows: the href of each link, and its cookie.
    void SetPage(std::vector<std::wstring> links, std::wstring cookie);
    // Faults of the page's links, until the next SetPage.
    void SetPageFaults(PageFaults faults);
    // The page's own address (its document's URL); until it is set, the server
    // of the page's first link.
    void SetPageAddress(std::wstring address);
    // The page's link collection as the "download all" script hands it over.
    com_ptr<IDispatch> PageLinks();

    // Bar hosting, on the window's own thread.
    void HostBars(bool host) noexcept { m_hostBars = host; }
    // The hosted bar of `clsid`, or null.
    IDeskBand* Bar(REFCLSID clsid) const noexcept;
    // The bar's frame (with the sizing edge) around its host window, and the
    // browser's close button inside the host; null without a bar.
    HWND BarFrame(REFCLSID clsid) const noexcept;
    HWND BarCloseButton(REFCLSID clsid) const noexcept;
    // Shows the toolbar band `clsid` in the toolbar area (a rebar along the
    // frame's top), created and sited once; returns the band or null.
    IDeskBand* ShowToolbar(REFCLSID clsid);
    HWND ToolbarArea() const noexcept { return m_rebar.get(); }
    // The bars' host windows are children of the frame; the bars are told to
    // close and are unsited.
    void CloseBars() noexcept;

private:
    struct HostedBar
    {
        CLSID clsid{};
        com_ptr<IDeskBand> band;
        com_ptr<IUnknown> site;
        unique_hwnd frame;  // the bar frame; the host and the close button are inside it
        HWND host = nullptr;
        HWND close = nullptr;
    };
    void ShowBar(REFCLSID clsid, bool show);

    explicit StandInBrowser(HWND frame) : m_frame(frame) {}
    // Out of line: inlined into callers, the delete through RefCounted draws a
    // false -Wfree-nonheap-object from GCC.
    ~StandInBrowser() override;

    HWND m_frame;
    mutable tdm::srw_lock m_lock;  // guards the test-visible state below
    std::vector<BrowserBarCall> m_barCalls;
    HRESULT m_barResult = S_OK;
    std::vector<std::wstring> m_links;
    std::wstring m_cookie;
    std::wstring m_address;
    PageFaults m_faults;
    bool m_hostBars = false;
    std::vector<HostedBar> m_bars;
    std::vector<HostedBar> m_toolbars;
    unique_hwnd m_rebar;
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

    explicit BrowserWindow(HelperFactory factory = {}) : m_factory(std::move(factory)) {}
    BrowserWindow(const BrowserWindow&) = delete;
    BrowserWindow& operator=(const BrowserWindow&) = delete;
    // Close it on its thread first.
    ~BrowserWindow() { Close(); }

    // Creates the frame on the calling thread, the browser and the site, and
    // sites the helper object. Returns the creation failure or SetSite's answer.
    HRESULT Open();
    // Clears the helper's site, releases the helper and destroys the frame. The
    // browser object stays readable.
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
