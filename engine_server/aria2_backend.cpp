#include "engine_server/aria2_backend.h"

#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <sddl.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "engine_server/aria2_protocol.h"
#include "engine_server/backend_path.h"
#include "engine_server/engine_text.h"
#include "engine_server/tls_trust.h"
#include "framework/error.h"
#include "framework/unique_any.h"

namespace tdm::engine {

using nlohmann::json;

namespace {

constexpr DWORD kConnectTimeoutMs = 2000;
constexpr DWORD kAnswerTimeoutMs = 15000;
// How long a newly started aria2 gets to answer.
constexpr DWORD kStartTimeoutMs = 10000;
// How long aria2 gets to end by itself before it is terminated.
constexpr DWORD kStopTimeoutMs = 5000;
// How many aria2 processes one start may try (each on another port) when the
// port turns out to be held by another program.
constexpr int kLaunchAttempts = 3;

// Wine's conversions between its DOS paths and Unix paths (absent on Windows).
using UnixFileName = char*(CDECL*)(LPCWSTR);
using DosFileName = WCHAR*(CDECL*)(LPCSTR);

template <typename Function>
Function WineFunction(const char* name) noexcept
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name)));
}

bool FileExists(const std::wstring& path) noexcept
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void ReleaseCryptProvider(HCRYPTPROV provider) noexcept
{
    ::CryptReleaseContext(provider, 0);
}
using unique_crypt_provider = unique_any<HCRYPTPROV, ReleaseCryptProvider>;

void DeleteAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list) noexcept
{
    ::DeleteProcThreadAttributeList(list);
}
using unique_attribute_list = unique_any<LPPROC_THREAD_ATTRIBUTE_LIST, DeleteAttributeList>;

// A random secret of 32 hexadecimal digits. Without the system's random
// numbers there is none: a secret made of the time or the process id could be
// guessed by any program of the machine.
HRESULT MakeSecret(std::string& secret) noexcept
try
{
    BYTE bytes[16] = {};
    unique_crypt_provider provider;
    RETURN_LAST_ERROR_IF(!::CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL,
                                                 CRYPT_VERIFYCONTEXT | CRYPT_SILENT));
    RETURN_LAST_ERROR_IF(!::CryptGenRandom(provider.get(), sizeof(bytes), bytes));
    std::string made;
    for (const BYTE byte : bytes)
    {
        const char* digits = "0123456789abcdef";
        made += digits[byte >> 4];
        made += digits[byte & 15];
    }
    secret = std::move(made);
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

// A free loopback port: the system picks one for a socket bound to port 0.
uint16_t PickPort() noexcept
{
    const SOCKET probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (probe == INVALID_SOCKET)
        return 0;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    uint16_t port = 0;
    if (::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::closesocket(probe);
    return port;
}

// A security descriptor that gives the current user, and no one else, full
// access (protected: nothing inherited). Under Wine it becomes Unix mode 0600
// or 0700, which a descriptor naming the abstract owner does not.
HRESULT PrivateDescriptor(unique_any<HLOCAL, detail::FreeLocal>& descriptor) noexcept
try
{
    unique_handle token;
    RETURN_LAST_ERROR_IF(!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()));
    BYTE buffer[256] = {};
    DWORD size = 0;
    RETURN_LAST_ERROR_IF(!::GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size));
    LPWSTR sid = nullptr;
    RETURN_LAST_ERROR_IF(!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid));
    const unique_any<HLOCAL, detail::FreeLocal> sidText(sid);
    const std::wstring sddl = L"D:P(A;OICI;FA;;;" + std::wstring(sid) + L")";
    PSECURITY_DESCRIPTOR made = nullptr;
    RETURN_LAST_ERROR_IF(!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &made,
                                                                                 nullptr));
    descriptor.reset(made);
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

// Writes `text` to `path`, readable and writable by its owner only.
HRESULT WritePrivateFile(const std::wstring& path, const std::string& text) noexcept
{
    unique_any<HLOCAL, detail::FreeLocal> descriptor;
    RETURN_IF_FAILED(PrivateDescriptor(descriptor));
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    (void)::DeleteFileW(path.c_str());
    const unique_file file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    RETURN_LAST_ERROR_IF(!file);
    DWORD written = 0;
    RETURN_LAST_ERROR_IF(!::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
                         written != text.size());
    return S_OK;
}

}  // namespace

