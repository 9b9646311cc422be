// The aria2 process behind the engine and the JSON-RPC link to it.
//
// The engine starts aria2c with RPC on the loopback only, on a port chosen at
// random, with a secret that only the configuration file holds (readable by the
// user alone; never on a command line). Downloads survive restarts through
// aria2's session file.
//
// Whatever listens on a loopback port may belong to another program or another
// user, so the engine talks only to the aria2 it started itself: every start
// launches a new aria2 (a listener on the port of an earlier run is never
// asked anything), its process is kept in a job object that ends it with the
// engine, and before a connection carries the secret the process must still
// run and own the listening socket. An aria2 that stops answering is ended and
// waited for before another one starts on the same session.
//
// Under Wine the Linux aria2c is started; the process handle Wine gives for a
// Unix program cannot be waited on, terminated or put in a job, and Wine names
// no owner for its sockets, so there the link notices a dead aria2 by its
// refused connection and starts no other while the port still accepts; paths
// cross to aria2 as Unix paths.
//
// aria2's notifications wake the main thread (kAria2NotifiedMessage) while
// the aria2 the engine started runs.
//
// Single-threaded: used only on the engine's main thread. Every call is bounded
// in time: connecting, sending and receiving each have a deadline, and a
// CallDeadline bounds everything one operation of the engine asks of aria2.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine_server/aria2_link.h"
#include "engine_server/aria2_notifications.h"
#include "framework/unique_any.h"

namespace tdm::engine {

class CAria2Backend final : public CAria2Link
{
public:
    CAria2Backend() noexcept = default;
    CAria2Backend(const CAria2Backend&) = delete;
    CAria2Backend& operator=(const CAria2Backend&) = delete;
    ~CAria2Backend();

    // Prepares the backend's files in `dataFolder` (configuration, session);
    // `defaultFolder` is where downloads without a folder go. Starts nothing.
    HRESULT Init(const std::wstring& dataFolder, const std::wstring& defaultFolder) noexcept override;

    // Makes sure aria2 answers: takes over a running one or starts a new one,
    // waiting a bounded time for it. A failure leaves a text in LastError.
    HRESULT EnsureRunning() noexcept override;

    // One RPC call; when aria2 does not answer, it is restarted once (bounded)
    // and the call repeated. HRESULTs: S_OK; E_FAIL with aria2's own refusal;
    // HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE) when aria2 cannot be reached.
    HRESULT Call(const std::string& method, const nlohmann::json& params, nlohmann::json& result) noexcept override;
    // Several calls in one request; `results` gets one entry per call (an
    // array holding the result, or an error object).
    HRESULT Multicall(const std::vector<std::pair<std::string, nlohmann::json>>& calls,
                      nlohmann::json& results) noexcept override;

    // Stops aria2 (it saves its session first) and waits (bounded) until it
    // has gone; one that does not go is terminated.
    void Shutdown() noexcept override;
    // Stops aria2 and waits until it is gone: the next call starts another,
    // which reads its configuration and the cookie file anew.
    void Restart() noexcept override { Shutdown(); }

    // Counts the starts and takeovers: a change means aria2's view must be
    // read again.
    unsigned Generation() const noexcept override { return m_generation; }
    // The text of the last failure.
    const std::string& LastError() const noexcept override { return m_lastError; }

    // Paths as aria2 takes and gives them (Unix paths for the Linux aria2c
    // under Wine). Empty on failure.
    std::string ToBackendPath(const std::wstring& path) const override;
    std::wstring FromBackendPath(const std::string& path) const override;

    // Makes the session an aria2 is about to load from the one the last aria2
    // left (see aria2_session.h); none: loaded as it is.
    void SetSessionFilter(std::function<std::string(std::string_view saved)> filter) override
    {
        m_sessionFilter = std::move(filter);
    }

    // The main thread took the wake-up of aria2's notifications (it polls now).
    void NotificationTaken() noexcept override { m_notifications.Taken(); }

    // Whether aria2 takes further certificate authorities from a file: the
    // Linux aria2c (GnuTLS) does; a Windows aria2c.exe (SChannel) checks
    // against the Windows certificate store only and ignores the file.
    bool TakesCaFile() const noexcept override { return m_unixProgram; }

    // The file holding the configuration (tests read the port from it).
    const std::wstring& ConfigPath() const noexcept { return m_configPath; }

    // The deadline of the operation in progress (CallDeadline sets it).
    Deadline CurrentDeadline() const noexcept override { return {m_hasDeadline, m_deadlineEnd}; }
    void SetDeadline(const Deadline& deadline) noexcept override
    {
        m_hasDeadline = deadline.set;
        m_deadlineEnd = deadline.end;
    }

    // The cookie file aria2 loads as it starts (in the data folder).
    std::wstring CookiePath() const { return m_dataFolder + L"\\cookies.txt"; }

private:
    HRESULT Exchange(const std::string& body, uint64_t id, nlohmann::json& result) noexcept;
    void CloseSocket() noexcept;
    bool Answers() noexcept;
    HRESULT Launch() noexcept;
    HRESULT FilterSessionFile() noexcept;
    HRESULT StartProcess() noexcept;
    HRESULT WriteConfig() noexcept;
    // Whether the aria2 the engine started may get the secret: its process
    // runs and the listening socket of its port is its own.
    enum class PortListener { None, Aria2, Other };
    bool ProcessRuns() const noexcept;
    PortListener ListenerOfPort() const noexcept;
    // Ends the aria2 process the engine started (asked first when `orderly`,
    // terminated when it does not leave) and waits for it. False when it may
    // still run.
    bool EndProcess(bool orderly) noexcept;
    // Connects to aria2's port; `checked`: only when the listener is aria2.
    HRESULT Connect(bool checked = true) noexcept;
    // Milliseconds left of `limit` and of the operation's deadline.
    DWORD TimeLeft(DWORD start, DWORD limit) const noexcept;

    std::wstring m_dataFolder;
    std::wstring m_defaultFolder;
    std::wstring m_configPath;
    std::wstring m_sessionPath;
    std::function<std::string(std::string_view)> m_sessionFilter;
    std::wstring m_program;      // aria2c to start
    bool m_unixProgram = false;  // the Linux aria2c under Wine
    uint16_t m_port = 0;
    std::string m_secret;
    std::wstring m_extraCa;  // the further CA file the running aria2 trusts
    SOCKET m_socket = INVALID_SOCKET;
    uint64_t m_nextId = 1;
    unsigned m_generation = 0;
    bool m_running = false;
    // The aria2 process and the job that ends it with the engine.
    unique_handle m_process;
    unique_handle m_job;
    DWORD m_processId = 0;
    DWORD m_launchedAt = 0;  // while the started aria2 has not answered yet
    bool m_starting = false;
    bool m_hasDeadline = false;
    DWORD m_deadlineEnd = 0;
    std::string m_lastError;
    bool m_wsaStarted = false;
    // aria2's notifications wake the thread that made the backend.
    CAria2Notifications m_notifications;
    DWORD m_ownerThread = 0;
};

// Writes `text` to `path`, readable and writable by the current user only.
[[nodiscard]] HRESULT WriteUserOnlyFile(const std::wstring& path, const std::string& text) noexcept;

}  // namespace tdm::engine
