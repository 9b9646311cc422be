// The demo browser of tools/demo.sh: a browser window of the stand-in browser
// (frame, site, IWebBrowser2, a page of links with its cookie) that hosts the
// registered tdm.dll as the browser does, with the real engine behind it, and
// drives the client through its own entry points as a user would:
//   - the link context-menu script (resource 3000 of tdm.dll) for two links,
//     run by the system's JScript engine with the menu's arguments;
//   - a link dropped on the explorer bar (the bar's registered drop target);
//   - the bar's Add command with a URL on the clipboard, the new-download
//     dialog confirmed;
//   - the credentials dialog and the file-name question answered.
// It saves a picture of the window when the large download is halfway and
// one at the end, prints a report of every download (final state, size,
// SHA-256 against the served file) and exits non-zero when a download did not
// end as expected. With --wait the window then stays open until it is closed.
//
//   demo_browser.exe <server URL> <served folder> <download folder> <picture folder> [--wait]
#include <winsock2.h>
#include <windows.h>
#include <activscp.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/download_record.h"
#include "engine/engine_link.h"
#include "framework/automation.h"
#include "framework/com_ptr.h"
#include "framework/error.h"
#include "framework/object.h"
#include "resources/resource.h"
#include "text/format.h"
#include "support/browser_standin.h"
#include "support/file_hash.h"
#include "support/loopback_http.h"
#include "tdm_h.h"
#include "window_picture.h"

using namespace tdm;
using namespace tdm::test;

