// Staging and moves: a download whose name the server gives loads into a
// staging folder of its own, and its file goes to the settled place once
// aria2 lets it go; a file the user agreed to replace is replaced when the
// download is complete.
#include "engine_server/engine_core.h"

#include <algorithm>
#include <unordered_set>

#include "engine_server/engine_events.h"
#include "engine_server/file_names.h"
#include "engine_server/local_paths.h"
#include "engine_server/engine_text.h"
#include "framework/error.h"
#include "framework/unique_any.h"

namespace tdm::engine {

using nlohmann::json;
using Phase = TransferStatus::Phase;

namespace {

// How long a pause may take to settle in aria2.
constexpr DWORD kHoldTimeoutMs = 10000;

}  // namespace

std::wstring CEngineCore::StagingFolder(long id) const
{
    return m_dataFolder + L"\\staging\\" + std::to_wstring(id) + L"\\";
}

// A staging folder no download of the table owns is left from an engine that
// ended before it saved its table: it goes, so that a new download under its
// id starts in an empty folder. Only folders named as the engine names them.
void CEngineCore::RemoveStrayStagingFolders() noexcept
try
{
    std::unordered_set<std::wstring> owned;
    for (const auto& [id, d] : m_downloads)
        if (!d.staging.empty())
            owned.insert(d.staging);
    const std::wstring staging = m_dataFolder + L"\\staging\\";
    std::vector<long> stray;
    WIN32_FIND_DATAW found = {};
    {
        const unique_any<HANDLE, detail::CloseFindHandle, -1> search(::FindFirstFileW((staging + L"*").c_str(), &found));
        for (BOOL more = static_cast<bool>(search); more; more = ::FindNextFileW(search.get(), &found))
        {
            const long id = NumberOfName(found.cFileName);
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && id >= 0 && !owned.count(StagingFolder(id)))
                stray.push_back(id);
        }
    }
    for (long id : stray)
        RemoveFolderWithFiles(StagingFolder(id));
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

// The file of a download loaded in its staging folder goes to the place the
// clients settled, and the download goes on (or completes) there.
void CEngineCore::SettlePlace(long id, const TransferStatus& status, const std::wstring& folder,
                              const std::wstring& name, bool replace) noexcept
try
{
    Download* d = Find(id);
    const std::wstring staged = m_backend.FromBackendPath(status.path);
    const std::wstring stagedName = staged.substr(staged.find_last_of(L"\\/") + 1);
    bool complete = status.phase == Phase::Complete;
    if (const HRESULT hr = MoveToTarget(*d, stagedName, folder, name, replace, complete); FAILED(hr))
    {
        if (hr == HRESULT_FROM_WIN32(ERROR_RETRY))
        {
            Log(*d, L"The file stays in " + d->staging + L" until aria2 pauses the download");
            d->settledFolder = folder;
            d->settledName = name;
            d->settledReplace = replace;
            d->phase = Phase::Active;  // the poll reads it until it has paused
            return;
        }
        std::wstring text = WideFromUtf8(m_lastError);
        if (!d->staging.empty())
            text += L" The loaded data is kept in " + d->staging + L".";
        StopWithError(id, hr, text);
        return;
    }
    d->fileInfoSent = true;
    Changed(*d);
    m_events.Fire(kEventFileInfo, FileInfoArguments(*d, d->folder, d->fileName, true));
    if (complete && Find(id))
    {
        // Loaded before the question was settled (or while the transfer was
        // being paused): it completes at its place.
        TransferStatus moved = status;
        moved.phase = Phase::Complete;
        moved.completedLength = std::max(status.completedLength, status.totalLength);
        moved.path = m_backend.ToBackendPath(folder + name);
        ApplyStatus(id, moved);
    }
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

HRESULT CEngineCore::MoveToTarget(Download& d, const std::wstring& stagedName, const std::wstring& folder,
                                  const std::wstring& name, bool replace, bool& complete) noexcept
try
{
    // The answer is a client's: a name or folder that is not safe as it
    // stands is refused, with the reason (a device name is no existing file).
    if (const char* problem = FolderProblem(folder))
        return Fail(HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME), "The folder " + Utf8FromWide(folder) + " " + problem + ".");
    if (const char* problem = FileNameProblem(name))
        return Fail(HRESULT_FROM_WIN32(ERROR_INVALID_NAME), "The file name " + Utf8FromWide(name) + " " + problem + ".");
    const std::wstring target = folder + name;
    if (FAILED(CreateFolderPath(WithoutSeparator(folder))))
        return Fail(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND),
                    "The folder " + Utf8FromWide(folder) + " cannot be created.");
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (!replace || (attributes & FILE_ATTRIBUTE_DIRECTORY)))
        return Fail(HRESULT_FROM_WIN32(ERROR_FILE_EXISTS), Utf8FromWide(target) + " already exists.");

    // aria2 lets a file go only once the download is paused.
    json result;
    if (!complete)
    {
        const HRESULT paused = m_backend.Call("aria2.forcePause", json::array({d.gid}), result);
        if (FAILED(paused) && paused != E_FAIL)
            return BackendFailure(paused);
        const Phase held = WaitUntilHeld(d.gid);
        // Still transferring: its file is not moved under aria2's hands. Failed
        // meanwhile: the failure is handled first (a restart, or the error),
        // and the file follows when the download runs again.
        if (held == Phase::Active || held == Phase::Error)
            return Fail(HRESULT_FROM_WIN32(ERROR_RETRY), "aria2 did not pause the download in time.");
        complete = held == Phase::Complete;
    }
    // A file the user agreed to replace stays whole until the download is:
    // an unfinished transfer loads beside it.
    const bool aside = replace && !complete && attributes != INVALID_FILE_ATTRIBUTES;
    const std::wstring loadName = aside ? FreeFileName(target, L".part").substr(folder.size()) : name;
    // The server's name as aria2 wrote it, which may end with a dot or be a
    // device's: only the extended form reaches that file.
    const std::wstring source = ExtendedPath(d.staging + stagedName), loadPath = folder + loadName;
    // Nothing loaded yet is no loss; a complete download without its file is.
    if (complete && !FileExists(source))
        return Fail(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "The loaded file " + Utf8FromWide(stagedName) + " was not found.");
    const auto moveBack = [&] {
        (void)::MoveFileExW((loadPath + L".aria2").c_str(), (source + L".aria2").c_str(), MOVEFILE_COPY_ALLOWED);
        (void)::MoveFileExW(loadPath.c_str(), source.c_str(), MOVEFILE_COPY_ALLOWED);
    };
    const auto moveFiles = [&]() -> HRESULT {
        const DWORD flags = MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH | (replace && !aside ? MOVEFILE_REPLACE_EXISTING : 0);
        if (FileExists(source) && (!::MoveFileExW(source.c_str(), loadPath.c_str(), flags) || !FileExists(loadPath)))
            return Fail(HRESULT_FROM_WIN32(::GetLastError() ? ::GetLastError() : ERROR_FILE_NOT_FOUND),
                        "The file cannot be written to " + Utf8FromWide(target) + ".");
        const std::wstring control = source + L".aria2";
        if (::GetFileAttributesW(control.c_str()) != INVALID_FILE_ATTRIBUTES &&
            !::MoveFileExW(control.c_str(), (loadPath + L".aria2").c_str(),
                           MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH | MOVEFILE_REPLACE_EXISTING))
        {
            const HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
            (void)::MoveFileExW(loadPath.c_str(), source.c_str(), MOVEFILE_COPY_ALLOWED);
            return Fail(hr, "The file cannot be written to " + Utf8FromWide(target) + ".");
        }
        return S_OK;
    };
    if (complete)
        RETURN_IF_FAILED(moveFiles());
    else
    {
        // aria2 learns the new place, the files go there, aria2's session
        // keeps it, and only then does the transfer go on: an engine or aria2
        // that ends at any step leaves the file where aria2 will look for it.
        // A step that fails takes the earlier ones back.
        const json place = {{"dir", m_backend.ToBackendPath(WithoutSeparator(folder))}, {"out", Utf8FromWide(loadName)}};
        const json staged = {{"dir", m_backend.ToBackendPath(WithoutSeparator(d.staging))}, {"out", Utf8FromWide(stagedName)}};
        const auto resume = [&] { (void)m_backend.Call("aria2.unpause", json::array({d.gid}), result); };
        if (const HRESULT hr = m_backend.Call("aria2.changeOption", json::array({d.gid, place}), result); FAILED(hr))
        {
            resume();
            return BackendFailure(hr);
        }
        if (const HRESULT hr = moveFiles(); FAILED(hr))
        {
            (void)m_backend.Call("aria2.changeOption", json::array({d.gid, staged}), result);
            resume();
            return hr;
        }
        if (const HRESULT hr = m_backend.Call("aria2.saveSession", json::array(), result); FAILED(hr))
        {
            moveBack();
            (void)m_backend.Call("aria2.changeOption", json::array({d.gid, staged}), result);
            resume();
            return BackendFailure(hr);
        }
        if (const HRESULT hr = m_backend.Call("aria2.unpause", json::array({d.gid}), result); FAILED(hr))
            return BackendFailure(hr);
        // The session holds it running again, for an aria2 that starts later.
        (void)LOG_IF_FAILED(m_backend.Call("aria2.saveSession", json::array(), result));
        d.phase = Phase::Active;
    }
    d.folder = folder;
    d.fileName = name;
    d.partName = aside ? loadName : std::wstring();
    d.nameGiven = true;
    RemoveFolderWithFiles(d.staging);
    d.staging.clear();
    Journal(d);  // the file has moved: its new place is kept at once
    Log(d, aside ? L"Loading into " + loadPath + L"; it replaces " + target + L" when complete" : L"Saved as " + target);
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

