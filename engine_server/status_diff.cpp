// The status diff: each poll reads aria2's view of the downloads and turns
// what changed since the last one into the engine's events; and what the diff
// decides on its own (a restart from byte 0, a stop with an error).
#include "engine_server/engine_core.h"

#include <algorithm>

#include "engine_server/engine_events.h"
#include "engine_server/local_paths.h"
#include "engine_server/tls_trust.h"
#include "engine_server/engine_text.h"
#include "framework/error.h"
#include "framework/unique_any.h"

namespace tdm::engine {

using nlohmann::json;
using Phase = TransferStatus::Phase;

namespace {

constexpr double kSecondsPerDay = 86400.0;

// aria2's exit status of a download refused for its credentials.
constexpr int kAria2AuthorizationFailed = 24;

// aria2's exit status of a continued download whose server ignored the range.
constexpr int kAria2ResumeRefused = 8;

// How long one poll may wait for aria2.
constexpr DWORD kPollDeadlineMs = 3000;

// The HRESULT of a failed download: an HTTP status as FACILITY_HTTP, else a
// Win32 error for aria2's exit status.
HRESULT ErrorCodeFor(const TransferStatus& status, const std::wstring& url) noexcept
{
    constexpr int kFacilityHttp = 25;
    if (const int http = HttpStatusFromMessage(status.errorMessage))
        return MAKE_HRESULT(SEVERITY_ERROR, kFacilityHttp, http);
    if (const HRESULT certificate = CertificateErrorCode(status.errorMessage, status.errorCode))
        return certificate;
    // aria2's "resource not found" of an HTTP server is its 404.
    if (status.errorCode == 3 && url.compare(0, 4, L"http") == 0)
        return MAKE_HRESULT(SEVERITY_ERROR, kFacilityHttp, 404);
    switch (status.errorCode)
    {
    case 2: return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    case 3: return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    case 6: return HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED);
    case 9: return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    case 13: case 14: case 15: case 16: case 17: case 18: return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
    case 19: return HRESULT_FROM_WIN32(ERROR_BAD_NETPATH);
    case kAria2AuthorizationFailed: return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    default: return E_FAIL;
    }
}

}  // namespace

