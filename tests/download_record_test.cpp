// The download record, the reading of the engine's download list, and the file
// icon lookup.
#include <windows.h>
#include <oleauto.h>
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "engine/download_record.h"
#include "engine/file_icon.h"
#include "framework/automation.h"
#include "framework/unique_any.h"

using namespace tdm;

namespace {

// --- lists as the engine sends them ---------------------------------------------

unique_variant Int(LONG value, VARTYPE type = VT_I4)
{
    unique_variant v;
    v->vt = type;
    v->lVal = value;
    return v;
}

unique_variant Text(const wchar_t* value)
{
    unique_variant v;
    v->vt = VT_BSTR;
    v->bstrVal = ::SysAllocString(value);
    return v;
}

unique_variant Days(double value, VARTYPE type = VT_R8)
{
    unique_variant v;
    v->vt = type;
    v->dblVal = value;
    return v;
}

SAFEARRAY* MakeArray(VARTYPE type, ULONG rows, ULONG columns, LONG rowLower = 0, LONG columnLower = 0)
{
    SAFEARRAYBOUND bounds[2] = {{rows, rowLower}, {columns, columnLower}};
    return ::SafeArrayCreate(type, 2, bounds);
}

// A cell holding `array` as a `vt` array (which need not be the array's type).
unique_variant ArrayCell(VARTYPE vt, SAFEARRAY* array)
{
    unique_variant v;
    v->vt = VT_ARRAY | vt;
    v->parray = array;
    return v;
}

using Section = std::array<ULONG, 4>;  // the section columns: origin, length, (not read), loaded

unique_variant Sections(const std::vector<Section>& rows)
{
    SAFEARRAY* array = MakeArray(VT_UI4, static_cast<ULONG>(rows.size()), 4);
    for (LONG r = 0; r < static_cast<LONG>(rows.size()); ++r)
    {
        for (LONG c = 0; c < 4; ++c)
        {
            LONG indices[2] = {r, c};
            ::SafeArrayPutElement(array, indices, const_cast<ULONG*>(&rows[r][c]));
        }
    }
    return ArrayCell(VT_UI4, array);
}

struct Row
{
    LONG id = 7;
    const wchar_t* url = L"http://example.com/file.zip";
    const wchar_t* folder = L"C:\\no such folder\\";
    const wchar_t* fileName = L"file.zip";
    LONG state = 2;
    LONG priority = 1;
    double elapsed = 0.25;
    ULONG totalSize = 1000;
    LONG resumable = 1;
    ULONG loadedSize = 250;
    LONG averageSpeed = 100;
    LONG currentSpeed = 120;
    std::vector<Section> sections;  // none: column 14 empty
};

// A list owned as the VARIANT the engine fills; cells addressed from 0.
class List
{
public:
    explicit List(ULONG rows, ULONG columns = kDownloadListColumns, LONG lower = 0) : m_lower(lower)
    {
        m_list->vt = VT_ARRAY | VT_VARIANT;
        m_list->parray = MakeArray(VT_VARIANT, rows, columns, lower, lower);
        for (LONG r = 0; r < static_cast<LONG>(rows); ++r)
            SetRow(r, Row());
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

    void SetRow(LONG index, const Row& row)
    {
        Set(index, kColumnId, Int(row.id));
        Set(index, kColumnUrl, Text(row.url));
        Set(index, kColumnFolder, Text(row.folder));
        Set(index, kColumnFileName, Text(row.fileName));
        Set(index, kColumnState, Int(row.state));
        Set(index, kColumnPriority, Int(row.priority));
        Set(index, kColumnElapsed, Days(row.elapsed));
        Set(index, kColumnTotalSize, Int(static_cast<LONG>(row.totalSize)));
        Set(index, 8, Text(L"not read"));
        Set(index, kColumnResumable, Int(row.resumable));
        Set(index, 10, Text(L"not read"));
        Set(index, kColumnLoadedSize, Int(static_cast<LONG>(row.loadedSize)));
        Set(index, kColumnAverageSpeed, Int(row.averageSpeed));
        Set(index, kColumnCurrentSpeed, Int(row.currentSpeed));
        Set(index, kColumnSections, row.sections.empty() ? unique_variant() : Sections(row.sections));
    }

    VARIANT& Variant() { return *m_list.get(); }

private:
    unique_variant m_list;
    LONG m_lower;
};

using Records = std::vector<std::unique_ptr<CTolInfoDownload>>;

// The one record made from a list of the one row `row`.
std::unique_ptr<CTolInfoDownload> RecordFrom(const Row& row)
{
    List list(1);
    list.SetRow(0, row);
    Records records;
    const HRESULT hr = MakeRecordsFromList(list.Variant(), records);
    EXPECT_EQ(hr, S_OK) << std::hex << hr;
    return records.size() == 1 ? std::move(records[0]) : nullptr;
}

std::wstring TextOf(const unique_bstr& text) { return text ? std::wstring(text.get(), text.length()) : L""; }

// An icon of our own, independent of what the shell has.
unique_hicon MakeIcon()
{
    BYTE andMask[32] = {};
    BYTE xorMask[32] = {};
    std::fill(std::begin(xorMask), std::end(xorMask), 0x0F);
    return unique_hicon(::CreateIcon(::GetModuleHandleW(nullptr), 16, 16, 1, 1, andMask, xorMask));
}

bool IsIcon(HICON icon)
{
    ICONINFO info = {};
    if (!::GetIconInfo(icon, &info))
        return false;
    unique_hbitmap mask(info.hbmMask), color(info.hbmColor);
    return true;
}

// The fields Reset clears, at their cleared values.
void ExpectTransferCleared(const CTolInfoDownload& record)
{
    EXPECT_EQ(record.totalSize, 0u);
    EXPECT_EQ(record.loadedSize, 0u);
    EXPECT_EQ(record.currentSpeed, -1);
    EXPECT_EQ(record.averageSpeed, -1);
    EXPECT_EQ(record.resumable, 0);
    EXPECT_EQ(record.progress, -1.0);
    EXPECT_FALSE(record.remaining.valid);
    EXPECT_EQ(record.elapsed, (TimeSpan{0.0, true}));
    EXPECT_FALSE(record.fresh);
    EXPECT_FALSE(record.icon);
    EXPECT_TRUE(record.sections.empty());
}

std::string WindowsFolder()
{
    char folder[MAX_PATH] = {};
    ::GetWindowsDirectoryA(folder, MAX_PATH);
    return std::string(folder) + "\\";
}

}  // namespace

// --- the record -------------------------------------------------------------------

TEST(DownloadRecordTest, NewRecordIsAStoppedDownloadWithoutId)
{
    CTolInfoDownload record;
    EXPECT_FALSE(record.url);
    EXPECT_FALSE(record.path);
    EXPECT_EQ(record.state, 8);
    EXPECT_EQ(record.priority, 3);
    EXPECT_EQ(record.id, -1);
    EXPECT_EQ(record.remaining.days, 0.0);
    ExpectTransferCleared(record);
}

TEST(DownloadRecordTest, ResetForgetsTransferButKeepsIdentity)
{
    Row row;
    row.sections = {{0, 10, 0, 5}};
    auto record = RecordFrom(row);
    ASSERT_TRUE(record);
    record->state = 0x12;
    record->remaining = TimeSpan{0.1, true};
    record->fresh = true;
    record->icon = MakeIcon();
    ASSERT_EQ(record->sections.size(), 1u);

    record->Reset();
    EXPECT_EQ(TextOf(record->url), L"http://example.com/file.zip");
    EXPECT_EQ(TextOf(record->path), L"C:\\no such folder\\file.zip");
    EXPECT_EQ(record->state, 0x12);
    EXPECT_EQ(record->priority, 1);
    EXPECT_EQ(record->id, 7);
    ExpectTransferCleared(*record);
}

TEST(DownloadRecordTest, CopyIsIndependentOfTheOriginal)
{
    Row row;
    row.state = 0x14;
    row.elapsed = 4e6;  // invalid span
    row.sections = {{0, 100, 0, 100}, {100, 200, 0, 0}};
    auto original = RecordFrom(row);
    ASSERT_TRUE(original);
    original->remaining = TimeSpan{0.5, true};
    original->fresh = true;
    original->icon = MakeIcon();
    ASSERT_TRUE(original->icon);

    std::unique_ptr<CTolInfoDownload> copy;
    ASSERT_EQ(CTolInfoDownload::Clone(*original, copy), S_OK);
    ASSERT_TRUE(copy);
    EXPECT_NE(copy->url.get(), original->url.get());
    EXPECT_NE(copy->path.get(), original->path.get());
    EXPECT_NE(copy->icon.get(), original->icon.get());
    const auto numbers = [](const CTolInfoDownload& d) {
        return std::make_tuple(d.state, d.priority, d.id, d.totalSize, d.loadedSize, d.currentSpeed,
                               d.averageSpeed, d.resumable, d.progress, d.remaining.days, d.remaining.valid,
                               d.elapsed.days, d.elapsed.valid, d.fresh);
    };
    EXPECT_TRUE(numbers(*copy) == numbers(*original));

    original->sections[0].loaded = 0;
    original.reset();
    // Everything the copy holds is its own and outlives the original.
    EXPECT_EQ(TextOf(copy->url), L"http://example.com/file.zip");
    EXPECT_EQ(TextOf(copy->path), L"C:\\no such folder\\file.zip");
    EXPECT_TRUE(IsIcon(copy->icon.get()));
    ASSERT_EQ(copy->sections.size(), 2u);
    EXPECT_EQ(copy->sections[0].loaded, 100u);
    EXPECT_EQ(copy->sections[1].length, 200u);

    std::unique_ptr<CTolInfoDownload> empty;
    ASSERT_EQ(CTolInfoDownload::Clone(CTolInfoDownload(), empty), S_OK);
    EXPECT_FALSE(empty->url || empty->path || empty->icon);
}

TEST(DownloadRecordTest, StateFlags)
{
    const struct
    {
        LONG state;
        bool active, complete, running;
    } cases[] = {
        {0x01, true, false, true},  {0x02, true, false, true},   {0x04, false, true, false},
        {0x08, false, false, false}, {0x11, true, false, true},  {0x12, true, false, true},
        {0x14, false, true, false}, {0x03, true, false, false}, {0x00, false, false, false},
    };
    for (const auto& c : cases)
    {
        CTolInfoDownload record;
        record.state = c.state;
        EXPECT_EQ(record.IsActive(), c.active) << c.state;
        EXPECT_EQ(record.IsComplete(), c.complete) << c.state;
        EXPECT_EQ(record.IsRunning(), c.running) << c.state;
    }
}

// --- records from the engine's list ---------------------------------------------

TEST(DownloadListTest, RowWithSectionsFillsEveryField)
{
    Row row;
    row.sections = {{0, 600, 77, 600}, {600, 400, 77, 100}, {1000, 0, 77, 0}};
    const auto record = RecordFrom(row);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->id, 7);
    EXPECT_EQ(TextOf(record->url), L"http://example.com/file.zip");
    EXPECT_EQ(TextOf(record->path), L"C:\\no such folder\\file.zip");
    EXPECT_EQ(record->state, 2);
    EXPECT_EQ(record->priority, 1);
    EXPECT_EQ(record->elapsed, (TimeSpan{0.25, true}));
    EXPECT_EQ(record->totalSize, 1000u);
    EXPECT_EQ(record->resumable, 1);
    EXPECT_EQ(record->loadedSize, 250u);
    EXPECT_EQ(record->averageSpeed, 100);
    EXPECT_EQ(record->currentSpeed, 120);
    EXPECT_EQ(record->progress, 0.25);
    EXPECT_FALSE(record->remaining.valid);

