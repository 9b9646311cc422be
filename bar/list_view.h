// The downloads list of the explorer bar: control 403 of the downloads panel.
//
// One row per download of the engine. The control is an owner-data list: it
// holds no items, only their count and the selection, and asks for every cell
// text and state image when it paints (LVN_GETDISPINFO, forwarded by the
// panel). The rows are the downloads model's records in the model's order: the
// list keeps none of its own. So filling the list costs one message however many
// rows there are, a download's row is found by its id in constant time, a change
// of a record costs one redraw of its row and the one-second tick costs no text
// pushing at all. The panel tells the list of each change of the model.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "downloads/downloads_model.h"
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

// The background of an odd row (1, 3, ...) on the window colour `window`: each of
// red, green and blue 12 lower, or 12 higher where it is below 12.
COLORREF ShadedRowColour(COLORREF window) noexcept;

class CTolListView : public CWindowImplT<CTolListView>
{
public:
    CTolListView() noexcept;
    ~CTolListView();
    CTolListView(const CTolListView&) = delete;
    CTolListView& operator=(const CTolListView&) = delete;

    // Takes over control `list` (an owner-data report list of the panel `panel`;
    // false for a list without LVS_OWNERDATA) and sets it up: extended styles, image lists, the eight columns and the header tips (a
    // tool-tip window owned by the panel).
    bool Setup(HWND list, HWND panel) noexcept;

    // The model whose downloads are the rows (null: no rows).
    void SetModel(CDownloadsModel* model) noexcept { m_model = model; }

    // --- rows ------------------------------------------------------------------
    int RowCount() const noexcept;
    // The model's changes, told by the panel. A download appended: its row is
    // selected and focused, every other row deselected; the caller sorts and
    // scrolls.
    void RowAdded(LONG id) noexcept;
    // The model's downloads were read or emptied: the last row selected and
    // focused.
    void RowsReset() noexcept;
    // Row `index` is about to go (its record is still in the model). The rows
    // below move up one, their selection and focus with them.
    void RowRemoving(int index) noexcept;
    void RowChanged(LONG id, DownloadChange change) noexcept;
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

    // --- sorting ---------------------------------------------------------------
    int SortColumn() const noexcept { return m_sortColumn; }
    bool SortAscending() const noexcept { return m_ascending; }
    // Sorts the model's downloads by the sort column (nothing when unsorted),
    // rows of equal value keeping their order; selection, focus and selection
    // mark stay with their downloads. True when it sorted.
    bool Sort() noexcept;
    // The model's order changed.
    void OrderChanged() noexcept;
    // Whether download `id` no longer sits in sort order between its neighbours.
    bool OutOfOrder(LONG id) const noexcept;
    // A click on a column header: same column flips the direction, another one
    // sorts ascending; the header arrow follows. Sorts.
    void ColumnClick(int column) noexcept;

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
    // LVN_ODFINDITEMW (the control's type-ahead search and LVM_FINDITEM): the
    // row from `iStart` on whose URL (the first column) starts with or, without
    // LVFI_PARTIAL, equals the text, ignoring letter case; -1 when none.
    LRESULT OnFindItem(const NMLVFINDITEMW& find) const noexcept;

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_ERASEBKGND, OnEraseBackground)
    TDM_END_MESSAGE_MAP()

private:
    using GradientFillFunction = BOOL(WINAPI*)(HDC, PTRIVERTEX, ULONG, PVOID, ULONG, ULONG);
    using AlphaBlendFunction = BOOL(WINAPI*)(HDC, int, int, int, int, HDC, int, int, int, int, BLENDFUNCTION);

    // Selection, focus and selection mark by download id, taken before the rows
    // move: the control keeps them by index.
    struct Selection
    {
        std::vector<LONG> selected;
        LONG focused = 0;
        LONG mark = 0;
        bool hasFocus = false;
        bool hasMark = false;
    };

    LRESULT OnEraseBackground(UINT message, WPARAM wParam, LPARAM lParam, bool& handled);

    // Tells the control the row count, keeping its scroll position.
    void SetItemCount() noexcept;
    // Takes the selection and the focus from every row.
    void DeselectAll() noexcept;
    // Sets the state `state` (LVIS_SELECTED, LVIS_FOCUSED) of row `index`.
    void SetRowState(int index, UINT state, UINT mask) noexcept;
    Selection TakeSelection() const;
    void RestoreSelection(const Selection& selection) noexcept;
    void SetHeaderArrow(int column, int image) noexcept;
    // Header tips: rebuilt when a column width changed since the last time, or always.
    void UpdateHeaderTips(bool force);

    // Drawing of the owner-drawn cells; see OnCustomDraw.
    void CreateDrawingResources() noexcept;
    HBRUSH CellBrush(int row) noexcept;
    void DrawOwnCell(const NMLVCUSTOMDRAW& draw);
    void DrawProgressBar(const NMLVCUSTOMDRAW& draw) noexcept;
    void FillBar(HDC dc, const RECT& area, bool sections) noexcept;

    HWND m_header = nullptr;
    CDownloadsModel* m_model = nullptr;
    unique_himagelist m_headerImages;      // the header does not destroy its image list
    unique_hwnd m_tips;
    int m_tipWidths[kListColumnCount] = {};

    unique_hmodule m_msimg32;
    GradientFillFunction m_gradientFill = nullptr;
    AlphaBlendFunction m_alphaBlend = nullptr;
    unique_hbrush m_progressBrush;
    unique_hbrush m_sectionBrush;
    unique_hpen m_progressPen;
    unique_hpen m_sectionPen;
    unique_hbrush m_shadeBrush;  // odd rows; lives for one paint cycle
    // The row being drawn.
    bool m_drawSelected = false;
    bool m_drawFocused = false;
    bool m_drawHighlighted = false;

    int m_sortColumn = -1;
    bool m_ascending = true;
};

}  // namespace tdm
