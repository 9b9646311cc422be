// The downloads list: cell texts given on request, state images, sorting with
// the header arrows, rows found by id after sorts and deletes, the one-second
// tick, the owner-drawn progress bar and the background erase. The list sits in
// a host window that forwards the notifications as the panel does; everything is
// read back through the list's messages.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bar/list_view.h"
#include "framework/activation_context.h"
#include "framework/unique_any.h"
#include "resources/resource.h"
#include "text/language.h"

using namespace tdm;

namespace {

LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* view = reinterpret_cast<CTolListView*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_NOTIFY && view && reinterpret_cast<NMHDR*>(lParam)->idFrom == 403)
    {
        switch (reinterpret_cast<NMHDR*>(lParam)->code)
        {
        case LVN_GETDISPINFOW: view->OnGetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(lParam)); return 0;
        case NM_CUSTOMDRAW: return view->OnCustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(lParam));
        }
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

struct Download
{
    LONG id;
    ULONG size = 0, loaded = 0;
    LONG current = -1, average = -1;
    LONG state = kStateStopped;
    const wchar_t* path = L"C:\\downloads\\file.bin";
    std::vector<SectionInfo> sections = {};
};

class ListViewTest : public testing::Test
{
protected:
    void SetUp() override
    {
        WNDCLASSW info{};
        info.lpfnWndProc = &HostProc;
        info.hInstance = ::GetModuleHandleW(nullptr);
        info.lpszClassName = L"TolvaneListHost";
        ::RegisterClassW(&info);
        CActivationScope activation;
        // A message-only window: the desktop is shared with other test programs,
        // which must neither lose the foreground to it nor wait for it to answer
        // their broadcasts while a test keeps this thread busy.
        m_host = ::CreateWindowExW(0, info.lpszClassName, L"", 0, 0, 0, 1100, 300, HWND_MESSAGE, nullptr,
                                   info.hInstance, nullptr);
        m_list = ::CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS, 0, 0,
                                   1100, 300, m_host, reinterpret_cast<HMENU>(403), info.hInstance, nullptr);
        ::SetWindowLongPtrW(m_host, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&m_view));
        m_model = CDownloadsModel::ForThisThread();
        m_view.SetModel(m_model.get());
        ASSERT_TRUE(m_view.Setup(m_list, m_host));
    }
    void TearDown() override
    {
        ::DestroyWindow(m_host);
        m_model.reset();
    }

    int Add(const Download& d)
    {
        auto record = std::make_unique<CTolInfoDownload>();
        record->id = d.id;
        record->path.reset(::SysAllocString(d.path));
        record->totalSize = d.size;
        record->loadedSize = d.loaded;
        record->currentSpeed = d.current;
        record->averageSpeed = d.average;
        record->state = d.state;
        record->sections = d.sections;
        if (!m_model->Insert(std::move(record)))
            return -1;
        m_view.RowAdded(d.id);
        return m_view.FindRow(d.id);
    }
    // The model's removal of download `id` as the panel tells the list of it.
    void Remove(LONG id)
    {
        m_view.RowRemoving(m_view.FindRow(id));
        m_model->Remove(id);
    }
    std::wstring Text(int row, int column)
    {
        wchar_t text[260] = {};
        LVITEMW item{};
        item.iSubItem = column;
        item.pszText = text;
        item.cchTextMax = 260;
        ::SendMessageW(m_list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
        return text;
    }
    std::vector<LONG> Ids()
    {
        std::vector<LONG> ids;
        for (int row = 0; row < m_view.RowCount(); ++row)
            ids.push_back(m_view.RecordOf(row) ? m_view.RecordOf(row)->id : -1);
        return ids;
    }
    // Header item `column`: its image, or -1 when it shows none.
    int Arrow(int column)
    {
        HDITEMW item{};
        item.mask = HDI_FORMAT | HDI_IMAGE;
        ::SendMessageW(ListView_GetHeader(m_list), HDM_GETITEMW, column, reinterpret_cast<LPARAM>(&item));
        return (item.fmt & HDF_IMAGE) ? item.iImage : -1;
    }
    // A 32-bit bitmap the size of the list's client area, filled with `colour`.
    struct Canvas
    {
        unique_hbitmap bitmap;  // outlives the device context it is selected into
        unique_hdc dc{::CreateCompatibleDC(nullptr)};
        const DWORD* bits = nullptr;
        int width = 0;
        COLORREF At(int x, int y) const
        {
            const DWORD p = bits[y * width + x];
            return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
        }
    };
    std::unique_ptr<Canvas> MakeCanvas(COLORREF colour)
    {
        auto canvas = std::make_unique<Canvas>();
        RECT client{};
        ::GetClientRect(m_list, &client);
        BITMAPINFO info{};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), client.right, -client.bottom, 1, 32, BI_RGB};
        void* bits = nullptr;
        canvas->bitmap.reset(::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        canvas->bits = static_cast<const DWORD*>(bits);
        canvas->width = client.right;
        ::SelectObject(canvas->dc.get(), canvas->bitmap.get());
        const unique_hbrush brush(::CreateSolidBrush(colour));
        ::FillRect(canvas->dc.get(), &client, brush.get());
        return canvas;
    }

    com_ptr<CDownloadsModel> m_model;
    CTolListView m_view;
    HWND m_host = nullptr;
    HWND m_list = nullptr;
};

}  // namespace

