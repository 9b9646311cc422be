// The engine's downloads and settings over aria2, without COM.
//
// CEngineCore keeps one record per download under the engine's own id (stable
// across restarts, stored in downloads.json of the data folder) with aria2's
// GID beside it, the engine-wide settings (stored under HKCU\Software\Tolvane\Engine)
// and a log per download. Once a second Poll reads aria2's view of the
// running downloads and turns every change into events, which go to the
// CEngineEvents the COM layer supplies. aria2 is reached through a CAria2Link
// (the backend that starts aria2, or a scripted one in tests).
//
// The core's definitions are in one file per job: engine_core.cpp (start, end
// and the operations), engine_settings.cpp, download_table.cpp (the table, its
// persistence, the list and the session aria2 loads), engine_logs.cpp (the logs and the refused
// texts), backend_options.cpp (what aria2 gets of a download),
// status_diff.cpp (polling and the events of what changed),
// engine_questions.cpp (credentials, the file name) and file_moves.cpp
// (staging and moves).
//
// Everything runs on the engine's main thread. Events leave through
// CEngineEvents without waiting for the clients; a question to the clients
// (the file name, credentials) is answered later, on the main thread, by a
// call of the handler it was asked with: the download waits meanwhile, the
// others go on.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <string>
#include <string_view>
#include <vector>

#include "engine_server/aria2_link.h"
#include "engine_server/aria2_protocol.h"
#include "engine_server/download_options.h"
#include "engine_server/engine_events.h"
#include "engine/engine_contract.h"
#include "framework/automation.h"
#include "framework/unique_any.h"

namespace tdm::engine {

constexpr long kDefaultConnections = 8;

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
    // Connections per download to a server that takes ranges: the file is
    // loaded in that many sections (of at least kMinSectionSize each).
    long connections = kDefaultConnections;
    DownloadOptionsData defaults;
};

class CEngineCore
{
public:
    CEngineCore(CEngineEvents& events, CAria2Link& backend) noexcept : m_events(events), m_backend(backend) {}
    CEngineCore(const CEngineCore&) = delete;
    CEngineCore& operator=(const CEngineCore&) = delete;

    // Reads the settings and the download table and starts (or takes over)
    // aria2. `dataFolder` empty: %LOCALAPPDATA%\Tolvane\Engine.
    HRESULT Init(const std::wstring& dataFolder = {}) noexcept;
    // Saves the table and stops aria2.
    void Shutdown() noexcept;

    // The operations of IDownloadEngine. A failure leaves its text in
    // LastError (the COM layer hands it to the client as error information).
    HRESULT AddDownload(const DownloadOptionsData& options, long owner, bool start, long queuePosition,
                        const std::wstring& cookie, const RequestHeaders& headers = {}) noexcept;
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
    // Downloads that start later are split over `connections`.
    HRESULT SetConnections(long connections) noexcept;
    HRESULT SetTrafficMode(long mode) noexcept;
    HRESULT GetDownloadList(VARIANT& list) noexcept;

    // Reads aria2's view and sends the events of what changed. Re-entered calls
    // (from an event) do nothing.
    void Poll() noexcept;

