#include "engine_server/aria2_backend.h"

#include <ws2tcpip.h>
#include <sddl.h>
#include <wincrypt.h>

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
// The configuration's comment line that names the further CA file aria2 got.
constexpr char kExtraCaLine[] = "# tdm-extra-ca-file=";

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

// A random secret of 32 hexadecimal digits.
std::string MakeSecret()
{
    BYTE bytes[16] = {};
    HCRYPTPROV provider = 0;
    if (::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
    {
        (void)::CryptGenRandom(provider, sizeof(bytes), bytes);
        ::CryptReleaseContext(provider, 0);
    }
    LARGE_INTEGER counter = {};
    ::QueryPerformanceCounter(&counter);
    std::string secret;
    for (size_t i = 0; i < sizeof(bytes); ++i)
    {
        const BYTE mixed = static_cast<BYTE>(bytes[i] ^ (counter.QuadPart >> (i % 8 * 8)) ^ ::GetCurrentProcessId());
        const char* digits = "0123456789abcdef";
        secret += digits[mixed >> 4];
        secret += digits[mixed & 15];
    }
    return secret;
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
    const auto dosName = WineFunction<DosFileName>("wine_get_dos_file_name");
    WCHAR* converted = dosName && !path.empty() ? dosName(path.c_str()) : nullptr;
    if (!converted)
        return {};
    std::wstring result = converted;
    ::HeapFree(::GetProcessHeap(), 0, converted);
    return result;
}

// --- configuration -------------------------------------------------------------

bool CAria2Backend::ReadConfig() noexcept
try
{
    const std::string text = ReadWholeFile(m_configPath);
    std::string secret;
    std::wstring extraCa;
    uint64_t port = 0;
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.rfind("rpc-secret=", 0) == 0)
            secret = line.substr(11);
        else if (line.rfind(kExtraCaLine, 0) == 0)
            extraCa = WideFromUtf8(line.substr(sizeof(kExtraCaLine) - 1));
        else if (line.rfind("rpc-listen-port=", 0) == 0)
            port = std::strtoul(line.c_str() + 16, nullptr, 10);
    }
    if (secret.empty() || port == 0 || port > 65535)
        return false;
    m_secret = secret;
    m_port = static_cast<uint16_t>(port);
    m_extraCa = extraCa;
    return true;
}
catch (...)
{
    return false;
}

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
    // The further CA file of the settings, as this aria2 got it: a comment for
    // aria2, read back when an engine takes the running aria2 over.
    m_extraCa = ExtraCaFileSetting();
    text += kExtraCaLine + Utf8FromWide(m_extraCa) + "\n";
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

HRESULT CAria2Backend::Launch() noexcept
try
{
    m_port = PickPort();
    m_secret = MakeSecret();
    RETURN_HR_IF(E_FAIL, m_port == 0);
    RETURN_IF_FAILED(WriteConfig());
    const std::string config = ToBackendPath(m_configPath);
    std::wstring command = L"\"" + m_program + L"\" \"--conf-path=" + WideFromUtf8(config) + L"\"";
    // aria2 gets the null device as its standard handles, none of the
    // engine's (which may be a pipe of whoever started the engine, kept open
    // for as long as aria2 runs).
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    const unique_file nul(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup = {sizeof(startup)};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul.get();
    PROCESS_INFORMATION process = {};
    m_lastLaunch = ::GetTickCount();
    // The handle of a Unix program under Wine is not usable (see the header);
    // whether aria2 runs is learnt from its RPC port either way.
    RETURN_LAST_ERROR_IF(!::CreateProcessW(m_program.c_str(), &command[0], nullptr, nullptr, static_cast<bool>(nul),
                                           CREATE_NO_WINDOW | DETACHED_PROCESS, nullptr, m_dataFolder.c_str(),
                                           &startup, &process));
    const unique_handle processHandle(process.hProcess);
    const unique_handle threadHandle(process.hThread);
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
    const std::wstring extraCa = ExtraCaFileSetting();
    if (m_running && extraCa != m_extraCa)
        StopAndWait();
    if (m_running && m_socket != INVALID_SOCKET)
        return S_OK;
    if (m_running && Answers())
        return S_OK;
    m_running = false;
    CloseSocket();
    // An aria2 of an earlier engine that still answers is kept, downloads and
    // all, unless it trusts other authorities than the settings name.
    if (m_generation == 0 && ReadConfig() && Answers())
    {
        m_running = true;
        if (extraCa == m_extraCa)
        {
            ++m_generation;
            return S_OK;
        }
        StopAndWait();
    }
    const HRESULT launched = Launch();
    if (FAILED(launched))
    {
        m_lastError = "aria2c could not be started";
        return launched;
    }
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < kStartTimeoutMs)
    {
        if (Answers())
        {
            m_running = true;
            ++m_generation;
            return S_OK;
        }
        ::Sleep(100);
    }
    m_lastError = "aria2c does not answer on its RPC port";
    return HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE);
}
catch (...)
{
    return HResultFromCaughtException();
}

void CAria2Backend::StopAndWait() noexcept
{
    Shutdown();
    // The next aria2 reads the session this one writes as it ends.
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < kStartTimeoutMs && SUCCEEDED(Connect()))
    {
        CloseSocket();
        ::Sleep(100);
    }
    CloseSocket();
}

void CAria2Backend::Shutdown() noexcept
{
    if (!m_running)
        return;
    json result;
    const uint64_t id = m_nextId++;
    (void)Exchange(MakeRpcBody("aria2.shutdown", m_secret, json::array(), id), id, result);
    m_running = false;
    CloseSocket();
}

// --- RPC -------------------------------------------------------------------------------

void CAria2Backend::CloseSocket() noexcept
{
    if (m_socket != INVALID_SOCKET)
        ::closesocket(m_socket);
    m_socket = INVALID_SOCKET;
}

HRESULT CAria2Backend::Connect() noexcept
{
    CloseSocket();
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
    timeval timeout = {static_cast<long>(kConnectTimeoutMs / 1000), static_cast<long>(kConnectTimeoutMs % 1000 * 1000)};
    if (::select(0, nullptr, &writable, &failed, &timeout) != 1 || FD_ISSET(connection, &failed))
    {
        CloseSocket();
        return HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED);
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
    const std::string request = MakeHttpRequest(m_port, body);
    // A kept-alive connection that aria2 has closed fails at the first send or
    // read: such a call is made once more on a new connection.
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        const bool reused = m_socket != INVALID_SOCKET;
        if (!reused)
            RETURN_IF_FAILED(Connect());
        size_t sent = 0;
        bool broken = false;
        const DWORD start = ::GetTickCount();
        while (sent < request.size() && !broken)
        {
            const int n = ::send(m_socket, request.data() + sent, static_cast<int>(request.size() - sent), 0);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (::WSAGetLastError() == WSAEWOULDBLOCK && ::GetTickCount() - start < kAnswerTimeoutMs)
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
            const DWORD elapsed = ::GetTickCount() - start;
            if (elapsed >= kAnswerTimeoutMs)
            {
                CloseSocket();
                m_lastError = "aria2 did not answer in time";
                return HRESULT_FROM_WIN32(ERROR_TIMEOUT);
            }
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(m_socket, &readable);
            const DWORD left = kAnswerTimeoutMs - elapsed;
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
        if (!ParseRpcAnswer(std::string_view(buffer).substr(answer.bodyOffset, answer.bodyLength), id, result, error))
        {
            m_lastError = error;
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
        if (FAILED(EnsureRunning()))
            return HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE);
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
        if (FAILED(EnsureRunning()))
            return HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE);
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
