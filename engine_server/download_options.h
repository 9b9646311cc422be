// The options of a download as the engine keeps them, their stored form
// (JSON, in the download table and the settings) and the request headers a
// client's download is made with.
//
// Everything read back from JSON is another program's to write: a member of
// the wrong type counts as missing.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "engine_server/engine_text.h"

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

// The Referer and User-Agent a client's download is requested with (empty:
// none, and aria2's own user agent).
struct RequestHeaders
{
    std::wstring referrer;
    std::wstring userAgent;
};

nlohmann::json OptionsToJson(const DownloadOptionsData& o);
// Members missing or of the wrong type keep their defaults.
DownloadOptionsData OptionsFromJson(const nlohmann::json& j);

// What is wrong with the request headers of a download (null: nothing).
const char* HeadersProblem(const RequestHeaders& headers);

// Member `name` of a JSON object, or `fallback` when it is missing or of
// another type.
template <typename T>
T Member(const nlohmann::json& object, const char* name, T fallback)
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

}  // namespace tdm::engine
