// Benchmarks of the explorer bar with many downloads, run by tools/bench.sh
// under Wine with a display driver (the list really paints):
//     bench.exe <runs>
// For 100, 1,000 and 10,000 downloads of the engine stand-in it measures
//   show   ShowDW(TRUE) until the list holds every row and has painted once;
//   event  one DownloadProgress event for a row in the middle of the list,
//          including the repaint of that row (median of 1,000);
//   tick   one refresh tick with every download transferring (median of 100):
//          the panel's timer handler with the repaint it causes, and the
//          handler alone (what the tick computes);
//   memory the bytes in use in the process's heaps, per download, that the bar
//          holds beyond what a bare owner-data list of as many rows takes, and
//          that bare list's bytes per row. Heap blocks are counted rather than
//          committed memory, which moves in steps of whole pages and segments.
// and, for a page of 5,000 links, the time "download all links" takes from the
// helper's CreateDownloads until the link-selection dialog has painted (the
// first timer message after it shows comes once the paints are done; timers
// tick at 10 ms or more, which bounds the error).
// Each figure is measured `runs` times; the table gives min, median and max.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bar/band.h"
#include "engine/engine_contract.h"
#include "support/browser_standin.h"
#include "support/engine_standin.h"
#include "toolbar/toolbar_band.h"
#include "tdm_h.h"

using namespace tdm;
using namespace tdm::test;

