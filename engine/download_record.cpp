#include "engine/download_record.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "engine/file_icon.h"
#include "framework/error.h"

namespace tdm {

namespace {

// Bounds of a two-dimensional array: lower bounds and element counts.
struct Shape
{
    LONG rowLower = 0;
    LONG columnLower = 0;
    ULONG rows = 0;
    ULONG columns = 0;
};

// Checks that `array` is a two-dimensional array of `type` elements of
// `elementSize` bytes with at least `minColumns` columns, and reads its bounds.
HRESULT CheckShape(SAFEARRAY* array, VARTYPE type, UINT elementSize, LONG minColumns, Shape& shape) noexcept
{
    RETURN_HR_IF_NULL(E_INVALIDARG, array);
    RETURN_HR_IF(E_INVALIDARG, ::SafeArrayGetDim(array) != 2);
    VARTYPE actual = VT_EMPTY;
    RETURN_HR_IF(E_INVALIDARG, FAILED(::SafeArrayGetVartype(array, &actual)) || actual != type);
    RETURN_HR_IF(E_INVALIDARG, ::SafeArrayGetElemsize(array) != elementSize);

    LONG bounds[2][2] = {};
    for (UINT dimension = 1; dimension <= 2; ++dimension)
    {
        RETURN_HR_IF(E_INVALIDARG, FAILED(::SafeArrayGetLBound(array, dimension, &bounds[dimension - 1][0])));
        RETURN_HR_IF(E_INVALIDARG, FAILED(::SafeArrayGetUBound(array, dimension, &bounds[dimension - 1][1])));
    }
    // An empty dimension has its upper bound one below its lower bound; anything
    // further below is a damaged descriptor.
    const std::int64_t rows = std::int64_t{bounds[0][1]} - bounds[0][0] + 1;
    const std::int64_t columns = std::int64_t{bounds[1][1]} - bounds[1][0] + 1;
    RETURN_HR_IF(E_INVALIDARG, rows < 0 || columns < minColumns || columns < 1);
    // No array of more elements fits in the address space: such a descriptor does
    // not describe real data.
    const std::int64_t limit = 0x7FFFFFFF / elementSize;
    RETURN_HR_IF(E_INVALIDARG, columns > limit || rows > limit / columns);

    shape.rowLower = bounds[0][0];
    shape.columnLower = bounds[1][0];
    shape.rows = static_cast<ULONG>(rows);
    shape.columns = static_cast<ULONG>(columns);
    return S_OK;
}

HRESULT DuplicateBstr(BSTR source, unique_bstr& out) noexcept
{
    out.reset();
    if (!source)
        return S_OK;
    out.reset(::SysAllocStringLen(source, ::SysStringLen(source)));
    return out ? S_OK : E_OUTOFMEMORY;
}

// Folder followed by the file name (plain concatenation: the engine's folders end
// with their separator).
HRESULT JoinPath(BSTR folder, BSTR name, unique_bstr& out) noexcept
{
    const UINT nameLength = ::SysStringLen(name);
    if (nameLength == 0)
        return DuplicateBstr(folder, out);
    const UINT folderLength = ::SysStringLen(folder);
    out.reset(::SysAllocStringLen(nullptr, folderLength + nameLength));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, out.get());
    std::copy(folder, folder + folderLength, out.get());
    std::copy(name, name + nameLength, out.get() + folderLength);
    return S_OK;
}

// One row of the list, read and checked; the texts are borrowed from the list.
struct RowValues
{
    LONG id = -1;
    BSTR url = nullptr;
    BSTR folder = nullptr;
    BSTR fileName = nullptr;
    LONG state = 0;
    LONG priority = 0;
    double elapsedDays = 0.0;
    ULONG totalSize = 0;
    LONG resumable = 0;
    ULONG loadedSize = 0;
    LONG averageSpeed = 0;
    LONG currentSpeed = 0;
    std::vector<SectionInfo> sections;
};

HRESULT ReadRow(const CDownloadListReader& list, ULONG row, RowValues& values) noexcept
{
    RETURN_IF_FAILED(list.ReadInt(row, kColumnId, values.id));
    RETURN_IF_FAILED(list.ReadText(row, kColumnUrl, values.url));
    RETURN_IF_FAILED(list.ReadText(row, kColumnFolder, values.folder));
    RETURN_IF_FAILED(list.ReadText(row, kColumnFileName, values.fileName));
    RETURN_IF_FAILED(list.ReadInt(row, kColumnState, values.state));
    RETURN_IF_FAILED(list.ReadInt(row, kColumnPriority, values.priority));
    RETURN_IF_FAILED(list.ReadDays(row, kColumnElapsed, values.elapsedDays));
    RETURN_IF_FAILED(list.ReadUInt(row, kColumnTotalSize, values.totalSize));
    RETURN_IF_FAILED(list.ReadInt(row, kColumnResumable, values.resumable));
    RETURN_IF_FAILED(list.ReadUInt(row, kColumnLoadedSize, values.loadedSize));
    RETURN_IF_FAILED(list.ReadInt(row, kColumnAverageSpeed, values.averageSpeed));
    RETURN_IF_FAILED(list.ReadInt(row, kColumnCurrentSpeed, values.currentSpeed));
    RETURN_IF_FAILED(list.ReadSections(row, kColumnSections, values.sections));
    return S_OK;
}

HRESULT MakeRecord(RowValues&& values, std::unique_ptr<CTolInfoDownload>& out) noexcept
{
    out.reset();
    std::unique_ptr<CTolInfoDownload> record(new (std::nothrow) CTolInfoDownload());
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, record);
    record->id = values.id;
    RETURN_IF_FAILED(DuplicateBstr(values.url, record->url));
    RETURN_IF_FAILED(JoinPath(values.folder, values.fileName, record->path));
    try
    {
        record->icon = CachedFileIcon(WideFromBstr(record->path.get()));
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    record->state = values.state;
    record->priority = values.priority;
    record->elapsed = TimeSpan::FromDays(values.elapsedDays);
    record->totalSize = values.totalSize;
    record->loadedSize = values.loadedSize;
    record->averageSpeed = values.averageSpeed;
    record->currentSpeed = values.currentSpeed;
    record->resumable = values.resumable;
    record->sections = std::move(values.sections);
    record->UpdateProgress();
    out = std::move(record);
    return S_OK;
}

bool IsFourByteInteger(VARTYPE type) noexcept
{
    return type == VT_I4 || type == VT_INT || type == VT_UI4 || type == VT_UINT;
}

}  // namespace

