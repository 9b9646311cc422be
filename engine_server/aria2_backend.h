// The aria2 process behind the engine and the JSON-RPC link to it.
//
// The engine starts aria2c with RPC on the loopback only, on a port chosen at
// random, with a secret that only the configuration file holds (readable by the
// user alone; never on a command line). Downloads survive restarts through
// aria2's session file. A process the engine started earlier that still
// answers with the stored port and secret (an engine that was ended without
// stopping it) is taken over as it is.
//
// Under Wine the Linux aria2c is started; the process handle Wine gives for a
// Unix program cannot be waited on, so the link notices a dead aria2 by its
// refused connection, and paths cross to aria2 as Unix paths.
//
// Single-threaded: used only on the engine's main thread. Every call is bounded
// in time: connecting, sending and receiving each have a deadline.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tdm::engine {

class CAria2Backend
{
public:
    CAria2Backend() noexcept = default;
    CAria2Backend(const CAria2Backend&) = delete;
    CAria2Backend& operator=(const CAria2Backend&) = delete;
    ~CAria2Backend();

    // Prepares the backend's files in `dataFolder` (configuration, session);
    // `defaultFolder` is where downloads without a folder go. Starts nothing.
    HRESULT Init(const std::wstring& dataFolder, const std::wstring& defaultFolder) noexcept;

    // Makes sure aria2 answers: takes over a running one or starts a new one,
    // waiting a bounded time for it. A failure leaves a text in LastError.
    HRESULT EnsureRunning() noexcept;

    // One RPC call; when aria2 does not answer, it is restarted once (bounded)
    // and the call repeated. HRESULTs: S_OK; E_FAIL with aria2's own refusal;
    // HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE) when aria2 cannot be reached.
    HRESULT Call(const std::string& method, const nlohmann::json& params, nlohmann::json& result) noexcept;
    // Several calls in one request; `results` gets one entry per call (an
    // array holding the result, or an error object).
    HRESULT Multicall(const std::vector<std::pair<std::string, nlohmann::json>>& calls,
                      nlohmann::json& results) noexcept;

    // Stops aria2 (it saves its session first).
    void Shutdown() noexcept;

    // Counts the starts and takeovers: a change means aria2's view must be
    // read again.
    unsigned Generation() const noexcept { return m_generation; }
    // The text of the last failure.
    const std::string& LastError() const noexcept { return m_lastError; }

    // Paths as aria2 takes and gives them (Unix paths for the Linux aria2c
    // under Wine). Empty on failure.
    std::string ToBackendPath(const std::wstring& path) const;
    std::wstring FromBackendPath(const std::string& path) const;

    // Whether aria2 takes further certificate authorities from a file: the
    // Linux aria2c (GnuTLS) does; a Windows aria2c.exe (SChannel) checks
    // against the Windows certificate store only and ignores the file.
    bool TakesCaFile() const noexcept { return m_unixProgram; }

    // The file holding the configuration (tests read the port from it).
    const std::wstring& ConfigPath() const noexcept { return m_configPath; }

private:
    HRESULT Exchange(const std::string& body, uint64_t id, nlohmann::json& result) noexcept;
    HRESULT Connect() noexcept;
    void CloseSocket() noexcept;
    bool Answers() noexcept;
    HRESULT Launch() noexcept;
    HRESULT WriteConfig() noexcept;
    // Stops aria2 and waits (bounded) until its port is closed.
    void StopAndWait() noexcept;
    bool ReadConfig() noexcept;

    std::wstring m_dataFolder;
    std::wstring m_defaultFolder;
    std::wstring m_configPath;
    std::wstring m_sessionPath;
    std::wstring m_program;      // aria2c to start
    bool m_unixProgram = false;  // the Linux aria2c under Wine
    uint16_t m_port = 0;
    std::string m_secret;
    std::wstring m_extraCa;  // the further CA file the running aria2 trusts
    SOCKET m_socket = INVALID_SOCKET;
    uint64_t m_nextId = 1;
    unsigned m_generation = 0;
    bool m_running = false;
    DWORD m_lastLaunch = 0;
    std::string m_lastError;
    bool m_wsaStarted = false;
};

}  // namespace tdm::engine