namespace {

constexpr UINT kPanelList = 403;
constexpr UINT kAddCommand = 32781;

// Dispatches the thread's messages (the engine's events among them) for `ms`,
// or until `done` holds.
bool Pump(DWORD ms, const std::function<bool()>& done = {})
{
    const DWORD start = ::GetTickCount();
    while (!(done && done()))
    {
        if (::GetTickCount() - start >= ms)
            return false;
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
        }
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    return true;
}

std::wstring Wide(const std::string& text)
{
    return WideFromNarrow(text);
}

std::string Narrow(const std::wstring& text)
{
    return NarrowFromWide(text.c_str(), text.size());
}

// --- the user's answers ------------------------------------------------------------

// What the watcher saw and did, for the report.
struct Answers
{
    int credentials = 0;       // credentials dialogs answered
    int newDownload = 0;       // new-download dialogs confirmed
    std::vector<std::string> replaced;  // file-name questions answered "replace"
    std::vector<std::string> unexpected;  // any other window that asked something
};
Answers g_answers;

std::wstring TextOf(HWND window)
{
    std::wstring text(static_cast<size_t>(::GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<size_t>(::GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

void Click(HWND dialog, int id)
{
    if (HWND button = ::GetDlgItem(dialog, id))
        ::SendMessageW(button, BM_CLICK, 0, 0);
}

// Answers the dialog `dialog` of this thread as the demo's user does. Dialogs
// are told apart by their controls, so that the answers do not depend on the
// interface language.
void Answer(HWND dialog)
{
    if (::GetDlgItem(dialog, IDC_CREDENTIALS_USER_NAME))
    {
        ::SetDlgItemTextW(dialog, IDC_CREDENTIALS_USER_NAME, L"user");
        ::SetDlgItemTextW(dialog, IDC_CREDENTIALS_PASSWORD, L"secret");
        ++g_answers.credentials;
        std::printf("  credentials asked for %ls: answered user / secret\n",
                    TextOf(::GetDlgItem(dialog, IDC_HOST_NAME)).c_str());
        Click(dialog, IDOK);
        return;
    }
    if (::GetDlgItem(dialog, IDC_URL) && ::GetDlgItem(dialog, IDC_LOCAL_PATH))
    {
        ++g_answers.newDownload;
        std::printf("  new-download dialog: URL %ls, file %ls: OK\n", TextOf(::GetDlgItem(dialog, IDC_URL)).c_str(),
                    TextOf(::GetDlgItem(dialog, IDC_LOCAL_PATH)).c_str());
        Click(dialog, IDOK);
        return;
    }
    // A message box's text is its static control 0xFFFF.
    const std::wstring text = TextOf(::GetDlgItem(dialog, 0xFFFF));
    if (::GetDlgItem(dialog, IDYES) && ::GetDlgItem(dialog, IDNO) && ::GetDlgItem(dialog, IDCANCEL))
    {
        // The replace question of a file that is already there: "replace".
        g_answers.replaced.push_back(Narrow(text));
        std::printf("  file-name question \"%ls\": Yes (replace)\n", text.c_str());
        Click(dialog, IDYES);
        return;
    }
    g_answers.unexpected.push_back(Narrow(TextOf(dialog) + L": " + text));
    std::printf("  unexpected window \"%ls\": %ls\n", TextOf(dialog).c_str(), text.c_str());
    ::PostMessageW(dialog, WM_COMMAND, ::GetDlgItem(dialog, IDCANCEL) ? IDCANCEL : IDOK, 0);
}

// A thread timer, dispatched by whichever modal loop runs: answers each new
// shown and enabled dialog of the thread once.
void CALLBACK WatchDialogs(HWND, UINT, UINT_PTR, DWORD)
{
    static const wchar_t kAnswered[] = L"TolvaneDemoAnswered";
    for (HWND window = ::GetTopWindow(nullptr); window; window = ::GetWindow(window, GW_HWNDNEXT))
    {
        wchar_t name[16] = {};
        ::GetClassNameW(window, name, 16);
        if (::GetWindowThreadProcessId(window, nullptr) != ::GetCurrentThreadId() || std::wstring(name) != L"#32770" ||
            !::IsWindowVisible(window) || !::IsWindowEnabled(window) || ::GetPropW(window, kAnswered))
            continue;
        ::SetPropW(window, kAnswered, window);
        Answer(window);
        return;
    }
}

// --- the context-menu script -----------------------------------------------------

// The host of one script run: the JScript engine asks it for nothing but the
// locale and reports errors to it.
class ScriptSite final : public IActiveScriptSite
{
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        const bool known = iid == IID_IUnknown || iid == IID_IActiveScriptSite;
        *out = known ? this : nullptr;
        return known ? S_OK : E_NOINTERFACE;
    }
    // Lives on the stack of the run, longer than the engine holds it.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetLCID(LCID* lcid) override { return (*lcid = LOCALE_USER_DEFAULT), S_OK; }
    STDMETHODIMP GetItemInfo(LPCOLESTR, DWORD, IUnknown**, ITypeInfo**) override { return TYPE_E_ELEMENTNOTFOUND; }
    STDMETHODIMP GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
    STDMETHODIMP OnStateChange(SCRIPTSTATE) override { return S_OK; }
    STDMETHODIMP OnScriptError(IActiveScriptError* error) override
    {
        EXCEPINFO info{};
        error->GetExceptionInfo(&info);
        this->error = info.bstrDescription ? Narrow(info.bstrDescription) : "script error";
        ::SysFreeString(info.bstrSource);
        ::SysFreeString(info.bstrDescription);
        ::SysFreeString(info.bstrHelpFile);
        return S_OK;
    }
    STDMETHODIMP OnEnterScript() override { return S_OK; }
    STDMETHODIMP OnLeaveScript() override { return S_OK; }

    std::string error;
};

// The script of the link context-menu entry, from the module's resources.
std::string MenuScript()
{
    HMODULE module = ::GetModuleHandleW(L"tdm.dll");
    HRSRC resource = module ? ::FindResourceW(module, MAKEINTRESOURCEW(3000), MAKEINTRESOURCEW(23)) : nullptr;
    if (!resource)
        return {};
    const std::string html(static_cast<const char*>(::LockResource(::LoadResource(module, resource))),
                           ::SizeofResource(module, resource));
    const size_t start = html.find('>', html.find("<script")), end = html.find("</script>");
    return start == std::string::npos || end == std::string::npos ? std::string()
                                                                  : html.substr(start + 1, end - start - 1);
}

// Runs the context-menu script as the browser does for a right click on the
// link `href` of the page: on this (the browser window's) thread, with the
// menu's arguments as `external.menuArguments` and the page's `window.alert`.
// Returns what the script alerted or the script error; empty when all went
// well.
std::string RunMenuScript(const std::string& href)
{
    const std::string body = MenuScript();
    if (body.empty())
        return "tdm.dll has no context-menu script";
    const std::string script =
        "var alerted = \"\";\n"
        "var window = { alert: function (text) { alerted = text; } };\n"
        "var link = { tagName: \"A\", href: \"" + href + "\" };\n"
        "var external = { menuArguments: { event: { clientX: 40, clientY: 60 },\n"
        "    document: { activeElement: link, elementFromPoint: function (x, y) { return link; } } } };\n" +
        body;
    CLSID jscript{};
    com_ptr<IActiveScript> engine;
    if (FAILED(::CLSIDFromProgID(L"JScript", &jscript)) ||
        FAILED(::CoCreateInstance(jscript, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript, engine.put_void())))
        return "no JScript engine";
    const auto parser = engine.try_query<IActiveScriptParse>();
    ScriptSite site;
    std::string outcome;
    if (!parser || FAILED(parser->InitNew()) || FAILED(engine->SetScriptSite(&site)) ||
        FAILED(engine->SetScriptState(SCRIPTSTATE_STARTED)))
        outcome = "the JScript engine did not start";
    else if (FAILED(parser->ParseScriptText(Wide(script).c_str(), nullptr, nullptr, nullptr, 0, 0, 0, nullptr,
                                            nullptr)))
        outcome = site.error.empty() ? "the script failed" : site.error;
    else
    {
        VARIANT alerted{};
        if (SUCCEEDED(parser->ParseScriptText(L"alerted", nullptr, nullptr, nullptr, 0, 0, SCRIPTTEXT_ISEXPRESSION,
                                              &alerted, nullptr)) &&
            V_VT(&alerted) == VT_BSTR)
            outcome = Narrow(V_BSTR(&alerted));
        ::VariantClear(&alerted);
    }
    engine->Close();
    return outcome;
}

// --- the dropped link ----------------------------------------------------------------

// What a link dragged from a page carries: its address as text.
class LinkData : public CObjectRoot, public IDataObject
{
public:
    static const InterfaceEntry* Interfaces(size_t* count) noexcept
    {
        static const InterfaceEntry entries[] = {TDM_INTERFACE(LinkData, IDataObject)};
        *count = 1;
        return entries;
    }
    std::string url;

    STDMETHODIMP GetData(FORMATETC* format, STGMEDIUM* medium) override
    {
        if (format->cfFormat != CF_TEXT || !(format->tymed & TYMED_HGLOBAL))
            return DV_E_FORMATETC;
        HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, url.size() + 1);
        if (!memory)
            return E_OUTOFMEMORY;
        memcpy(::GlobalLock(memory), url.c_str(), url.size() + 1);
        ::GlobalUnlock(memory);
        *medium = STGMEDIUM{TYMED_HGLOBAL, {}, nullptr};
        medium->hGlobal = memory;
        return S_OK;
    }
    STDMETHODIMP QueryGetData(FORMATETC* format) override
    {
        return format->cfFormat == CF_TEXT && (format->tymed & TYMED_HGLOBAL) ? S_OK : DV_E_FORMATETC;
    }
    STDMETHODIMP GetDataHere(FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
    STDMETHODIMP GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) override { return E_NOTIMPL; }
    STDMETHODIMP SetData(FORMATETC*, STGMEDIUM*, BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP EnumFormatEtc(DWORD, IEnumFORMATETC**) override { return E_NOTIMPL; }
    STDMETHODIMP DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD*) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP DUnadvise(DWORD) override { return OLE_E_ADVISENOTSUPPORTED; }
    STDMETHODIMP EnumDAdvise(IEnumSTATDATA**) override { return OLE_E_ADVISENOTSUPPORTED; }
};

// Drops `url` on `window` as OLE does at the end of a drag: the drop target the
// window registered (RegisterDragDrop keeps it in the window's property) gets
// DragEnter, DragOver and Drop at the window's centre.
std::string DropLink(HWND window, const std::string& url)
{
    auto* target = static_cast<IDropTarget*>(::GetPropW(window, L"OleDropTargetInterface"));
    if (!target)
        return "the bar has no drop target";
    CComObject<LinkData>* data = nullptr;
    if (FAILED(CComObject<LinkData>::CreateInstance(&data)))
        return "out of memory";
    const com_ptr<IDataObject> holder(data);
    data->url = url;
    RECT area{};
    ::GetWindowRect(window, &area);
    const POINTL at{(area.left + area.right) / 2, (area.top + area.bottom) / 2};
    DWORD effect = DROPEFFECT_COPY | DROPEFFECT_LINK;
    if (FAILED(target->DragEnter(data, MK_LBUTTON, at, &effect)) || !(effect & DROPEFFECT_LINK))
        return "the bar refused the link";
    target->DragOver(MK_LBUTTON, at, &effect);
    effect = DROPEFFECT_COPY | DROPEFFECT_LINK;
    const HRESULT dropped = target->Drop(data, 0, at, &effect);
    return SUCCEEDED(dropped) ? std::string() : "Drop failed: " + std::to_string(dropped);
}

// Puts `text` on the clipboard as a user's Copy does.
bool CopyToClipboard(HWND owner, const std::string& text)
{
    if (!::OpenClipboard(owner))
        return false;
    ::EmptyClipboard();
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
    bool placed = false;
    if (memory)
    {
        memcpy(::GlobalLock(memory), text.c_str(), text.size() + 1);
        ::GlobalUnlock(memory);
        placed = ::SetClipboardData(CF_TEXT, memory) != nullptr;
        if (!placed)
            ::GlobalFree(memory);
    }
    ::CloseClipboard();
    return placed;
}

// --- the downloads ---------------------------------------------------------------

struct Expected
{
    const char* how;     // the entry point that creates it
    std::string path;    // on the server
    const char* served;  // the served file it must equal; null: it must fail
    const char* name;    // the file it is saved as
};

struct Outcome
{
    bool found = false;
    LONG id = -1;
    LONG state = 0;
    ULONG size = 0;
    std::wstring path;
};

std::vector<std::unique_ptr<CTolInfoDownload>> Downloads(const CEngine& engine)
{
    std::vector<std::unique_ptr<CTolInfoDownload>> records;
    unique_variant list;
    engine.GetDownloadList(list);
    if (FAILED(MakeRecordsFromList(*list.get(), records)))
        records.clear();
    return records;
}

Outcome Find(const CEngine& engine, const std::string& url)
{
    Outcome outcome;
    for (const auto& record : Downloads(engine))
        if (Utf8FromWide(WideFromBstr(record->url.get())) == url)
        {
            outcome.found = true;
            outcome.id = record->id;
            outcome.state = record->state;
            outcome.size = record->totalSize ? record->totalSize : record->loadedSize;
            outcome.path.assign(record->path.get(), ::SysStringLen(record->path.get()));
        }
    return outcome;
}

bool Ended(const Outcome& outcome)
{
    return outcome.found && !(outcome.state & 3) && (outcome.state & (kStateComplete | 16));
}

// Shows the page's links in the frame between the toolbar area and the bar, as
// the page the browser shows.
void ShowPage(HWND frame, HWND toolbars, HWND bar, const std::wstring& text)
{
    RECT client{}, top{}, bottom{};
    ::GetClientRect(frame, &client);
    ::GetWindowRect(toolbars, &top);
    ::GetWindowRect(bar, &bottom);
    ::MapWindowPoints(nullptr, frame, reinterpret_cast<POINT*>(&top), 2);
    ::MapWindowPoints(nullptr, frame, reinterpret_cast<POINT*>(&bottom), 2);
    HWND page = ::CreateWindowExW(0, L"EDIT", text.c_str(),
                                  WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY, 12, top.bottom + 12,
                                  client.right - 24, bottom.top - top.bottom - 24, frame, nullptr, nullptr, nullptr);
    ::SendMessageW(page, WM_SETFONT, reinterpret_cast<WPARAM>(::GetStockObject(DEFAULT_GUI_FONT)), FALSE);
}

// The text of the bar's row of `url` in column `column`; empty without a row.
std::wstring RowText(HWND list, const std::string& url, int column)
{
    wchar_t text[1024] = {};
    for (int row = 0; row < ListView_GetItemCount(list); ++row)
    {
        ListView_GetItemText(list, row, 0, text, 1024);
        if (Narrow(text) == url)
        {
            ListView_GetItemText(list, row, column, text, 1024);
            return text;
        }
    }
    return {};
}

std::wstring Digits(const std::wstring& text)
{
    std::wstring digits;
    for (wchar_t c : text)
        if (c >= L'0' && c <= L'9')
            digits += c;
    return digits;
}

// A window closed by the user is only hidden, so that the bars leave it in order.
bool g_closed = false;
LRESULT CALLBACK KeepFrame(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR)
{
    if (message == WM_CLOSE)
    {
        g_closed = true;
        ::ShowWindow(window, SW_HIDE);
        return 0;
    }
    return ::DefSubclassProc(window, message, wParam, lParam);
}

int Run(const std::string& server, const std::wstring& servedFolder, const std::wstring& folder,
        const std::string& pictures, bool wait)
{
    const std::vector<Expected> expected = {
        {"context menu", "/slow/large.bin", "large.bin", "large.bin"},
        {"context menu, Basic authentication", "/auth/archive.zip", "archive.zip", "archive.zip"},
        {"dropped on the bar, the file already there", "/file/photo.jpg", "photo.jpg", "photo.jpg"},
        {"dropped on the bar", "/missing", nullptr, nullptr},
        {"Add, the URL on the clipboard", "/file/manual.pdf", "manual.pdf", "manual.pdf"},
    };
    const auto url = [&](size_t i) { return server + expected[i].path; };
    std::vector<std::string> failures;
    const auto fail = [&](const std::string& what) {
        if (!what.empty())
        {
            std::printf("  FAILED: %s\n", what.c_str());
            failures.push_back(what);
        }
    };

    // A clean list: downloads left by an earlier run go.
    CEngine engine = CEngine::Create();
    for (const auto& record : Downloads(engine))
        engine.DeleteDownload(record->id);
    Pump(5000, [&] { return Downloads(engine).empty(); });

    test::BrowserWindow window;
    if (FAILED(window.Open()))
    {
        std::printf("the browser window could not be opened with the helper object\n");
        return 2;
    }
    const HWND frame = window.Frame();
    ::SetWindowTextW(frame, L"Tolvane Download Manager demo");
    ::SetWindowSubclass(frame, &KeepFrame, 1, 0);
    ::SetWindowPos(frame, HWND_TOP, 10, 10, 1000, 620, SWP_SHOWWINDOW);
    test::StandInBrowser& browser = *window.Browser();
    std::vector<std::wstring> links;
    for (size_t i = 0; i < expected.size(); ++i)
        links.push_back(Wide(url(i)));
    browser.SetPage(links, L"session=demo");
    browser.HostBars(true);
    const UINT_PTR watcher = ::SetTimer(nullptr, 0, 100, &WatchDialogs);

    std::printf("the toolbar band and the explorer bar\n");
    browser.ShowToolbar(CLSID_TolDownloadToolbar);
    com_ptr<ITolDownloadHelper> helper;
    if (FAILED(::CoCreateInstance(CLSID_TolDownloadHelper, nullptr, CLSCTX_INPROC_SERVER, IID_ITolDownloadHelper,
                                  helper.put_void())) ||
        FAILED(helper->ShowTolDownloadBand(VARIANT_TRUE)))
        fail("the helper did not show the explorer bar");
    HWND panel = nullptr;
    if (IDeskBand* band = browser.Bar(CLSID_TolBand))
        band->GetWindow(&panel);
    if (!panel)
    {
        fail("no explorer bar");
        return 1;
    }
    std::wstring page = L"The page: links to the demo's test server (the page's cookie: session=demo)\r\n\r\n";
    for (size_t i = 0; i < expected.size(); ++i)
        page += L"    " + Wide(url(i)) + L"        " + Wide(expected[i].how) + L"\r\n";
    ShowPage(frame, browser.ToolbarArea(), browser.BarFrame(CLSID_TolBand), page);
    Pump(500);

    for (size_t i : {0u, 1u})
    {
        std::printf("context menu on %s\n", url(i).c_str());
        fail(RunMenuScript(url(i)));
        Pump(300);
    }
    for (size_t i : {2u, 3u})
    {
        std::printf("link dropped on the bar: %s\n", url(i).c_str());
        fail(DropLink(panel, url(i)));
        Pump(300);
    }
    std::printf("Add with %s on the clipboard\n", url(4).c_str());
    if (!CopyToClipboard(frame, url(4)))
        fail("the clipboard could not be set");
    ::SendMessageW(panel, WM_COMMAND, kAddCommand, 0);

    // The downloads run; the picture of the bar is taken when the large one is halfway.
    bool halfway = false;
    const auto allEnded = [&] {
        for (const auto& record : Downloads(engine))
            if (!halfway && Utf8FromWide(WideFromBstr(record->url.get())) == url(0) && record->totalSize &&
                record->loadedSize * 2 >= record->totalSize)
            {
                halfway = true;
                std::printf("the large download is halfway: %lu of %lu bytes\n",
                            static_cast<unsigned long>(record->loadedSize),
                            static_cast<unsigned long>(record->totalSize));
                tools::SaveWindowPicture(frame, pictures + "\\demo.bmp");
            }
        for (size_t i = 0; i < expected.size(); ++i)
            if (!Ended(Find(engine, url(i))))
                return false;
        return true;
    };
    if (!Pump(90000, [&] {
            Pump(250);
            return allEnded();
        }))
        fail("the downloads did not end within 90 seconds");
    if (!halfway)
        fail("no picture of the large download halfway");
    Pump(1500);  // the last events reach the bar and it paints
    tools::SaveWindowPicture(frame, pictures + "\\demo_end.bmp");

    std::printf("\nreport\n");
    const HWND list = ::GetDlgItem(panel, kPanelList);
    const int rows = list ? ListView_GetItemCount(list) : 0;
    std::printf("  the explorer bar lists %d downloads\n", rows);
    if (rows != static_cast<int>(expected.size()))
        fail("the bar lists " + std::to_string(rows) + " downloads, not " + std::to_string(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i)
    {
        const Expected& e = expected[i];
        const Outcome o = Find(engine, url(i));
        std::printf("  %-20s %s\n", e.path.c_str(), e.how);
        if (!o.found)
        {
            fail(e.path + ": not in the engine's list");
            continue;
        }
        const bool failed = (o.state & 16) != 0, complete = !failed && (o.state & kStateComplete);
        const char* state = failed ? "error" : complete ? "complete" : "unfinished";
        std::printf("      state %s (%ld), %lu bytes, %ls\n", state, static_cast<long>(o.state),
                    static_cast<unsigned long>(o.size), o.path.c_str());
        if (!e.served)
        {
            if (!failed)
                fail(e.path + ": not reported as an error");
            // The engine's reason: the last line of the download's log.
            const unique_bstr log = engine.GetDownloadLog(o.id);
            std::string reason = Utf8FromWide(WideFromBstr(log.get()));
            while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
                reason.pop_back();
            std::printf("      reported: %s\n", reason.substr(reason.find_last_of('\n') + 1).c_str());
            continue;
        }
        if (!complete)
        {
            fail(e.path + ": did not complete");
            continue;
        }
        // The bar's row ends with every byte loaded (column 7, Bytes Loaded).
        const std::wstring shown = list ? RowText(list, url(i), 7) : L"";
        if (Digits(shown) != std::to_wstring(o.size))
            fail(e.path + ": the bar shows " + Narrow(shown) + " bytes loaded, not " + std::to_string(o.size));
        const std::string want = Sha256OfFile(servedFolder + L"\\" + Wide(e.served));
        const std::string got = Sha256OfFile(o.path);
        std::printf("      sha256 %s, served %s: %s\n", got.c_str(), want.c_str(),
                    got == want ? "identical" : "DIFFERENT");
        if (got != want)
            fail(e.path + ": the file differs from the served one");
        // The file that was already there: the engine asks for the name, the
        // user answers "replace", and the download takes its place.
        const std::wstring place = folder + Wide(e.name);
        if (_wcsicmp(o.path.c_str(), place.c_str()) != 0)
            fail(e.path + ": saved as " + Narrow(o.path) + ", not " + Narrow(place));
        if (std::string(e.served) == "photo.jpg" && g_answers.replaced.empty())
            fail(e.path + ": the engine did not ask whether to replace the file already there");
    }
    if (g_answers.credentials != 1)
        fail("credentials asked " + std::to_string(g_answers.credentials) + " times, not once");
    if (g_answers.newDownload != 1)
        fail("the new-download dialog appeared " + std::to_string(g_answers.newDownload) + " times, not once");
    // The page's cookie goes with every request for the page's links.
    const std::string requests = HttpGet(static_cast<unsigned short>(std::stoi(server.substr(server.rfind(':') + 1))),
                                         "/requests") + "\n";
    size_t withCookie = 0, without = 0;
    for (size_t line = 0, end; (end = requests.find('\n', line)) != std::string::npos; line = end + 1)
    {
        const std::string request = requests.substr(line, end - line);
        if (request.rfind("GET ", 0) == 0 && request.rfind("GET /requests ", 0) != 0)
            ++(request.find(" cookie=session=demo") != std::string::npos ? withCookie : without);
    }
    std::printf("  the page's cookie went with %u of the server's %u requests\n", static_cast<unsigned>(withCookie),
                static_cast<unsigned>(withCookie + without));
    if (without || !withCookie)
        fail("requests without the page's cookie:\n" + requests);
    for (const std::string& question : g_answers.replaced)
        std::printf("  file-name question answered \"replace\": %s\n", question.c_str());
    for (const std::string& window : g_answers.unexpected)
        fail("unexpected window: " + window);
    std::printf(failures.empty() ? "\nevery download ended as expected\n" : "\n%u download check(s) failed\n",
                static_cast<unsigned>(failures.size()));
    std::fflush(stdout);

    if (wait)
    {
        std::printf("the demo window stays open: close it to end the demo\n");
        std::fflush(stdout);
        while (!g_closed)
            Pump(200);
    }
    ::KillTimer(nullptr, watcher);
    helper.reset();
    browser.CloseBars();
    window.Close();
    return failures.empty() ? 0 : 1;
}

}  // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argc < 5)
    {
        std::printf("usage: demo_browser <server URL> <served folder> <download folder> <picture folder> [--wait]\n");
        return 2;
    }
    if (FAILED(::OleInitialize(nullptr)))
        return 2;
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_WIN95_CLASSES | ICC_COOL_CLASSES};
    ::InitCommonControlsEx(&controls);
    int result = 2;
    try
    {
        std::wstring folder = argv[3];
        if (!folder.empty() && folder.back() != L'\\')
            folder += L'\\';
        result = Run(Narrow(argv[1]), argv[2], folder, Narrow(argv[4]), argc > 5 && std::wstring(argv[5]) == L"--wait");
    }
    catch (const CComError& error)
    {
        std::printf("failed: %s\n", ComErrorText(error.Status()).c_str());
    }
    ::OleUninitialize();
    return result;
}