// --- CTolInfoDownload ---------------------------------------------------------

CTolInfoDownload::CTolInfoDownload() noexcept { Reset(); }

CTolInfoDownload::~CTolInfoDownload() = default;

HRESULT CTolInfoDownload::Clone(const CTolInfoDownload& source, std::unique_ptr<CTolInfoDownload>& out) noexcept
{
    out.reset();
    std::unique_ptr<CTolInfoDownload> copy(new (std::nothrow) CTolInfoDownload());
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, copy);
    RETURN_IF_FAILED(DuplicateBstr(source.url.get(), copy->url));
    RETURN_IF_FAILED(DuplicateBstr(source.path.get(), copy->path));
    copy->state = source.state;
    copy->priority = source.priority;
    copy->id = source.id;
    copy->totalSize = source.totalSize;
    copy->loadedSize = source.loadedSize;
    copy->currentSpeed = source.currentSpeed;
    copy->averageSpeed = source.averageSpeed;
    copy->resumable = source.resumable;
    copy->progress = source.progress;
    copy->remaining = source.remaining;
    copy->elapsed = source.elapsed;
    copy->fresh = source.fresh;
    copy->icon = source.icon;
    try
    {
        copy->sections = source.sections;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    out = std::move(copy);
    return S_OK;
}

void CTolInfoDownload::Reset() noexcept
{
    std::vector<SectionInfo>().swap(sections);
    progress = -1.0;
    currentSpeed = -1;
    averageSpeed = -1;
    totalSize = 0;
    loadedSize = 0;
    resumable = 0;
    elapsed = TimeSpan{0.0, true};
    remaining.valid = false;
    fresh = false;
    icon = nullptr;
}

void CTolInfoDownload::UpdateProgress() noexcept
{
    progress = totalSize != 0 && loadedSize <= totalSize
                   ? static_cast<double>(loadedSize) / static_cast<double>(totalSize)
                   : -1.0;
}

// --- CDownloadListReader ------------------------------------------------------

HRESULT CDownloadListReader::Open(const VARIANT& list) noexcept
{
    // By-reference lists and lists of another element type are not the engine's.
    RETURN_HR_IF(E_INVALIDARG, list.vt != (VT_ARRAY | VT_VARIANT));
    return Open(list.parray);
}

HRESULT CDownloadListReader::Open(SAFEARRAY* list) noexcept
{
    m_lock.reset();
    m_list = nullptr;
    m_rows = 0;
    Shape shape;
    RETURN_IF_FAILED(CheckShape(list, VT_VARIANT, sizeof(VARIANT), kDownloadListColumns, shape));
    RETURN_IF_FAILED(m_lock.lock(list));
    m_list = list;
    m_rowLower = shape.rowLower;
    m_columnLower = shape.columnLower;
    m_rows = shape.rows;
    return S_OK;
}

HRESULT CDownloadListReader::Cell(ULONG row, LONG column, const VARIANT*& cell) const noexcept
{
    cell = nullptr;
    RETURN_HR_IF(E_INVALIDARG, !m_list || row >= m_rows || column < 0 || column >= kDownloadListColumns);
    // Within the checked bounds, so the sums stay within LONG.
    LONG indices[2] = {static_cast<LONG>(m_rowLower + static_cast<LONG>(row)), m_columnLower + column};
    void* element = nullptr;
    RETURN_HR_IF(E_INVALIDARG, FAILED(::SafeArrayPtrOfIndex(m_list, indices, &element)) || !element);
    cell = static_cast<const VARIANT*>(element);
    return S_OK;
}

