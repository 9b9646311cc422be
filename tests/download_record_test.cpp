// The download record, the reading of the engine's download list, and the file
// icon lookup.
#include <windows.h>
#include <oleauto.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "engine/download_record.h"
#include "engine/file_icon.h"
#include "framework/automation.h"
#include "framework/module.h"
#include "framework/unique_any.h"

using namespace tdm;

namespace {

// --- lists as the engine sends them ---------------------------------------------

// A cell of type `vt` whose value bytes are those of `value`: a number, or a
// pointer for VT_BYREF cells.
template <class T>
unique_variant Value(VARTYPE vt, T value)
{
    static_assert(sizeof(T) <= sizeof(LONGLONG));
    unique_variant v;
    v->vt = vt;
    std::memcpy(&v->llVal, &value, sizeof(T));
    return v;
}

unique_variant Int(LONG value) { return Value(VT_I4, value); }
unique_variant Days(double value) { return Value(VT_R8, value); }

unique_variant Text(const wchar_t* value) { return Value(VT_BSTR, ::SysAllocString(value)); }

// A cell holding a new array of `type` with the element counts `dimensions` (the
// last one counts the columns), all from `lower`; typed in the cell as `vt`.
unique_variant Shaped(VARTYPE vt, VARTYPE type, std::initializer_list<ULONG> dimensions, LONG lower = 0)
{
    std::vector<SAFEARRAYBOUND> bounds;
    for (ULONG count : dimensions)
        bounds.push_back({count, lower});
    return Value(VT_ARRAY | vt, ::SafeArrayCreate(type, static_cast<UINT>(bounds.size()), bounds.data()));
}

using Section = std::array<ULONG, 4>;  // the section columns: origin, length, (not read), loaded

unique_variant Sections(const std::vector<Section>& rows)
{
    unique_variant cell = Shaped(VT_UI4, VT_UI4, {static_cast<ULONG>(rows.size()), 4});
    for (LONG i = 0; i < static_cast<LONG>(rows.size() * 4); ++i)
    {
        LONG indices[2] = {i / 4, i % 4};
        ::SafeArrayPutElement(cell->parray, indices, const_cast<ULONG*>(&rows[i / 4][i % 4]));
    }
    return cell;
}

// A list owned as the VARIANT the engine fills; cells addressed from 0. Every row
// starts as: id 7, "http://example.com/file.zip" saved as "C:\no such folder\" +
// "file.zip", state 2, priority 1, 0.25 days elapsed, 250 of 1000 bytes loaded,
// resumable 1, speeds 100 (average) and 120 (current), no sections.
class List
{
public:
    explicit List(ULONG rows, ULONG columns = kDownloadListColumns, LONG lower = 0)
        : m_list(Shaped(VT_VARIANT, VT_VARIANT, {rows, columns}, lower)), m_lower(lower)
    {
        for (LONG r = 0; r < static_cast<LONG>(rows); ++r)
        {
            std::pair<LONG, unique_variant> cells[] = {
                {kColumnId, Int(7)}, {kColumnUrl, Text(L"http://example.com/file.zip")},
                {kColumnFolder, Text(L"C:\\no such folder\\")}, {kColumnFileName, Text(L"file.zip")},
                {kColumnState, Int(2)}, {kColumnPriority, Int(1)}, {kColumnElapsed, Days(0.25)},
                {kColumnTotalSize, Int(1000)}, {8, Text(L"not read")}, {kColumnResumable, Int(1)},
                {10, Text(L"not read")}, {kColumnLoadedSize, Int(250)}, {kColumnAverageSpeed, Int(100)},
                {kColumnCurrentSpeed, Int(120)}};
            for (auto& [column, cell] : cells)
                Set(r, column, std::move(cell));
        }
    }

    // Stores `cell` as it is (no copy by its type); the list owns it then.
    void Set(LONG row, LONG column, unique_variant&& cell)
    {
        LONG indices[2] = {m_lower + row, m_lower + column};
        void* element = nullptr;
        ASSERT_EQ(::SafeArrayPtrOfIndex(m_list->parray, indices, &element), S_OK);
        ::VariantClear(static_cast<VARIANT*>(element));
        *static_cast<VARIANT*>(element) = cell.release();
    }