HRESULT WriteUserOnlyFile(const std::wstring& path, const std::string& text) noexcept
{
    return WritePrivateFile(path, text);
}

CAria2Backend::~CAria2Backend()
{
    CloseSocket();
    if (m_wsaStarted)
        ::WSACleanup();
}

HRESULT CAria2Backend::Init(const std::wstring& dataFolder, const std::wstring& defaultFolder) noexcept
try
{
    WSADATA data = {};
    if (!m_wsaStarted)
    {
        RETURN_IF_WIN32_ERROR(::WSAStartup(MAKEWORD(2, 2), &data));
        m_wsaStarted = true;
    }
    m_dataFolder = dataFolder;
    m_defaultFolder = defaultFolder;
    m_ownerThread = ::GetCurrentThreadId();
    // The folder holds the session (with the downloads' credentials) and the
    // configuration (with the secret): the user's alone.
    unique_any<HLOCAL, detail::FreeLocal> descriptor;
    if (SUCCEEDED(PrivateDescriptor(descriptor)))
        (void)::SetFileSecurityW(dataFolder.c_str(), DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                 descriptor.get());
    m_configPath = dataFolder + L"\\aria2.conf";
    m_sessionPath = dataFolder + L"\\aria2.session";

    // aria2c.exe beside the engine first; under Wine the Linux aria2c; then
    // aria2c.exe on the search path.
    wchar_t module[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring beside = module;
    beside = beside.substr(0, beside.find_last_of(L'\\') + 1) + L"aria2c.exe";
    const auto dosName = WineFunction<DosFileName>("wine_get_dos_file_name");
    m_program.clear();
    if (FileExists(beside))
        m_program = beside;
    else if (dosName)
    {
        if (WCHAR* unixProgram = dosName("/usr/bin/aria2c"))
        {
            if (FileExists(unixProgram))
            {
                m_program = unixProgram;
                m_unixProgram = true;
            }
            ::HeapFree(::GetProcessHeap(), 0, unixProgram);
        }
    }
    if (m_program.empty())
    {
        wchar_t found[MAX_PATH] = {};
        if (::SearchPathW(nullptr, L"aria2c.exe", nullptr, MAX_PATH, found, nullptr))
            m_program = found;
    }
    if (m_program.empty())
    {
        m_lastError = "aria2c was not found";
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    if (!FileExists(m_sessionPath))
        RETURN_IF_FAILED(WritePrivateFile(m_sessionPath, ""));
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

std::string CAria2Backend::ToBackendPath(const std::wstring& path) const
{
    if (!m_unixProgram)
        return Utf8FromWide(path);
    const auto unixName = WineFunction<UnixFileName>("wine_get_unix_file_name");
    char* converted = unixName ? unixName(path.c_str()) : nullptr;
    if (!converted)
        return {};
    std::string result = converted;
    ::HeapFree(::GetProcessHeap(), 0, converted);
    return result;
}

std::wstring CAria2Backend::FromBackendPath(const std::string& path) const
{
    if (!m_unixProgram)
        return WindowsPath(WideFromUtf8(path));
    // The conversion makes a Windows name of the last part, which loses a
    // trailing dot or space a server's name may have: a name Windows can hold
    // as it is (no separator, device colon or wildcard) is kept, and only its
    // folder converted. Any other name is the conversion's (a mangled one), so
    // a backslash in a Unix name never becomes a separator.
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash + 1 == path.size())
        return {};
    const std::string name = path.substr(slash + 1);
    const bool kept = name.find_first_of("\\:*?\"<>|") == std::string::npos;
    const std::string converting = !kept ? path : slash == 0 ? "/" : path.substr(0, slash);
    const auto dosName = WineFunction<DosFileName>("wine_get_dos_file_name");
    WCHAR* converted = dosName ? dosName(converting.c_str()) : nullptr;
    if (!converted)
        return {};
    std::wstring result = converted;
    ::HeapFree(::GetProcessHeap(), 0, converted);
    if (!kept)
        return result;
    if (result.empty() || result.back() != L'\\')
        result += L'\\';
    return result + WideFromUtf8(name);
}

// --- configuration -------------------------------------------------------------

HRESULT CAria2Backend::WriteConfig() noexcept
try
{
    const std::string session = ToBackendPath(m_sessionPath);
    const std::string folder = ToBackendPath(m_defaultFolder);
    RETURN_HR_IF(E_FAIL, session.empty() || folder.empty());
    std::string text;
    const auto option = [&](const char* name, const std::string& value) { text += std::string(name) + "=" + value + "\n"; };
    option("enable-rpc", "true");
    option("rpc-listen-all", "false");
    option("rpc-listen-port", std::to_string(m_port));
    option("rpc-secret", m_secret);
    option("rpc-max-request-size", "16M");
    option("disk-cache", "0");
    option("file-allocation", "none");
    option("input-file", session);
    option("save-session", session);
    option("save-session-interval", "1");
    option("dir", folder);
    option("content-disposition-default-utf8", "true");
    option("max-concurrent-downloads", "5");
    option("max-download-result", "10000");
    option("keep-unfinished-download-result", "true");
    option("console-log-level", "error");
    option("quiet", "true");
    option("summary-interval", "0");
    option("remote-time", "false");
    // Only what the engine adds is loaded: no torrent or Metalink a server
    // answers with is followed, and nothing of BitTorrent's peer finding runs
    // (it would open ports on every interface and upload).
    option("follow-torrent", "false");
    option("follow-metalink", "false");
    option("enable-dht", "false");
    option("enable-dht6", "false");
    option("enable-peer-exchange", "false");
    option("bt-enable-lpd", "false");
    // Credentials come from the engine alone, never from a .netrc file.
    option("no-netrc", "true");
    // The downloads' cookies, each for its own host and path.
    if (!ReadWholeFile(CookiePath()).empty())
        option("load-cookies", ToBackendPath(CookiePath()));
    // The further CA file of the settings, as this aria2 got it.
    m_extraCa = ExtraCaFileSetting();
    if (!m_extraCa.empty() && TakesCaFile())
    {
        // aria2 trusts only the file it is given: the system's roots go with it.
        const std::wstring bundle = m_dataFolder + L"\\ca-bundle.pem";
        const HRESULT written = WriteTrustBundle(bundle, m_extraCa);
        if (SUCCEEDED(written))
            option("ca-certificate", ToBackendPath(bundle));
        else
            (void)TraceFailure(written, __FILE__, __LINE__, "the CA file of the settings is left out");
    }
    return WritePrivateFile(m_configPath, text);
}
catch (...)
{
    return HResultFromCaughtException();
}

// --- process ---------------------------------------------------------------------

DWORD CAria2Backend::TimeLeft(DWORD start, DWORD limit) const noexcept
{
    const DWORD now = ::GetTickCount();
    DWORD left = now - start >= limit ? 0 : limit - (now - start);
    if (m_hasDeadline)
        left = std::min<DWORD>(left, static_cast<LONG>(m_deadlineEnd - now) > 0 ? m_deadlineEnd - now : 0);
    return left;
}

bool CAria2Backend::ProcessRuns() const noexcept
{
    if (m_unixProgram)
        return m_starting || m_running;  // no usable handle under Wine (see the header)
    return m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT;
}

// Who listens on the loopback at aria2's port: nobody yet, aria2 alone, or
// another process (alone or beside it). Under Wine the Linux aria2's socket has
// no owner Wine could name: there it counts as aria2's. Wine names no owner of
// a Windows program's listening socket either (process id 0, which owns none
// on Windows): under Wine such a socket beside a running aria2c.exe counts as
// its own too.
CAria2Backend::PortListener CAria2Backend::ListenerOfPort() const noexcept
try
{
    if (m_unixProgram)
        return PortListener::Aria2;
    const bool unnamedOwners = WineFunction<DosFileName>("wine_get_dos_file_name") != nullptr;
    std::vector<BYTE> buffer;
    DWORD size = 16384;
    DWORD result = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt)
    {
        buffer.resize(size + 1024);
        size = static_cast<DWORD>(buffer.size());
        result = ::GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0);
    }
    if (result != NO_ERROR || size < sizeof(DWORD))
        return PortListener::Other;
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    const size_t fits = (size - offsetof(MIB_TCPTABLE_OWNER_PID, table)) / sizeof(MIB_TCPROW_OWNER_PID);
    PortListener found = PortListener::None;
    for (size_t i = 0; i < std::min<size_t>(table->dwNumEntries, fits); ++i)
    {
        const MIB_TCPROW_OWNER_PID& row = table->table[i];
        const DWORD address = ntohl(row.dwLocalAddr);
        if (ntohs(static_cast<u_short>(row.dwLocalPort)) != m_port || (address != INADDR_LOOPBACK && address != INADDR_ANY))
            continue;
        if (row.dwOwningPid != m_processId && !(row.dwOwningPid == 0 && unnamedOwners))
            return PortListener::Other;
        found = PortListener::Aria2;
    }
    return found;
}
catch (...)
{
    return PortListener::Other;
}