void CEngineCore::Resync() noexcept
try
{
    m_generation = m_backend.Generation();
    std::vector<std::pair<std::string, json>> calls;
    std::vector<long> ids;
    for (const auto& [id, d] : m_downloads)
        if (!d.gid.empty())
        {
            calls.emplace_back("aria2.tellStatus", json::array({d.gid, StatusKeys()}));
            ids.push_back(id);
        }
    json results = json::array();
    if (!calls.empty() && FAILED(m_backend.Multicall(calls, results)))
        return;
    for (size_t i = 0; i < ids.size(); ++i)
    {
        TransferStatus status;
        std::string error;
        const json& entry = results[i];
        if (entry.is_array() && entry.size() == 1 && ParseTransferStatus(entry[0], status, error))
        {
            ApplyStatus(ids[i], status);
            continue;
        }
        // aria2 no longer knows it (its session had not been saved): a download
        // that was running is added again under the same GID and continues.
        Download* d = Find(ids[i]);
        if (d && (d->state & (kStateRunning | kStateTransferring)))
        {
            json options = BackendOptions(*d);
            options["gid"] = d->gid;
            json result;
            if (SUCCEEDED(m_backend.Call("aria2.addUri", json::array({json::array({BackendUri(*d)}), options}),
                                         result)))
            {
                d->phase = Phase::Waiting;
                Log(*d, L"Continued after the download backend restarted");
            }
        }
    }
    m_tableDirty = true;
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

void CEngineCore::Poll() noexcept
try
{
    if (m_polling)
        return;
    m_polling = true;
    struct Reset { bool& flag; ~Reset() { flag = false; } } reset{m_polling};
    // A slow or hung aria2 keeps the main thread from the clients' calls for a
    // few seconds at most.
    const CAria2Link::CallDeadline deadline(m_backend, kPollDeadlineMs);

    if (FAILED(m_backend.EnsureRunning()))
        return;
    if (m_backend.Generation() != m_generation)
        Resync();

    // The running downloads come with tellActive; a download that was running
    // and is gone from it has stopped, been paused or gone back to waiting;
    // downloads that end between two polls show in aria2's stopped list.
    json results;
    const json keys = StatusKeys();
    if (FAILED(m_backend.Multicall({{"aria2.tellActive", json::array({keys})},
                                    {"aria2.tellStopped", json::array({-1, 1000, json::array({"gid", "status"})})}},
                                   results)))
        return;
    std::vector<TransferStatus> active, stopped;
    std::string error;
    if (!results[0].is_array() || results[0].size() != 1 || !ParseTransferStatusList(results[0][0], active, error) ||
        !results[1].is_array() || results[1].size() != 1 || !ParseTransferStatusList(results[1][0], stopped, error))
    {
        TraceToDebugger(__FILE__, __LINE__, error.c_str());
        return;
    }
    m_byGid.clear();
    m_byGid.reserve(m_downloads.size());
    for (const auto& [id, d] : m_downloads)
        if (!d.gid.empty())
            m_byGid.emplace(d.gid, id);
    RemoveForeignDownloads(active, stopped);
    std::vector<std::pair<long, TransferStatus>> updates;
    std::vector<long> recheck;
    for (TransferStatus& status : active)
        if (Download* d = FindByGid(status.gid))
            updates.emplace_back(d->id, std::move(status));
    for (const TransferStatus& status : stopped)
        if (Download* d = FindByGid(status.gid))
            if (d->phase == Phase::Active || d->phase == Phase::Waiting)
                recheck.push_back(d->id);
    for (auto& [id, d] : m_downloads)
        if (d.phase == Phase::Active && std::none_of(updates.begin(), updates.end(),
                                                     [&](const auto& u) { return u.first == id; }) &&
            std::find(recheck.begin(), recheck.end(), id) == recheck.end())
            recheck.push_back(id);
    if (!recheck.empty())
    {
        std::vector<std::pair<std::string, json>> calls;
        for (long id : recheck)
            calls.emplace_back("aria2.tellStatus", json::array({Find(id)->gid, keys}));
        json statuses;
        if (SUCCEEDED(m_backend.Multicall(calls, statuses)))
            for (size_t i = 0; i < recheck.size(); ++i)
            {
                TransferStatus status;
                if (statuses[i].is_array() && statuses[i].size() == 1 && ParseTransferStatus(statuses[i][0], status, error))
                    updates.emplace_back(recheck[i], std::move(status));
            }
    }
    for (const auto& [id, status] : updates)
        ApplyStatus(id, status);
    // What changed goes into the journal, a line a download: the whole table
    // follows once the changes pause or the journal is long, not at every
    // poll of a busy engine.
    SaveChanges();
    if (m_journalLines && ::GetTickCount() - m_lastJournaled >= kJournalQuietMs)
        SaveTable();
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

// Downloads aria2 reports that the engine did not add (one that a server's
// answer made aria2 start on its own) are stopped and forgotten; results of
// ended downloads the engine no longer follows are dropped from the session.
void CEngineCore::RemoveForeignDownloads(const std::vector<TransferStatus>& active,
                                         const std::vector<TransferStatus>& stopped) noexcept
try
{
    json result;
    for (const TransferStatus& status : active)
        if (!FindByGid(status.gid))
        {
            (void)m_backend.Call("aria2.forceRemove", json::array({status.gid}), result);
            LogEngine(L"aria2 ran a download the engine did not add (" + WideFromUtf8(status.gid) + L", " +
                      m_backend.FromBackendPath(status.path) + L"): removed");
        }
    for (const TransferStatus& status : stopped)
        if (!FindByGid(status.gid))
            (void)m_backend.Call("aria2.removeDownloadResult", json::array({status.gid}), result);
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

void CEngineCore::ApplyStatus(long id, const TransferStatus& status) noexcept
try
{
    Download* d = Find(id);
    if (!d || d->gid != status.gid)
        return;
    // A question about it is open: it waits for the answer.
    if (d->asking)
        return;
    if (status.phase == Phase::Error && status.errorCode == kAria2AuthorizationFailed && d->phase != Phase::Error)
    {
        AskCredentials(id, status);
        return;
    }
    if (status.phase == Phase::Error && status.errorCode == kAria2ResumeRefused && d->phase != Phase::Error)
    {
        // A server that keeps promising more than it sends would be asked
        // for the whole file again and again: the retries bound it.
        if (d->restarts < std::clamp(d->options.retries, 0L, 99L))
        {
            ++d->restarts;
            RestartFromScratch(id);
            return;
        }
        json result;
        (void)m_backend.Call("aria2.removeDownloadResult", json::array({d->gid}), result);
        StopWithError(id, HRESULT_FROM_WIN32(ERROR_INVALID_DATA),
                      L"The server does not send the data it announces: the download was started again " +
                          std::to_wstring(d->restarts) + L" times from byte 0 and is stopped.");
        return;
    }
    // Complete means the file is at its place: a download that aria2 reports
    // complete without it (a name the file system changed) is an error.
    const bool ended = status.phase == Phase::Complete && d->phase != Phase::Complete && d->staging.empty();
    const std::wstring written = !ended || d->fileName.empty() ? std::wstring()
                                 : status.hasPath && !status.path.empty() ? m_backend.FromBackendPath(status.path)
                                                                          : d->folder + d->fileName;
    if (!written.empty() && !FileExists(ExtendedPath(written)))
    {
        json result;
        (void)m_backend.Call("aria2.removeDownloadResult", json::array({d->gid}), result);
        StopWithError(id, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), L"The download ended, but its file is not at " + written + L".");
        return;
    }
    // Loaded beside a file the user agreed to replace: now it replaces it.
    const bool loadedAside = !d->partName.empty() && d->staging.empty();
    if (status.phase == Phase::Complete && loadedAside)
    {
        if (const HRESULT hr = ReplaceWithPart(*d); FAILED(hr))
        {
            StopWithError(id, hr, WideFromUtf8(m_lastError));
            return;
        }
    }
    // The server has named the file (or it is loaded already): the name is
    // settled before anything else is reported.
    if (!d->staging.empty() && status.hasPath && !status.path.empty() &&
        ((status.phase == Phase::Active && status.totalLength) || status.phase == Phase::Complete ||
         (status.phase == Phase::Paused && !d->settledName.empty())))
    {
        AskFileName(id, status);
        return;
    }
    std::vector<std::pair<DISPID, std::vector<EventArgument>>> events;
    const auto claimed = [&](DISPID dispid, std::vector<EventArgument> arguments) {
        arguments.push_back(Flag(false, true));
        events.emplace_back(dispid, std::move(arguments));
    };
    const DWORD now = ::GetTickCount();
    const bool wasActive = d->phase == Phase::Active;
    const long oldState = d->state;
    const uint32_t oldLoaded = d->loadedSize;
    double remaining = -1.0;  // days; -1: unknown
    const bool wasComplete = (oldState & kStateComplete) && !(oldState & kStateError);
    if (wasActive || status.phase == Phase::Active)
    {
        const double seconds = (now - d->lastTick) / 1000.0;
        if (wasActive)
        {
            d->elapsedDays += seconds / kSecondsPerDay;
            d->transferSeconds += seconds;
        }
    }
    d->lastTick = now;
    d->phase = status.phase;
    if (status.totalLength)
        d->totalSize = Clamp32(status.totalLength);
    if (status.completedLength || status.phase == Phase::Active)
        d->loadedSize = Clamp32(status.completedLength);
    d->state = StateFromStatus(status, d->hadError);
    if (status.phase == Phase::Error)
        d->hadError = true;

    // The file: aria2 names it from the address, a redirection or the
    // server's Content-Disposition.
    if (status.hasPath && !status.path.empty() && d->staging.empty() && !loadedAside && !wasComplete)
    {
        const std::wstring path = m_backend.FromBackendPath(status.path);
        const size_t separator = path.find_last_of(L"\\/");
        // aria2 renames a file within the download's folder (a name taken
        // already); a path elsewhere is not one the engine chose and is not
        // taken: the engine deletes and moves only files at places it chose.
        if (separator != std::wstring::npos && !SameFolder(path.substr(0, separator + 1), d->folder))
            TraceToDebugger(__FILE__, __LINE__, "aria2 reports a file outside the download's folder");
        else if (separator != std::wstring::npos)
        {
            const std::wstring folder = d->folder, name = path.substr(separator + 1);
            if (name != d->fileName || folder != d->folder)
            {
                const bool named = !d->fileName.empty();
                d->folder = folder;
                d->fileName = name;
                Changed(*d);
                if (named)
                {
                    std::vector<EventArgument> renamed;
                    renamed.push_back(Long(id));
                    renamed.push_back(Text(d->url));
                    renamed.push_back(Text(folder + name));
                    events.emplace_back(kEventRenamed, std::move(renamed));
                }
            }
        }
    }
    // The first answer of the server: size and the settled name.
    if (!d->fileInfoSent && (status.totalLength || status.phase == Phase::Complete) && !d->fileName.empty())
    {
        d->fileInfoSent = true;
        events.emplace_back(kEventFileInfo, FileInfoArguments(*d, d->folder, d->fileName, true));
    }
    // Resume support: several connections to one file need ranges, and so
    // does a transfer that goes on past where it had stopped (a server that
    // does not resume makes aria2 fail instead). A file whose server named no
    // size cannot be asked for its rest.
    const bool resumed = d->startLoaded > 0 && status.phase == Phase::Active &&
                         status.completedLength > d->startLoaded;
    const bool unsized = status.phase == Phase::Active && status.totalLength == 0 && status.completedLength > 0;
    const long resumable = status.connections > 1 || resumed ? kResumeYes
                           : unsized && d->resumable == kResumeNotKnown ? kResumeNo
                                                                         : d->resumable;
    if (resumable != d->resumable)
    {
        d->resumable = resumable;
        Changed(*d);
        events.emplace_back(kEventResumeSupport, std::vector<EventArgument>{});
        events.back().second.push_back(Long(id));
        events.back().second.push_back(Flag(resumable == kResumeYes));
    }
    if (status.phase == Phase::Active)
    {
        const uint32_t speed = Clamp32(status.downloadSpeed);
        d->currentSpeed = static_cast<long>(std::min<uint32_t>(speed, 0x7FFFFFFF));
        const double average = d->transferSeconds > 0.5 && d->loadedSize >= d->startLoaded
                                   ? (d->loadedSize - d->startLoaded) / d->transferSeconds
                                   : static_cast<double>(speed);
        d->averageSpeed = static_cast<long>(std::min(average, 2147483647.0));
        remaining = d->totalSize && speed && d->totalSize >= d->loadedSize
                        ? (d->totalSize - d->loadedSize) / static_cast<double>(speed) / kSecondsPerDay
                        : -1.0;
        const uint32_t count = std::max<uint32_t>(status.connections, static_cast<uint32_t>(d->sections.size()));
        std::vector<SectionSpan> sections = SectionsFromPieces(status, count);
        if (sections.size() != d->sections.size())
        {
            std::vector<EventArgument> changed;
            changed.push_back(Long(id));
            changed.emplace_back();
            (void)SectionsVariant(sections, *changed.back().value.get());
            events.emplace_back(kEventSections, std::move(changed));
        }
        else
            for (size_t i = 0; i < sections.size(); ++i)
            {
                const SectionSpan &after = sections[i], &before = d->sections[i];
                const long number = static_cast<long>(i + 1), total = static_cast<long>(sections.size());
                if (after.loaded != before.loaded)
                    events.emplace_back(kEventSectionProgress,
                                        Args(Long(id), Long(number), Long(total), Long(static_cast<long>(d->loadedSize)),
                                             Long(static_cast<long>(after.loaded)), Long(static_cast<long>(after.length)),
                                             Long(static_cast<long>(after.speed))));
                if (after.loaded == after.length && before.loaded != before.length)
                    events.emplace_back(kEventSectionFinished, Args(Long(id), Long(S_OK), Long(number), Long(total)));
            }
        d->sections = std::move(sections);
    }
    else
    {
        // Sections still loading when the last poll saw them end with the download.
        if (status.phase == Phase::Complete)
            for (size_t i = 0; i < d->sections.size(); ++i)
                if (d->sections[i].loaded != d->sections[i].length)
                    events.emplace_back(kEventSectionFinished, Args(Long(id), Long(S_OK), Long(static_cast<long>(i + 1)),
                                                                    Long(static_cast<long>(d->sections.size()))));
        d->currentSpeed = -1;
        d->sections.clear();
    }
    // The last bytes of a transfer arrive with its completion: the bars get
    // them too, before the completion, or a finished row would keep the bytes
    // of the last progress it saw (a download settled through the file-name
    // question has its bytes counted already, but no bar has seen them).
    if (status.phase == Phase::Active ||
        (status.phase == Phase::Complete && (d->loadedSize != oldLoaded || d->state != oldState || !wasComplete)))
    {
        std::vector<EventArgument> progress;
        progress.push_back(Long(id));
        progress.push_back(Long(static_cast<long>(d->loadedSize >= oldLoaded ? d->loadedSize - oldLoaded : 0)));
        progress.push_back(Long(static_cast<long>(d->loadedSize)));
        progress.push_back(Double(d->elapsedDays));
        progress.push_back(Long(d->currentSpeed));
        progress.push_back(Long(d->averageSpeed));
        progress.push_back(Double(status.phase == Phase::Active ? remaining : 0.0));
        progress.push_back(Long(static_cast<long>(status.phase == Phase::Active ? status.connections : 0)));
        events.emplace_back(kEventProgress, std::move(progress));
    }
    if (d->state != oldState)
    {
        Changed(*d);
        events.emplace_back(kEventStateChanged, std::vector<EventArgument>{});
        auto& changed = events.back().second;
        changed.push_back(Long(id));
        changed.push_back(Long(d->state));
        changed.push_back(Double(d->elapsedDays));
        if (status.phase == Phase::Complete)
        {
            if (status.totalLength == 0)
                d->totalSize = d->loadedSize;
            Log(*d, L"Completed: " + std::to_wstring(d->loadedSize) + L" bytes in " + d->folder + d->fileName);
            if (m_settings.keepDescriptionFile && !d->fileName.empty())
                // A file of that name that is not ours stays as it is.
                (void)LOG_IF_FAILED(ReplaceFileContent(
                    FreeFileName(d->folder + d->fileName, L".txt"),
                    // UTF-8 after a byte-order mark: the address and the
                    // name may be in any script, and editors know the encoding.
                    "\xEF\xBB\xBF" + Utf8FromWide(L"Address: " + d->url + L"\r\nSize: " + std::to_wstring(d->loadedSize) +
                                 L"\r\nTime: " + LocalTimeText(L"%04u-%02u-%02u %02u:%02u:%02u") + L"\r\n")));
            claimed(kEventCompleted, Args(Long(id), Long(d->state), Double(d->elapsedDays), Long(d->owner), Long(d->scope)));
        }
        else if (status.phase == Phase::Error)
        {
            // aria2 keeps a failed download in its session and would start it
            // again by itself after a restart; Start adds it again instead.
            json result;
            (void)m_backend.Call("aria2.removeDownloadResult", json::array({d->gid}), result);
            const std::wstring text = WideFromUtf8(status.errorMessage.empty()
                                                       ? "The download failed."
                                                       : DownloadErrorText(status.errorMessage, status.errorCode, d->url)) +
                                      CaFileRefusal(status.errorMessage, status.errorCode);
            Log(*d, L"Error: " + text);
            claimed(kEventError, Args(Long(id), Long(ErrorCodeFor(status, d->url)), Text(text), Long(d->state), Long(d->owner),
                                  Long(d->scope)));
            claimed(kEventStopped, Args(Long(id), Long(d->state), Double(d->elapsedDays), Long(d->owner), Long(d->scope)));
        }
        else if ((oldState & (kStateRunning | kStateTransferring)) && d->state == kStateStopped)
        {
            Log(*d, L"Stopped");
            claimed(kEventStopped, Args(Long(id), Long(d->state), Double(d->elapsedDays), Long(d->owner), Long(d->scope)));
        }
        else if (!(oldState & kStateTransferring) && (d->state & kStateTransferring))
        {
            d->startLoaded = oldLoaded;
            Log(*d, L"Transfer started at byte " + std::to_wstring(oldLoaded));
        }
    }
    // Events last: a sink may call back in and change the table.
    for (auto& [dispid, arguments] : events)
        m_events.Fire(dispid, std::move(arguments));
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

// The server sent the whole file to a request for the rest: the loaded part is
// of no use, and the download is added again to load from byte 0 (aria2 itself
// would start over only once per download).
void CEngineCore::RestartFromScratch(long id) noexcept
try
{
    Download* d = Find(id);
    json result;
    (void)m_backend.Call("aria2.removeDownloadResult", json::array({d->gid}), result);
    if (!d->staging.empty())
    {
        RemoveFolderWithFiles(d->staging);
        (void)LOG_IF_FAILED(CreateFolderPath(WithoutSeparator(d->staging)));
    }
    else if (!d->fileName.empty())
    {
        // Only aria2's own partial file goes: its control file lies beside it.
        const std::wstring partial = d->folder + LoadName(*d);
        if (::DeleteFileW((partial + L".aria2").c_str()))
            ::DeleteFileW(partial.c_str());
    }
    const bool resumableBefore = d->resumable != kResumeNo;
    d->resumable = kResumeNo;
    d->loadedSize = d->startLoaded = 0;
    d->sections.clear();
    if (FAILED(AddToBackend(*d, true, -1)))
    {
        StopWithError(id, HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE), WideFromUtf8(m_lastError));
        return;
    }
    d->state = kStateRunning | (d->hadError ? kStateError : 0);
    Log(*d, L"The server did not resume: the download starts again at byte 0");
    constexpr long kServerRefusedToResume = 1;
    const long state = d->state, total = static_cast<long>(d->totalSize);
    const double elapsed = d->elapsedDays;
    FireSimple(kEventRestarted, Args(Long(id), Long(kServerRefusedToResume), Long(total), Long(0), Long(state),
                                     Double(elapsed)));
    if (resumableBefore)
        FireSimple(kEventResumeSupport, Args(Long(id), Flag(false)));
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

// A download the engine itself has to stop: aria2 keeps it paused, the
// clients learn why.
void CEngineCore::StopWithError(long id, HRESULT code, const std::wstring& text) noexcept
try
{
    Download* d = Find(id);
    if (!d)
        return;
    json result;
    (void)m_backend.Call("aria2.forcePause", json::array({d->gid}), result);
    d->phase = Phase::Paused;
    d->hadError = true;
    d->state = kStateComplete | kStateError;
    d->currentSpeed = -1;
    d->sections.clear();
    Changed(*d);
    Log(*d, L"Error: " + text);
    const long state = d->state, owner = d->owner, scope = d->scope;
    const double elapsed = d->elapsedDays;
    FireSimple(kEventStateChanged, Args(Long(id), Long(state), Double(elapsed)));
    FireClaimed(kEventError, Args(Long(id), Long(code), Text(text), Long(state), Long(owner), Long(scope)));
    FireClaimed(kEventStopped, Args(Long(id), Long(state), Double(elapsed), Long(owner), Long(scope)));
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

// A certificate the system does not trust, while the settings name a further
// CA file that this aria2 cannot use: the text says so instead of leaving the
// user to wonder why the file did not count.
std::wstring CEngineCore::CaFileRefusal(const std::string& message, int errorCode) const
{
    if (!CertificateErrorCode(message, errorCode) || m_backend.TakesCaFile() || ExtraCaFileSetting().empty())
        return {};
    return L" (the CaCertificateFile setting does not apply: the Windows aria2 trusts only the certificate "
           L"authorities of the Windows certificate store; add the authority there)";
}

}  // namespace tdm::engine