HRESULT CDownloadListReader::ReadInt(ULONG row, LONG column, LONG& value) const noexcept
{
    const VARIANT* cell = nullptr;
    RETURN_IF_FAILED(Cell(row, column, cell));
    RETURN_HR_IF(E_INVALIDARG, !IsFourByteInteger(cell->vt));
    value = cell->lVal;
    return S_OK;
}

HRESULT CDownloadListReader::ReadUInt(ULONG row, LONG column, ULONG& value) const noexcept
{
    const VARIANT* cell = nullptr;
    RETURN_IF_FAILED(Cell(row, column, cell));
    RETURN_HR_IF(E_INVALIDARG, !IsFourByteInteger(cell->vt));
    value = cell->ulVal;
    return S_OK;
}

HRESULT CDownloadListReader::ReadText(ULONG row, LONG column, BSTR& value) const noexcept
{
    value = nullptr;
    const VARIANT* cell = nullptr;
    RETURN_IF_FAILED(Cell(row, column, cell));
    if (cell->vt == VT_EMPTY || cell->vt == VT_NULL)
        return S_OK;
    RETURN_HR_IF(E_INVALIDARG, cell->vt != VT_BSTR);
    value = cell->bstrVal;
    return S_OK;
}

HRESULT CDownloadListReader::ReadDays(ULONG row, LONG column, double& value) const noexcept
{
    const VARIANT* cell = nullptr;
    RETURN_IF_FAILED(Cell(row, column, cell));
    if (cell->vt == VT_R8)
        value = cell->dblVal;
    else if (cell->vt == VT_DATE)
        value = cell->date;
    else
        return E_INVALIDARG;
    return S_OK;
}

HRESULT CDownloadListReader::ReadSections(ULONG row, LONG column, std::vector<SectionInfo>& value) const noexcept
{
    value.clear();
    const VARIANT* cell = nullptr;
    RETURN_IF_FAILED(Cell(row, column, cell));
    return ReadSectionArray(*cell, value);
}

HRESULT ReadSectionArray(const VARIANT& sectionArray, std::vector<SectionInfo>& value) noexcept
{
    value.clear();
    const VARIANT* cell = &sectionArray;
    if (cell->vt == VT_EMPTY)
        return S_OK;
    RETURN_HR_IF(E_INVALIDARG, cell->vt != (VT_ARRAY | VT_UI4));
    Shape shape;
    RETURN_IF_FAILED(CheckShape(cell->parray, VT_UI4, sizeof(ULONG), kSectionColumns, shape));
    safearray_lock lock;
    RETURN_IF_FAILED(lock.lock(cell->parray));

    std::vector<SectionInfo> sections;
    try
    {
        sections.reserve(shape.rows);
        for (ULONG section = 0; section < shape.rows; ++section)
        {
            ULONG fields[kSectionColumns] = {};
            for (LONG field : {kSectionOrigin, kSectionLength, kSectionLoaded})
            {
                LONG indices[2] = {static_cast<LONG>(shape.rowLower + static_cast<LONG>(section)),
                                   shape.columnLower + field};
                void* element = nullptr;
                RETURN_HR_IF(E_INVALIDARG,
                             FAILED(::SafeArrayPtrOfIndex(cell->parray, indices, &element)) || !element);
                fields[field] = *static_cast<const ULONG*>(element);
            }
            SectionInfo info;
            info.origin = fields[kSectionOrigin];
            info.length = fields[kSectionLength];
            info.loaded = fields[kSectionLoaded];
            info.done = info.loaded == info.length;
            sections.push_back(info);
        }
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    value = std::move(sections);
    return S_OK;
}

// --- making records -----------------------------------------------------------

HRESULT MakeRecordFromRow(const CDownloadListReader& list, ULONG row, std::unique_ptr<CTolInfoDownload>& out) noexcept
{
    out.reset();
    RowValues values;
    RETURN_IF_FAILED(ReadRow(list, row, values));
    return MakeRecord(std::move(values), out);
}

HRESULT MakeRecordFromRow(SAFEARRAY* list, ULONG row, std::unique_ptr<CTolInfoDownload>& out) noexcept
{
    out.reset();
    CDownloadListReader reader;
    RETURN_IF_FAILED(reader.Open(list));
    return MakeRecordFromRow(reader, row, out);
}

HRESULT MakeRecordsFromList(const VARIANT& list, std::vector<std::unique_ptr<CTolInfoDownload>>& out) noexcept
{
    CDownloadListReader reader;
    RETURN_IF_FAILED(reader.Open(list));
    try
    {
        // Every row is checked before any record is made (and any icon looked
        // up), so a malformed row costs nothing but the reading.
        std::vector<RowValues> rows(reader.RowCount());
        for (ULONG row = 0; row < reader.RowCount(); ++row)
            RETURN_IF_FAILED(ReadRow(reader, row, rows[row]));

        std::vector<std::unique_ptr<CTolInfoDownload>> records;
        records.reserve(rows.size());
        for (RowValues& values : rows)
        {
            std::unique_ptr<CTolInfoDownload> record;
            RETURN_IF_FAILED(MakeRecord(std::move(values), record));
            records.push_back(std::move(record));
        }
        out = std::move(records);
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

}  // namespace tdm