    const std::string& LastError() const noexcept { return m_lastError; }
    const std::wstring& DataFolder() const noexcept { return m_dataFolder; }
    CAria2Link& Backend() noexcept { return m_backend; }

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
        // When the user agreed to replace an existing file: the name aria2
        // loads into beside it until the download completes and replaces the
        // file in one step (the user's file stays whole until then).
        std::wstring partName;
        long state = 0x08;
        long priority = 3;
        double elapsedDays = 0.0;
        uint32_t totalSize = 0;
        uint32_t loadedSize = 0;
        uint32_t startLoaded = 0;  // bytes loaded when the current transfer began
        long resumable = kResumeNotKnown;  // kResumeNo, kResumeYes or kResumeNotKnown
        long attempts = 0;
        long restarts = 0;         // starts from byte 0 since the last Start
        // The server has asked for credentials: from then on the address aria2
        // gets carries the download's credentials (for that server only).
        bool credentialsAsked = false;
        long averageSpeed = -1;
        long currentSpeed = -1;
        std::vector<SectionSpan> sections;
        long owner = 0;
        long scope = 2;
        DownloadOptionsData options;
        std::wstring cookie;
        RequestHeaders headers;  // sent with every request of the download
        // aria2's view, from the last poll
        TransferStatus::Phase phase = TransferStatus::Phase::Paused;
        bool hadError = false;
        bool fileInfoSent = false;
        bool changed = false;      // its row goes into the journal at the next save
        bool asking = false;       // a question to the clients is open
        // The settled place (folder, name, replace) of a download whose file
        // aria2 did not let go in time: the move is tried again at the next
        // status, without asking again.
        std::wstring settledFolder, settledName;
        bool settledReplace = false;
        DWORD lastTick = 0;        // when elapsed was last advanced
        double transferSeconds = 0.0;
    };

    // engine_core.cpp: failures and events
    HRESULT Fail(HRESULT hr, const std::string& text) noexcept;
    HRESULT BackendFailure(HRESULT hr) noexcept;
    HRESULT AddToBackend(Download& download, bool start, long queuePosition) noexcept;
    void FireSimple(DISPID dispid, std::vector<EventArgument> arguments) noexcept;
    void FireClaimed(DISPID dispid, std::vector<EventArgument> arguments) noexcept;
    static std::vector<EventArgument> FileInfoArguments(const Download& download, const std::wstring& folder,
                                                        const std::wstring& name, bool claimed);
    // The name aria2 loads the download into.
    static const std::wstring& LoadName(const Download& download) noexcept
    {
        return download.partName.empty() ? download.fileName : download.partName;
    }

    // engine_settings.cpp
    HRESULT LoadSettings() noexcept;
    HRESULT SaveSettings() noexcept;
    void UpdateTraffic() noexcept;

    // download_table.cpp
    HRESULT LoadTable() noexcept;
    void SaveTable() noexcept;
    static nlohmann::json RowOf(const Download& download);
    void TakeRow(const nlohmann::json& row);
    // A download's row changed: it goes into the journal at the next poll.
    void Changed(Download& download) noexcept { download.changed = m_changes = true; }
    void SaveChanges() noexcept;
    void Journal(Download& download) noexcept;
    void JournalRemoval(long id) noexcept;
    bool AppendToJournal(const std::string& line) noexcept;
    std::wstring JournalPath() const { return m_dataFolder + L"\\downloads.journal"; }
    Download* Find(long id) noexcept;
    Download* FindByGid(const std::string& gid) noexcept;
    std::string SessionFromTable(std::string_view saved) const;
    HRESULT MakeRow(const Download& download, SAFEARRAY* list, LONG row) const noexcept;
    HRESULT SectionsVariant(const std::vector<SectionSpan>& sections, VARIANT& value) const noexcept;

    // engine_logs.cpp
    std::wstring LogPath(long id, bool earlier) const;
    void Log(Download& download, const std::wstring& message) noexcept;
    void RemoveOldLogs() noexcept;
    void LogEngine(const std::wstring& message) noexcept;
    HRESULT Refuse(const std::string& text) noexcept;
    HRESULT CheckTexts(const DownloadOptionsData& options, const std::wstring& cookie) noexcept;
    HRESULT CheckHeaders(const RequestHeaders& headers) noexcept;
    HRESULT CheckPlace(const std::wstring& folder, const std::wstring& fileName) noexcept;

    // backend_options.cpp
    nlohmann::json BackendOptions(const Download& download) const;
    std::string BackendUri(const Download& download) const;
    HRESULT UpdateCookies() noexcept;

    // status_diff.cpp
    void Resync() noexcept;
    void RemoveForeignDownloads(const std::vector<TransferStatus>& active,
                                const std::vector<TransferStatus>& stopped) noexcept;
    void ApplyStatus(long id, const TransferStatus& status) noexcept;
    void RestartFromScratch(long id) noexcept;
    void StopWithError(long id, HRESULT code, const std::wstring& text) noexcept;
    std::wstring CaFileRefusal(const std::string& message, int errorCode) const;

    // engine_questions.cpp
    void AskCredentials(long id, const TransferStatus& status) noexcept;
    void CredentialsAnswered(long id, const TransferStatus& status, std::vector<EventArgument>& answer) noexcept;
    void AskFileName(long id, const TransferStatus& status) noexcept;
    void FileNameAnswered(long id, const TransferStatus& status, const std::wstring& proposed,
                          std::vector<EventArgument>& answer) noexcept;

    // file_moves.cpp
    std::wstring StagingFolder(long id) const;
    void RemoveStrayStagingFolders() noexcept;
    void SettlePlace(long id, const TransferStatus& status, const std::wstring& folder, const std::wstring& name,
                     bool replace) noexcept;
    HRESULT MoveToTarget(Download& download, const std::wstring& stagedName, const std::wstring& folder,
                         const std::wstring& name, bool replace, bool& complete) noexcept;
    HRESULT ReplaceWithPart(Download& download) noexcept;
    TransferStatus::Phase WaitUntilHeld(const std::string& gid) noexcept;

    CEngineEvents& m_events;
    CAria2Link& m_backend;
    EngineSettings m_settings;
    std::wstring m_dataFolder;
    std::wstring m_defaultFolder;
    std::map<long, Download> m_downloads;
    std::unordered_map<std::string, long> m_byGid;  // aria2's ids, as the poll began
    long m_nextId = 1;
    unsigned m_generation = 0;
    bool m_polling = false;
    bool m_tableDirty = false;  // the whole table is to be saved
    bool m_changes = false;     // some download has `changed` set
    // Appends the rows added, changed or removed since the table was saved
    // (downloads.journal).
    unique_file m_journal;
    size_t m_journalLines = 0;
    DWORD m_lastJournaled = 0;
    static constexpr size_t kJournalLinesToSave = 2000;
    static constexpr DWORD kJournalQuietMs = 2000;
    std::string m_lastError;
    std::string m_cookieFile;  // what the cookie file aria2 loaded holds
};

}  // namespace tdm::engine
