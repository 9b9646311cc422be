// The engine's downloads and settings over aria2, without COM.
//
// CEngineCore keeps one record per download under the engine's own id (stable
// across restarts, stored in downloads.json of the data folder) with aria2's
// GID beside it, the engine-wide settings (stored under HKCU\Software\Tolvane\Engine)
// and a log per download. Once a second Poll reads aria2's view of the
// running downloads and turns every change into events, which go to the
// CEngineEvents the COM layer supplies.
//
// Everything runs on the engine's main thread. Firing an event calls out of the
// process, and a client may call the engine back from inside its event: the
// core keeps no iterator or reference into its table across a Fire.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine_server/aria2_backend.h"
#include "engine_server/aria2_protocol.h"
#include "framework/automation.h"

namespace tdm::engine {

// The options of one download, or of new downloads (IDownloadOptions).
struct DownloadOptionsData
{
    std::wstring url;
    long timeoutSeconds = 120;  // IntegerOption1
    std::wstring localPath;     // a full file path, or a folder ending with "\"
    std::wstring userName;
    std::wstring password;
    bool useProxy = false;
    bool useIEProxySettings = true;
    std::wstring proxyUserName;
    std::wstring proxyPassword;
    std::wstring proxyServers;
    long retries = 2;           // IntegerOption2
    std::wstring proxyBypass;
    long maxRedirections = 5;   // kept only: aria2 follows redirections by its own rule
    bool ftpPassive = true;
};

// One event argument: its value and whether the sinks get it by reference.
struct EventArgument
{
    unique_variant value;
    bool byReference = false;
};

// Where the core's events go (the COM layer: every connected sink in turn).
class CEngineEvents
{
public:
    // Sends event `dispid` with `arguments` in declaration order; by-reference
    // arguments carry what the sinks left in them afterwards.
    virtual void Fire(DISPID dispid, std::vector<EventArgument>& arguments) noexcept = 0;

protected:
    ~CEngineEvents() = default;
};

// Event DISPIDs of _IDownloadEngineEvents.
enum EventId : DISPID
{
    kEventAdded = 1,
    kEventStateChanged = 2,
    kEventStopped = 3,
    kEventDeleted = 4,
    kEventFileInfo = 5,
    kEventResumeSupport = 6,
    kEventProgress = 7,
    kEventCompleted = 8,
    kEventError = 9,
    kEventSpeedLimit = 11,
    kEventInfoChanged = 12,
    kEventRestarted = 13,
    kEventCredentials = 14,
    kEventLogOption = 15,
    kEventLanguage = 16,
    kEventSections = 17,
    kEventSectionProgress = 18,
    kEventSectionFinished = 19,
    kEventTrafficMode = 21,
    kEventRenamed = 22,
};

// Engine-wide settings.
struct EngineSettings
{
    bool keepCommonLog = false;
    long daysToKeep = 30;
    bool logPerDownload = true;
    LANGID language = 0;
    bool keepDescriptionFile = false;
    long trafficMode = 3;
    // Bytes per second of traffic modes 1, 2 and 3 (0: no limit).
    uint32_t speedLimits[3] = {16 * 1024, 512 * 1024, 0};
    DownloadOptionsData defaults;
};

class CEngineCore
{
public:
    explicit CEngineCore(CEngineEvents& events) noexcept : m_events(events) {}
    CEngineCore(const CEngineCore&) = delete;
    CEngineCore& operator=(const CEngineCore&) = delete;

    // Reads the settings and the download table and starts (or takes over)
    // aria2. `dataFolder` empty: %LOCALAPPDATA%\Tolvane\Engine.
    HRESULT Init() noexcept;
    // Saves the table and stops aria2.
    void Shutdown() noexcept;

    // The operations of IDownloadEngine. A failure leaves its text in
    // LastError (the COM layer hands it to the client as error information).
    HRESULT AddDownload(const DownloadOptionsData& options, long owner, bool start, long queuePosition,
                        const std::wstring& cookie) noexcept;
    HRESULT Start(long id, long owner, const std::wstring& cookie) noexcept;
    HRESULT Pause(long id, long owner) noexcept;
    HRESULT Delete(long id) noexcept;
    HRESULT GetLog(long id, std::wstring& log) noexcept;
    HRESULT GetOptions(long id, DownloadOptionsData& options) noexcept;
    HRESULT SetOptions(long id, long owner, const DownloadOptionsData& options) noexcept;
    const EngineSettings& Settings() const noexcept { return m_settings; }
    HRESULT SetLogSettings(bool keepCommonLog, long daysToKeep, bool logPerDownload) noexcept;
    HRESULT SetLanguage(LANGID language) noexcept;
    HRESULT SetKeepDescriptionFile(bool keep) noexcept;
    HRESULT SetTrafficMode(long mode) noexcept;
    HRESULT GetDownloadList(VARIANT& list) noexcept;

