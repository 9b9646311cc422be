#include "engine_server/engine_core.h"

#include <shlobj.h>
#include <knownfolders.h>
#include <winhttp.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cwctype>
#include <cstdio>
#include <set>

#include "engine_server/engine_text.h"
#include "engine_server/file_names.h"
#include "engine_server/tls_trust.h"
#include "framework/error.h"
#include "framework/unique_any.h"
#include "text/proxy_text.h"
#include "text/ascii_url.h"

namespace tdm::engine {

using nlohmann::json;
using Phase = TransferStatus::Phase;

namespace {

// What is wrong with the request headers of a download (null: nothing). They
// go to aria2's session as they are, so the rule of CheckTexts holds for them
// too; a referrer is an http or https address (aria2 reads "*" as "the
// download's own address").
const char* HeadersProblem(const RequestHeaders& headers)
{
    if (HasControlCharacter(headers.referrer))
        return "The referrer contains a control character.";
    if (HasControlCharacter(headers.userAgent))
        return "The user agent contains a control character.";
    if (headers.referrer.size() > kMaxReferrerLength)
        return "The referrer is too long.";
    if (headers.userAgent.size() > kMaxUserAgentLength)
        return "The user agent is too long.";
    if (!headers.referrer.empty())
    {
        const size_t end = headers.referrer.find(L"://");
        std::wstring scheme = headers.referrer.substr(0, end);
        std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                       [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
        if (end == std::wstring::npos || (scheme != L"http" && scheme != L"https"))
            return "The referrer is not an http or https address.";
    }
    return nullptr;
}

constexpr wchar_t kSettingsKey[] = L"Software\\Tolvane\\Engine";
constexpr double kSecondsPerDay = 86400.0;
// aria2's exit status of a download refused for its credentials.
constexpr int kAria2AuthorizationFailed = 24;
// aria2's exit status of a continued download whose server ignored the range.
constexpr int kAria2ResumeRefused = 8;
// How long a pause may take to settle in aria2.
constexpr DWORD kHoldTimeoutMs = 10000;
// How long one poll may wait for aria2.
constexpr DWORD kPollDeadlineMs = 3000;
// Scope of a claimed event: the client whose browser window is the owner, or
// any client when the call that made or started the download gave no window.
long ScopeFor(long owner) noexcept { return owner ? 0 : 2; }

EventArgument Long(long value)
{
    EventArgument argument;
    V_VT(argument.value.get()) = VT_I4;
    V_I4(argument.value.get()) = value;
    return argument;
}
EventArgument Double(double value, VARTYPE type = VT_R8)
{
    EventArgument argument;
    V_VT(argument.value.get()) = type;
    V_R8(argument.value.get()) = value;
    return argument;
}
EventArgument Flag(bool value, bool byReference = false)
{
    EventArgument argument;
    V_VT(argument.value.get()) = VT_BOOL;
    V_BOOL(argument.value.get()) = value ? VARIANT_TRUE : VARIANT_FALSE;
    argument.byReference = byReference;
    return argument;
}
EventArgument Text(const std::wstring& text, bool byReference = false)
{
    EventArgument argument;
    V_VT(argument.value.get()) = VT_BSTR;
    V_BSTR(argument.value.get()) = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!V_BSTR(argument.value.get()))
        throw std::bad_alloc();
    argument.byReference = byReference;
    return argument;
}
EventArgument Word(unsigned short value)
{
    EventArgument argument;
    V_VT(argument.value.get()) = VT_UI2;
    V_UI2(argument.value.get()) = value;
    return argument;
}

// The arguments of an event, in declaration order (moved: they own their values).
template <typename... Arguments>
std::vector<EventArgument> Args(Arguments&&... arguments)
{
    std::vector<EventArgument> list;
    list.reserve(sizeof...(Arguments));
    (list.push_back(std::move(arguments)), ...);
    return list;
}

std::wstring TextOf(const EventArgument& argument)
{
    const VARIANT& value = *argument.value.get();
    return V_VT(&value) == VT_BSTR && V_BSTR(&value) ? std::wstring(V_BSTR(&value), ::SysStringLen(V_BSTR(&value)))
                                                    : std::wstring();
}
bool FlagOf(const EventArgument& argument)
{
    return V_VT(argument.value.get()) == VT_BOOL && V_BOOL(argument.value.get()) != VARIANT_FALSE;
}

std::wstring WithSeparator(std::wstring folder)
{
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/')
        folder += L'\\';
    return folder;
}
// A folder as aria2 takes it: without the separator at the end, except for a
// drive's root ("C:\\").
std::wstring WithoutSeparator(const std::wstring& folder)
{
    return folder.size() > 3 ? folder.substr(0, folder.size() - 1) : folder;
}

// `path` (a full local or UNC path) in the form that the file functions take
// as it stands: a server's name in the staging folder may end with a dot or be
// "CON", which the ordinary form would trim or turn into a device.
std::wstring ExtendedPath(std::wstring path)
{
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (path.compare(0, 4, L"\\\\?\\") == 0)
        return path;
    if (path.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + path.substr(2);
    if (path.size() > 2 && path[1] == L':')
        return L"\\\\?\\" + path;
    return path;
}

bool FileExists(const std::wstring& path) noexcept
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Removes `folder` (ending with "\\") with the files in it; best effort.
void RemoveFolderWithFiles(const std::wstring& folder) noexcept
try
{
    const std::wstring extended = ExtendedPath(folder);
    WIN32_FIND_DATAW found = {};
    {
        const unique_any<HANDLE, detail::CloseFindHandle, -1> search(::FindFirstFileW((extended + L"*").c_str(), &found));
        for (BOOL more = static_cast<bool>(search); more; more = ::FindNextFileW(search.get(), &found))
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                ::DeleteFileW((extended + found.cFileName).c_str());
    }
    ::RemoveDirectoryW(extended.c_str());
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

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

// Whether two folder paths (each ending with a separator) name the same
// folder: separators either way, letters of any case.
bool SameFolder(std::wstring a, std::wstring b)
{
    std::replace(a.begin(), a.end(), L'/', L'\\');
    std::replace(b.begin(), b.end(), L'/', L'\\');
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// A name for a new file beside `path` + `extension` that is not taken:
// "<path><extension>", else "<path> (2)<extension>", "(3)", ...
std::wstring FreeFileName(const std::wstring& path, const std::wstring& extension)
{
    std::wstring candidate = path + extension;
    for (int n = 2; ::GetFileAttributesW(candidate.c_str()) != INVALID_FILE_ATTRIBUTES && n < 10000; ++n)
        candidate = path + L" (" + std::to_wstring(n) + L")" + extension;
    return candidate;
}

std::wstring LocalTimeText(const wchar_t* format)
{
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    wchar_t text[64] = {};
    std::swprintf(text, 64, format, now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    return text;
}

// --- registry -------------------------------------------------------------------

DWORD ReadNumber(HKEY key, const wchar_t* name, DWORD fallback) noexcept
{
    DWORD value = 0, size = sizeof(value), type = 0;
    return ::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
                   type == REG_DWORD
               ? value
               : fallback;
}
std::wstring ReadText(HKEY key, const wchar_t* name, const std::wstring& fallback)
{
    DWORD size = 0, type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ)
        return fallback;
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &size) != ERROR_SUCCESS)
        return fallback;
    value.resize(::wcsnlen(value.c_str(), size / sizeof(wchar_t)));
    return value;
}
HRESULT WriteNumber(HKEY key, const wchar_t* name, DWORD value) noexcept
{
    RETURN_IF_WIN32_ERROR(::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)));
    return S_OK;
}
HRESULT WriteText(HKEY key, const wchar_t* name, const std::wstring& value) noexcept
{
    RETURN_IF_WIN32_ERROR(::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
    return S_OK;
}

// --- options as JSON (the download table) ------------------------------------------

json OptionsToJson(const DownloadOptionsData& o)
{
    return {{"url", Utf8FromWide(o.url)},           {"timeout", o.timeoutSeconds},
            {"localPath", Utf8FromWide(o.localPath)}, {"user", Utf8FromWide(o.userName)},
            {"password", Utf8FromWide(o.password)}, {"useProxy", o.useProxy},
            {"useIE", o.useIEProxySettings},        {"proxyUser", Utf8FromWide(o.proxyUserName)},
            {"proxyPassword", Utf8FromWide(o.proxyPassword)}, {"proxyServers", Utf8FromWide(o.proxyServers)},
            {"retries", o.retries},                 {"proxyBypass", Utf8FromWide(o.proxyBypass)},
            {"maxRedirections", o.maxRedirections}, {"ftpPassive", o.ftpPassive}};
}

template <typename T>
T Member(const json& object, const char* name, T fallback)
{
    const auto found = object.find(name);
    if (found == object.end())
        return fallback;
    if constexpr (std::is_same_v<T, bool>)
        return found->is_boolean() ? found->get<bool>() : fallback;
    else if constexpr (std::is_same_v<T, std::wstring>)
        return found->is_string() ? WideFromUtf8(found->get_ref<const std::string&>()) : fallback;
    else if constexpr (std::is_same_v<T, std::string>)
        return found->is_string() ? found->get<std::string>() : fallback;
    else if constexpr (std::is_floating_point_v<T>)
        return found->is_number() ? found->get<T>() : fallback;
    else
        return found->is_number_integer() ? static_cast<T>(found->get<int64_t>()) : fallback;
}

DownloadOptionsData OptionsFromJson(const json& j)
{
    DownloadOptionsData o;
    if (!j.is_object())
        return o;
    o.url = Member(j, "url", o.url);
    o.timeoutSeconds = Member(j, "timeout", o.timeoutSeconds);
    o.localPath = Member(j, "localPath", o.localPath);
    o.userName = Member(j, "user", o.userName);
    o.password = Member(j, "password", o.password);
    o.useProxy = Member(j, "useProxy", o.useProxy);
    o.useIEProxySettings = Member(j, "useIE", o.useIEProxySettings);
    o.proxyUserName = Member(j, "proxyUser", o.proxyUserName);
    o.proxyPassword = Member(j, "proxyPassword", o.proxyPassword);
    o.proxyServers = Member(j, "proxyServers", o.proxyServers);
    o.retries = Member(j, "retries", o.retries);
    o.proxyBypass = Member(j, "proxyBypass", o.proxyBypass);
    o.maxRedirections = Member(j, "maxRedirections", o.maxRedirections);
    o.ftpPassive = Member(j, "ftpPassive", o.ftpPassive);
    return o;
}

// The proxy of the system's internet settings: servers and exceptions texts.
void SystemProxy(std::wstring& servers, std::wstring& bypass)
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    if (!::WinHttpGetIEProxyConfigForCurrentUser(&config))
        return;
    // The texts are the caller's to free with GlobalFree.
    const unique_hglobal proxy(config.lpszProxy), proxyBypass(config.lpszProxyBypass),
        autoConfig(config.lpszAutoConfigUrl);
    if (config.lpszProxy)
        servers = config.lpszProxy;
    if (config.lpszProxyBypass)
        bypass = config.lpszProxyBypass;
}

}  // namespace