namespace {

double Now()
{
    static LARGE_INTEGER frequency{};
    if (!frequency.QuadPart)
        ::QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// The bytes of the busy blocks of every heap of the process.
double HeapBytesInUse()
{
    std::vector<HANDLE> heaps(64);
    DWORD count = ::GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
    if (count > heaps.size())
    {
        heaps.resize(count);
        count = ::GetProcessHeaps(count, heaps.data());
    }
    heaps.resize(std::min<size_t>(count, heaps.size()));
    double bytes = 0.0;
    for (HANDLE heap : heaps)
    {
        if (!::HeapLock(heap))
            continue;
        PROCESS_HEAP_ENTRY entry{};
        while (::HeapWalk(heap, &entry))
        {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                bytes += entry.cbData;
        }
        ::HeapUnlock(heap);
    }
    return bytes;
}

void Pump()
{
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        ::DispatchMessageW(&message);
}

void ShowBar(StandInBrowser& browser, bool show)
{
    wchar_t text[40] = {};
    ::StringFromGUID2(CLSID_TolBand, text, 40);
    VARIANT clsid{}, flag{};
    V_VT(&clsid) = VT_BSTR;
    V_BSTR(&clsid) = ::SysAllocString(text);
    V_VT(&flag) = VT_BOOL;
    V_BOOL(&flag) = show ? VARIANT_TRUE : VARIANT_FALSE;
    browser.ShowBrowserBar(&clsid, &flag, nullptr);
    ::VariantClear(&clsid);
}

struct Figures
{
    double showMs, eventUs, tickMs, tickComputeMs, bytesPerDownload, listBytesPerDownload;
    double indicatorPaintMs, bothEventUs;
};

// What a bare owner-data report list of `rows` rows takes, in bytes per row.
double BareListBytes(HWND parent, int rows)
{
    const double before = HeapBytesInUse();
    const HWND list = ::CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | LVS_REPORT | LVS_OWNERDATA, 0, 0, 600, 200,
                                        parent, nullptr, nullptr, nullptr);
    for (int column = 0; column < 8; ++column)
    {
        LVCOLUMNW info{};
        info.mask = LVCF_WIDTH;
        info.cx = 80;
        ::SendMessageW(list, LVM_INSERTCOLUMNW, column, reinterpret_cast<LPARAM>(&info));
    }
    ::SendMessageW(list, LVM_SETITEMCOUNT, rows, 0);
    const double after = HeapBytesInUse();
    ::DestroyWindow(list);
    return (after - before) / rows;
}

// One DownloadProgress event for download `id` with `loaded` bytes, as the
// engine's sink receives it (arguments last first).
void SendProgress(IDispatch* sink, LONG id, LONG loaded, int second)
{
    VARIANT arguments[8] = {};
    for (VARIANT& argument : arguments)
        V_VT(&argument) = VT_I4;
    V_I4(&arguments[7]) = id;
    V_I4(&arguments[6]) = 1000;
    V_I4(&arguments[5]) = loaded;
    V_VT(&arguments[4]) = VT_R8;
    V_R8(&arguments[4]) = 0.01 + second / 86400.0;
    V_I4(&arguments[3]) = 25000;
    V_I4(&arguments[2]) = 20000;
    V_VT(&arguments[1]) = VT_R8;
    V_R8(&arguments[1]) = 0.05;
    V_I4(&arguments[0]) = 1;
    DISPPARAMS params{arguments, nullptr, 8, 0};
    sink->Invoke(kEventProgress, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
}

Figures Measure(BrowserWindow& window, EngineStandIn& engine, int downloads)
{
    Figures figures{};
    StandInBrowser& browser = *window.Browser();
    for (int id = 1; id <= downloads; ++id)
    {
        const std::string name = "file" + std::to_string(id) + ".zip";
        engine.AddListRow({id, std::string_view("http://host/" + name), "C:\\dl\\", std::string_view(name), 2, 3, 0.01, 100000000, 0, 1, 0,
                           id * 1000, 20000, 25000, VARIANT{}});
    }
    const double before = HeapBytesInUse();
    double start = Now();
    ShowBar(browser, true);
    auto* band = static_cast<CTolBand*>(browser.Bar(CLSID_TolBand));
    CMyDlg& panel = band->Panel();
    ::UpdateWindow(panel.Window());
    ::UpdateWindow(panel.List().Window());
    figures.showMs = Now() - start;
    if (panel.List().RowCount() != downloads)
        std::fprintf(stderr, "bench: %d rows shown of %d\n", panel.List().RowCount(), downloads);
    const double held = (HeapBytesInUse() - before) / downloads;
    figures.listBytesPerDownload = BareListBytes(window.Frame(), downloads);
    figures.bytesPerDownload = held - figures.listBytesPerDownload;

    // One progress event for the row in the middle, as the sink receives it.
    IDispatch* sink = band->EventSink();
    std::vector<double> events;
    for (int i = 0; i < 1000; ++i)
    {
        start = Now();
        SendProgress(sink, downloads / 2, 1000 * (downloads / 2) + i * 10, i);
        ::UpdateWindow(panel.List().Window());
        events.push_back((Now() - start) * 1000.0);
    }
    figures.eventUs = Median(events);

    // The toolbar band of the same window: its indicator painted whole, and one
    // event reaching both the bar and the toolbar (through the one sink of the
    // thread's downloads model; a second sink, if the toolbar had one, would be
    // sent the event too, as the engine sends it to each sink in turn).
    IDeskBand* toolbarBand = browser.ShowToolbar(CLSID_TolDownloadToolbar);
    auto* toolbar = static_cast<CTolDownloadToolbar*>(toolbarBand);
    const HWND indicator = toolbar ? toolbar->Frame().Indicator().Window() : nullptr;
    std::vector<double> paints, both;
    for (int i = 0; indicator && i < 100; ++i)
    {
        start = Now();
        ::InvalidateRect(indicator, nullptr, TRUE);
        ::UpdateWindow(indicator);
        paints.push_back(Now() - start);
    }
    for (int i = 0; toolbar && i < 1000; ++i)
    {
        start = Now();
        SendProgress(sink, downloads / 2, 1000 * (downloads / 2) + 20000 + i * 10, i);
        if (toolbar->EventSink() != sink)
            SendProgress(toolbar->EventSink(), downloads / 2, 1000 * (downloads / 2) + 20000 + i * 10, i);
        ::UpdateWindow(panel.List().Window());
        ::UpdateWindow(indicator);
        both.push_back((Now() - start) * 1000.0);
    }
    figures.indicatorPaintMs = Median(paints);
    figures.bothEventUs = Median(both);

    // The timer handler only changes records and invalidates the list; the
    // repaint follows when the list updates.
    std::vector<double> ticks, computes;
    for (int i = 0; i < 100; ++i)
    {
        start = Now();
        ::SendMessageW(panel.Window(), WM_TIMER, 0, 0);
        computes.push_back(Now() - start);
        ::UpdateWindow(panel.List().Window());
        ticks.push_back(Now() - start);
    }
    figures.tickMs = Median(ticks);
    figures.tickComputeMs = Median(computes);
    ShowBar(browser, false);
    browser.CloseBars();
    Pump();
    return figures;
}

// Set when the link-selection dialog of this thread has shown and painted.
double g_linksShownAt = 0.0;

BOOL CALLBACK CancelLinksDialog(HWND window, LPARAM)
{
    wchar_t title[64] = {};
    ::GetWindowTextW(window, title, 64);
    if (!::IsWindowVisible(window) || std::wstring(title).rfind(L"Download Links", 0) != 0)
        return TRUE;
    ::UpdateWindow(window);
    g_linksShownAt = Now();
    ::PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    return FALSE;
}

void CALLBACK WatchLinksDialog(HWND, UINT, UINT_PTR, DWORD)
{
    if (g_linksShownAt == 0.0)
        ::EnumThreadWindows(::GetCurrentThreadId(), &CancelLinksDialog, 0);
}

// Milliseconds from CreateDownloads with a page of `links` links until its
// dialog has painted; -1 when no dialog came.
double LinkDialogOpenMs(BrowserWindow& window, int links)
{
    std::vector<std::wstring> page;
    for (int i = 0; i < links; ++i)
        page.push_back(L"http://downloads.example.com/files/" + std::to_wstring(i) + L"/file" + std::to_wstring(i) +
                       L".zip");
    window.Browser()->SetPage(page, L"");
    ITolDownloadHelper* helper = nullptr;
    if (FAILED(::CoCreateInstance(CLSID_TolDownloadHelper, nullptr, CLSCTX_ALL, IID_ITolDownloadHelper,
                                  reinterpret_cast<void**>(&helper))))
        return -1.0;
    const auto collection = window.Browser()->PageLinks();
    g_linksShownAt = 0.0;
    const UINT_PTR timer = ::SetTimer(nullptr, 0, 1, &WatchLinksDialog);
    const double start = Now();
    helper->CreateDownloads(collection.get());
    ::KillTimer(nullptr, timer);
    helper->Release();
    return g_linksShownAt == 0.0 ? -1.0 : g_linksShownAt - start;
}

}  // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    ::OleInitialize(nullptr);
    ::InitCommonControls();
    std::vector<std::vector<Figures>> results(3);
    std::vector<double> linkDialogMs;
    const int sizes[] = {100, 1000, 10000};
    for (int run = 0; run < runs; ++run)
    {
        for (int s = 0; s < 3; ++s)
        {
            EngineStandIn engine;  // a fresh stand-in: no downloads
            BrowserWindow window;
            if (FAILED(window.Open()))
            {
                std::fprintf(stderr, "bench: no browser window\n");
                return 1;
            }
            window.Browser()->HostBars(true);
            results[s].push_back(Measure(window, engine, sizes[s]));
            window.Close();
        }
        EngineStandIn engine;
        BrowserWindow window;
        if (SUCCEEDED(window.Open()))
            linkDialogMs.push_back(LinkDialogOpenMs(window, 5000));
        window.Close();
    }
    auto column = [&](int s, double Figures::*field) {
        std::vector<double> values;
        for (const Figures& f : results[s])
            values.push_back(f.*field);
        std::sort(values.begin(), values.end());
        char text[64];
        const char* format = field == &Figures::tickComputeMs ? "%.2f / %.2f / %.2f" : "%.1f / %.1f / %.1f";
        std::snprintf(text, sizeof(text), format, values.front(), Median(values), values.back());
        return std::string(text);
    };
    std::printf("%-9s | %-24s | %-24s | %-24s | %-24s | %-24s | %-24s\n", "downloads", "show ms", "event us (median)",
                "tick ms (median)", "tick ms (compute)", "bytes/download (own)", "bytes/row (bare list)");
    std::printf("%s\n", std::string(9 + 6 * 27, '-').c_str());
    for (int s = 0; s < 3; ++s)
        std::printf("%-9d | %-24s | %-24s | %-24s | %-24s | %-24s | %-24s\n", sizes[s],
                    column(s, &Figures::showMs).c_str(), column(s, &Figures::eventUs).c_str(),
                    column(s, &Figures::tickMs).c_str(), column(s, &Figures::tickComputeMs).c_str(),
                    column(s, &Figures::bytesPerDownload).c_str(), column(s, &Figures::listBytesPerDownload).c_str());
    std::printf("\n%-9s | %-24s | %-24s\n", "downloads", "indicator paint ms", "event to bar+toolbar us");
    std::printf("%s\n", std::string(9 + 2 * 27, '-').c_str());
    for (int s = 0; s < 3; ++s)
        std::printf("%-9d | %-24s | %-24s\n", sizes[s], column(s, &Figures::indicatorPaintMs).c_str(),
                    column(s, &Figures::bothEventUs).c_str());
    std::sort(linkDialogMs.begin(), linkDialogMs.end());
    if (!linkDialogMs.empty())
        std::printf("\n%-34s | %.1f / %.1f / %.1f\n", "link dialog, 5,000 links: open ms", linkDialogMs.front(),
                    Median(linkDialogMs), linkDialogMs.back());
    std::printf("(min / median / max of %d runs)\n", runs);
    ::OleUninitialize();
    return 0;
}
