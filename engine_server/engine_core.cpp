#include "engine_server/engine_core.h"

#include <shlobj.h>
#include <knownfolders.h>
#include <winhttp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "engine_server/backend_path.h"
#include "engine_server/engine_text.h"
#include "engine_server/tls_trust.h"
#include "framework/error.h"
#include "framework/unique_any.h"
#include "settings/proxy_text.h"

namespace tdm::engine {

using nlohmann::json;
using Phase = TransferStatus::Phase;

namespace {

constexpr wchar_t kSettingsKey[] = L"Software\\Tolvane\\Engine";
constexpr long kStateRunning = 0x01, kStateTransferring = 0x02, kStateComplete = 0x04, kStateStopped = 0x08,
               kStateError = 0x10;
constexpr double kSecondsPerDay = 86400.0;
// aria2's exit status of a download refused for its credentials.
constexpr int kAria2AuthorizationFailed = 24;
// aria2's exit status of a continued download whose server ignored the range.
constexpr int kAria2ResumeRefused = 8;
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

// Removes `folder` (ending with "\\") with the files in it; best effort.
void RemoveFolderWithFiles(const std::wstring& folder) noexcept
try
{
    WIN32_FIND_DATAW found = {};
    {
        const unique_any<HANDLE, detail::CloseFindHandle, -1> search(::FindFirstFileW((folder + L"*").c_str(), &found));
        for (BOOL more = static_cast<bool>(search); more; more = ::FindNextFileW(search.get(), &found))
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                ::DeleteFileW((folder + found.cFileName).c_str());
    }
    ::RemoveDirectoryW(folder.c_str());
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
    if (const HRESULT certificate = CertificateErrorCode(status.errorMessage))
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
    return Fail(hr == E_FAIL ? E_FAIL : HRESULT_FROM_WIN32(ERROR_SERVICE_NOT_ACTIVE),
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
        const DWORD mode = ReadNumber(key.get(), L"TrafficMode", settings.trafficMode);
        settings.trafficMode = mode >= 1 && mode <= 3 ? static_cast<long>(mode) : 3;
        for (int i = 0; i < 3; ++i)
        {
            const std::wstring name = L"SpeedLimit" + std::to_wstring(i + 1);
            settings.speedLimits[i] = ReadNumber(key.get(), name.c_str(), settings.speedLimits[i]);
        }
        settings.defaults = OptionsFromJson(json::parse(Utf8FromWide(ReadText(key.get(), L"DefaultOptions", L"{}")),
                                                        nullptr, false));
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

HRESULT CEngineCore::LoadTable() noexcept
try
{
    const std::string text = ReadWholeFile(m_dataFolder + L"\\downloads.json");
    if (text.empty())
        return S_OK;
    const json table = json::parse(text, nullptr, false);
    RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), !table.is_object());
    m_nextId = std::max<long>(1, Member(table, "nextId", 1L));
    const auto rows = table.find("downloads");
    if (rows == table.end() || !rows->is_array())
        return S_OK;
    for (const json& row : *rows)
    {
        Download d;
        d.id = Member(row, "id", 0L);
        if (d.id <= 0 || m_downloads.count(d.id))
            continue;
        d.gid = Member(row, "gid", std::string());
        d.url = Member(row, "url", std::wstring());
        d.folder = WithSeparator(Member(row, "folder", std::wstring()));
        d.fileName = Member(row, "fileName", std::wstring());
        d.nameGiven = Member(row, "nameGiven", false);
        d.staging = Member(row, "staging", std::wstring());
        d.state = Member(row, "state", kStateStopped);
        d.elapsedDays = Member(row, "elapsed", 0.0);
        d.totalSize = Member(row, "total", uint32_t{0});
        d.loadedSize = Member(row, "loaded", uint32_t{0});
        d.resumable = Member(row, "resumable", 2L);
        d.attempts = Member(row, "attempts", 0L);
        d.owner = Member(row, "owner", 0L);
        d.scope = Member(row, "scope", 2L);
        d.hadError = Member(row, "hadError", false);
        d.fileInfoSent = Member(row, "fileInfoSent", false);
        d.cookie = Member(row, "cookie", std::wstring());
        d.options = OptionsFromJson(row.value("options", json::object()));
        d.phase = d.state & kStateComplete ? (d.state & kStateError ? Phase::Error : Phase::Complete) : Phase::Paused;
        m_nextId = std::max(m_nextId, d.id + 1);
        m_downloads.emplace(d.id, std::move(d));
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
        rows.push_back({{"id", d.id},           {"gid", d.gid},
                        {"url", Utf8FromWide(d.url)}, {"folder", Utf8FromWide(d.folder)},
                        {"fileName", Utf8FromWide(d.fileName)}, {"nameGiven", d.nameGiven},
                        {"staging", Utf8FromWide(d.staging)},
                        {"state", d.state},     {"elapsed", d.elapsedDays},
                        {"total", d.totalSize}, {"loaded", d.loadedSize},
                        {"resumable", d.resumable}, {"attempts", d.attempts},
                        {"owner", d.owner},     {"scope", d.scope},
                        {"hadError", d.hadError}, {"fileInfoSent", d.fileInfoSent},
                        {"cookie", Utf8FromWide(d.cookie)}, {"options", OptionsToJson(d.options)}});
    const json table = {{"nextId", m_nextId}, {"downloads", std::move(rows)}};
    if (SUCCEEDED(LOG_IF_FAILED(ReplaceFileContent(m_dataFolder + L"\\downloads.json",
                                                   table.dump(-1, ' ', false, json::error_handler_t::replace)))))
        m_tableDirty = false;
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

CEngineCore::Download* CEngineCore::Find(long id) noexcept
{
    const auto found = m_downloads.find(id);
    return found == m_downloads.end() ? nullptr : &found->second;
}

CEngineCore::Download* CEngineCore::FindByGid(const std::string& gid) noexcept
{
    for (auto& [id, d] : m_downloads)
        if (d.gid == gid)
            return &d;
    return nullptr;
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
std::wstring CEngineCore::CaFileRefusal(const std::string& message) const
{
    if (!CertificateErrorCode(message) || m_backend.TakesCaFile() || ExtraCaFileSetting().empty())
        return {};
    return L" (the CaCertificateFile setting does not apply: the Windows aria2 trusts only the certificate "
           L"authorities of the Windows certificate store; add the authority there)";
}

// --- events ---------------------------------------------------------------------------------

void CEngineCore::FireSimple(DISPID dispid, std::vector<EventArgument> arguments) noexcept
{
    m_events.Fire(dispid, arguments);
}

void CEngineCore::FireClaimed(DISPID dispid, std::vector<EventArgument> arguments) noexcept
try
{
    arguments.push_back(Flag(false, true));
    m_events.Fire(dispid, arguments);
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
        options["out"] = Utf8FromWide(d.fileName);
    const long timeout = std::clamp(o.timeoutSeconds, 1L, 600L);
    options["timeout"] = std::to_string(timeout);
    options["connect-timeout"] = std::to_string(timeout);
    options["max-tries"] = std::to_string(std::clamp(o.retries, 0L, 99L) + 1);
    options["retry-wait"] = "1";
    options["ftp-pasv"] = o.ftpPassive ? "true" : "false";
    const bool ftp = d.url.compare(0, 4, L"ftp:") == 0;
    if (!o.userName.empty() || !o.password.empty())
    {
        options[ftp ? "ftp-user" : "http-user"] = Utf8FromWide(o.userName);
        options[ftp ? "ftp-passwd" : "http-passwd"] = Utf8FromWide(o.password);
    }
    if (!d.cookie.empty())
        options["header"] = json::array({"Cookie: " + Utf8FromWide(d.cookie)});
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
        // "<local>" (names without a dot) has no aria2 counterpart and is dropped.
        const ProxyExceptions exceptions = ParseProxyExceptions(Utf8FromWide(bypass));
        std::string noProxy;
        for (size_t start = 0; start <= exceptions.list.size();)
        {
            size_t end = exceptions.list.find(';', start);
            if (end == std::string::npos)
                end = exceptions.list.size();
            std::string entry = exceptions.list.substr(start, end - start);
            entry.erase(std::remove(entry.begin(), entry.end(), ' '), entry.end());
            if (!entry.empty())
                noProxy += (noProxy.empty() ? "" : ",") + entry;
            start = end + 1;
        }
        if (!noProxy.empty())
            options["no-proxy"] = noProxy;
    }
    return options;
}

HRESULT CEngineCore::AddToBackend(Download& d, bool start, long queuePosition) noexcept
try
{
    json options = BackendOptions(d);
    if (!start)
        options["pause"] = "true";
    json params = json::array({json::array({Utf8FromWide(d.url)}), options});
    if (queuePosition >= 0)
        params.push_back(queuePosition);
    json result;
    const HRESULT hr = m_backend.Call("aria2.addUri", params, result);
    if (FAILED(hr))
        return BackendFailure(hr);
    RETURN_HR_IF(Fail(E_FAIL, "aria2 gave no download id"), !result.is_string() || result.get_ref<const std::string&>().empty());
    d.gid = result.get<std::string>();
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
                                 const std::wstring& cookie) noexcept
try
{
    if (options.url.empty())
        return Fail(E_INVALIDARG, "A download needs an address.");
    Download d;
    d.id = m_nextId;
    d.url = options.url;
    d.options = options;
    d.owner = owner;
    d.scope = ScopeFor(owner);
    d.cookie = cookie;
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
    if (FAILED(CreateFolderPath(d.folder.substr(0, d.folder.size() - 1))))
        return Fail(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), "The download folder cannot be created.");
    if (!d.nameGiven)
    {
        d.staging = StagingFolder(d.id);
        RemoveFolderWithFiles(d.staging);
        if (FAILED(CreateFolderPath(WithoutSeparator(d.staging))))
            return Fail(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), "The staging folder cannot be created.");
    }
    RETURN_IF_FAILED(AddToBackend(d, start, queuePosition));
    d.state = start ? kStateRunning : kStateStopped;
    ++m_nextId;
    const long id = d.id;
    Log(d, L"Added " + d.url + L" to " + d.folder + d.fileName);
    const std::wstring url = d.url, folder = d.folder, fileName = d.fileName;
    const long state = d.state, priority = d.priority;
    m_downloads.emplace(id, std::move(d));
    SaveTable();
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
    d->owner = owner;
    d->scope = ScopeFor(owner);
    if (!cookie.empty())
        d->cookie = cookie;
    if (d->state & (kStateRunning | kStateTransferring))
        return S_OK;
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
        ::DeleteFileW((d->folder + d->fileName + L".aria2").c_str());
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
    if (id == -1)
    {
        m_settings.defaults = options;
        return SaveSettings();
    }
    Download* d = Find(id);
    RETURN_HR_IF(Fail(E_INVALIDARG, "No download has this id."), !d);
    const std::wstring oldUrl = d->url, oldPath = d->folder + d->fileName;
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
        json changed = BackendOptions(*d);
        changed.erase("header");
        if (FAILED(m_backend.Call("aria2.changeOption", json::array({d->gid, changed}), result)))
            return BackendFailure(E_FAIL);
        if (d->url != oldUrl &&
            FAILED(m_backend.Call("aria2.changeUri", json::array({d->gid, 1, json::array({Utf8FromWide(oldUrl)}),
                                                                  json::array({Utf8FromWide(d->url)})}),
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
            if (SUCCEEDED(m_backend.Call("aria2.addUri", json::array({json::array({Utf8FromWide(d->url)}), options}),
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
    if (m_tableDirty)
        SaveTable();
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
    if (status.phase == Phase::Error && status.errorCode == kAria2AuthorizationFailed && d->phase != Phase::Error)
    {
        AskCredentials(id, status);
        return;
    }
    if (status.phase == Phase::Error && status.errorCode == kAria2ResumeRefused && d->phase != Phase::Error)
    {
        RestartFromScratch(id);
        return;
    }
    // The server has named the file (or it is loaded already): the name is
    // settled before anything else is reported.
    if (!d->staging.empty() && status.hasPath && !status.path.empty() &&
        ((status.phase == Phase::Active && status.totalLength) || status.phase == Phase::Complete))
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
    if (status.hasPath && !status.path.empty() && d->staging.empty() && !wasComplete)
    {
        const std::wstring path = m_backend.FromBackendPath(status.path);
        const size_t separator = path.find_last_of(L"\\/");
        if (separator != std::wstring::npos)
        {
            const std::wstring folder = path.substr(0, separator + 1), name = path.substr(separator + 1);
            // aria2 may spell the folder it was given differently (a Windows
            // aria2 writes '/'): only another folder or name is a rename.
            if (name != d->fileName || !SamePath(folder, d->folder))
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
    // Resume support: several connections to one file need ranges.
    if (status.connections > 1 && d->resumable != 1)
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
        d->currentSpeed = -1;
        d->sections.clear();
    }
    // The last bytes of a transfer arrive with its completion: the bars get
    // them too, before the completion, or a finished row would keep the bytes
    // of the last progress it saw (a download settled through the file-name
    // question has its bytes counted already, but no bar has seen them).
    if (status.phase == Phase::Active ||
        (status.phase == Phase::Complete && (d->loadedSize != oldLoaded || d->state != oldState)))
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
                (void)LOG_IF_FAILED(ReplaceFileContent(
                    d->folder + d->fileName + L".txt",
                    Utf8FromWide(L"Address: " + d->url + L"\r\nSize: " + std::to_wstring(d->loadedSize) +
                                 L"\r\nTime: " + LocalTimeText(L"%04u-%02u-%02u %02u:%02u:%02u") + L"\r\n")));
            claimed(kEventCompleted, Args(Long(id), Long(d->state), Double(d->elapsedDays), Long(d->owner), Long(d->scope)));
        }
        else if (status.phase == Phase::Error)
        {
            const std::wstring text = WideFromUtf8(status.errorMessage.empty()
                                                       ? "The download failed."
                                                       : DownloadErrorText(status.errorMessage, d->url)) +
                                      CaFileRefusal(status.errorMessage);
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
        m_events.Fire(dispid, arguments);
}
catch (...)
{
    TraceCaughtException(__FILE__, __LINE__);
}

void CEngineCore::AskCredentials(long id, const TransferStatus& status) noexcept
try
{
    Download* d = Find(id);
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
    Log(*d, L"The server asks for credentials");
    m_events.Fire(kEventCredentials, arguments);
    d = Find(id);
    if (!d)
        return;
    const bool cancel = FlagOf(arguments[10]), answered = FlagOf(arguments[11]);
    if (answered && !cancel)
    {
        // aria2 changes no options of a failed download: it is added again with
        // the credentials and continues.
        d->options.userName = TextOf(arguments[7]);
        d->options.password = TextOf(arguments[8]);
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
    const std::wstring staged = m_backend.FromBackendPath(status.path);
    const std::wstring stagedName = staged.substr(staged.find_last_of(L"\\/") + 1);
    if (status.totalLength)
        d->totalSize = Clamp32(status.totalLength);
    d->loadedSize = Clamp32(status.completedLength);
    bool complete = status.phase == Phase::Complete;
    // A name set through the download's options meanwhile is proposed instead.
    const std::wstring proposed = d->nameGiven && !d->fileName.empty() ? d->fileName : stagedName;
    std::vector<EventArgument> question = FileInfoArguments(*d, d->folder, proposed, false);
    Log(*d, L"The server names the file " + stagedName);
    m_events.Fire(kEventFileInfo, question);
    // A client may have deleted the download from inside the event.
    d = Find(id);
    if (!d || d->staging.empty())
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
    const bool replace = FlagOf(question[12]);
    if (const HRESULT hr = MoveToTarget(*d, stagedName, folder, name, replace, complete); FAILED(hr))
    {
        StopWithError(id, hr, WideFromUtf8(m_lastError));
        return;
    }
    d->fileInfoSent = true;
    m_tableDirty = true;
    std::vector<EventArgument> settled = FileInfoArguments(*d, d->folder, d->fileName, true);
    m_events.Fire(kEventFileInfo, settled);
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
    RETURN_HR_IF(Fail(HRESULT_FROM_WIN32(ERROR_INVALID_NAME), "The file name " + Utf8FromWide(name) + " is not valid."),
                 name.find_first_of(L"\\/:*?\"<>|") != std::wstring::npos || name == L"." || name == L"..");
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
        complete = WaitUntilHeld(d.gid) == Phase::Complete;
    }
    const std::wstring source = d.staging + stagedName;
    const DWORD flags = MOVEFILE_COPY_ALLOWED | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (::GetFileAttributesW(source.c_str()) != INVALID_FILE_ATTRIBUTES && !::MoveFileExW(source.c_str(), target.c_str(), flags))
        return Fail(HRESULT_FROM_WIN32(::GetLastError()), "The file cannot be written to " + Utf8FromWide(target) + ".");
    const std::wstring control = source + L".aria2";
    if (::GetFileAttributesW(control.c_str()) != INVALID_FILE_ATTRIBUTES &&
        !::MoveFileExW(control.c_str(), (target + L".aria2").c_str(), MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING))
    {
        const HRESULT hr = HRESULT_FROM_WIN32(::GetLastError());
        ::MoveFileExW(target.c_str(), source.c_str(), MOVEFILE_COPY_ALLOWED);
        return Fail(hr, "The file cannot be written to " + Utf8FromWide(target) + ".");
    }
    d.folder = folder;
    d.fileName = name;
    d.nameGiven = true;
    RemoveFolderWithFiles(d.staging);
    d.staging.clear();
    m_tableDirty = true;
    Log(d, L"Saved as " + target);
    if (complete)
        return S_OK;
    const json place = {{"dir", m_backend.ToBackendPath(WithoutSeparator(folder))}, {"out", Utf8FromWide(name)}};
    // The session learns the new place as soon as the transfer goes on: an
    // aria2 that dies later continues there, not in the staging folder. It is
    // saved after the unpause, or a restarted aria2 would hold the download
    // paused.
    if (FAILED(m_backend.Call("aria2.changeOption", json::array({d.gid, place}), result)) ||
        FAILED(m_backend.Call("aria2.unpause", json::array({d.gid}), result)) ||
        FAILED(m_backend.Call("aria2.saveSession", json::array(), result)))
        return BackendFailure(E_FAIL);
    d.phase = Phase::Active;
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
        ::DeleteFileW((d->folder + d->fileName).c_str());
        ::DeleteFileW((d->folder + d->fileName + L".aria2").c_str());
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
    const json keys = json::array({"gid", "status"});
    for (int wait = 0; wait < 100; ++wait)
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