// --- start and end -------------------------------------------------------------------

HRESULT CEngineCore::Init() noexcept
try
{
    wchar_t folder[MAX_PATH] = {};
    RETURN_IF_FAILED(::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, folder));
    m_dataFolder = std::wstring(folder) + L"\\Tolvane\\Engine";
    RETURN_IF_FAILED(CreateFolderPath(m_dataFolder + L"\\logs"));
    unique_cotaskmem_string downloads;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_Downloads, KF_FLAG_CREATE, nullptr, downloads.put())) && downloads)
        m_defaultFolder = downloads.get();
    if (m_defaultFolder.empty() && SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, 0, folder)))
        m_defaultFolder = std::wstring(folder) + L"\\Downloads";
    m_defaultFolder = WithSeparator(m_defaultFolder);
    (void)CreateFolderPath(m_defaultFolder.substr(0, m_defaultFolder.size() - 1));

    RETURN_IF_FAILED(LoadSettings());
    (void)LOG_IF_FAILED(LoadTable());
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

    // Logs older than the days to keep go.
    if (m_settings.daysToKeep >= 0)
    {
        WIN32_FIND_DATAW found = {};
        const unique_any<HANDLE, detail::CloseFindHandle, -1> search(
            ::FindFirstFileW((m_dataFolder + L"\\logs\\*.log").c_str(), &found));
        FILETIME now = {};
        ::GetSystemTimeAsFileTime(&now);
        const ULONGLONG limit = ULONGLONG(m_settings.daysToKeep) * 864000000000ULL;
        for (BOOL more = static_cast<bool>(search); more; more = ::FindNextFileW(search.get(), &found))
        {
            const ULONGLONG written = (ULONGLONG(found.ftLastWriteTime.dwHighDateTime) << 32) |
                                      found.ftLastWriteTime.dwLowDateTime;
            const ULONGLONG current = (ULONGLONG(now.dwHighDateTime) << 32) | now.dwLowDateTime;
            if (current > written && current - written > limit)
                ::DeleteFileW((m_dataFolder + L"\\logs\\" + found.cFileName).c_str());
        }
    }
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

