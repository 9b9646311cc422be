// The download table: the records by id, kept in downloads.json of the data
// folder with downloads.journal for the ones added, changed or removed since, the list the
// clients read, and the session a starting aria2 loads, made from the table.
#include "engine_server/engine_core.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "engine_server/aria2_session.h"
#include "engine_server/engine_events.h"
#include "engine_server/local_paths.h"
#include "engine_server/engine_text.h"
#include "framework/error.h"
#include "framework/unique_any.h"

namespace tdm::engine {

using nlohmann::json;
using Phase = TransferStatus::Phase;

// A row of the table (and of the journal) and back.
json CEngineCore::RowOf(const Download& d)
{
    return {{"id", d.id},           {"gid", d.gid},
            {"url", Utf8FromWide(d.url)}, {"folder", Utf8FromWide(d.folder)},
            {"fileName", Utf8FromWide(d.fileName)}, {"nameGiven", d.nameGiven},
            {"staging", Utf8FromWide(d.staging)}, {"partName", Utf8FromWide(d.partName)},
            {"state", d.state},     {"elapsed", d.elapsedDays},
            {"total", d.totalSize}, {"loaded", d.loadedSize},
            {"resumable", d.resumable}, {"attempts", d.attempts},
            {"restarts", d.restarts}, {"credentialsAsked", d.credentialsAsked},
            {"owner", d.owner},     {"scope", d.scope},
            {"hadError", d.hadError}, {"fileInfoSent", d.fileInfoSent},
            {"cookie", Utf8FromWide(d.cookie)}, {"referrer", Utf8FromWide(d.headers.referrer)},
            {"userAgent", Utf8FromWide(d.headers.userAgent)}, {"options", OptionsToJson(d.options)}};
}

void CEngineCore::TakeRow(const json& row)
{
    Download d;
    d.id = Member(row, "id", 0L);
    if (d.id <= 0)
        return;
    d.gid = Member(row, "gid", std::string());
    d.url = Member(row, "url", std::wstring());
    d.folder = WithSeparator(Member(row, "folder", std::wstring()));
    d.fileName = Member(row, "fileName", std::wstring());
    d.nameGiven = Member(row, "nameGiven", false);
    d.staging = Member(row, "staging", std::wstring());
    d.partName = Member(row, "partName", std::wstring());
    d.state = Member(row, "state", kStateStopped);
    d.elapsedDays = Member(row, "elapsed", 0.0);
    d.totalSize = Member(row, "total", uint32_t{0});
    d.loadedSize = Member(row, "loaded", uint32_t{0});
    d.resumable = Member(row, "resumable", kResumeNotKnown);
    d.attempts = Member(row, "attempts", 0L);
    d.restarts = Member(row, "restarts", 0L);
    d.credentialsAsked = Member(row, "credentialsAsked", false);
    d.owner = Member(row, "owner", 0L);
    d.scope = Member(row, "scope", 2L);
    d.hadError = Member(row, "hadError", false);
    d.fileInfoSent = Member(row, "fileInfoSent", false);
    d.cookie = Member(row, "cookie", std::wstring());
    d.headers = {Member(row, "referrer", std::wstring()), Member(row, "userAgent", std::wstring())};
    if (HeadersProblem(d.headers))
        d.headers = {};  // the file is not trusted: such headers never reach aria2
    d.options = OptionsFromJson(row.value("options", json::object()));
    d.phase = d.state & kStateComplete ? (d.state & kStateError ? Phase::Error : Phase::Complete) : Phase::Paused;
    m_nextId = std::max(m_nextId, d.id + 1);
    m_downloads.insert_or_assign(d.id, std::move(d));  // a journal line is newer than the table's
}

HRESULT CEngineCore::LoadTable() noexcept
try
{
    const std::string text = ReadWholeFile(m_dataFolder + L"\\downloads.json");
    const json table = text.empty() ? json::object() : json::parse(text, nullptr, false);
    RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), !table.is_object());
    m_nextId = std::max<long>(1, Member(table, "nextId", 1L));
    const auto rows = table.find("downloads");
    if (rows != table.end() && rows->is_array())
        for (const json& row : *rows)
            TakeRow(row);
    // The rows added or changed after the table was last saved, and the ids
    // removed, one line each (the last one may be cut by a crash: it is no
    // object and is left).
    const std::string journal = ReadWholeFile(JournalPath());
    for (size_t start = 0; start < journal.size();)
    {
        size_t end = journal.find('\n', start);
        if (end == std::string::npos)
            end = journal.size();
        const json row = json::parse(journal.substr(start, end - start), nullptr, false);
        start = end + 1;
        if (!row.is_object())
            continue;
        if (Member(row, "removed", false))
        {
            const long id = Member(row, "id", 0L);
            m_downloads.erase(id);
            m_nextId = std::max(m_nextId, id + 1);  // ids are not given twice
        }
        else
            TakeRow(row);
        m_tableDirty = true;
    }
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

