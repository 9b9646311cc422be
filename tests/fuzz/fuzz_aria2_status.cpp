// Fuzzes the reading of aria2's answers: the input is an HTTP answer whose body
// is a JSON-RPC answer, or (without a complete HTTP frame) a JSON status list
// or status object. Every status read is mapped to the engine's state and
// sections, whose spans must lie inside the file and hold no more than they
// cover.
#include "engine_server/aria2_protocol.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

using namespace tdm::engine;

namespace {

void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

void Map(const TransferStatus& status)
{
    const int32_t state = StateFromStatus(status, status.connections % 2 == 1);
    Check(state > 0 && state <= 0x1F);
    for (uint32_t count : {2u, 5u, 16u})
    {
        const auto sections = SectionsFromPieces(status, count);
        Check(sections.size() <= count);
        uint64_t end = 0;
        for (const SectionSpan& s : sections)
        {
            Check(s.loaded <= s.length);
            Check(s.origin >= end || status.totalLength > UINT32_MAX);
            end = uint64_t{s.origin} + s.length;
        }
        if (!sections.empty() && status.totalLength <= UINT32_MAX)
            Check(end == status.totalLength);
    }
}

void ReadStatuses(const nlohmann::json& value)
{
    std::string error;
    std::vector<TransferStatus> list;
    if (ParseTransferStatusList(value, list, error))
        for (const TransferStatus& status : list)
            Map(status);
    else
        Check(!error.empty());
    TransferStatus one;
    if (ParseTransferStatus(value, one, error))
        Map(one);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const HttpAnswer answer = ReadHttpAnswer(input);
    if (answer.result == HttpAnswer::Result::Complete)
    {
        Check(answer.totalLength <= size && answer.bodyOffset + answer.bodyLength == answer.totalLength);
        nlohmann::json result;
        std::string error;
        if (ParseRpcAnswer(input.substr(answer.bodyOffset, answer.bodyLength), 1, result, error))
            ReadStatuses(result);
        else
            Check(!error.empty());
        return 0;
    }
    const nlohmann::json value = nlohmann::json::parse(input.begin(), input.end(), nullptr, false);
    if (!value.is_discarded())
        ReadStatuses(value);
    HttpStatusFromMessage(input);
    return 0;
}