bool CAria2Backend::EndProcess(bool orderly) noexcept
{
    m_notifications.Stop();
    if (orderly && m_running)
    {
        json result;
        const uint64_t id = m_nextId++;
        (void)Exchange(MakeRpcBody("aria2.shutdown", m_secret, json::array(), id), id, result);
    }
    const bool known = m_running || m_starting;
    m_running = false;
    m_starting = false;
    CloseSocket();
    bool gone = true;
    if (!m_unixProgram && m_process)
    {
        // Ended before anything else starts on its session: two aria2 on one
        // session file would load the same downloads twice.
        if (!orderly || ::WaitForSingleObject(m_process.get(), kStopTimeoutMs) != WAIT_OBJECT_0)
        {
            (void)::TerminateProcess(m_process.get(), 1);
            gone = ::WaitForSingleObject(m_process.get(), kStopTimeoutMs) == WAIT_OBJECT_0;
        }
    }
    else if (m_unixProgram && known && m_port)
    {
        // The Linux aria2 under Wine: gone once its port no longer accepts.
        const DWORD start = ::GetTickCount();
        for (;;)
        {
            gone = Connect(false) == HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED);
            CloseSocket();
            if (gone || !orderly || ::GetTickCount() - start >= kStopTimeoutMs)
                break;
            ::Sleep(100);
        }
    }
    if (gone)
    {
        m_process.reset();
        m_processId = 0;
    }
    return gone;
}

