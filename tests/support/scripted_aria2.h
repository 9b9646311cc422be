// aria2 as a script for the engine core's tests and benchmarks: answers set
// by method, given at once, and every call recorded.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine_server/aria2_link.h"
#include "engine_server/engine_text.h"

namespace tdm::engine {

using nlohmann::json;

class ScriptedAria2 final : public CAria2Link
{
public:
    std::map<std::string, json> answers = {{"aria2.tellActive", json::array()}, {"aria2.tellStopped", json::array()}};
    std::vector<std::pair<std::string, json>> calls;
    json& operator[](const char* method) { return answers[std::string("aria2.") + method]; }
    HRESULT Call(const std::string& method, const json& params, json& result) noexcept override
    {
        calls.emplace_back(method, params);
        if (method == "aria2.addUri")
            answers[method] = "a" + std::to_string(calls.size());  // aria2's GIDs are hexadecimal
        const auto found = answers.find(method);
        result = found != answers.end() ? found->second : json("OK");
        return method == "aria2.tellStatus" && found == answers.end() ? E_FAIL : S_OK;
    }
    HRESULT Multicall(const std::vector<std::pair<std::string, json>>& batch, json& results) noexcept override
    {
        json result;
        results = json::array();
        for (const auto& [method, params] : batch)
            results.push_back(SUCCEEDED(Call(method, params, result)) ? json::array({result}) : json({{"code", 1}}));
        return S_OK;
    }
    size_t Count(const std::string& method, const std::string& gid) const
    {
        return std::count_if(calls.begin(), calls.end(),
                             [&](const auto& c) { return c.first == method && c.second.size() && c.second[0] == gid; });
    }
    HRESULT Init(const std::wstring&, const std::wstring&) noexcept override { return S_OK; }
    HRESULT EnsureRunning() noexcept override { return S_OK; }
    void Shutdown() noexcept override {}
    void Restart() noexcept override {}
    unsigned Generation() const noexcept override { return 1; }
    const std::string& LastError() const noexcept override { static const std::string none; return none; }
    std::string ToBackendPath(const std::wstring& path) const override { return Utf8FromWide(path); }
    std::wstring FromBackendPath(const std::string& path) const override { return WideFromUtf8(path); }
    bool TakesCaFile() const noexcept override { return true; }
    void NotificationTaken() noexcept override {}
    void SetSessionFilter(std::function<std::string(std::string_view)>) override {}
    Deadline CurrentDeadline() const noexcept override { return {}; }
    void SetDeadline(const Deadline&) noexcept override {}
};

}  // namespace tdm::engine