    VARIANT& Variant() { return *m_list.get(); }
    unique_variant Release() { return std::move(m_list); }

private:
    unique_variant m_list;
    LONG m_lower;
};

using Records = std::vector<std::unique_ptr<CTolInfoDownload>>;
using Change = std::function<void(List&)>;

// The one record made from a one-row list after `change`.
std::unique_ptr<CTolInfoDownload> RecordFrom(const Change& change)
{
    List list(1);
    change(list);
    Records records;
    EXPECT_EQ(MakeRecordsFromList(list.Variant(), records), S_OK);
    return records.size() == 1 ? std::move(records[0]) : nullptr;
}

// Sets `cell` in the list's row 0 (once: the cell moves into the list).
Change Cell(LONG column, unique_variant&& cell)
{
    auto held = std::make_shared<unique_variant>(std::move(cell));
    return [column, held](List& list) { list.Set(0, column, std::move(*held)); };
}

std::wstring TextOf(const unique_bstr& text) { return text ? std::wstring(text.get(), text.length()) : L""; }

}  // namespace

// --- records from the engine's list ---------------------------------------------

using SectionFields = std::vector<std::tuple<ULONG, ULONG, ULONG, bool>>;  // length, origin, loaded, done

SectionFields SectionsOf(const CTolInfoDownload& d)
{
    SectionFields fields;
    for (const SectionInfo& s : d.sections)
        fields.emplace_back(s.length, s.origin, s.loaded, s.done);
    return fields;
}

// A row fills every field; a copy owns its texts and shares the cached icon;
// Reset forgets the transfer but keeps the identity, state and priority.
TEST(DownloadRecordTest, RowFillsEveryFieldCopiesAreIndependentResetForgetsTheTransfer)
{
    auto original =
        RecordFrom(Cell(kColumnSections, Sections({{0, 600, 77, 600}, {600, 400, 77, 100}, {1000, 0, 77, 0}})));
    ASSERT_TRUE(original);
    const auto& d = *original;
    EXPECT_EQ(std::make_tuple(TextOf(d.url), TextOf(d.path), d.id, d.state, d.priority, d.totalSize, d.resumable,
                              d.loadedSize, d.averageSpeed, d.currentSpeed, d.elapsed, d.progress, d.remaining.valid),
              std::make_tuple(L"http://example.com/file.zip", L"C:\\no such folder\\file.zip", 7L, 2L, 1L, 1000uL,
                              1L, 250uL, 100L, 120L, TimeSpan{0.25, true}, 0.25, false));
    EXPECT_EQ(SectionsOf(d), (SectionFields{{600, 0, 600, true}, {400, 600, 100, false}, {0, 1000, 0, true}}));

    original->remaining = TimeSpan{0.5, true};
    original->fresh = true;
    // Wine 8 has an icon at least for .ini files.
    original->icon = CachedFileIcon(L"C:\\no such folder\\tdm-record.ini");
    ASSERT_TRUE(original->icon);
    std::unique_ptr<CTolInfoDownload> copy;
    ASSERT_EQ(CTolInfoDownload::Clone(*original, copy), S_OK);
    ASSERT_TRUE(copy);
    EXPECT_TRUE(copy->url.get() != d.url.get() && copy->path.get() != d.path.get() && copy->icon == d.icon);
    const auto fields = [](const CTolInfoDownload& r) {
        return std::make_tuple(TextOf(r.url), TextOf(r.path), r.state, r.priority, r.id, r.totalSize, r.loadedSize,
                               r.currentSpeed, r.averageSpeed, r.resumable, r.progress, r.remaining, r.elapsed,
                               r.fresh, SectionsOf(r));
    };
    EXPECT_TRUE(fields(*copy) == fields(d));
    std::unique_ptr<CTolInfoDownload> empty;
    ASSERT_EQ(CTolInfoDownload::Clone(CTolInfoDownload(), empty), S_OK);
    EXPECT_FALSE(empty->url || empty->path || empty->icon);

    original->state = 0x12;
    original->Reset();
    EXPECT_EQ(std::make_tuple(TextOf(d.url), TextOf(d.path), d.state, d.priority, d.id),
              std::make_tuple(L"http://example.com/file.zip", L"C:\\no such folder\\file.zip", 0x12L, 1L, 7L));
    EXPECT_EQ(std::make_tuple(d.totalSize, d.loadedSize, d.currentSpeed, d.averageSpeed, d.resumable, d.progress,
                              d.remaining.valid, d.elapsed, d.fresh, static_cast<bool>(d.icon), d.sections.size()),
              std::make_tuple(0uL, 0uL, -1L, -1L, 0L, -1.0, false, TimeSpan{0.0, true}, false, false, size_t{0}));
    // The icon belongs to the cache, not to the record it was copied from.
    original.reset();
    ICONINFO info = {};
    ASSERT_TRUE(::GetIconInfo(copy->icon, &info));
    unique_hbitmap color(info.hbmColor), mask(info.hbmMask);
}

