// The client's record of one download of the engine, and the reading of the
// engine's download list from which records are made.
//
// The downloads panel and the toolbar's frame keep one record per download they
// show, keyed by the engine's download id, and keep it current from the engine's
// events; the list view and the activity indicator read it. Records live on the
// browser's user-interface thread that made them; copies are what the panel hands
// to the toolbar's frame.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <memory>
#include <vector>

#include "engine/engine_contract.h"
#include "framework/automation.h"
#include "framework/unique_any.h"

namespace tdm {

// Running or transferring: the panel's refresh timer runs while a download is.
constexpr bool IsActiveState(LONG state) noexcept { return (state & (kStateRunning | kStateTransferring)) != 0; }
constexpr bool IsCompleteState(LONG state) noexcept { return (state & kStateComplete) != 0; }
// The states in which Pause applies and Start does not.
constexpr bool IsRunningState(LONG state) noexcept
{
    return state == kStateRunning || state == kStateTransferring || state == (kStateError | kStateRunning) ||
           state == (kStateError | kStateTransferring);
}

// A span of time in days with a validity status, as automation time spans are.
struct TimeSpan
{
    // Spans beyond this many days either way are invalid.
    static constexpr double kLimitDays = 3615897.0;

    double days = 0.0;
    bool valid = true;

    // A valid span of `days`, or an invalid one holding `days` when it is beyond
    // the limit or not a number.
    static TimeSpan FromDays(double days) noexcept
    {
        return TimeSpan{days, days >= -kLimitDays && days <= kLimitDays};
    }
    bool operator==(const TimeSpan& other) const noexcept { return days == other.days && valid == other.valid; }
    bool operator!=(const TimeSpan& other) const noexcept { return !(*this == other); }
};

// One section (parallel connection) of a download, in the engine's order.
struct SectionInfo
{
    ULONG length = 0;
    ULONG origin = 0;  // the engine's first value of the section; kept, not used
    ULONG loaded = 0;
    bool done = false;  // loaded == length
};

// Columns of the engine's download list (one row per download).
enum DownloadListColumn : LONG
{
    kColumnId = 0,            // 32-bit integer
    kColumnUrl = 1,           // text
    kColumnFolder = 2,        // text
    kColumnFileName = 3,      // text; appended to the folder when not empty
    kColumnState = 4,         // 32-bit integer
    kColumnPriority = 5,      // 32-bit integer
    kColumnElapsed = 6,       // days
    kColumnTotalSize = 7,     // 32-bit integer
    kColumnResumable = 9,     // 32-bit integer
    kColumnLoadedSize = 11,   // 32-bit integer
    kColumnAverageSpeed = 12, // 32-bit integer
    kColumnCurrentSpeed = 13, // 32-bit integer
    kColumnSections = 14,     // array of sections, or empty
    kDownloadListColumns = 15
};

// Columns of a row of a section array.
enum SectionColumn : LONG
{
    kSectionOrigin = 0,
    kSectionLength = 1,
    kSectionLoaded = 3,
    kSectionColumns = 4
};

class CTolInfoDownload
{
public:
    // All fields at their defaults: a stopped download without id, sizes or speeds.
    CTolInfoDownload() noexcept;
    virtual ~CTolInfoDownload();
    CTolInfoDownload(const CTolInfoDownload&) = delete;
    CTolInfoDownload& operator=(const CTolInfoDownload&) = delete;

    // Makes an independent copy of `source`: its own strings and its own
    // sections; the icon, borrowed from the icon cache, is shared. E_OUTOFMEMORY when any of them cannot be made; `out`
    // is set only on success.
    [[nodiscard]] static HRESULT Clone(const CTolInfoDownload& source,
                                       std::unique_ptr<CTolInfoDownload>& out) noexcept;

    // Forgets what the transfer reported: sections, progress, speeds, sizes,
    // resume support, times and the icon. Identity (url, path, id), state and
    // priority stay.
    void Reset() noexcept;

    // progress := loaded / total when the total is known and not exceeded, else -1.
    void UpdateProgress() noexcept;

    bool IsActive() const noexcept { return IsActiveState(state); }
    bool IsComplete() const noexcept { return IsCompleteState(state); }
    bool IsRunning() const noexcept { return IsRunningState(state); }

