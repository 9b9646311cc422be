#include "engine_server/engine_core.h"

#include <shlobj.h>
#include <knownfolders.h>

#include <algorithm>

#include "engine_server/engine_events.h"
#include "engine_server/local_paths.h"
#include "engine_server/engine_text.h"
#include "framework/error.h"
#include "framework/unique_any.h"

namespace tdm::engine {

using nlohmann::json;
using Phase = TransferStatus::Phase;

namespace {

// Scope of a claimed event: the client whose browser window is the owner, or
// any client when the call that made or started the download gave no window.
long ScopeFor(long owner) noexcept { return owner ? 0 : 2; }

}  // namespace

HRESULT CEngineCore::Init(const std::wstring& dataFolder) noexcept
try
{
    wchar_t folder[MAX_PATH] = {};
    m_dataFolder = dataFolder;
    if (m_dataFolder.empty())
    {
        RETURN_IF_FAILED(::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, folder));
        m_dataFolder = std::wstring(folder) + L"\\Tolvane\\Engine";
    }
    RETURN_IF_FAILED(CreateFolderPath(m_dataFolder + L"\\logs"));
    // The downloads' own staging folders are made by aria2 inside it.
    RETURN_IF_FAILED(CreateFolderPath(m_dataFolder + L"\\staging"));
    unique_cotaskmem_string downloads;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_Downloads, KF_FLAG_CREATE, nullptr, downloads.put())) && downloads)
        m_defaultFolder = downloads.get();
    if (m_defaultFolder.empty() && SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, 0, folder)))
        m_defaultFolder = std::wstring(folder) + L"\\Downloads";
    m_defaultFolder = WithSeparator(m_defaultFolder);
    (void)CreateFolderPath(m_defaultFolder.substr(0, m_defaultFolder.size() - 1));

    RETURN_IF_FAILED(LoadSettings());
    // A table that cannot be read owns no staging folder the engine knows of:
    // their loaded data stays rather than going as strays.
    if (SUCCEEDED(LOG_IF_FAILED(LoadTable())))
        RemoveStrayStagingFolders();
    m_backend.SetSessionFilter([this](std::string_view saved) { return SessionFromTable(saved); });
    const HRESULT init = m_backend.Init(m_dataFolder, m_defaultFolder.substr(0, m_defaultFolder.size() - 1));
    if (FAILED(init))
        return Fail(init, m_backend.LastError());
    // Whatever an earlier engine left in the cookie file is made anew.
    m_cookieFile = "-";
    (void)LOG_IF_FAILED(UpdateCookies());
    if (FAILED(m_backend.EnsureRunning()))
        return Fail(HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE), m_backend.LastError());
    Resync();
    UpdateTraffic();

    RemoveOldLogs();
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

void CEngineCore::Shutdown() noexcept
{
    SaveTable();
    m_backend.Shutdown();
}

HRESULT CEngineCore::Fail(HRESULT hr, const std::string& text) noexcept
{
    try
    {
        m_lastError = text;
    }
    catch (...)
    {
    }
    return hr;
}

HRESULT CEngineCore::BackendFailure(HRESULT hr) noexcept
{
    // A call that ran out of time says so; everything else is the backend's.
    return Fail(hr == E_FAIL || hr == HRESULT_FROM_WIN32(ERROR_TIMEOUT) ? hr : HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE),
                "The download backend failed: " + m_backend.LastError());
}

void CEngineCore::FireSimple(DISPID dispid, std::vector<EventArgument> arguments) noexcept
{
    m_events.Fire(dispid, std::move(arguments));
}