    // Reads aria2's view and sends the events of what changed. Re-entered calls
    // (from an event) do nothing.
    void Poll() noexcept;

    const std::string& LastError() const noexcept { return m_lastError; }
    const std::wstring& DataFolder() const noexcept { return m_dataFolder; }
    CAria2Backend& Backend() noexcept { return m_backend; }

private:
    struct Download
    {
        long id = 0;
        std::string gid;
        std::wstring url;
        std::wstring folder;     // ends with "\"
        std::wstring fileName;   // empty until known
        bool nameGiven = false;  // the file name came with the download or was settled
        // A download whose name the server gives loads into a staging folder of
        // its own (ends with "\") until a client has settled the name; empty
        // once the file is at its place.
        std::wstring staging;
        long state = 0x08;
        long priority = 3;
        double elapsedDays = 0.0;
        uint32_t totalSize = 0;
        uint32_t loadedSize = 0;
        uint32_t startLoaded = 0;  // bytes loaded when the current transfer began
        long resumable = 2;        // 0 no, 1 yes, 2 not known yet
        long attempts = 0;
        long averageSpeed = -1;
        long currentSpeed = -1;
        std::vector<SectionSpan> sections;
        long owner = 0;
        long scope = 2;
        DownloadOptionsData options;
        std::wstring cookie;
        // aria2's view, from the last poll
        TransferStatus::Phase phase = TransferStatus::Phase::Paused;
        bool hadError = false;
        bool fileInfoSent = false;
        DWORD lastTick = 0;        // when elapsed was last advanced
        double transferSeconds = 0.0;
    };

    HRESULT LoadSettings() noexcept;
    HRESULT SaveSettings() noexcept;
    HRESULT LoadTable() noexcept;
    void SaveTable() noexcept;
    Download* Find(long id) noexcept;
    Download* FindByGid(const std::string& gid) noexcept;
    HRESULT Fail(HRESULT hr, const std::string& text) noexcept;
    HRESULT BackendFailure(HRESULT hr) noexcept;
    HRESULT AddToBackend(Download& download, bool start, long queuePosition) noexcept;
    nlohmann::json BackendOptions(const Download& download) const;
    void Log(Download& download, const std::wstring& message) noexcept;
    std::wstring CaFileRefusal(const std::string& message) const;
    void ApplyStatus(long id, const TransferStatus& status) noexcept;
    void Resync() noexcept;
    void FireSimple(DISPID dispid, std::vector<EventArgument> arguments) noexcept;
    void FireClaimed(DISPID dispid, std::vector<EventArgument> arguments) noexcept;
    HRESULT MakeRow(const Download& download, SAFEARRAY* list, LONG row) const noexcept;
    HRESULT SectionsVariant(const std::vector<SectionSpan>& sections, VARIANT& value) const noexcept;
    void UpdateTraffic() noexcept;
    void AskCredentials(long id, const TransferStatus& status) noexcept;
    void AskFileName(long id, const TransferStatus& status) noexcept;
    HRESULT MoveToTarget(Download& download, const std::wstring& stagedName, const std::wstring& folder,
                         const std::wstring& name, bool replace, bool& complete) noexcept;
    void StopWithError(long id, HRESULT code, const std::wstring& text) noexcept;
    TransferStatus::Phase WaitUntilHeld(const std::string& gid) noexcept;
    void RestartFromScratch(long id) noexcept;
    std::wstring StagingFolder(long id) const;
    static std::vector<EventArgument> FileInfoArguments(const Download& download, const std::wstring& folder,
                                                        const std::wstring& name, bool claimed);

    CEngineEvents& m_events;
    CAria2Backend m_backend;
    EngineSettings m_settings;
    std::wstring m_dataFolder;
    std::wstring m_defaultFolder;
    std::map<long, Download> m_downloads;
    long m_nextId = 1;
    unsigned m_generation = 0;
    bool m_polling = false;
    bool m_tableDirty = false;
    std::string m_lastError;
};

}  // namespace tdm::engine