// Edges of progress and elapsed time, and kinds of value the engine may use
// besides the usual ones of each column.
TEST(DownloadListTest, EdgesAndAcceptedCellKinds)
{
    using R = const CTolInfoDownload&;
    wchar_t folder[MAX_PATH] = {};
    ::GetWindowsDirectoryW(folder, MAX_PATH);
    const std::wstring windows = std::wstring(folder) + L"\\";
    const struct { const char* name; Change change; std::function<void(R)> check; } cases[] = {
        {"size 0: progress unknown", Cell(kColumnTotalSize, Int(0)), [](R d) { EXPECT_EQ(d.progress, -1.0); }},
        {"more loaded than the size", Cell(kColumnLoadedSize, Int(1001)), [](R d) { EXPECT_EQ(d.progress, -1.0); }},
        {"all loaded", Cell(kColumnLoadedSize, Int(1000)), [](R d) { EXPECT_EQ(d.progress, 1.0); }},
        {"sizes beyond 2 GB are unsigned",
         [](List& l) { l.Set(0, kColumnTotalSize, Int(-1)), l.Set(0, kColumnLoadedSize, Int(LONG(0x80000000u))); },
         [](R d) { EXPECT_DOUBLE_EQ(d.progress, 2147483648.0 / 4294967295.0); }},
        {"elapsed beyond the limit: invalid", Cell(kColumnElapsed, Days(3615898.0)),
         [](R d) { EXPECT_EQ(d.elapsed, (TimeSpan{3615898.0, false})); }},
        {"elapsed at the limit: valid", Cell(kColumnElapsed, Days(-3615897.0)),
         [](R d) { EXPECT_EQ(d.elapsed, (TimeSpan{-3615897.0, true})); }},
        {"VT_INT id", Cell(kColumnId, Value(VT_INT, 5)), [](R d) { EXPECT_EQ(d.id, 5); }},
        {"VT_UI4 size", Cell(kColumnTotalSize, Value(VT_UI4, 0xFFFFFFF0u)),
         [](R d) { EXPECT_EQ(d.totalSize, 0xFFFFFFF0u); }},
        {"VT_UINT speed", Cell(kColumnAverageSpeed, Value(VT_UINT, 64)), [](R d) { EXPECT_EQ(d.averageSpeed, 64); }},
        {"VT_DATE elapsed", Cell(kColumnElapsed, Value(VT_DATE, 1.5)),
         [](R d) { EXPECT_EQ(d.elapsed, (TimeSpan{1.5, true})); }},
        {"VT_EMPTY url", Cell(kColumnUrl, unique_variant()), [](R d) { EXPECT_FALSE(d.url); }},
        {"VT_NULL file name: the folder alone, which has no icon (though the shell has one for it)",
         [&](List& l) { l.Set(0, kColumnFolder, Text(windows.c_str())), l.Set(0, kColumnFileName, Value(VT_NULL, 0)); },
         [&](R d) { EXPECT_EQ(std::make_pair(TextOf(d.path), static_cast<bool>(d.icon)),
                              std::make_pair(windows, false)); }},
        // Windows has an icon for every existing file, Wine 8 at least for .ini files.
        {"a file that exists: its icon",
         [&](List& l) { l.Set(0, kColumnFolder, Text(windows.c_str())), l.Set(0, kColumnFileName, Text(L"win.ini")); },
         [](R d) { EXPECT_TRUE(d.icon); }},
        {"null BSTR folder", Cell(kColumnFolder, Text(nullptr)),
         [](R d) { EXPECT_EQ(TextOf(d.path), L"file.zip"); }},
        {"section array without rows", Cell(kColumnSections, Sections({})),
         [](R d) { EXPECT_TRUE(d.sections.empty()); }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const auto record = RecordFrom(c.change);
        ASSERT_TRUE(record);
        c.check(*record);
    }
}

TEST(DownloadListTest, RowsCountFromTheLowerBoundsAndSingleRowsByIndex)
{
    List rows(3, kDownloadListColumns + 2, -5);
    rows.Set(2, kColumnId, Int(102));
    Records records;
    ASSERT_EQ(MakeRecordsFromList(rows.Variant(), records), S_OK);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(std::make_tuple(records[0]->id, records[2]->id), std::make_tuple(7L, 102L));

    List empty(0);
    records.push_back(std::make_unique<CTolInfoDownload>());
    ASSERT_EQ(MakeRecordsFromList(empty.Variant(), records), S_OK);
    EXPECT_TRUE(records.empty());

    // One row of an event's array, by index.
    List list(2);
    list.Set(1, kColumnId, Int(2));
    std::unique_ptr<CTolInfoDownload> record;
    ASSERT_EQ(MakeRecordFromRow(list.Variant().parray, 1, record), S_OK);
    EXPECT_EQ(record->id, 2);
    EXPECT_EQ(MakeRecordFromRow(list.Variant().parray, 2, record), E_INVALIDARG);
    EXPECT_FALSE(record);
}

// The engine is another program: a list that is not what the column table says
// is refused as a whole, nothing in it is read as something else, and the
// records already held stay.
TEST(DownloadListTest, MalformedListsAreRejected)
{
    // A list of three rows whose middle one has `cell` in `column`.
    const auto badCell = [](LONG column, unique_variant&& cell) {
        List list(3);
        list.Set(1, column, std::move(cell));
        return list.Release();
    };
    LONG number = 3;
    const unique_bstr text(::SysAllocString(L"x"));
    BSTR textPointer = text.get();
    List sound(1);
    const struct { const char* name; unique_variant list; } cases[] = {
        {"missing id", badCell(kColumnId, unique_variant())},
        {"16-bit state", badCell(kColumnState, Value(VT_I2, 2))},
        {"double size", badCell(kColumnTotalSize, Days(10.0))},
        {"number in the url column", badCell(kColumnUrl, Int(1))},
        {"float elapsed", badCell(kColumnElapsed, Value(VT_R4, 1.0f))},
        {"integer by reference", badCell(kColumnLoadedSize, Value(VT_BYREF | VT_I4, &number))},
        {"text by reference", badCell(kColumnFolder, Value(VT_BYREF | VT_BSTR, &textPointer))},
        {"null sections", badCell(kColumnSections, Value(VT_NULL, 0))},
        {"signed sections", badCell(kColumnSections, Shaped(VT_I4, VT_I4, {1, 4}))},
        {"sections of three columns", badCell(kColumnSections, Shaped(VT_UI4, VT_UI4, {2, 3}))},
        {"section cell naming another element type than its array's",
         badCell(kColumnSections, Shaped(VT_UI4, VT_BSTR, {1, 4}))},
        {"list not an array", Int(1)},
        {"null list array", Value(VT_ARRAY | VT_VARIANT, static_cast<SAFEARRAY*>(nullptr))},
        {"list of one dimension", Shaped(VT_VARIANT, VT_VARIANT, {15})},
        {"fourteen columns", Shaped(VT_VARIANT, VT_VARIANT, {1, 14})},
        {"list naming another element type than its array's", Shaped(VT_VARIANT, VT_I4, {1, 15})},
        {"list by reference", Value(VT_BYREF | VT_ARRAY | VT_VARIANT, &sound.Variant().parray)},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        Records records;
        records.push_back(std::make_unique<CTolInfoDownload>());
        EXPECT_EQ(MakeRecordsFromList(*c.list.get(), records), E_INVALIDARG);
        EXPECT_EQ(records.size(), 1u);
    }
}

// A descriptor claiming more elements than an address space holds is refused
// before anything is read through it.
TEST(DownloadListTest, ImpossibleDimensionsAreRejected)
{
    SAFEARRAY* descriptor = nullptr;
    ASSERT_EQ(::SafeArrayAllocDescriptorEx(VT_VARIANT, 2, &descriptor), S_OK);
    VARIANT cells[kDownloadListColumns] = {};
    descriptor->cbElements = sizeof(VARIANT);
    descriptor->rgsabound[0] = {kDownloadListColumns, 0};  // the last dimension: columns
    descriptor->rgsabound[1] = {0x10000000, 0};             // rows
    descriptor->pvData = cells;
    const VARIANT list = Value(VT_ARRAY | VT_VARIANT, descriptor).release();
    Records records;
    EXPECT_EQ(MakeRecordsFromList(list, records), E_INVALIDARG);
    EXPECT_TRUE(records.empty());
    ::SafeArrayDestroyDescriptor(descriptor);
}

// --- file icons ---------------------------------------------------------------------

// Wine 8's shell has no icon for a path that does not exist, so there an icon
// for a missing file shows the stand-in at work; the checks hold whatever the
// shell does with missing paths.
TEST(FileIconTest, FileNotYetSavedIsStoodInForByATemporaryFile)
{
    EXPECT_FALSE(LookUpFileIcon(L""));
    char temp[MAX_PATH + 1] = {};
    ::GetTempPathA(MAX_PATH + 1, temp);
    const std::string standIn = std::string(temp) + "_tdm-icon-probe.ini";
    const auto exists = [&] { return ::GetFileAttributesA(standIn.c_str()) != INVALID_FILE_ATTRIBUTES; };
    ::DeleteFileA(standIn.c_str());
    EXPECT_TRUE(LookUpFileIcon(L"C:\\no such folder\\tdm-icon-probe.ini"));
    EXPECT_FALSE(exists()) << "stand-in left behind";

    // A file of that name that was there before is used and left alone.
    {
        unique_file file(::CreateFileA(standIn.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(file);
    }
    EXPECT_TRUE(LookUpFileIcon(L"D:\\other\\tdm-icon-probe.ini"));
    EXPECT_TRUE(exists());
    ::DeleteFileA(standIn.c_str());
}

// Files of one extension share one icon, whatever the letter case; programs have
// their own. The icons stay until the module lets them go with nothing holding it.
TEST(FileIconTest, CacheSharesIconsByExtensionAndOwnsThem)
{
    const HICON text = CachedFileIcon(L"C:\\no such folder\\one.txt");
    ASSERT_TRUE(text);
    EXPECT_EQ(CachedFileIcon(L"D:\\elsewhere\\TWO.Txt"), text);
    wchar_t folder[MAX_PATH] = {};
    ::GetSystemDirectoryW(folder, MAX_PATH);
    const std::wstring system(folder);
    const HICON notepad = CachedFileIcon(system + L"\\notepad.exe");
    ASSERT_TRUE(notepad);
    EXPECT_NE(CachedFileIcon(system + L"\\regedit.exe"), notepad);
    EXPECT_EQ(CachedFileIcon(system + L"\\NOTEPAD.EXE"), notepad);

    const auto alive = [](HICON icon) {
        ICONINFO info = {};
        const bool ok = ::GetIconInfo(icon, &info) != FALSE;
        unique_hbitmap color(info.hbmColor), mask(info.hbmMask);
        return ok;
    };
    {
        CModuleLock inUse;
        ReleaseFileIconCache();
        EXPECT_TRUE(alive(text));
    }
    ReleaseFileIconCache();
    EXPECT_FALSE(alive(text));
    EXPECT_FALSE(alive(notepad));
    EXPECT_TRUE(alive(CachedFileIcon(L"C:\\no such folder\\one.txt")));
}