    unique_bstr url;
    unique_bstr path;  // folder followed by the file name when the engine gave one
    LONG state = kStateStopped;
    LONG priority = 3;
    LONG id = -1;  // -1: none
    ULONG totalSize = 0;  // 0: unknown
    ULONG loadedSize = 0;
    LONG currentSpeed = -1;  // bytes per second; -1: unknown
    LONG averageSpeed = -1;
    LONG resumable = 0;  // 0 cannot resume, 1 can, anything else a third state shown as such
    double progress = -1.0;  // 0.0 to 1.0; -1.0: unknown
    TimeSpan remaining{0.0, false};
    TimeSpan elapsed{0.0, true};
    // An engine event has just set the times; the list's next one-second tick
    // leaves elapsed alone once and clears the flag.
    bool fresh = false;
    // Small shell icon of the file, borrowed from the process's icon cache
    // (CachedFileIcon), which outlives every record; null when none.
    HICON icon = nullptr;
    std::vector<SectionInfo> sections;
};

// A checked view of the engine's download list, or of the one-row arrays of the
// same layout that the engine's events carry.
//
// The engine is another program: every cell is checked to hold the kind of value
// its column prescribes before it is read, and a list of any other shape is an
// invalid argument. Rows are addressed from 0, relative to the array's lower
// bounds. The list stays locked while the reader lives, so texts read from it
// are borrowed from the list and valid for that long.
class CDownloadListReader
{
public:
    CDownloadListReader() noexcept = default;
    CDownloadListReader(const CDownloadListReader&) = delete;
    CDownloadListReader& operator=(const CDownloadListReader&) = delete;

    // Opens a VARIANT holding the list: a two-dimensional array of VARIANTs, rows
    // by columns, with at least kDownloadListColumns columns. E_INVALIDARG for
    // anything else.
    [[nodiscard]] HRESULT Open(const VARIANT& list) noexcept;
    [[nodiscard]] HRESULT Open(SAFEARRAY* list) noexcept;

    ULONG RowCount() const noexcept { return m_rows; }

    // 32-bit integer cells: VT_I4 or VT_INT, and VT_UI4 or VT_UINT taken bit for bit.
    [[nodiscard]] HRESULT ReadInt(ULONG row, LONG column, LONG& value) const noexcept;
    [[nodiscard]] HRESULT ReadUInt(ULONG row, LONG column, ULONG& value) const noexcept;
    // Text cells: VT_BSTR; VT_EMPTY and VT_NULL are the empty text (null).
    [[nodiscard]] HRESULT ReadText(ULONG row, LONG column, BSTR& value) const noexcept;
    // Day cells: VT_R8 or VT_DATE.
    [[nodiscard]] HRESULT ReadDays(ULONG row, LONG column, double& value) const noexcept;
    // Section cells: VT_EMPTY (no sections) or a two-dimensional VT_UI4 array of
    // at least kSectionColumns columns.
    [[nodiscard]] HRESULT ReadSections(ULONG row, LONG column, std::vector<SectionInfo>& value) const noexcept;

private:
    [[nodiscard]] HRESULT Cell(ULONG row, LONG column, const VARIANT*& cell) const noexcept;

    SAFEARRAY* m_list = nullptr;
    LONG m_rowLower = 0;
    LONG m_columnLower = 0;
    ULONG m_rows = 0;
    safearray_lock m_lock;
};

// Reads a section array (as a section cell holds it: VT_EMPTY for none, or a
// two-dimensional VT_UI4 array of at least kSectionColumns columns); anything
// else is E_INVALIDARG and leaves `out` empty.
[[nodiscard]] HRESULT ReadSectionArray(const VARIANT& sections, std::vector<SectionInfo>& out) noexcept;

// Makes one record per row of the engine's download list (`list` as the engine's
// GetDownloadList fills it), looking each file's icon up. A list of another
// shape, or any cell of another kind than its column's, is E_INVALIDARG; then no
// record is made. `out` is replaced only on success.
[[nodiscard]] HRESULT MakeRecordsFromList(const VARIANT& list,
                                          std::vector<std::unique_ptr<CTolInfoDownload>>& out) noexcept;

// Makes the record of row `row` (from 0) of an opened list.
[[nodiscard]] HRESULT MakeRecordFromRow(const CDownloadListReader& list, ULONG row,
                                        std::unique_ptr<CTolInfoDownload>& out) noexcept;
// The same for a list array of the engine (a one-row array of an event).
[[nodiscard]] HRESULT MakeRecordFromRow(SAFEARRAY* list, ULONG row,
                                        std::unique_ptr<CTolInfoDownload>& out) noexcept;

}  // namespace tdm