HRESULT CAria2Backend::StartProcess() noexcept
try
{
    const std::string config = ToBackendPath(m_configPath);
    std::wstring command = L"\"" + m_program + L"\" \"--conf-path=" + WideFromUtf8(config) + L"\"";
    // aria2 gets the null device as its standard handles and inherits nothing
    // else: none of the engine's sockets, files or the pipes of whoever
    // started the engine.
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    const unique_file nul(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        &inherit, OPEN_EXISTING, 0, nullptr));
    RETURN_LAST_ERROR_IF(!nul);
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup.StartupInfo);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = startup.StartupInfo.hStdOutput = startup.StartupInfo.hStdError = nul.get();
    // A Unix program under Wine gets no Windows handles but its standard ones:
    // it is started the plain way. On Windows aria2 joins the job before it
    // runs its first instruction.
    std::vector<BYTE> listBuffer;
    unique_attribute_list list;
    HANDLE inherited[1] = {nul.get()};
    if (!m_unixProgram)
    {
        SIZE_T size = 0;
        (void)::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        listBuffer.resize(size);
        const auto made = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBuffer.data());
        RETURN_LAST_ERROR_IF(!::InitializeProcThreadAttributeList(made, 1, 0, &size));
        list.reset(made);
        RETURN_LAST_ERROR_IF(!::UpdateProcThreadAttribute(made, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                          sizeof(inherited), nullptr, nullptr));
        startup.StartupInfo.cb = sizeof(startup);
        startup.lpAttributeList = made;
    }
    const DWORD flags = CREATE_NO_WINDOW | DETACHED_PROCESS |
                        (m_unixProgram ? 0 : EXTENDED_STARTUPINFO_PRESENT | CREATE_SUSPENDED);
    PROCESS_INFORMATION process = {};
    RETURN_LAST_ERROR_IF(!::CreateProcessW(m_program.c_str(), &command[0], nullptr, nullptr, TRUE, flags, nullptr,
                                           m_dataFolder.c_str(), &startup.StartupInfo, &process));
    unique_handle processHandle(process.hProcess);
    const unique_handle threadHandle(process.hThread);
    if (!m_unixProgram)
    {
        if (!m_job)
        {
            m_job.reset(::CreateJobObjectW(nullptr, nullptr));
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            if (m_job && !::SetInformationJobObject(m_job.get(), JobObjectExtendedLimitInformation, &limits,
                                                    sizeof(limits)))
                m_job.reset();
        }
        // Without the job aria2 still serves, but may outlive a crashed engine.
        if (!m_job || !::AssignProcessToJobObject(m_job.get(), processHandle.get()))
            (void)TraceFailure(HRESULT_FROM_WIN32(::GetLastError()), __FILE__, __LINE__, "aria2 is in no job");
        ::ResumeThread(threadHandle.get());
    }
    m_process = std::move(processHandle);
    m_processId = process.dwProcessId;
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CAria2Backend::Launch() noexcept
try
{
    // Nothing of an earlier aria2 may still run on the session.
    if (!EndProcess(false))
    {
        m_lastError = "the earlier aria2c does not answer and does not end";
        return HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE);
    }
    m_port = PickPort();
    RETURN_HR_IF(E_FAIL, m_port == 0);
    const HRESULT secret = MakeSecret(m_secret);
    if (FAILED(secret))
    {
        m_lastError = "no random secret could be made for aria2c";
        return secret;
    }
    RETURN_IF_FAILED(WriteConfig());
    RETURN_IF_FAILED(FilterSessionFile());
    RETURN_IF_FAILED(StartProcess());
    m_starting = true;
    m_launchedAt = ::GetTickCount();
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

