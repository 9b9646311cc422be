// The engine-wide settings, stored under HKCU\Software\Tolvane\Engine.
#include "engine_server/engine_core.h"

#include "engine_server/engine_events.h"
#include "engine_server/file_names.h"
#include "engine_server/engine_text.h"
#include "framework/error.h"
#include "framework/unique_any.h"

namespace tdm::engine {

using nlohmann::json;

namespace {

constexpr wchar_t kSettingsKey[] = L"Software\\Tolvane\\Engine";

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

}  // namespace

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
        settings.connections = connections >= kMinConnections && connections <= kMaxConnections ? static_cast<long>(connections)
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
    RETURN_IF_FAILED(WriteNumber(key.get(), L"Connections", static_cast<DWORD>(s.connections)));
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

HRESULT CEngineCore::SetConnections(long connections) noexcept
try
{
    RETURN_HR_IF(Fail(E_INVALIDARG, "The connections per download are a number from 1 to " +
                                        std::to_string(kMaxConnections) + "."),
                 connections < kMinConnections || connections > kMaxConnections);
    m_settings.connections = connections;
    return SaveSettings();
}
catch (...)
{
    return HResultFromCaughtException();
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

}  // namespace tdm::engine
