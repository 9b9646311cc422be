// The downloads list of the explorer bar: control 403 of the downloads panel.
//
// One row per download of the engine. The list owns the download records (one
// CTolInfoDownload per row, in the row's item data) and finds a download's row
// by its id in constant time, however many rows there are. Cell texts and the
// state image are given on request (LVN_GETDISPINFO, forwarded by the panel), so
// a change of a record costs one redraw of its row and the one-second tick costs
// no text pushing at all.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/download_record.h"
#include "framework/unique_any.h"
#include "framework/window.h"

namespace tdm {

// Columns of the list, in display order.
enum ListColumn : int
{
    kListColumnUrl = 0,
    kListColumnFileName = 1,
    kListColumnSize = 2,
    kListColumnProgress = 3,
    kListColumnElapsed = 4,
    kListColumnRemaining = 5,
    kListColumnSpeed = 6,
    kListColumnLoaded = 7,
    kListColumnCount = 8
};

// The value of a record in the sort column, taken before an event changes the
// record, to tell whether the change moves the row.
struct ListSortKey
{
    int column = -1;
    std::wstring text;   // URL or file path
    ULONG number = 0;    // size or bytes loaded
    double value = 0.0;  // progress, or a span in days (-1.0 when invalid)
    LONG speed = 0;      // average speed
};

class CTolListView : public CWindowImplT<CTolListView>
{
public:
    CTolListView() noexcept;
    ~CTolListView();
    CTolListView(const CTolListView&) = delete;
    CTolListView& operator=(const CTolListView&) = delete;

    // Takes over control `list` (a report list of the panel `panel`) and sets it
    // up: extended styles, image lists, the eight columns and the header tips (a
    // tool-tip window owned by the panel).
    bool Setup(HWND list, HWND panel) noexcept;

    // --- rows ------------------------------------------------------------------
    int RowCount() const noexcept;
    // Appends a row for `record` (the list owns it from now on), selected and
    // focused, every other row deselected; returns its index. A record whose id
    // already has a row is dropped and -1 returned. The caller sorts and scrolls.
    int InsertRow(std::unique_ptr<CTolInfoDownload> record);
    // Removes row `index` and its record.
    void DeleteRow(int index) noexcept;
    // Removes every row and record.
    void DeleteAllRows() noexcept;
    // The row of download `id`, or -1.
    int FindRow(LONG id) const noexcept;
    // The record of row `index`, or null.
    CTolInfoDownload* RecordOf(int index) const noexcept;
    // The record of download `id`, or null.
    CTolInfoDownload* FindRecord(LONG id) const noexcept;
    // Recomputes the row's remaining time and redraws every cell of it.
    void UpdateRow(int index) noexcept;
    // Recomputes the progress fraction and redraws the transfer cells.
    void UpdateTransferCells(int index) noexcept;
    // Redraws the row without recomputing anything.
    void RedrawRow(int index) noexcept;
    // Selects and focuses exactly row `index`, makes it the selection mark and
    // scrolls it into view.
    void SelectOnly(int index) noexcept;
    // The first selected row, or -1.
    int FirstSelected() const noexcept;
    void EnsureVisible(int index) noexcept;

    // The first other download (id other than `skipId`) whose file path (not
    // empty, not a folder) or whose URL equals `text`, ignoring letter case; null
    // when none.
    const CTolInfoDownload* FindOtherByPath(LONG skipId, const std::wstring& path) const noexcept;
    const CTolInfoDownload* FindOtherByUrl(LONG skipId, const std::wstring& url) const noexcept;

    // Independent copies of every row's record, in row order.
    HRESULT CopyRecords(std::vector<std::unique_ptr<CTolInfoDownload>>& out) const noexcept;

    // --- sorting ---------------------------------------------------------------
    int SortColumn() const noexcept { return m_sortColumn; }
    bool SortAscending() const noexcept { return m_ascending; }
    // Sorts by the sort column (nothing when unsorted). True when it sorted.
    bool Sort() noexcept;
    // A click on a column header: same column flips the direction, another one
    // sorts ascending; the header arrow follows. Sorts.
    void ColumnClick(int column) noexcept;
    ListSortKey SortKeyOf(const CTolInfoDownload& record) const;
    // Whether `record`'s value in the sort column differs from `before`.
    bool WouldResort(const ListSortKey& before, const CTolInfoDownload& record) const noexcept;

    // --- refresh ---------------------------------------------------------------
    // The one-second tick: elapsed and remaining times of the transferring rows.
    void Tick() noexcept;
    // After a language change: column titles, header tips, every row.
    void ReloadTexts() noexcept;
    // Column 0 takes the width the other columns leave.
    void StretchFirstColumn() noexcept;

    // --- notifications the panel forwards ----------------------------------------
    // LVN_GETDISPINFOW: the cell text and the row's state image.
    void OnGetDispInfo(NMLVDISPINFOW* info) noexcept;
    // NM_CUSTOMDRAW of the list: alternate rows, the File Name and Size cells,
    // the progress bar with its sections. Returns the custom-draw answer.
    LRESULT OnCustomDraw(NMLVCUSTOMDRAW* draw) noexcept;

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_ERASEBKGND, OnEraseBackground)
    TDM_END_MESSAGE_MAP()

private:
    LRESULT OnEraseBackground(UINT message, WPARAM wParam, LPARAM lParam, bool& handled);

    struct Impl;
    std::unique_ptr<Impl> m_impl;
    int m_sortColumn = -1;
    bool m_ascending = true;
};

}  // namespace tdm