// The session as the engine's table has it, written whole or not at all.
HRESULT CAria2Backend::FilterSessionFile() noexcept
try
{
    if (!m_sessionFilter)
        return S_OK;
    const std::string saved = ReadWholeFile(m_sessionPath), filtered = m_sessionFilter(saved);
    if (filtered == saved)
        return S_OK;
    const std::wstring temporary = m_sessionPath + L".new";
    RETURN_IF_FAILED(WritePrivateFile(temporary, filtered));
    RETURN_LAST_ERROR_IF(!::MoveFileExW(temporary.c_str(), m_sessionPath.c_str(), MOVEFILE_REPLACE_EXISTING));
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

bool CAria2Backend::Answers() noexcept
{
    json result;
    const std::string body = MakeRpcBody("aria2.getVersion", m_secret, json::array(), m_nextId);
    return SUCCEEDED(Exchange(body, m_nextId++, result)) && result.is_object();
}

HRESULT CAria2Backend::EnsureRunning() noexcept
try
{
    // aria2 reads its trust only when it starts: another CA file in the
    // settings means another aria2 (the downloads go on from the session).
    if ((m_running || m_starting) && ExtraCaFileSetting() != m_extraCa)
        (void)EndProcess(true);
    if (m_running && m_socket != INVALID_SOCKET && ProcessRuns())
        return S_OK;
    if (m_running && Answers())
        return S_OK;
    if (m_running)
    {
        // It does not answer (any more): it is ended, and waited for, before
        // another one starts on its session.
        if (!EndProcess(false))
        {
            m_running = true;
            m_lastError = "aria2c does not answer";
            return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        }
    }
    int launches = 0;
    if (!m_starting)
    {
        const HRESULT launched = Launch();
        if (FAILED(launched))
        {
            if (m_lastError.empty() || launched != HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE))
                m_lastError = "aria2c could not be started";
            return launched;
        }
        ++launches;
    }
    for (;;)
    {
        // The secret goes out only once the port is aria2's own.
        const PortListener listener = ListenerOfPort();
        if (listener == PortListener::Aria2 && Answers())
        {
            m_starting = false;
            m_running = true;
            ++m_generation;
            m_notifications.Start(m_port, m_ownerThread);
            return S_OK;
        }
        // aria2 ends when it cannot listen; another program on its port means
        // another port.
        if (!ProcessRuns() || listener == PortListener::Other)
        {
            if (listener == PortListener::Other)
                (void)TraceFailure(HRESULT_FROM_WIN32(ERROR_ADDRESS_ALREADY_ASSOCIATED), __FILE__, __LINE__,
                                   "another program listens on aria2's port");
            if (launches >= kLaunchAttempts)
            {
                (void)EndProcess(false);
                m_lastError = "aria2c could not listen on a port of its own";
                return HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE);
            }
            const HRESULT launched = Launch();
            if (FAILED(launched))
            {
                m_lastError = "aria2c could not be started";
                return launched;
            }
            ++launches;
            continue;
        }
        if (::GetTickCount() - m_launchedAt >= kStartTimeoutMs)
        {
            (void)EndProcess(false);
            m_lastError = "aria2c does not answer on its RPC port";
            return HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE);
        }
        if (DeadlinePassed())
        {
            // Still starting: the next call goes on waiting for it.
            m_lastError = "aria2c is still starting";
            return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        }
        ::Sleep(100);
    }
}
catch (...)
{
    return HResultFromCaughtException();
}