TEST_F(ListViewTest, CellTextsAndStateImagesComeFromTheRecord)
{
    const std::wstring na = LoadUiStringW(IDS_NOT_AVAILABLE);
    ASSERT_FALSE(na.empty());
    const struct { Download d; std::wstring size, progress, remaining, speed, loaded; } cases[] = {
        {{1, 0, 500, 10, 10}, na, na, na, L"10 / 10", L"500"},
        {{2, 1000, 1000, 0, 0}, L"1,000", L"100%", L"00:00:00", na, L"1,000"},
        {{3, 3, 1, 5, 5}, L"3", L"33%", L"00:00:00", L"5 / 5", L"1"},
        {{4, 200000, 50000, 0, 100}, L"200,000", L"25%", L"00:25:00", na, L"50,000"},
        {{5, 1000, 0, 1, 1}, L"1,000", L"0%", L"00:16:40", L"1 / 1", na},
        // More loaded than the size: nothing can be estimated.
        {{6, 1000, 1001, 5, 5}, L"1,000", na, na, L"5 / 5", L"1,001"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.d.id);
        const int row = Add(c.d);
        ASSERT_GE(row, 0);
        EXPECT_EQ(Text(row, kListColumnUrl), L"");
        EXPECT_EQ(Text(row, kListColumnFileName), c.d.path);
        EXPECT_EQ(Text(row, kListColumnSize), c.size);
        EXPECT_EQ(Text(row, kListColumnProgress), c.progress);
        EXPECT_EQ(Text(row, kListColumnRemaining), c.remaining);
        EXPECT_EQ(Text(row, kListColumnSpeed), c.speed);
        EXPECT_EQ(Text(row, kListColumnLoaded), c.loaded);
    }

    const struct { LONG state; int image; } images[] = {
        {2, 0}, {8, 1}, {4, 2}, {18, 7}, {20, 8}, {1, 9}, {17, 3}, {0, 3}};
    for (const auto& c : images)
    {
        m_view.RecordOf(0)->state = c.state;
        LVITEMW item{};
        item.mask = LVIF_IMAGE;
        ::SendMessageW(m_list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
        EXPECT_EQ(item.iImage, c.image) << "state " << c.state;
    }
}

TEST_F(ListViewTest, SortingFollowsTheClickedColumnAndItsArrow)
{
    Add({1, 300, 0, -1, -1, 8, L"C:\\b"});
    Add({2, 100, 50, 1, 10, 8, L"C:\\c"});   // 5 seconds left
    Add({3, 200, 0, 1, 1, 8, L"C:\\a"});     // 200 seconds left
    Add({4, 0, 0, -1, -1, 8, L"C:\\d"});     // unknown size: unknown time left
    EXPECT_EQ(Ids(), (std::vector<LONG>{1, 2, 3, 4})) << "unsorted: arrival order";

    m_view.ColumnClick(kListColumnSize);
    EXPECT_EQ(Ids(), (std::vector<LONG>{4, 2, 3, 1}));
    EXPECT_EQ(Arrow(kListColumnSize), 0);
    m_view.ColumnClick(kListColumnSize);
    EXPECT_EQ(Ids(), (std::vector<LONG>{1, 3, 2, 4}));
    EXPECT_EQ(Arrow(kListColumnSize), 1);
    m_view.ColumnClick(kListColumnFileName);
    EXPECT_EQ(Ids(), (std::vector<LONG>{3, 1, 2, 4}));
    EXPECT_EQ(std::make_pair(Arrow(kListColumnSize), Arrow(kListColumnFileName)), std::make_pair(-1, 0));
    m_view.ColumnClick(kListColumnRemaining);
    const std::vector<LONG> ids = Ids();
    EXPECT_EQ(std::vector<LONG>(ids.begin() + 2, ids.end()), (std::vector<LONG>{2, 3}));
    const std::wstring na = LoadUiStringW(IDS_NOT_AVAILABLE);
    EXPECT_EQ(Text(0, kListColumnRemaining) + Text(1, kListColumnRemaining), na + na) << "unknown times first";

    // Does a change move the row? Only when its sort value passes a neighbour's.
    CTolInfoDownload& record = *m_view.FindRecord(2);
    record.totalSize = 5000;
    EXPECT_FALSE(m_view.OutOfOrder(2)) << "the time left is not recomputed yet";
    m_view.UpdateRow(m_view.FindRow(2));
    EXPECT_TRUE(m_view.OutOfOrder(2));
}

// The id table against the rows as they move: every lookup is checked against
// the list itself.
TEST_F(ListViewTest, RowsAreFoundByIdAfterSortsAndDeletes)
{
    for (LONG id = 1; id <= 8; ++id)
        ASSERT_EQ(Add({id, static_cast<ULONG>((id * 37) % 11)}), id - 1);
    EXPECT_EQ(Add({5, 999}), -1) << "a second row for id 5";
    EXPECT_EQ(m_view.RowCount(), 8);
    EXPECT_EQ(m_view.FindRecord(5)->totalSize, (5u * 37) % 11);

    const auto checkAll = [&](const std::vector<LONG>& ids) {
        for (LONG id : ids)
        {
            const CTolInfoDownload* record = m_view.RecordOf(m_view.FindRow(id));
            EXPECT_EQ(record ? record->id : -1, id);
        }
    };
    m_view.ColumnClick(kListColumnSize);
    checkAll({1, 2, 3, 4, 5, 6, 7, 8});
    Remove(3);
    Remove(m_view.RecordOf(0)->id);
    const std::vector<LONG> left = Ids();
    EXPECT_EQ(left.size(), 6u);
    checkAll(left);
    Remove(left[1]);
    m_view.ColumnClick(kListColumnSize);  // no lookup between the delete and the sort
    checkAll({left[0], left[2], left[3], left[4], left[5]});
    EXPECT_EQ(std::make_pair(m_view.FindRow(3), m_view.FindRow(left[1])), std::make_pair(-1, -1));
    EXPECT_EQ(m_view.FindRecord(3), nullptr);
    for (LONG id : Ids())
        Remove(id);
    EXPECT_EQ(std::make_pair(m_view.RowCount(), m_view.FindRow(left[0])), std::make_pair(0, -1));
}

// The control keeps selection, focus and selection mark by row number: they
// must go where their downloads go when rows are sorted or deleted.
TEST_F(ListViewTest, SelectionFocusAndMarkStayWithTheirDownloads)
{
    for (LONG id = 1; id <= 5; ++id)
        Add({id, static_cast<ULONG>(100 - id * 10)});  // sorting by size reverses them
    const auto state = [&] {
        std::vector<LONG> selected;
        for (int row = ListView_GetNextItem(m_list, -1, LVNI_SELECTED); row >= 0;
             row = ListView_GetNextItem(m_list, row, LVNI_SELECTED))
            selected.push_back(m_view.RecordOf(row)->id);
        const CTolInfoDownload* focused = m_view.RecordOf(ListView_GetNextItem(m_list, -1, LVNI_FOCUSED));
        const CTolInfoDownload* mark = m_view.RecordOf(ListView_GetSelectionMark(m_list));
        selected.push_back(focused ? focused->id : -1);
        selected.push_back(mark ? mark->id : -1);
        return selected;  // selected ids in row order, then the focused and the mark
    };
    ListView_SetItemState(m_list, -1, 0, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_SetItemState(m_list, m_view.FindRow(2), LVIS_SELECTED, LVIS_SELECTED);
    ListView_SetItemState(m_list, m_view.FindRow(5), LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED);
    ListView_SetSelectionMark(m_list, m_view.FindRow(2));
    EXPECT_EQ(state(), (std::vector<LONG>{2, 5, 5, 2}));
    m_view.ColumnClick(kListColumnSize);
    EXPECT_EQ(Ids(), (std::vector<LONG>{5, 4, 3, 2, 1}));
    EXPECT_EQ(state(), (std::vector<LONG>{5, 2, 5, 2}));
    Remove(4);
    EXPECT_EQ(state(), (std::vector<LONG>{5, 2, 5, 2})) << "rows below a deleted one keep their state";
    Remove(5);
    EXPECT_EQ(state()[0], 2) << "the other selected row stays selected";
}

TEST_F(ListViewTest, TickAdvancesTheElapsedTimeOfTransferringRowsUnlessJustReported)
{
    Add({1, 1000, 100, 10, 10, kStateTransferring});
    Add({2, 1000, 100, 10, 10, kStateTransferring});
    Add({3, 1000, 100, 10, 10, kStateStopped});
    m_view.FindRecord(2)->fresh = true;
    m_view.FindRecord(1)->loadedSize = 500;
    m_view.Tick();
    EXPECT_EQ(Text(0, kListColumnElapsed), L"00:00:01");
    EXPECT_EQ(Text(0, kListColumnRemaining), L"00:00:50") << "remaining time follows the record";
    EXPECT_EQ(Text(1, kListColumnElapsed), L"00:00:00");
    EXPECT_FALSE(m_view.FindRecord(2)->fresh);
    EXPECT_EQ(Text(2, kListColumnElapsed), L"00:00:00");
    m_view.Tick();
    EXPECT_EQ(std::make_pair(Text(0, kListColumnElapsed), Text(1, kListColumnElapsed)),
              std::make_pair(std::wstring(L"00:00:02"), std::wstring(L"00:00:01")));
}

// The tick touches records only: thousands of transferring rows cost no more
// than a pass over them.
TEST_F(ListViewTest, TickOverTenThousandRowsIsCheap)
{
    // In parts, answering between them what other programs of the desktop send
    // to this thread's windows (the header tips are a top-level window).
    int added = 0;
    for (LONG first = 0; first < 10000; first += 1000)
    {
        std::vector<std::unique_ptr<CTolInfoDownload>> records;
        for (LONG id = first; id < first + 1000; ++id)
        {
            records.push_back(std::make_unique<CTolInfoDownload>());
            records.back()->id = id % 9999;  // the last one is a second row for id 0
            records.back()->state = kStateTransferring;
        }
        for (auto& record : records)
            added += m_model->Insert(std::move(record)) ? 1 : 0;
        m_view.RowsReset();
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            ::DispatchMessageW(&message);
    }
    ASSERT_EQ(added, 9999);
    EXPECT_EQ(std::make_pair(m_view.FirstSelected(), ListView_GetSelectedCount(m_list)), std::make_pair(9998, 1u));
    const auto start = std::chrono::steady_clock::now();
    m_view.Tick();
    const auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(spent).count(), 5);
    EXPECT_EQ(Text(9998, kListColumnElapsed), L"00:00:01");
}

TEST(ShadedRowColourTest, OddRowsAreTwelveLevelsAwayFromTheWindowColour)
{
    EXPECT_EQ(ShadedRowColour(RGB(0xFF, 0xFF, 0xFF)), RGB(0xF3, 0xF3, 0xF3));
    EXPECT_EQ(ShadedRowColour(RGB(0, 0, 0)), RGB(0x0C, 0x0C, 0x0C));
    EXPECT_EQ(ShadedRowColour(RGB(11, 12, 200)), RGB(23, 0, 188));
}

// A download with four sections gets a second band of green sections under the
// blue progress band, unless the bar is too narrow to show them (fewer than two
// pixels per section).
TEST_F(ListViewTest, ProgressBarShowsTheSectionsWhenWideEnough)
{
    const std::vector<SectionInfo> sections(4, SectionInfo{250, 0, 250, true});
    Add({1, 1000, 1000, 1, 1, kStateComplete, L"C:\\a", sections});
    LVITEMW unselected{};
    unselected.stateMask = LVIS_SELECTED;
    ::SendMessageW(m_list, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&unselected));
    const auto bands = [&] {
        RECT cell{LVIR_BOUNDS, kListColumnProgress};
        ::SendMessageW(m_list, LVM_GETSUBITEMRECT, 0, reinterpret_cast<LPARAM>(&cell));
        const auto canvas = MakeCanvas(RGB(255, 255, 255));
        ::SendMessageW(m_list, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(canvas->dc.get()), PRF_CLIENT);
        std::pair<bool, bool> found{false, false};  // blue above the middle, green below it
        for (int y = cell.top; y < cell.bottom; ++y)
            for (int x = cell.left + 6; x < cell.left + 16; ++x)
            {
                const COLORREF p = canvas->At(x, y);
                const bool lower = y > (cell.top + cell.bottom) / 2;
                found.first |= !lower && GetBValue(p) > GetGValue(p) + 20;
                found.second |= lower && GetGValue(p) > GetBValue(p) + 30;
            }
        return found;
    };
    EXPECT_EQ(bands(), std::make_pair(true, true));
    // The bar is the column less 16 pixels and the width of "100%": 7 pixels.
    SIZE percent{};
    {
        window_dc dc(m_list);
        select_object font(dc.get(), reinterpret_cast<HFONT>(::SendMessageW(m_list, WM_GETFONT, 0, 0)));
        ::GetTextExtentPoint32W(dc.get(), L"100%", 4, &percent);
    }
    ::SendMessageW(m_list, LVM_SETCOLUMNWIDTH, kListColumnProgress, MAKELPARAM(16 + percent.cx + 7, 0));
    EXPECT_EQ(bands(), std::make_pair(true, false));
}

// Erasing fills what no row covers and leaves the rows alone.
TEST_F(ListViewTest, BackgroundEraseLeavesTheRowsAlone)
{
    Add({1});
    Add({2});
    RECT row{LVIR_BOUNDS};
    ::SendMessageW(m_list, LVM_GETITEMRECT, 1, reinterpret_cast<LPARAM>(&row));
    const auto canvas = MakeCanvas(RGB(1, 2, 3));
    ::SendMessageW(m_list, WM_ERASEBKGND, reinterpret_cast<WPARAM>(canvas->dc.get()), 0);
    const int middle = (row.top + row.bottom) / 2;
    EXPECT_EQ(canvas->At(100, middle), RGB(1, 2, 3)) << "a row";
    EXPECT_EQ(canvas->At(10, middle), ::GetSysColor(COLOR_WINDOW)) << "left strip";
    EXPECT_EQ(canvas->At(100, row.bottom + 5), ::GetSysColor(COLOR_WINDOW)) << "below the rows";
}
