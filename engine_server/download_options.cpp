#include "engine_server/download_options.h"

#include <algorithm>
#include <cwctype>

#include "engine/engine_contract.h"
#include "engine_server/file_names.h"

namespace tdm::engine {

using nlohmann::json;

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

}  // namespace tdm::engine