// --- settings -------------------------------------------------------------------------

HRESULT CEngineCore::LoadSettings() noexcept
try
{
    EngineSettings settings;
    settings.language = ::GetUserDefaultUILanguage();
    unique_hkey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS)
    {
        settings.keepCommonLog = ReadNumber(key.get(), L"KeepCommonLog", settings.keepCommonLog) != 0;
        settings.daysToKeep = static_cast<long>(ReadNumber(key.get(), L"DaysToKeep", settings.daysToKeep));
        settings.logPerDownload = ReadNumber(key.get(), L"LogPerDownload", settings.logPerDownload) != 0;
        settings.language = static_cast<LANGID>(ReadNumber(key.get(), L"Language", settings.language));
        settings.keepDescriptionFile = ReadNumber(key.get(), L"KeepDescriptionFile", 0) != 0;
        const DWORD connections = ReadNumber(key.get(), L"Connections", kDefaultConnections);
        settings.connections = connections >= 1 && connections <= kMaxConnections ? static_cast<long>(connections)
                                                                                  : kDefaultConnections;
        const DWORD mode = ReadNumber(key.get(), L"TrafficMode", settings.trafficMode);
        settings.trafficMode = mode >= 1 && mode <= 3 ? static_cast<long>(mode) : 3;
        for (int i = 0; i < 3; ++i)
        {
            const std::wstring name = L"SpeedLimit" + std::to_wstring(i + 1);
            settings.speedLimits[i] = ReadNumber(key.get(), name.c_str(), settings.speedLimits[i]);
        }
        settings.defaults = OptionsFromJson(json::parse(Utf8FromWide(ReadText(key.get(), L"DefaultOptions", L"{}")),
                                                        nullptr, false));
        // Registry values are another program's to write: options with a
        // control character are refused as a client's would be.
        if (FAILED(CheckTexts(settings.defaults, L"")))
        {
            LogEngine(L"The stored options of new downloads are not used: " + WideFromUtf8(m_lastError));
            settings.defaults = DownloadOptionsData();
        }
        if (HasControlCharacter(ReadText(key.get(), L"CaCertificateFile", L"")))
            LogEngine(L"Refused: the setting CaCertificateFile contains a control character; it is not used.");
    }
    m_settings = std::move(settings);
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CEngineCore::SaveSettings() noexcept
try
{
    unique_hkey key;
    RETURN_IF_WIN32_ERROR(::RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                            key.put(), nullptr));
    const EngineSettings& s = m_settings;
    RETURN_IF_FAILED(WriteNumber(key.get(), L"KeepCommonLog", s.keepCommonLog));
    RETURN_IF_FAILED(WriteNumber(key.get(), L"DaysToKeep", static_cast<DWORD>(s.daysToKeep)));
    RETURN_IF_FAILED(WriteNumber(key.get(), L"LogPerDownload", s.logPerDownload));
    RETURN_IF_FAILED(WriteNumber(key.get(), L"Language", s.language));
    RETURN_IF_FAILED(WriteNumber(key.get(), L"KeepDescriptionFile", s.keepDescriptionFile));
    RETURN_IF_FAILED(WriteNumber(key.get(), L"TrafficMode", static_cast<DWORD>(s.trafficMode)));
    for (int i = 0; i < 3; ++i)
        RETURN_IF_FAILED(WriteNumber(key.get(), (L"SpeedLimit" + std::to_wstring(i + 1)).c_str(), s.speedLimits[i]));
    RETURN_IF_FAILED(WriteText(key.get(), L"DefaultOptions", WideFromUtf8(OptionsToJson(s.defaults).dump())));
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CEngineCore::SetLogSettings(bool keepCommonLog, long daysToKeep, bool logPerDownload) noexcept
try
{
    RETURN_HR_IF(E_INVALIDARG, daysToKeep < -1);
    m_settings.keepCommonLog = keepCommonLog;
    m_settings.daysToKeep = daysToKeep;
    m_settings.logPerDownload = logPerDownload;
    RETURN_IF_FAILED(SaveSettings());
    FireSimple(kEventLogOption, Args(Flag(keepCommonLog), Long(daysToKeep), Flag(logPerDownload)));
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CEngineCore::SetLanguage(LANGID language) noexcept
try
{
    RETURN_HR_IF(E_INVALIDARG, language == 0);
    m_settings.language = language;
    RETURN_IF_FAILED(SaveSettings());
    FireSimple(kEventLanguage, Args(Word(language)));
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CEngineCore::SetKeepDescriptionFile(bool keep) noexcept
{
    m_settings.keepDescriptionFile = keep;
    return SaveSettings();
}

HRESULT CEngineCore::SetTrafficMode(long mode) noexcept
try
{
    RETURN_HR_IF(E_INVALIDARG, mode < 1 || mode > 3);
    m_settings.trafficMode = mode;
    RETURN_IF_FAILED(SaveSettings());
    UpdateTraffic();
    FireSimple(kEventTrafficMode, Args(Long(mode)));
    FireSimple(kEventSpeedLimit, Args(Long(static_cast<long>(m_settings.speedLimits[mode - 1]))));
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

void CEngineCore::UpdateTraffic() noexcept
try
{
    json result;
    const uint32_t limit = m_settings.speedLimits[m_settings.trafficMode - 1];
    (void)LOG_IF_FAILED(m_backend.Call("aria2.changeGlobalOption",
                                       json::array({{{"max-overall-download-limit", std::to_string(limit)}}}), result));
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

// --- download table -------------------------------------------------------------------------

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
    if (d.id <= 0 || m_downloads.count(d.id))
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
    d.resumable = Member(row, "resumable", 2L);
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
    m_downloads.emplace(d.id, std::move(d));
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
    // The downloads added after the table was last saved, one line each (the
    // last one may be cut by a crash: it is no object and is left).
    const std::string journal = ReadWholeFile(JournalPath());
    for (size_t start = 0; start < journal.size();)
    {
        size_t end = journal.find('\n', start);
        if (end == std::string::npos)
            end = journal.size();
        const json row = json::parse(journal.substr(start, end - start), nullptr, false);
        start = end + 1;
        if (row.is_object())
        {
            TakeRow(row);
            m_tableDirty = true;
        }
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

// A new download goes into the journal before its add returns: one line,
// however many downloads there are. The table follows at the next poll. A
// journal that cannot be written gives way to the whole table.
void CEngineCore::Journal(const Download& d) noexcept
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
    const std::string line = RowOf(d).dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    DWORD written = 0;
    if (m_journal && ::WriteFile(m_journal.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
        written == line.size())
    {
        ++m_journalLines;
        m_lastJournaled = ::GetTickCount();
        return;
    }
    m_journal.reset();
    SaveTable();
}
catch (...)
{
    SaveTable();
}

CEngineCore::Download* CEngineCore::Find(long id) noexcept
{
    const auto found = m_downloads.find(id);
    return found == m_downloads.end() ? nullptr : &found->second;
}

// By the index of aria2's ids the poll made as it began.
CEngineCore::Download* CEngineCore::FindByGid(const std::string& gid) noexcept
{
    const auto found = m_byGid.find(gid);
    Download* d = found == m_byGid.end() ? nullptr : Find(found->second);
    return d && d->gid == gid ? d : nullptr;
}

void CEngineCore::Log(Download& download, const std::wstring& message) noexcept
try
{
    const std::wstring line = LocalTimeText(L"%04u-%02u-%02u\t%02u:%02u:%02u\t") + message + L"\r\n";
    if (m_settings.logPerDownload)
        (void)LOG_IF_FAILED(AppendToFile(m_dataFolder + L"\\logs\\" + std::to_wstring(download.id) + L".log",
                                         Utf8FromWide(line)));
    if (m_settings.keepCommonLog)
        (void)LOG_IF_FAILED(AppendToFile(m_dataFolder + L"\\logs\\common.log",
                                         Utf8FromWide(std::to_wstring(download.id) + L"\t" + line)));
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

// What concerns the engine rather than one download (a refused text, a
// download aria2 ran on its own) goes to the common log whatever its setting.
void CEngineCore::LogEngine(const std::wstring& message) noexcept
try
{
    TraceToDebugger(__FILE__, __LINE__, Utf8FromWide(message).c_str());
    (void)LOG_IF_FAILED(AppendToFile(m_dataFolder + L"\\logs\\common.log",
                                     Utf8FromWide(L"-\t" + LocalTimeText(L"%04u-%02u-%02u\t%02u:%02u:%02u\t") +
                                                  message + L"\r\n")));
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

HRESULT CEngineCore::Refuse(const std::string& text) noexcept
{
    LogEngine(L"Refused: " + WideFromUtf8(text));
    return Fail(E_INVALIDARG, text);
}

// aria2 keeps its downloads in line-based files (its session): a control
// character in any text it gets would start a line of its own there, with an
// option of the sender's choice after the next restart.
HRESULT CEngineCore::CheckTexts(const DownloadOptionsData& o, const std::wstring& cookie) noexcept
try
{
    const std::pair<const char*, const std::wstring*> fields[] = {
        {"address", &o.url},
        {"local path", &o.localPath},
        {"user name", &o.userName},
        {"password", &o.password},
        {"proxy user name", &o.proxyUserName},
        {"proxy password", &o.proxyPassword},
        {"proxy servers", &o.proxyServers},
        {"proxy exceptions", &o.proxyBypass},
        {"cookie", &cookie},
    };
    for (const auto& [name, text] : fields)
        if (HasControlCharacter(*text))
            return Refuse(std::string("The ") + name + " contains a control character.");
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CEngineCore::CheckHeaders(const RequestHeaders& headers) noexcept
try
{
    if (const char* problem = HeadersProblem(headers))
        return Refuse(problem);
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

// A folder and file name a client gave: a full path, and a name that is the
// file it says (an empty name: the server names the file later).
HRESULT CEngineCore::CheckPlace(const std::wstring& folder, const std::wstring& fileName) noexcept
try
{
    if (const char* problem = FolderProblem(folder))
        return Refuse("The folder " + Utf8FromWide(folder) + " " + problem + ".");
    if (const char* problem = fileName.empty() ? nullptr : FileNameProblem(fileName))
        return Refuse("The file name " + Utf8FromWide(fileName) + " " + problem + ".");
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

// --- events ---------------------------------------------------------------------------------

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
                Text(L""), Double(0.0, VT_DATE), Flag(d.resumable == 1), Long(d.state), Long(d.owner), Long(d.scope),
                Text(folder, true), Text(name, true), Flag(claimed, true), Flag(false, true));
}

std::wstring CEngineCore::StagingFolder(long id) const
{
    return m_dataFolder + L"\\staging\\" + std::to_wstring(id) + L"\\";
}

// --- operations ---------------------------------------------------------------------------

json CEngineCore::BackendOptions(const Download& d) const
{
    const DownloadOptionsData& o = d.options;
    json options = json::object();
    options["dir"] = m_backend.ToBackendPath(WithoutSeparator(d.staging.empty() ? d.folder : d.staging));
    // In staging aria2 keeps the server's name; the settled one comes with the move.
    if (d.nameGiven && !d.fileName.empty() && d.staging.empty())
        options["out"] = Utf8FromWide(LoadName(d));
    // The staging folder is the download's own: a file there without aria2's
    // control file is what an interrupted attempt left (a restart, a retry with
    // credentials), loaded again in place, not kept beside a renamed copy.
    if (!d.staging.empty())
        options["allow-overwrite"] = "true";
    // Several connections load sections of one file; aria2 opens them only
    // to a server that answers range requests, and only for a file of at
    // least two sections of 1 MiB.
    const std::string connections = std::to_string(m_settings.connections);
    options["split"] = connections;
    options["max-connection-per-server"] = connections;
    options["min-split-size"] = "1M";
    const long timeout = std::clamp(o.timeoutSeconds, 1L, 600L);
    options["timeout"] = std::to_string(timeout);
    options["connect-timeout"] = std::to_string(timeout);
    options["max-tries"] = std::to_string(std::clamp(o.retries, 0L, 99L) + 1);
    options["retry-wait"] = "1";
    options["ftp-pasv"] = o.ftpPassive ? "true" : "false";
    // A torrent or Metalink answer is saved as the file it is: aria2 would
    // otherwise load what it names, under downloads the engine never sees.
    options["follow-torrent"] = "false";
    options["follow-metalink"] = "false";
    // http credentials go only to the server that asks for them: in the
    // address (BackendUri) once it has, which aria2 keeps to that server; its
    // http-user would go to any server a redirection leads to. The cookie is
    // in the cookie file, scoped to the download's host and path.
    options["http-auth-challenge"] = "true";
    const bool ftp = d.url.compare(0, 4, L"ftp:") == 0;
    if (ftp && (!o.userName.empty() || !o.password.empty()))
    {
        options["ftp-user"] = Utf8FromWide(o.userName);
        options["ftp-passwd"] = Utf8FromWide(o.password);
    }
    // The page's address and the browser's user agent go with every request,
    // as the browser would send them (servers that refuse other requests).
    if (!d.headers.referrer.empty())
        options["referer"] = AsciiUrl(d.headers.referrer);  // an address on the wire is ASCII
    if (!d.headers.userAgent.empty())
        options["user-agent"] = Utf8FromWide(d.headers.userAgent);
    // Without a proxy none is used, whatever aria2's environment says.
    options["all-proxy"] = "";
    if (o.useProxy)
    {
        std::wstring servers = o.proxyServers, bypass = o.proxyBypass;
        if (o.useIEProxySettings)
        {
            servers.clear();
            bypass.clear();
            SystemProxy(servers, bypass);
        }
        const ProxyServers parsed = ParseProxyServers(Utf8FromWide(servers));
        const std::string user = Utf8FromWide(o.proxyUserName), password = Utf8FromWide(o.proxyPassword);
        const auto proxy = [&](const char* option, const std::string& host, const std::string& port) {
            if (host.empty())
                return;
            options[option] = "http://" + host + (port.empty() ? "" : ":" + port);
            if (!user.empty())
            {
                options[std::string(option) + "-user"] = user;
                options[std::string(option) + "-passwd"] = password;
            }
        };
        proxy("http-proxy", parsed.httpHost, parsed.httpPort);
        proxy("https-proxy", parsed.httpHost, parsed.httpPort);
        proxy("ftp-proxy", parsed.sameForAll ? parsed.httpHost : parsed.ftpHost,
              parsed.sameForAll ? parsed.httpPort : parsed.ftpPort);
        // The exceptions are kept in the browser's format; aria2 gets what its
        // no-proxy matches of them (the proxy dialog names the entries it drops).
        const NoProxyHosts noProxy = TranslateProxyExceptions(Utf8FromWide(bypass));
        if (!noProxy.hosts.empty())
            options["no-proxy"] = noProxy.hosts;
    }
    return options;
}

namespace {

std::string PercentEncoded(const std::string& text)
{
    std::string encoded;
    for (const unsigned char c : text)
    {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~')
            encoded += static_cast<char>(c);
        else
        {
            char escape[4];
            std::snprintf(escape, sizeof(escape), "%%%02X", c);
            encoded += escape;
        }
    }
    return encoded;
}

// The parts of an address the cookie file needs: host (without port) and the
// folder of its path ("/" when it has none), or false when it has no host.
bool HostAndFolder(const std::wstring& url, std::string& host, std::string& folder)
{
    const std::string text = Utf8FromWide(url);
    const size_t scheme = text.find("://");
    if (scheme == std::string::npos)
        return false;
    const size_t start = scheme + 3, end = text.find_first_of("/?#", start);
    std::string authority = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    authority = authority.substr(authority.find('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
    const size_t colon = authority.rfind(':');
    host = authority[0] == '[' ? authority.substr(0, authority.find(']') + 1) : authority.substr(0, colon);
    std::string path = end == std::string::npos || text[end] != '/' ? "/" : text.substr(end);
    path = path.substr(0, path.find_first_of("?#"));
    const size_t last = path.rfind('/');
    folder = last == 0 ? "/" : path.substr(0, last);
    return !host.empty();
}

}  // namespace

// The address as it goes on the wire: characters outside ASCII (an address
// typed or linked in any script) as the %XX escapes of their UTF-8, as a
// browser sends them. The download keeps its address as it was given.
std::string CEngineCore::BackendUri(const Download& d) const
{
    const std::string url = AsciiUrl(d.url);
    const size_t scheme = url.find("://");
    if (!d.credentialsAsked || d.options.userName.empty() || scheme == std::string::npos ||
        url.compare(0, 4, "http") != 0 || url.find('@', scheme) < url.find_first_of("/?#", scheme + 3))
        return url;
    return url.substr(0, scheme + 3) + PercentEncoded(Utf8FromWide(d.options.userName)) + ":" +
           PercentEncoded(Utf8FromWide(d.options.password)) + "@" + url.substr(scheme + 3);
}

// Writes the cookie file that aria2 loads as it starts: every download's
// cookie for its own host and path (https ones for https only), as a browser
// keeps them. aria2 reads the file only when it starts, so a changed file
// means another aria2 (the downloads go on from its session).
HRESULT CEngineCore::UpdateCookies() noexcept
try
{
    std::set<std::string> lines;
    for (const auto& [id, d] : m_downloads)
    {
        std::string host, folder;
        if (d.cookie.empty() || !HostAndFolder(d.url, host, folder))
            continue;
        const std::string secure = d.url.compare(0, 6, L"https:") == 0 ? "TRUE" : "FALSE";
        const std::string cookie = Utf8FromWide(d.cookie);
        for (size_t start = 0; start < cookie.size();)
        {
            size_t end = cookie.find(';', start);
            if (end == std::string::npos)
                end = cookie.size();
            std::string pair = cookie.substr(start, end - start);
            start = end + 1;
            pair.erase(0, pair.find_first_not_of(' '));
            const size_t equals = pair.find('=');
            if (equals == 0 || equals == std::string::npos)
                continue;
            // host only, the folder, secure, a session cookie (expiry 0), name, value
            lines.insert(host + "\tFALSE\t" + folder + "\t" + secure + "\t0\t" + pair.substr(0, equals) + "\t" +
                         pair.substr(equals + 1) + "\n");
        }
    }
    std::string text;
    for (const std::string& line : lines)
        text += line;
    if (text == m_cookieFile)
        return S_OK;
    RETURN_IF_FAILED(WriteUserOnlyFile(m_dataFolder + L"\\cookies.txt", text));
    m_cookieFile = text;
    m_backend.Restart();
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

HRESULT CEngineCore::AddToBackend(Download& d, bool start, long queuePosition) noexcept
try
{
    json options = BackendOptions(d);
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
    m_tableDirty = true;
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
    if (!d.nameGiven)
    {
        d.staging = StagingFolder(d.id);
        RemoveFolderWithFiles(d.staging);
        if (FAILED(CreateFolderPath(WithoutSeparator(d.staging))))
            return Fail(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), "The staging folder cannot be created.");
    }
    const long id = d.id;
    if (!cookie.empty())
    {
        // The cookie file is made from the table: the download is in it first.
        m_downloads.emplace(id, d);
        const HRESULT cookies = UpdateCookies();
        m_downloads.erase(id);
        RETURN_HR_IF(Fail(cookies, "The cookie cannot be handed to the download backend."), FAILED(cookies));
    }
    // The journal line holds the new download whole: the table is not
    // dirtier for it.
    const bool dirty = m_tableDirty;
    RETURN_IF_FAILED(AddToBackend(d, start, queuePosition));
    m_tableDirty = dirty;
    d.state = start ? kStateRunning : kStateStopped;
    ++m_nextId;
    Log(d, L"Added " + d.url + L" to " + d.folder + d.fileName);
    const std::wstring url = d.url, folder = d.folder, fileName = d.fileName;
    const long state = d.state, priority = d.priority;
    const Download& added = m_downloads.emplace(id, std::move(d)).first->second;
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
        // continues a partial file from its control file.
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
    m_tableDirty = true;
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
    m_tableDirty = true;
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
    ::DeleteFileW((m_dataFolder + L"\\logs\\" + std::to_wstring(id) + L".log").c_str());
    m_downloads.erase(id);
    SaveTable();
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
    log = WideFromUtf8(ReadWholeFile(m_dataFolder + L"\\logs\\" + std::to_wstring(id) + L".log"));
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
    m_tableDirty = true;
    Log(*d, L"Options changed");
    if (d->url != oldUrl || d->folder + d->fileName != oldPath)
    {
        const std::wstring url = d->url, newPath = d->folder + d->fileName;
        SaveTable();
        FireSimple(kEventRenamed, Args(Long(id), Text(url), Text(newPath)));
    }
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
}

// --- the download list ------------------------------------------------------------------

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

// --- polling ------------------------------------------------------------------------------

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
    const CAria2Backend::CallDeadline deadline(m_backend, kPollDeadlineMs);

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
    // Adds in a row are in the journal: the whole table follows once they
    // pause or the journal is long, not at every poll of the run.
    if (m_tableDirty || m_journalLines >= kJournalLinesToSave ||
        (m_journalLines && ::GetTickCount() - m_lastJournaled >= kJournalQuietMs))
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
                m_tableDirty = true;
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
    // does not resume makes aria2 fail instead).
    const bool resumed = d->startLoaded > 0 && status.phase == Phase::Active &&
                         status.completedLength > d->startLoaded;
    if ((status.connections > 1 || resumed) && d->resumable != 1)
    {
        d->resumable = 1;
        events.emplace_back(kEventResumeSupport, std::vector<EventArgument>{});
        events.back().second.push_back(Long(id));
        events.back().second.push_back(Flag(true));
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
        m_tableDirty = true;
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

void CEngineCore::AskCredentials(long id, const TransferStatus& status) noexcept
try
{
    Download* d = Find(id);
    const bool http = d->url.compare(0, 4, L"http") == 0;
    json result;
    if (http && !d->credentialsAsked && !d->options.userName.empty())
    {
        // The first request for credentials gets the download's own: they go
        // with the address from now on.
        d->credentialsAsked = true;
        (void)m_backend.Call("aria2.removeDownloadResult", json::array({d->gid}), result);
        if (SUCCEEDED(AddToBackend(*d, true, -1)))
        {
            Log(*d, L"The server asks for credentials: the download's are given");
            m_tableDirty = true;
            return;
        }
        d = Find(id);
    }
    const long attempt = ++d->attempts;
    std::vector<EventArgument> arguments;
    arguments.push_back(Long(id));
    arguments.push_back(Long(d->owner));
    arguments.push_back(Long(d->scope));
    arguments.push_back(Text(d->url));
    arguments.push_back(Text(L""));
    arguments.push_back(Long(attempt));
    arguments.push_back(Flag(false));
    arguments.push_back(Text(d->options.userName, true));
    arguments.push_back(Text(d->options.password, true));
    arguments.push_back(Flag(false, true));
    arguments.push_back(Flag(false, true));
    arguments.push_back(Flag(false, true));
    d->phase = Phase::Error;
    d->asking = true;
    Log(*d, L"The server asks for credentials");
    m_events.Ask(kEventCredentials, std::move(arguments), 11,
                 [this, id, status](std::vector<EventArgument>& answer) { CredentialsAnswered(id, status, answer); });
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

void CEngineCore::CredentialsAnswered(long id, const TransferStatus& status, std::vector<EventArgument>& arguments) noexcept
try
{
    // The download may have been deleted or started again meanwhile.
    Download* d = Find(id);
    if (!d || !d->asking || d->gid != status.gid || arguments.size() != 12)
        return;
    d->asking = false;
    const bool cancel = FlagOf(arguments[10]);
    bool answered = FlagOf(arguments[11]);
    if (answered && (HasControlCharacter(TextOf(arguments[7])) || HasControlCharacter(TextOf(arguments[8]))))
    {
        LogEngine(L"Refused: the credentials of a client's answer contain a control character.");
        answered = false;
    }
    if (answered && !cancel)
    {
        // aria2 changes no options of a failed download: it is added again with
        // the credentials and continues.
        d->options.userName = TextOf(arguments[7]);
        d->options.password = TextOf(arguments[8]);
        d->credentialsAsked = true;
        json result;
        (void)m_backend.Call("aria2.removeDownloadResult", json::array({d->gid}), result);
        if (SUCCEEDED(AddToBackend(*d, true, -1)))
        {
            d->hadError = true;
            d->state = kStateRunning | kStateError;
            Log(*d, L"Credentials given; started again");
            FireSimple(kEventStateChanged, Args(Long(id), Long(d->state), Double(d->elapsedDays)));
            return;
        }
    }
    // Not answered: the download ends with the server's refusal.
    d->phase = Phase::Active;
    d->state = kStateRunning;
    TransferStatus failed = status;
    failed.errorCode = 0;
    ApplyStatus(id, failed);
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

// The file-name question. The engine proposes the download's folder and the
// server's name; the client that claims the event may change both or cancel.
// Then the partial file (and aria2's control file) leaves the staging folder
// for its place and the transfer continues there with a range request.
void CEngineCore::AskFileName(long id, const TransferStatus& status) noexcept
try
{
    Download* d = Find(id);
    // Settled already: the move waits only for aria2 to let the file go.
    if (!d->settledName.empty())
    {
        const std::wstring folder = std::move(d->settledFolder), name = std::move(d->settledName);
        d->settledName.clear();
        SettlePlace(id, status, folder, name, d->settledReplace);
        return;
    }
    const std::wstring staged = m_backend.FromBackendPath(status.path);
    const std::wstring stagedName = staged.substr(staged.find_last_of(L"\\/") + 1);
    if (status.totalLength)
        d->totalSize = Clamp32(status.totalLength);
    d->loadedSize = Clamp32(status.completedLength);
    // A name set through the download's options meanwhile is proposed instead;
    // the server's is made safe first.
    const std::wstring proposed = d->nameGiven && !d->fileName.empty() ? d->fileName : SafeFileName(stagedName);
    std::vector<EventArgument> question = FileInfoArguments(*d, d->folder, proposed, false);
    Log(*d, L"The server names the file " + stagedName);
    d->asking = true;
    m_events.Ask(kEventFileInfo, std::move(question), 12,
                 [this, id, status, proposed](std::vector<EventArgument>& answer) {
                     FileNameAnswered(id, status, proposed, answer);
                 });
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

void CEngineCore::FileNameAnswered(long id, const TransferStatus& status, const std::wstring& proposed,
                                   std::vector<EventArgument>& question) noexcept
try
{
    // A client may have deleted the download meanwhile.
    Download* d = Find(id);
    if (!d || !d->asking || d->gid != status.gid || question.size() != 14)
        return;
    d->asking = false;
    if (d->staging.empty())
        return;
    if (FlagOf(question[13]))
    {
        Log(*d, L"Cancelled at the file-name question");
        (void)Delete(id);
        return;
    }
    std::wstring folder = WithSeparator(TextOf(question[10])), name = TextOf(question[11]);
    if (folder.empty())
        folder = d->folder;
    if (name.empty())
        name = proposed;
    // The client that claimed the question has asked the user about an
    // existing file; without a claim nobody has, and nothing is replaced.
    SettlePlace(id, status, folder, name, FlagOf(question[12]));
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
    m_tableDirty = true;
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
    m_tableDirty = true;
    SaveTable();
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
    m_tableDirty = true;
    Log(d, L"Replaced " + target);
    return S_OK;
}
catch (...)
{
    return HResultFromCaughtException();
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
    const bool resumableBefore = d->resumable != 0;
    d->resumable = 0;
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

// Waits (bounded) until aria2 no longer transfers download `gid`, and returns
// its phase then (Active when it did not settle in time).
TransferStatus::Phase CEngineCore::WaitUntilHeld(const std::string& gid) noexcept
try
{
    // However slow aria2 is, the wait ends within one deadline.
    const CAria2Backend::CallDeadline deadline(m_backend, kHoldTimeoutMs);
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
    m_tableDirty = true;
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

}  // namespace tdm::engine