void CEngineCore::FireClaimed(DISPID dispid, std::vector<EventArgument> arguments) noexcept
try
{
    arguments.push_back(Flag(false, true));
    m_events.Fire(dispid, std::move(arguments));
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

// The arguments of DownloadFileInfo: `claimed` set tells the clients the name
// is settled; clear, it asks them.
std::vector<EventArgument> CEngineCore::FileInfoArguments(const Download& d, const std::wstring& folder,
                                                          const std::wstring& name, bool claimed)
{
    constexpr long kHttpOk = 200;
    return Args(Long(d.id), Long(static_cast<long>(d.totalSize)), Long(static_cast<long>(d.loadedSize)), Long(kHttpOk),
                Text(L""), Double(0.0, VT_DATE), Flag(d.resumable == kResumeYes), Long(d.state), Long(d.owner), Long(d.scope),
                Text(folder, true), Text(name, true), Flag(claimed, true), Flag(false, true));
}

HRESULT CEngineCore::AddToBackend(Download& d, bool start, long queuePosition) noexcept
try
{
    json options = BackendOptions(d);
    // A folder aria2 cannot be told of would leave it loading into its own
    // working folder.
    RETURN_HR_IF(Fail(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), "The folder cannot be handed to the download backend."),
                 options["dir"].get_ref<const std::string&>().empty());
    if (!start)
        options["pause"] = "true";
    json params = json::array({json::array({BackendUri(d)}), options});
    if (queuePosition >= 0)
        params.push_back(queuePosition);
    json result;
    const HRESULT hr = m_backend.Call("aria2.addUri", params, result);
    if (FAILED(hr))
        return BackendFailure(hr);
    RETURN_HR_IF(Fail(E_FAIL, "aria2 gave no download id"), !result.is_string() || result.get_ref<const std::string&>().empty());
    d.gid = result.get<std::string>();
    d.asking = false;  // an open question was about the download aria2 had before
    d.phase = start ? Phase::Waiting : Phase::Paused;
    d.lastTick = ::GetTickCount();
    ++d.attempts;
    Changed(d);
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CEngineCore::AddDownload(const DownloadOptionsData& options, long owner, bool start, long queuePosition,
                                 const std::wstring& cookie, const RequestHeaders& headers) noexcept
try
{
    if (options.url.empty())
        return Fail(E_INVALIDARG, "A download needs an address.");
    RETURN_IF_FAILED(CheckTexts(options, cookie));
    RETURN_IF_FAILED(CheckHeaders(headers));
    Download d;
    d.id = m_nextId;
    d.url = options.url;
    d.options = options;
    d.owner = owner;
    d.scope = ScopeFor(owner);
    d.cookie = cookie;
    d.headers = headers;
    const std::wstring& path = options.localPath;
    if (path.empty() || path.back() == L'\\' || path.back() == L'/')
        d.folder = path.empty() ? m_defaultFolder : WithSeparator(path);
    else
    {
        const size_t separator = path.find_last_of(L"\\/");
        RETURN_HR_IF(Fail(E_INVALIDARG, "The local path names no folder."), separator == std::wstring::npos);
        d.folder = path.substr(0, separator + 1);
        d.fileName = path.substr(separator + 1);
        d.nameGiven = true;
    }
    if (!path.empty())
        RETURN_IF_FAILED(CheckPlace(d.folder, d.fileName));
    if (FAILED(CreateFolderPath(d.folder.substr(0, d.folder.size() - 1))))
        return Fail(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), "The download folder cannot be created.");
    // aria2 makes the staging folder when it writes the file; what an earlier
    // engine left under this id went when the engine started.
    if (!d.nameGiven)
        d.staging = StagingFolder(d.id);
    const long id = d.id;
    if (!cookie.empty())
    {
        // The cookie file is made from the table: the download is in it first.
        m_downloads.emplace(id, d);
        const HRESULT cookies = UpdateCookies();
        m_downloads.erase(id);
        RETURN_HR_IF(Fail(cookies, "The cookie cannot be handed to the download backend."), FAILED(cookies));
    }
    // A download added paused goes to aria2 when it is started: every paused
    // download aria2 holds makes each later add slower.
    if (start)
        RETURN_IF_FAILED(AddToBackend(d, start, queuePosition));
    else
        d.phase = Phase::Paused;
    d.state = start ? kStateRunning : kStateStopped;
    ++m_nextId;
    Log(d, L"Added " + d.url + L" to " + d.folder + d.fileName);
    const std::wstring url = d.url, folder = d.folder, fileName = d.fileName;
    const long state = d.state, priority = d.priority;
    Download& added = m_downloads.emplace(id, std::move(d)).first->second;
    Journal(added);
    FireSimple(kEventAdded, Args(Long(id), Text(url), Text(folder), Text(fileName), Long(state), Long(priority)));
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CEngineCore::Start(long id, long owner, const std::wstring& cookie) noexcept
try
{
    Download* d = Find(id);
    RETURN_HR_IF(Fail(E_INVALIDARG, "No download has this id."), !d);
    RETURN_IF_FAILED(CheckTexts({}, cookie));
    d->owner = owner;
    d->scope = ScopeFor(owner);
    if (!cookie.empty() && cookie != d->cookie)
    {
        d->cookie = cookie;
        (void)LOG_IF_FAILED(UpdateCookies());
        d = Find(id);
    }
    if (d->state & (kStateRunning | kStateTransferring))
        return S_OK;
    d->restarts = 0;
    json result;
    HRESULT hr = E_FAIL;
    if (d->phase == Phase::Paused && !d->gid.empty())
        hr = m_backend.Call("aria2.unpause", json::array({d->gid}), result);
    if (FAILED(hr))
    {
        // Ended downloads (complete, failed, removed) are added again: aria2
        // continues a partial file from its control file. One added paused
        // and never started is new to aria2.
        if (d->state & kStateComplete)
            d->hadError = (d->state & kStateError) != 0;
        RETURN_IF_FAILED(AddToBackend(*d, true, -1));
    }
    else
        d->phase = Phase::Waiting;
    d->state = kStateRunning | (d->hadError ? kStateError : 0);
    d->fileInfoSent = d->fileInfoSent && d->nameGiven;
    d->lastTick = ::GetTickCount();
    d->startLoaded = d->loadedSize;
    d->transferSeconds = 0;
    Changed(*d);
    Log(*d, L"Started");
    const long state = d->state;
    const double elapsed = d->elapsedDays;
    FireSimple(kEventStateChanged, Args(Long(id), Long(state), Double(elapsed)));
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CEngineCore::Pause(long id, long owner) noexcept
try
{
    Download* d = Find(id);
    RETURN_HR_IF(Fail(E_INVALIDARG, "No download has this id."), !d);
    d->owner = owner;
    if (!(d->state & (kStateRunning | kStateTransferring)))
        return S_OK;
    json result;
    const HRESULT hr = m_backend.Call("aria2.forcePause", json::array({d->gid}), result);
    if (FAILED(hr) && hr != E_FAIL)
        return BackendFailure(hr);
    // E_FAIL: aria2 had ended it meanwhile; the next poll tells how.
    if (hr == E_FAIL)
        return S_OK;
    // aria2 pauses in the background; a start right after must find it paused.
    (void)WaitUntilHeld(d->gid);
    d->phase = Phase::Paused;
    d->state = kStateStopped;
    d->currentSpeed = -1;
    d->sections.clear();
    Changed(*d);
    Log(*d, L"Paused");
    const double elapsed = d->elapsedDays;
    const long scope = d->scope;
    FireSimple(kEventStateChanged, Args(Long(id), Long(kStateStopped), Double(elapsed)));
    FireClaimed(kEventStopped, Args(Long(id), Long(kStateStopped), Double(elapsed), Long(owner), Long(scope)));
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CEngineCore::Delete(long id) noexcept
try
{
    Download* d = Find(id);
    RETURN_HR_IF(Fail(E_INVALIDARG, "No download has this id."), !d);
    json result;
    if (!d->gid.empty())
    {
        const HRESULT hr = m_backend.Call("aria2.forceRemove", json::array({d->gid}), result);
        if (FAILED(hr) && hr != E_FAIL)
            return BackendFailure(hr);
        (void)m_backend.Call("aria2.removeDownloadResult", json::array({d->gid}), result);
    }
    // The loaded data stays; aria2's control file beside it is of no use now.
    if (!d->fileName.empty() && !(d->state & kStateComplete) && d->staging.empty())
        ::DeleteFileW((d->folder + LoadName(*d) + L".aria2").c_str());
    // A file still in staging has no place the user knows of: it goes.
    if (!d->staging.empty())
        RemoveFolderWithFiles(d->staging);
    ::DeleteFileW(LogPath(id, false).c_str());
    ::DeleteFileW(LogPath(id, true).c_str());
    m_downloads.erase(id);
    JournalRemoval(id);
    FireSimple(kEventDeleted, Args(Long(id)));
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CEngineCore::GetLog(long id, std::wstring& log) noexcept
try
{
    RETURN_HR_IF(Fail(E_INVALIDARG, "No download has this id."), !Find(id));
    log = WideFromUtf8(ReadWholeFile(LogPath(id, true)) + ReadWholeFile(LogPath(id, false)));
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CEngineCore::GetOptions(long id, DownloadOptionsData& options) noexcept
try
{
    if (id == -1)
    {
        options = m_settings.defaults;
        return S_OK;
    }
    const Download* d = Find(id);
    RETURN_HR_IF(Fail(E_INVALIDARG, "No download has this id."), !d);
    options = d->options;
    options.url = d->url;
    options.localPath = d->folder + d->fileName;
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CEngineCore::SetOptions(long id, long owner, const DownloadOptionsData& options) noexcept
try
{
    RETURN_IF_FAILED(CheckTexts(options, L""));
    if (id == -1)
    {
        m_settings.defaults = options;
        return SaveSettings();
    }
    Download* d = Find(id);
    RETURN_HR_IF(Fail(E_INVALIDARG, "No download has this id."), !d);
    const std::wstring oldUrl = d->url, oldPath = d->folder + d->fileName;
    const std::string oldUri = BackendUri(*d);
    const size_t newSeparator = options.localPath.find_last_of(L"\\/");
    if (!options.localPath.empty() && options.localPath != oldPath && newSeparator != std::wstring::npos)
        RETURN_IF_FAILED(CheckPlace(options.localPath.substr(0, newSeparator + 1),
                                    options.localPath.substr(newSeparator + 1)));
    d->options = options;
    d->owner = owner;
    if (!options.url.empty())
        d->url = options.url;
    const std::wstring& path = options.localPath;
    if (!path.empty() && path != oldPath)
    {
        const size_t separator = path.find_last_of(L"\\/");
        RETURN_HR_IF(Fail(E_INVALIDARG, "The local path names no folder."), separator == std::wstring::npos);
        d->folder = path.substr(0, separator + 1);
        d->fileName = path.substr(separator + 1);
        d->nameGiven = !d->fileName.empty();
    }
    json result;
    if (!d->gid.empty() && (d->phase == Phase::Paused || d->phase == Phase::Waiting))
    {
        // aria2 takes new options for downloads that do not transfer; the
        // address goes through its URI list.
        const json changed = BackendOptions(*d);
        if (FAILED(m_backend.Call("aria2.changeOption", json::array({d->gid, changed}), result)))
            return BackendFailure(E_FAIL);
        if (BackendUri(*d) != oldUri &&
            FAILED(m_backend.Call("aria2.changeUri", json::array({d->gid, 1, json::array({oldUri}),
                                                                  json::array({BackendUri(*d)})}),
                                  result)))
            return BackendFailure(E_FAIL);
    }
    Changed(*d);
    Log(*d, L"Options changed");
    if (d->url != oldUrl || d->folder + d->fileName != oldPath)
    {
        const std::wstring url = d->url, newPath = d->folder + d->fileName;
        Journal(*d);
        FireSimple(kEventRenamed, Args(Long(id), Text(url), Text(newPath)));
    }
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

}  // namespace tdm::engine