// The download loaded beside the file it replaces: the file is replaced in one
// step. A failure keeps both and says where the loaded data is.
HRESULT CEngineCore::ReplaceWithPart(Download& d) noexcept
try
{
    const std::wstring part = d.folder + d.partName, target = d.folder + d.fileName;
    if (!::MoveFileExW(part.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return Fail(HRESULT_FROM_WIN32(::GetLastError()), "The file " + Utf8FromWide(target) +
                                                              " cannot be replaced; the loaded data is in " +
                                                              Utf8FromWide(part) + ".");
    d.partName.clear();
    Changed(d);
    Log(d, L"Replaced " + target);
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

// Waits (bounded) until aria2 no longer transfers download `gid`, and returns
// its phase then (Active when it did not settle in time).
TransferStatus::Phase CEngineCore::WaitUntilHeld(const std::string& gid) noexcept
try
{
    // However slow aria2 is, the wait ends within one deadline.
    const CAria2Link::CallDeadline deadline(m_backend, kHoldTimeoutMs);
    const json keys = json::array({"gid", "status"});
    for (int wait = 0; wait < 100 && !m_backend.DeadlinePassed(); ++wait)
    {
        json result;
        TransferStatus status;
        std::string error;
        if (SUCCEEDED(m_backend.Call("aria2.tellStatus", json::array({gid, keys}), result)) &&
            ParseTransferStatus(result, status, error) && status.phase != Phase::Active && status.phase != Phase::Waiting)
            return status.phase;
        ::Sleep(50);
    }
    return Phase::Active;
}
catch (...)
{
    return Phase::Active;
}

}  // namespace tdm::engine