    ASSERT_EQ(record->sections.size(), 3u);
    const SectionInfo expected[] = {{600, 0, 600, true}, {400, 600, 100, false}, {0, 1000, 0, true}};
    for (size_t i = 0; i < 3; ++i)
    {
        const SectionInfo& s = record->sections[i];
        EXPECT_TRUE(s.length == expected[i].length && s.origin == expected[i].origin &&
                    s.loaded == expected[i].loaded && s.done == expected[i].done)
            << i << ": length " << s.length << " origin " << s.origin << " loaded " << s.loaded << " done "
            << s.done;
    }
}

TEST(DownloadListTest, PathProgressAndElapsedEdges)
{
    const struct
    {
        const char* name;
        std::function<void(Row&)> change;
        std::function<void(const CTolInfoDownload&)> check;
    } cases[] = {
        {"empty file name: the folder alone", [](Row& r) { r.fileName = L""; },
         [](const CTolInfoDownload& d) { EXPECT_EQ(TextOf(d.path), L"C:\\no such folder\\"); }},
        {"size 0: progress unknown", [](Row& r) { r.totalSize = 0, r.loadedSize = 500; },
         [](const CTolInfoDownload& d) { EXPECT_EQ(d.progress, -1.0); }},
        {"more loaded than the size", [](Row& r) { r.loadedSize = 1001; },
         [](const CTolInfoDownload& d) { EXPECT_EQ(d.progress, -1.0); }},
        {"all loaded", [](Row& r) { r.loadedSize = 1000; },
         [](const CTolInfoDownload& d) { EXPECT_EQ(d.progress, 1.0); }},
        {"sizes beyond 2 GB are unsigned", [](Row& r) { r.totalSize = 0xFFFFFFFF, r.loadedSize = 0x80000000; },
         [](const CTolInfoDownload& d) { EXPECT_DOUBLE_EQ(d.progress, 2147483648.0 / 4294967295.0); }},
        {"elapsed beyond the limit: invalid", [](Row& r) { r.elapsed = 3615898.0; },
         [](const CTolInfoDownload& d) { EXPECT_EQ(d.elapsed, (TimeSpan{3615898.0, false})); }},
        {"elapsed at the limit: valid", [](Row& r) { r.elapsed = -3615897.0; },
         [](const CTolInfoDownload& d) { EXPECT_EQ(d.elapsed, (TimeSpan{-3615897.0, true})); }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        Row row;
        c.change(row);
        const auto record = RecordFrom(row);
        ASSERT_TRUE(record);
        c.check(*record);
    }
}

// Kinds of value the engine may use besides the usual ones of each column.
TEST(DownloadListTest, AcceptedCellKinds)
{
    const struct
    {
        const char* name;
        LONG column;
        std::function<unique_variant()> value;
        std::function<void(const CTolInfoDownload&)> check;
    } cases[] = {
        {"VT_INT id", kColumnId, [] { return Int(5, VT_INT); },
         [](const CTolInfoDownload& d) { EXPECT_EQ(d.id, 5); }},
        {"VT_UI4 size", kColumnTotalSize, [] { return Int(static_cast<LONG>(0xFFFFFFF0u), VT_UI4); },
         [](const CTolInfoDownload& d) { EXPECT_EQ(d.totalSize, 0xFFFFFFF0u); }},
        {"VT_UINT speed", kColumnAverageSpeed, [] { return Int(64, VT_UINT); },
         [](const CTolInfoDownload& d) { EXPECT_EQ(d.averageSpeed, 64); }},
        {"VT_DATE elapsed", kColumnElapsed, [] { return Days(1.5, VT_DATE); },
         [](const CTolInfoDownload& d) { EXPECT_EQ(d.elapsed, (TimeSpan{1.5, true})); }},
        {"VT_EMPTY url", kColumnUrl, [] { return unique_variant(); },
         [](const CTolInfoDownload& d) { EXPECT_FALSE(d.url); }},
        {"VT_NULL file name", kColumnFileName, [] { unique_variant v; v->vt = VT_NULL; return v; },
         [](const CTolInfoDownload& d) { EXPECT_EQ(TextOf(d.path), L"C:\\no such folder\\"); }},
        {"null BSTR folder", kColumnFolder, [] { return Text(nullptr); },
         [](const CTolInfoDownload& d) { EXPECT_EQ(TextOf(d.path), L"file.zip"); }},
        {"section array without rows", kColumnSections, [] { return Sections({}); },
         [](const CTolInfoDownload& d) { EXPECT_TRUE(d.sections.empty()); }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        List list(1);
        list.Set(0, c.column, c.value());
        Records records;
        ASSERT_EQ(MakeRecordsFromList(list.Variant(), records), S_OK);
        ASSERT_EQ(records.size(), 1u);
        c.check(*records[0]);
    }
}

TEST(DownloadListTest, RowsAreCountedFromTheLowerBounds)
{
    for (LONG lower : {0, 1, -5})
    {
        SCOPED_TRACE(lower);
        List list(3, kDownloadListColumns + 2, lower);
        for (LONG r = 0; r < 3; ++r)
            list.Set(r, kColumnId, Int(100 + r));
        Records records;
        ASSERT_EQ(MakeRecordsFromList(list.Variant(), records), S_OK);
        ASSERT_EQ(records.size(), 3u);
        for (LONG r = 0; r < 3; ++r)
            EXPECT_EQ(records[r]->id, 100 + r);
    }
}

TEST(DownloadListTest, EmptyListAndSingleRows)
{
    List empty(0);
    Records records;
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
// is refused as a whole, and nothing in it is read as something else.
TEST(DownloadListTest, MalformedCellsRejectTheList)
{
    static LONG number = 3;
    static BSTR text = ::SysAllocString(L"x");
    const struct
    {
        const char* name;
        LONG column;
        std::function<unique_variant()> value;
    } cases[] = {
        {"text in the id column", kColumnId, [] { return Text(L"7"); }},
        {"16-bit state", kColumnState, [] { return Int(2, VT_I2); }},
        {"double size", kColumnTotalSize, [] { return Days(10.0); }},
        {"missing id", kColumnId, [] { return unique_variant(); }},
        {"number in the url column", kColumnUrl, [] { return Int(1); }},
        {"float elapsed", kColumnElapsed, [] { return Int(0x3F800000, VT_R4); }},
        {"integer by reference", kColumnLoadedSize,
         [] { unique_variant v; v->vt = VT_BYREF | VT_I4; v->plVal = &number; return v; }},
        {"text by reference", kColumnFolder,
         [] { unique_variant v; v->vt = VT_BYREF | VT_BSTR; v->pbstrVal = &text; return v; }},
        {"null sections", kColumnSections, [] { unique_variant v; v->vt = VT_NULL; return v; }},
        {"signed sections", kColumnSections, [] { return ArrayCell(VT_I4, MakeArray(VT_I4, 1, 4)); }},
        {"sections of variants", kColumnSections,
         [] { return ArrayCell(VT_VARIANT, MakeArray(VT_VARIANT, 1, 4)); }},
        {"sections of three columns", kColumnSections, [] { return ArrayCell(VT_UI4, MakeArray(VT_UI4, 2, 3)); }},
        {"one-dimensional sections", kColumnSections,
         [] {
             SAFEARRAYBOUND bound = {4, 0};
             return ArrayCell(VT_UI4, ::SafeArrayCreate(VT_UI4, 1, &bound));
         }},
        {"cell naming another element type than its array's", kColumnSections,
         [] { return ArrayCell(VT_UI4, MakeArray(VT_BSTR, 1, 4)); }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        List list(3);
        list.Set(1, c.column, c.value());  // rows 0 and 2 are sound
        Records records;
        records.push_back(std::make_unique<CTolInfoDownload>());
        CTolInfoDownload* before = records[0].get();
        EXPECT_EQ(MakeRecordsFromList(list.Variant(), records), E_INVALIDARG);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].get(), before);
    }
}

TEST(DownloadListTest, ListsOfAnotherShapeAreRejected)
{
    List sound(1);
    const struct
    {
        const char* name;
        std::function<unique_variant()> list;
    } cases[] = {
        {"not an array", [] { return Int(1); }},
        {"empty", [] { return unique_variant(); }},
        {"null array", [] { return ArrayCell(VT_VARIANT, nullptr); }},
        {"one dimension",
         [] {
             SAFEARRAYBOUND bound = {15, 0};
             return ArrayCell(VT_VARIANT, ::SafeArrayCreate(VT_VARIANT, 1, &bound));
         }},
        {"three dimensions",
         [] {
             SAFEARRAYBOUND bounds[3] = {{1, 0}, {15, 0}, {1, 0}};
             return ArrayCell(VT_VARIANT, ::SafeArrayCreate(VT_VARIANT, 3, bounds));
         }},
        {"fourteen columns", [] { return ArrayCell(VT_VARIANT, MakeArray(VT_VARIANT, 1, 14)); }},
        {"texts instead of variants", [] { return ArrayCell(VT_BSTR, MakeArray(VT_BSTR, 1, 15)); }},
        {"variant naming another element type than its array's",
         [] { return ArrayCell(VT_VARIANT, MakeArray(VT_I4, 1, 15)); }},
        {"list by reference",
         [&sound] {
             unique_variant v;
             v->vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
             v->pparray = &sound.Variant().parray;
             return v;
         }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const unique_variant list = c.list();
        Records records;
        EXPECT_EQ(MakeRecordsFromList(*list.get(), records), E_INVALIDARG);
        EXPECT_TRUE(records.empty());
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
    VARIANT list;
    ::VariantInit(&list);
    list.vt = VT_ARRAY | VT_VARIANT;
    list.parray = descriptor;
    Records records;
    EXPECT_EQ(MakeRecordsFromList(list, records), E_INVALIDARG);
    EXPECT_TRUE(records.empty());
    ::SafeArrayDestroyDescriptor(descriptor);
}

// --- file icons ---------------------------------------------------------------------

TEST(FileIconTest, NoIconForEmptyPathOrFolder)
{
    for (const char* path : {"", "C:\\", "C:\\windows\\", "C:\\no such folder\\"})
        EXPECT_FALSE(LookUpFileIcon(path)) << path;
}

// Wine 8 gives .ini files an icon (checked), and none to a path that does not
// exist: an icon for a missing file shows the stand-in at work.
TEST(FileIconTest, FileNotYetSavedIsStoodInForByATemporaryFile)
{
    ASSERT_TRUE(LookUpFileIcon(WindowsFolder() + "win.ini")) << "no icon for win.ini";

    char temp[MAX_PATH + 1] = {};
    ::GetTempPathA(MAX_PATH + 1, temp);
    const std::string standIn = std::string(temp) + "_tdm-icon-probe.ini";
    const auto exists = [&] { return ::GetFileAttributesA(standIn.c_str()) != INVALID_FILE_ATTRIBUTES; };
    ::DeleteFileA(standIn.c_str());
    EXPECT_TRUE(LookUpFileIcon("C:\\no such folder\\tdm-icon-probe.ini"));
    EXPECT_FALSE(exists()) << "stand-in left behind";

    // A file of that name that was there before is used and left alone.
    {
        unique_file file(::CreateFileA(standIn.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(file);
    }
    EXPECT_TRUE(LookUpFileIcon("D:\\other\\tdm-icon-probe.ini"));
    EXPECT_TRUE(exists());
    ::DeleteFileA(standIn.c_str());
}

TEST(FileIconTest, RecordLooksTheIconUpFromItsPath)
{
    const std::wstring folder = WideFromNarrow(WindowsFolder());
    for (const wchar_t* fileName : {L"win.ini", L""})
    {
        Row row;
        row.folder = folder.c_str();
        row.fileName = fileName;
        const auto record = RecordFrom(row);
        ASSERT_TRUE(record);
        EXPECT_EQ(static_cast<bool>(record->icon), *fileName != L'\0') << fileName;
    }
}
