// The download record, the reading of the engine's download list, and the file
// icon lookup.
#include <windows.h>
#include <oleauto.h>
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/download_record.h"
#include "engine/file_icon.h"
#include "framework/automation.h"
#include "framework/unique_any.h"

using namespace tdm;

namespace {

// --- building lists the way the engine sends them --------------------------------

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

// A two-dimensional array of `type`, rows by columns, with the given lower bounds.
SAFEARRAY* MakeArray(VARTYPE type, ULONG rows, ULONG columns, LONG rowLower = 0, LONG columnLower = 0)
{
    SAFEARRAYBOUND bounds[2] = {{rows, rowLower}, {columns, columnLower}};
    return ::SafeArrayCreate(type, 2, bounds);
}

using Section = std::array<ULONG, 4>;  // origin, (unread), length... in column order 0..3

// A section cell: rows of {origin, length, unread, loaded}.
unique_variant Sections(const std::vector<Section>& rows)
{
    unique_variant v;
    SAFEARRAY* array = MakeArray(VT_UI4, static_cast<ULONG>(rows.size()), 4);
    for (LONG r = 0; r < static_cast<LONG>(rows.size()); ++r)
    {
        for (LONG c = 0; c < 4; ++c)
        {
            LONG indices[2] = {r, c};
            ULONG value = rows[r][c];
            ::SafeArrayPutElement(array, indices, &value);
        }
    }
    v->vt = VT_ARRAY | VT_UI4;
    v->parray = array;
    return v;
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

// A list owned as the VARIANT the engine fills.
class List
{
public:
    explicit List(ULONG rows, ULONG columns = kDownloadListColumns, LONG rowLower = 0, LONG columnLower = 0)
        : m_rowLower(rowLower), m_columnLower(columnLower)
    {
        m_list->vt = VT_ARRAY | VT_VARIANT;
        m_list->parray = MakeArray(VT_VARIANT, rows, columns, rowLower, columnLower);
    }

    // Puts a copy of `value` at (row, column), counted from 0.
    void Set(LONG row, LONG column, const unique_variant& value)
    {
        LONG indices[2] = {m_rowLower + row, m_columnLower + column};
        ASSERT_EQ(::SafeArrayPutElement(m_list->parray, indices, const_cast<VARIANT*>(value.get())), S_OK);
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

    // Stores `cell` at (row, column) as it is, without the copy that would
    // follow its type; the list owns it then (and frees its array by the array's
    // own descriptor).
    void Adopt(LONG row, LONG column, VARIANT cell)
    {
        LONG indices[2] = {m_rowLower + row, m_columnLower + column};
        void* element = nullptr;
        ASSERT_EQ(::SafeArrayPtrOfIndex(m_list->parray, indices, &element), S_OK);
        ::VariantClear(static_cast<VARIANT*>(element));
        *static_cast<VARIANT*>(element) = cell;
    }

    VARIANT& Variant() { return *m_list.get(); }

private:
    unique_variant m_list;
    LONG m_rowLower;
    LONG m_columnLower;
};

using Records = std::vector<std::unique_ptr<CTolInfoDownload>>;

std::wstring TextOf(const unique_bstr& text) { return text ? std::wstring(text.get(), text.length()) : L""; }

// An icon of our own, independent of what the shell has.
unique_hicon MakeIcon()
{
    BYTE andMask[16 * 16 / 8];
    BYTE xorMask[16 * 16 / 8];
    std::fill(std::begin(andMask), std::end(andMask), 0xF0);
    std::fill(std::begin(xorMask), std::end(xorMask), 0x0F);
    return unique_hicon(::CreateIcon(::GetModuleHandleW(nullptr), 16, 16, 1, 1, andMask, xorMask));
}

bool IsIcon(HICON icon)
{
    ICONINFO info = {};
    if (!::GetIconInfo(icon, &info))
        return false;
    unique_hbitmap mask(info.hbmMask);
    unique_hbitmap color(info.hbmColor);
    return true;
}

std::string TempFolder()
{
    char folder[MAX_PATH + 1] = {};
    ::GetTempPathA(MAX_PATH + 1, folder);
    return folder;
}

bool FileExists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

// --- the record ---------------------------------------------------------------------

TEST(DownloadRecordTest, NewRecordHasDefaults)
{
    CTolInfoDownload record;
    EXPECT_FALSE(record.url);
    EXPECT_FALSE(record.path);
    EXPECT_EQ(record.state, 8);
    EXPECT_EQ(record.priority, 3);
    EXPECT_EQ(record.id, -1);
    EXPECT_EQ(record.totalSize, 0u);
    EXPECT_EQ(record.loadedSize, 0u);
    EXPECT_EQ(record.currentSpeed, -1);
    EXPECT_EQ(record.averageSpeed, -1);
    EXPECT_EQ(record.resumable, 0);
    EXPECT_EQ(record.progress, -1.0);
    EXPECT_EQ(record.remaining, (TimeSpan{0.0, false}));
    EXPECT_EQ(record.elapsed, (TimeSpan{0.0, true}));
    EXPECT_FALSE(record.fresh);
    EXPECT_FALSE(record.icon);
    EXPECT_TRUE(record.sections.empty());
}

TEST(DownloadRecordTest, ResetForgetsTransferButKeepsIdentity)
{
    CTolInfoDownload record;
    record.url.reset(::SysAllocString(L"http://a/b"));
    record.path.reset(::SysAllocString(L"C:\\b"));
    record.state = 0x12;
    record.priority = 5;
    record.id = 42;
    record.totalSize = 10;
    record.loadedSize = 5;
    record.currentSpeed = 3;
    record.averageSpeed = 4;
    record.resumable = 2;
    record.progress = 0.5;
    record.remaining = TimeSpan{0.1, true};
    record.elapsed = TimeSpan{0.2, false};
    record.fresh = true;
    record.icon = MakeIcon();
    record.sections.push_back({1, 2, 1, false});

    record.Reset();
    EXPECT_EQ(TextOf(record.url), L"http://a/b");
    EXPECT_EQ(TextOf(record.path), L"C:\\b");
    EXPECT_EQ(record.state, 0x12);
    EXPECT_EQ(record.priority, 5);
    EXPECT_EQ(record.id, 42);
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

TEST(DownloadRecordTest, CopyIsIndependentOfTheOriginal)
{
    auto original = std::make_unique<CTolInfoDownload>();
    original->url.reset(::SysAllocString(L"http://example.com/a.zip"));
    original->path.reset(::SysAllocString(L"C:\\downloads\\a.zip"));
    original->state = 0x14;
    original->priority = 2;
    original->id = 9;
    original->totalSize = 300;
    original->loadedSize = 100;
    original->currentSpeed = 11;
    original->averageSpeed = 12;
    original->resumable = 1;
    original->progress = 1.0 / 3.0;
    original->remaining = TimeSpan{0.5, true};
    original->elapsed = TimeSpan{4e6, false};
    original->fresh = true;
    original->icon = MakeIcon();
    ASSERT_TRUE(original->icon);
    original->sections = {{100, 0, 100, true}, {200, 100, 0, false}};

    std::unique_ptr<CTolInfoDownload> copy;
    ASSERT_EQ(CTolInfoDownload::Clone(*original, copy), S_OK);
    ASSERT_TRUE(copy);
    EXPECT_NE(copy->url.get(), original->url.get());
    EXPECT_NE(copy->path.get(), original->path.get());
    EXPECT_NE(copy->icon.get(), original->icon.get());
    EXPECT_EQ(copy->state, 0x14);
    EXPECT_EQ(copy->priority, 2);
    EXPECT_EQ(copy->id, 9);
    EXPECT_EQ(copy->totalSize, 300u);
    EXPECT_EQ(copy->loadedSize, 100u);
    EXPECT_EQ(copy->currentSpeed, 11);
    EXPECT_EQ(copy->averageSpeed, 12);
    EXPECT_EQ(copy->resumable, 1);
    EXPECT_EQ(copy->progress, 1.0 / 3.0);
    EXPECT_EQ(copy->remaining, (TimeSpan{0.5, true}));
    EXPECT_EQ(copy->elapsed, (TimeSpan{4e6, false}));
    EXPECT_TRUE(copy->fresh);

    original->sections[0].loaded = 0;
    original.reset();
    // Everything the copy holds is its own and outlives the original.
    EXPECT_EQ(TextOf(copy->url), L"http://example.com/a.zip");
    EXPECT_EQ(TextOf(copy->path), L"C:\\downloads\\a.zip");
    EXPECT_TRUE(IsIcon(copy->icon.get()));
    ASSERT_EQ(copy->sections.size(), 2u);
    EXPECT_EQ(copy->sections[0].loaded, 100u);
    EXPECT_TRUE(copy->sections[0].done);
    EXPECT_EQ(copy->sections[1].origin, 100u);
}

TEST(DownloadRecordTest, CopyOfANewRecordHasNoStringsOrIcon)
{
    CTolInfoDownload original;
    std::unique_ptr<CTolInfoDownload> copy;
    ASSERT_EQ(CTolInfoDownload::Clone(original, copy), S_OK);
    EXPECT_FALSE(copy->url);
    EXPECT_FALSE(copy->path);
    EXPECT_FALSE(copy->icon);
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

TEST(DownloadRecordTest, TimeSpanLimit)
{
    const struct
    {
        double days;
        bool valid;
    } cases[] = {
        {0.0, true}, {3615897.0, true}, {-3615897.0, true}, {3615898.0, false}, {-3615898.0, false},
        {std::nan(""), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TimeSpan::FromDays(c.days).valid, c.valid) << c.days;
}

// --- records from the engine's list --------------------------------------------

TEST(DownloadListTest, RowWithSectionsFillsEveryField)
{
    Row row;
    // {origin, unread, ... } in column order: origin 0, length 1, (2 unread), loaded 3.
    row.sections = {{0, 600, 77, 600}, {600, 400, 77, 100}, {1000, 0, 77, 0}};
    List list(1);
    list.SetRow(0, row);

    Records records;
    ASSERT_EQ(MakeRecordsFromList(list.Variant(), records), S_OK);
    ASSERT_EQ(records.size(), 1u);
    const CTolInfoDownload& record = *records[0];
    EXPECT_EQ(record.id, 7);
    EXPECT_EQ(TextOf(record.url), L"http://example.com/file.zip");
    EXPECT_EQ(TextOf(record.path), L"C:\\no such folder\\file.zip");
    EXPECT_EQ(record.state, 2);
    EXPECT_EQ(record.priority, 1);
    EXPECT_EQ(record.elapsed, (TimeSpan{0.25, true}));
    EXPECT_EQ(record.totalSize, 1000u);
    EXPECT_EQ(record.resumable, 1);
    EXPECT_EQ(record.loadedSize, 250u);
    EXPECT_EQ(record.averageSpeed, 100);
    EXPECT_EQ(record.currentSpeed, 120);
    EXPECT_EQ(record.progress, 0.25);
    EXPECT_FALSE(record.remaining.valid);
    EXPECT_FALSE(record.fresh);

    ASSERT_EQ(record.sections.size(), 3u);
    const struct
    {
        ULONG origin, length, loaded;
        bool done;
    } expected[] = {{0, 600, 600, true}, {600, 400, 100, false}, {1000, 0, 0, true}};
    for (size_t i = 0; i < 3; ++i)
    {
        EXPECT_EQ(record.sections[i].origin, expected[i].origin) << i;
        EXPECT_EQ(record.sections[i].length, expected[i].length) << i;
        EXPECT_EQ(record.sections[i].loaded, expected[i].loaded) << i;
        EXPECT_EQ(record.sections[i].done, expected[i].done) << i;
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
        {"empty file name: the folder alone",
         [](Row& r) { r.fileName = L""; },
         [](const CTolInfoDownload& d) { EXPECT_EQ(TextOf(d.path), L"C:\\no such folder\\"); }},
        {"size 0: progress unknown",
         [](Row& r) { r.totalSize = 0; r.loadedSize = 500; },
         [](const CTolInfoDownload& d) { EXPECT_EQ(d.progress, -1.0); }},
        {"more loaded than the size: progress unknown",
         [](Row& r) { r.totalSize = 1000; r.loadedSize = 1001; },
         [](const CTolInfoDownload& d) { EXPECT_EQ(d.progress, -1.0); }},
        {"all loaded",
         [](Row& r) { r.totalSize = 1000; r.loadedSize = 1000; },
         [](const CTolInfoDownload& d) { EXPECT_EQ(d.progress, 1.0); }},
        {"sizes beyond 2 GB are unsigned",
         [](Row& r) { r.totalSize = 0xFFFFFFFF; r.loadedSize = 0x80000000; },
         [](const CTolInfoDownload& d) {
             EXPECT_EQ(d.totalSize, 0xFFFFFFFFu);
             EXPECT_DOUBLE_EQ(d.progress, 2147483648.0 / 4294967295.0);
         }},
        {"elapsed beyond the limit: invalid",
         [](Row& r) { r.elapsed = 3615898.0; },
         [](const CTolInfoDownload& d) { EXPECT_EQ(d.elapsed, (TimeSpan{3615898.0, false})); }},
        {"elapsed at the limit: valid",
         [](Row& r) { r.elapsed = -3615897.0; },
         [](const CTolInfoDownload& d) { EXPECT_EQ(d.elapsed, (TimeSpan{-3615897.0, true})); }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        Row row;
        c.change(row);
        List list(1);
        list.SetRow(0, row);
        Records records;
        ASSERT_EQ(MakeRecordsFromList(list.Variant(), records), S_OK);
        ASSERT_EQ(records.size(), 1u);
        c.check(*records[0]);
    }
}

// Kinds of values the engine may use for the columns besides the usual ones.
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
        {"VT_NULL file name", kColumnFileName,
         [] {
             unique_variant v;
             v->vt = VT_NULL;
             return v;
         },
         [](const CTolInfoDownload& d) { EXPECT_EQ(TextOf(d.path), L"C:\\no such folder\\"); }},
        {"null BSTR folder", kColumnFolder,
         [] {
             unique_variant v;
             v->vt = VT_BSTR;
             v->bstrVal = nullptr;
             return v;
         },
         [](const CTolInfoDownload& d) { EXPECT_EQ(TextOf(d.path), L"file.zip"); }},
        {"section array without rows", kColumnSections, [] { return Sections({}); },
         [](const CTolInfoDownload& d) { EXPECT_TRUE(d.sections.empty()); }},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        List list(1);
        list.SetRow(0, Row());
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
        List list(3, kDownloadListColumns + 2, lower, lower);
        for (LONG r = 0; r < 3; ++r)
        {
            Row row;
            row.id = 100 + r;
            list.SetRow(r, row);
        }
        Records records;
        ASSERT_EQ(MakeRecordsFromList(list.Variant(), records), S_OK);
        ASSERT_EQ(records.size(), 3u);
        for (LONG r = 0; r < 3; ++r)
            EXPECT_EQ(records[r]->id, 100 + r);
    }
}

TEST(DownloadListTest, EmptyListMakesNoRecords)
{
    List list(0);
    Records records;
    records.push_back(std::make_unique<CTolInfoDownload>());
    ASSERT_EQ(MakeRecordsFromList(list.Variant(), records), S_OK);
    EXPECT_TRUE(records.empty());
}

TEST(DownloadListTest, OneRowOfAnEventArray)
{
    List list(2);
    Row first;
    first.id = 1;
    Row second;
    second.id = 2;
    second.fileName = L"";
    list.SetRow(0, first);
    list.SetRow(1, second);
    std::unique_ptr<CTolInfoDownload> record;
    ASSERT_EQ(MakeRecordFromRow(list.Variant().parray, 1, record), S_OK);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->id, 2);
    EXPECT_EQ(MakeRecordFromRow(list.Variant().parray, 2, record), E_INVALIDARG);
    EXPECT_FALSE(record);
}

// The engine is another program: a list that is not what the column table says
// is refused as a whole, and nothing of it is read as something else.
TEST(DownloadListTest, MalformedListsAreRejected)
{
    const struct
    {
        const char* name;
        std::function<void(List&)> damage;
    } cells[] = {
        {"text in the id column", [](List& l) { l.Set(1, kColumnId, Text(L"7")); }},
        {"16-bit state", [](List& l) { l.Set(1, kColumnState, Int(2, VT_I2)); }},
        {"double size", [](List& l) { l.Set(1, kColumnTotalSize, Days(10.0)); }},
        {"missing id", [](List& l) { l.Set(1, kColumnId, unique_variant()); }},
        {"number in the url column", [](List& l) { l.Set(1, kColumnUrl, Int(1)); }},
        {"float elapsed", [](List& l) {
             unique_variant v;
             v->vt = VT_R4;
             v->fltVal = 1.0f;
             l.Set(1, kColumnElapsed, v);
         }},
        {"integer by reference", [](List& l) {
             static LONG value = 3;
             unique_variant v;
             v->vt = VT_BYREF | VT_I4;
             v->plVal = &value;
             l.Set(1, kColumnLoadedSize, v);
         }},
        {"text by reference", [](List& l) {
             static BSTR text = ::SysAllocString(L"x");
             unique_variant v;
             v->vt = VT_BYREF | VT_BSTR;
             v->pbstrVal = &text;
             l.Set(1, kColumnFolder, v);
         }},
        {"signed section array", [](List& l) {
             unique_variant v;
             v->vt = VT_ARRAY | VT_I4;
             v->parray = MakeArray(VT_I4, 1, 4);
             l.Set(1, kColumnSections, v);
         }},
        {"section array of variants", [](List& l) {
             unique_variant v;
             v->vt = VT_ARRAY | VT_VARIANT;
             v->parray = MakeArray(VT_VARIANT, 1, 4);
             l.Set(1, kColumnSections, v);
         }},
        {"one-dimensional section array", [](List& l) {
             SAFEARRAYBOUND bound = {4, 0};
             unique_variant v;
             v->vt = VT_ARRAY | VT_UI4;
             v->parray = ::SafeArrayCreate(VT_UI4, 1, &bound);
             l.Set(1, kColumnSections, v);
         }},
        {"section array of three columns", [](List& l) {
             unique_variant v;
             v->vt = VT_ARRAY | VT_UI4;
             v->parray = MakeArray(VT_UI4, 2, 3);
             l.Set(1, kColumnSections, v);
         }},
        {"null sections", [](List& l) {
             unique_variant v;
             v->vt = VT_NULL;
             l.Set(1, kColumnSections, v);
         }},
        {"section cell naming another element type than its array's", [](List& l) {
             // The cell claims unsigned elements; the array holds texts.
             VARIANT cell;
             ::VariantInit(&cell);
             cell.vt = VT_ARRAY | VT_UI4;
             cell.parray = MakeArray(VT_BSTR, 1, 4);
             l.Adopt(1, kColumnSections, cell);
         }},
    };
    for (const auto& c : cells)
    {
        SCOPED_TRACE(c.name);
        List list(3);
        for (LONG r = 0; r < 3; ++r)
            list.SetRow(r, Row());
        c.damage(list);
        Records records;
        records.push_back(std::make_unique<CTolInfoDownload>());
        CTolInfoDownload* sentinel = records[0].get();
        EXPECT_EQ(MakeRecordsFromList(list.Variant(), records), E_INVALIDARG);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].get(), sentinel);
    }
}

TEST(DownloadListTest, ListsOfAnotherShapeAreRejected)
{
    const struct
    {
        const char* name;
        std::function<void(unique_variant&)> make;
    } lists[] = {
        {"not an array", [](unique_variant& v) { v->vt = VT_I4; }},
        {"empty", [](unique_variant&) {}},
        {"null array", [](unique_variant& v) { v->vt = VT_ARRAY | VT_VARIANT; v->parray = nullptr; }},
        {"one dimension", [](unique_variant& v) {
             SAFEARRAYBOUND bound = {15, 0};
             v->vt = VT_ARRAY | VT_VARIANT;
             v->parray = ::SafeArrayCreate(VT_VARIANT, 1, &bound);
         }},
        {"three dimensions", [](unique_variant& v) {
             SAFEARRAYBOUND bounds[3] = {{1, 0}, {15, 0}, {1, 0}};
             v->vt = VT_ARRAY | VT_VARIANT;
             v->parray = ::SafeArrayCreate(VT_VARIANT, 3, bounds);
         }},
        {"fourteen columns", [](unique_variant& v) {
             v->vt = VT_ARRAY | VT_VARIANT;
             v->parray = MakeArray(VT_VARIANT, 1, kDownloadListColumns - 1);
         }},
        {"texts instead of variants", [](unique_variant& v) {
             v->vt = VT_ARRAY | VT_BSTR;
             v->parray = MakeArray(VT_BSTR, 1, kDownloadListColumns);
         }},
        {"variant naming another element type than its array's", [](unique_variant& v) {
             v->vt = VT_ARRAY | VT_VARIANT;
             v->parray = MakeArray(VT_I4, 1, kDownloadListColumns);
         }},
    };
    for (const auto& c : lists)
    {
        SCOPED_TRACE(c.name);
        unique_variant list;
        c.make(list);
        Records records;
        EXPECT_EQ(MakeRecordsFromList(*list.get(), records), E_INVALIDARG);
        EXPECT_TRUE(records.empty());
    }
}

TEST(DownloadListTest, ListByReferenceIsRejected)
{
    List list(1);
    list.SetRow(0, Row());
    VARIANT byReference;
    ::VariantInit(&byReference);
    byReference.vt = VT_BYREF | VT_ARRAY | VT_VARIANT;
    byReference.pparray = &list.Variant().parray;
    Records records;
    EXPECT_EQ(MakeRecordsFromList(byReference, records), E_INVALIDARG);
    EXPECT_TRUE(records.empty());
}

// A descriptor claiming more elements than any address space holds is refused
// before anything is read through it.
TEST(DownloadListTest, ImpossibleDimensionsAreRejected)
{
    SAFEARRAY* descriptor = nullptr;
    ASSERT_EQ(::SafeArrayAllocDescriptorEx(VT_VARIANT, 2, &descriptor), S_OK);
    VARIANT cells[kDownloadListColumns] = {};
    descriptor->cbElements = sizeof(VARIANT);
    descriptor->rgsabound[0] = {kDownloadListColumns, 0};  // columns: the last dimension
    descriptor->rgsabound[1] = {0x10000000, 0};             // rows
    descriptor->pvData = cells;
    descriptor->fFeatures |= FADF_STATIC;
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

// Wine 8 gives .ini files an icon (checked), so the stand-in can be seen working.
TEST(FileIconTest, FileNotYetSavedIsStoodInForByATemporaryFile)
{
    char windows[MAX_PATH] = {};
    ::GetWindowsDirectoryA(windows, MAX_PATH);
    unique_hicon existing = LookUpFileIcon(std::string(windows) + "\\win.ini");
    ASSERT_TRUE(existing) << "no icon for win.ini";

    const std::string standIn = TempFolder() + "_tdm-icon-probe.ini";
    ::DeleteFileA(standIn.c_str());
    unique_hicon missing = LookUpFileIcon("C:\\no such folder\\tdm-icon-probe.ini");
    EXPECT_TRUE(missing);
    EXPECT_FALSE(FileExists(standIn)) << "stand-in left behind";

    // A file of that name that was there before is used and left alone.
    {
        unique_file file(::CreateFileA(standIn.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(file);
    }
    EXPECT_TRUE(LookUpFileIcon("D:\\other\\tdm-icon-probe.ini"));
    EXPECT_TRUE(FileExists(standIn));
    ::DeleteFileA(standIn.c_str());
}

TEST(FileIconTest, RecordLooksTheIconUpFromItsPath)
{
    char windows[MAX_PATH] = {};
    ::GetWindowsDirectoryA(windows, MAX_PATH);
    const std::wstring folder = WideFromNarrow(std::string(windows) + "\\");
    const struct
    {
        const wchar_t* fileName;
        bool icon;
    } cases[] = {{L"win.ini", true}, {L"", false}};
    for (const auto& c : cases)
    {
        Row row;
        row.folder = folder.c_str();
        row.fileName = c.fileName;
        List list(1);
        list.SetRow(0, row);
        Records records;
        ASSERT_EQ(MakeRecordsFromList(list.Variant(), records), S_OK);
        EXPECT_EQ(static_cast<bool>(records[0]->icon), c.icon) << c.fileName;
    }
}