void CAria2Backend::Shutdown() noexcept
{
    (void)EndProcess(true);
}

// --- RPC -------------------------------------------------------------------------------

void CAria2Backend::CloseSocket() noexcept
{
    if (m_socket != INVALID_SOCKET)
        ::closesocket(m_socket);
    m_socket = INVALID_SOCKET;
}

HRESULT CAria2Backend::Connect(bool checked) noexcept
{
    CloseSocket();
    // The secret goes only to the aria2 the engine started, while it runs and
    // holds its port.
    if (checked && (!ProcessRuns() || ListenerOfPort() != PortListener::Aria2))
        return HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED);
    const SOCKET connection = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    RETURN_HR_IF(HRESULT_FROM_WIN32(::WSAGetLastError()), connection == INVALID_SOCKET);
    m_socket = connection;
    u_long nonBlocking = 1;
    ::ioctlsocket(connection, FIONBIO, &nonBlocking);
    BOOL noDelay = TRUE;
    ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 &&
        ::WSAGetLastError() != WSAEWOULDBLOCK)
    {
        CloseSocket();
        return HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED);
    }
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(connection, &writable);
    FD_SET(connection, &failed);
    const DWORD wait = TimeLeft(::GetTickCount(), kConnectTimeoutMs);
    timeval timeout = {static_cast<long>(wait / 1000), static_cast<long>(wait % 1000 * 1000)};
    // No answer at all is not a refusal: a listener that is stopped or whose
    // queue is full still holds the port.
    const int ready = ::select(0, nullptr, &writable, &failed, &timeout);
    if (ready != 1 || FD_ISSET(connection, &failed))
    {
        CloseSocket();
        return ready == 0 ? HRESULT_FROM_WIN32(ERROR_TIMEOUT) : HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED);
    }
    int error = 0;
    int length = sizeof(error);
    if (::getsockopt(connection, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 || error != 0)
    {
        CloseSocket();
        return HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED);
    }
    return S_OK;
}