void CEngineCore::SaveTable() noexcept
try
{
    json rows = json::array();
    for (const auto& [id, d] : m_downloads)
        rows.push_back(RowOf(d));
    m_changes = false;
    for (auto& [id, d] : m_downloads)
        d.changed = false;
    const json table = {{"nextId", m_nextId}, {"downloads", std::move(rows)}};
    if (FAILED(LOG_IF_FAILED(ReplaceFileContent(m_dataFolder + L"\\downloads.json",
                                                table.dump(-1, ' ', false, json::error_handler_t::replace)))))
        return;
    m_tableDirty = false;
    m_journalLines = 0;
    // The table holds every download of the journal now.
    if (m_journal)
    {
        LARGE_INTEGER start = {};
        if (!::SetFilePointerEx(m_journal.get(), start, nullptr, FILE_BEGIN) || !::SetEndOfFile(m_journal.get()))
            (void)TraceFailure(HRESULT_FROM_WIN32(::GetLastError()), __FILE__, __LINE__, "the journal was not emptied");
    }
    else
        ::DeleteFileW(JournalPath().c_str());
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

// A line goes into the journal at once: a new download before its add
// returns, a move, a removal; the rows changed by operations and polls at the
// next poll. However many downloads there are, a change writes one line. A
// journal that cannot be written gives way to the whole table.
bool CEngineCore::AppendToJournal(const std::string& line) noexcept
try
{
    if (!m_journal)
    {
        // The engine alone writes it: its file pointer stays at the end.
        m_journal.reset(::CreateFileW(JournalPath().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER end = {};
        if (m_journal && !::SetFilePointerEx(m_journal.get(), end, nullptr, FILE_END))
            m_journal.reset();
    }
    DWORD written = 0;
    if (m_journal && ::WriteFile(m_journal.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
        written == line.size())
    {
        ++m_journalLines;
        m_lastJournaled = ::GetTickCount();
        return true;
    }
    m_journal.reset();
    return false;
}
catch (...)
{
    return false;
}

void CEngineCore::Journal(Download& d) noexcept
try
{
    d.changed = false;
    if (!AppendToJournal(RowOf(d).dump(-1, ' ', false, json::error_handler_t::replace) + "\n"))
        SaveTable();
}
catch (...)
{
    SaveTable();
}

void CEngineCore::JournalRemoval(long id) noexcept
try
{
    if (!AppendToJournal(json({{"id", id}, {"removed", true}}).dump() + "\n"))
        SaveTable();
}
catch (...)
{
    SaveTable();
}

// The changed rows to the journal, or the whole table when it is due.
void CEngineCore::SaveChanges() noexcept
{
    if (m_tableDirty || m_journalLines >= kJournalLinesToSave)
        return SaveTable();
    if (!m_changes)
        return;
    m_changes = false;
    for (auto& [id, d] : m_downloads)
        if (d.changed)
            Journal(d);
}

CEngineCore::Download* CEngineCore::Find(long id) noexcept
{
    const auto found = m_downloads.find(id);
    return found == m_downloads.end() ? nullptr : &found->second;
}

// What aria2 is to load: only downloads the engine follows, running as the
// engine has them running; the ended ones are added again when started.
std::string CEngineCore::SessionFromTable(std::string_view saved) const
{
    std::unordered_map<std::string_view, const Download*> byGid;
    byGid.reserve(m_downloads.size());
    for (const auto& [id, d] : m_downloads)
        if (!d.gid.empty())
            byGid.emplace(d.gid, &d);
    return FilterSession(saved, [&](std::string_view gid) {
        const auto found = byGid.find(gid);
        if (found == byGid.end() || (found->second->state & kStateComplete))
            return SessionFate::Drop;
        const Download& d = *found->second;
        const bool running = (d.state & (kStateRunning | kStateTransferring)) && !d.asking && d.settledName.empty();
        return running ? SessionFate::Run : SessionFate::Hold;
    });
}

// By the index of aria2's ids the poll made as it began.
CEngineCore::Download* CEngineCore::FindByGid(const std::string& gid) noexcept
{
    const auto found = m_byGid.find(gid);
    Download* d = found == m_byGid.end() ? nullptr : Find(found->second);
    return d && d->gid == gid ? d : nullptr;
}

HRESULT CEngineCore::SectionsVariant(const std::vector<SectionSpan>& sections, VARIANT& value) const noexcept
{
    ::VariantInit(&value);
    if (sections.empty())
        return S_OK;
    SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(sections.size()), 0}, {4, 0}};
    unique_safearray array(::SafeArrayCreate(VT_UI4, 2, bounds));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, array.get());
    for (LONG row = 0; row < static_cast<LONG>(sections.size()); ++row)
    {
        const SectionSpan& s = sections[static_cast<size_t>(row)];
        const ULONG cells[4] = {s.origin, s.length, s.speed, s.loaded};
        for (LONG column = 0; column < 4; ++column)
        {
            LONG index[2] = {row, column};
            ULONG cell = cells[column];
            RETURN_IF_FAILED(::SafeArrayPutElement(array.get(), index, &cell));
        }
    }
    V_VT(&value) = VT_ARRAY | VT_UI4;
    V_ARRAY(&value) = array.release();
    return S_OK;
}

HRESULT CEngineCore::MakeRow(const Download& d, SAFEARRAY* list, LONG row) const noexcept
try
{
    std::vector<EventArgument> cells;
    cells.reserve(15);
    cells.push_back(Long(d.id));
    cells.push_back(Text(d.url));
    cells.push_back(Text(d.folder));
    cells.push_back(Text(d.fileName));
    cells.push_back(Long(d.state));
    cells.push_back(Long(d.priority));
    cells.push_back(Double(d.elapsedDays));
    cells.push_back(Long(static_cast<long>(d.totalSize)));
    cells.push_back(Long(static_cast<long>(d.startLoaded)));
    cells.push_back(Long(d.resumable));
    cells.push_back(Long(d.attempts));
    cells.push_back(Long(static_cast<long>(d.loadedSize)));
    cells.push_back(Long(d.averageSpeed));
    cells.push_back(Long(d.currentSpeed));
    cells.emplace_back();
    RETURN_IF_FAILED(SectionsVariant(d.sections, *cells.back().value.get()));
    for (LONG column = 0; column < 15; ++column)
    {
        LONG index[2] = {row, column};
        RETURN_IF_FAILED(::SafeArrayPutElement(list, index, cells[static_cast<size_t>(column)].value.get()));
    }
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CEngineCore::GetDownloadList(VARIANT& list) noexcept
{
    ::VariantInit(&list);
    SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(m_downloads.size()), 0}, {15, 0}};
    unique_safearray array(::SafeArrayCreate(VT_VARIANT, 2, bounds));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, array.get());
    LONG row = 0;
    for (const auto& [id, d] : m_downloads)
        RETURN_IF_FAILED(MakeRow(d, array.get(), row++));
    V_VT(&list) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(&list) = array.release();
    return S_OK;
}

}  // namespace tdm::engine