HRESULT CAria2Backend::Exchange(const std::string& body, uint64_t id, json& result) noexcept
try
{
    if (DeadlinePassed())
    {
        m_lastError = "aria2 did not answer in time";
        return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    }
    const std::string request = MakeHttpRequest(m_port, body);
    // A kept-alive connection that aria2 has closed fails at the first send or
    // read: such a call is made once more on a new connection.
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        const bool reused = m_socket != INVALID_SOCKET;
        if (const HRESULT connected = reused ? S_OK : Connect(); FAILED(connected))
        {
            m_lastError = connected == HRESULT_FROM_WIN32(ERROR_TIMEOUT) ? "aria2 did not answer in time"
                                                                           : "aria2 cannot be reached";
            return connected;
        }
        size_t sent = 0;
        bool broken = false;
        const DWORD start = ::GetTickCount();
        while (sent < request.size() && !broken)
        {
            const int n = ::send(m_socket, request.data() + sent, static_cast<int>(request.size() - sent), 0);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (::WSAGetLastError() == WSAEWOULDBLOCK && TimeLeft(start, kAnswerTimeoutMs) > 0)
            {
                fd_set writable;
                FD_ZERO(&writable);
                FD_SET(m_socket, &writable);
                timeval timeout = {0, 100000};
                ::select(0, nullptr, &writable, nullptr, &timeout);
            }
            else
                broken = true;
        }
        std::string buffer;
        HttpAnswer answer;
        while (!broken)
        {
            answer = ReadHttpAnswer(buffer);
            if (answer.result != HttpAnswer::Result::Incomplete)
                break;
            const DWORD left = TimeLeft(start, kAnswerTimeoutMs);
            if (left == 0)
            {
                CloseSocket();
                m_lastError = "aria2 did not answer in time";
                return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
            }
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(m_socket, &readable);
            timeval timeout = {static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
            if (::select(0, &readable, nullptr, nullptr, &timeout) != 1)
                continue;
            char chunk[16384];
            const int n = ::recv(m_socket, chunk, sizeof(chunk), 0);
            if (n > 0)
                buffer.append(chunk, static_cast<size_t>(n));
            else if (n == 0 || ::WSAGetLastError() != WSAEWOULDBLOCK)
                broken = true;
        }
        if (broken)
        {
            CloseSocket();
            if (reused && buffer.empty())
                continue;
            m_lastError = "the connection to aria2 broke";
            return HRESULT_FROM_WIN32(ERROR_CONNECTION_ABORTED);
        }
        if (answer.result == HttpAnswer::Result::Invalid || answer.status != 200)
        {
            CloseSocket();
            m_lastError = answer.result == HttpAnswer::Result::Invalid ? answer.error
                                                                       : "aria2 answered HTTP " + std::to_string(answer.status);
            // aria2 answers a refused RPC call (a wrong secret) with 400: the
            // body says why, and it counts as aria2's own refusal.
            if (answer.result != HttpAnswer::Result::Invalid)
            {
                std::string error;
                if (!ParseRpcAnswer(std::string_view(buffer).substr(answer.bodyOffset, answer.bodyLength), id, result,
                                    error))
                    m_lastError = error;
                return E_FAIL;
            }
            return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
        }
        if (!answer.keepAlive)
            CloseSocket();
        std::string error;
        bool otherCall = false;
        if (!ParseRpcAnswer(std::string_view(buffer).substr(answer.bodyOffset, answer.bodyLength), id, result, error,
                            &otherCall))
        {
            m_lastError = error;
            // An answer to another call leaves the connection out of step with
            // the calls: it is closed, and the call has no answer.
            if (otherCall)
            {
                CloseSocket();
                return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
            }
            return E_FAIL;
        }
        return S_OK;
    }
    m_lastError = "the connection to aria2 broke";
    return HRESULT_FROM_WIN32(ERROR_CONNECTION_ABORTED);
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CAria2Backend::Call(const std::string& method, const json& params, json& result) noexcept
try
{
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        if (const HRESULT running = EnsureRunning(); FAILED(running))
            return running == HRESULT_FROM_WIN32(ERROR_TIMEOUT) ? running : HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE);
        const uint64_t id = m_nextId++;
        const HRESULT hr = Exchange(MakeRpcBody(method, m_secret, params, id), id, result);
        if (hr != HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED) && hr != HRESULT_FROM_WIN32(ERROR_CONNECTION_ABORTED))
            return hr;
        // aria2 is gone: started again (once) and the call repeated.
        m_running = false;
    }
    return HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE);
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CAria2Backend::Multicall(const std::vector<std::pair<std::string, json>>& calls, json& results) noexcept
try
{
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        if (const HRESULT running = EnsureRunning(); FAILED(running))
            return running == HRESULT_FROM_WIN32(ERROR_TIMEOUT) ? running : HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE);
        const uint64_t id = m_nextId++;
        const HRESULT hr = Exchange(MakeMulticallBody(m_secret, calls, id), id, results);
        if (hr != HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED) && hr != HRESULT_FROM_WIN32(ERROR_CONNECTION_ABORTED))
        {
            if (SUCCEEDED(hr) && (!results.is_array() || results.size() != calls.size()))
            {
                m_lastError = "aria2 answered a multicall with another number of results";
                return E_FAIL;
            }
            return hr;
        }
        m_running = false;
    }
    return HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE);
}
catch (...)
{
    return HResultFromCaughtException();
}

}  // namespace tdm::engine
