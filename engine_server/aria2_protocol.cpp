#include "engine_server/aria2_protocol.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include <nlohmann/json.hpp>

namespace tdm::engine {

using nlohmann::json;

namespace {

bool EqualNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// Decimal digits only, no sign, no more than `limit`.
bool ParseDecimal(std::string_view text, uint64_t limit, uint64_t& value)
{
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t result = 0;
    for (char c : text)
    {
        if (c < '0' || c > '9')
            return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (result > (limit - digit) / 10)
            return false;
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

HttpAnswer Invalid(HttpAnswer& answer, const char* why)
{
    answer.result = HttpAnswer::Result::Invalid;
    answer.error = why;
    return answer;
}

}  // namespace

// --- HTTP framing -------------------------------------------------------------

HttpAnswer ReadHttpAnswer(std::string_view buffer)
{
    HttpAnswer answer;
    const size_t headerEnd = buffer.find("\r\n\r\n");
    if (headerEnd == std::string_view::npos)
    {
        if (buffer.size() > 64 * 1024)
            return Invalid(answer, "answer header too long");
        return answer;
    }
    std::string_view header = buffer.substr(0, headerEnd);
    const size_t lineEnd = header.find("\r\n");
    const std::string_view statusLine = header.substr(0, lineEnd);
    if (statusLine.size() < 12 || statusLine.compare(0, 7, "HTTP/1.") != 0 || statusLine[8] != ' ')
        return Invalid(answer, "no HTTP status line");
    uint64_t status = 0;
    if (!ParseDecimal(statusLine.substr(9, 3), 999, status) || status < 100)
        return Invalid(answer, "bad HTTP status");
    answer.status = static_cast<int>(status);
    answer.keepAlive = statusLine[7] == '1';

    bool haveLength = false;
    uint64_t length = 0;
    std::string_view rest = lineEnd == std::string_view::npos ? std::string_view() : header.substr(lineEnd + 2);
    while (!rest.empty())
    {
        const size_t end = rest.find("\r\n");
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            return Invalid(answer, "malformed header line");
        const std::string_view name = Trim(line.substr(0, colon));
        const std::string_view value = Trim(line.substr(colon + 1));
        if (EqualNoCase(name, "Content-Length"))
        {
            if (haveLength || !ParseDecimal(value, kMaxAnswerBytes, length))
                return Invalid(answer, "bad Content-Length");
            haveLength = true;
        }
        else if (EqualNoCase(name, "Transfer-Encoding"))
            return Invalid(answer, "chunked answers are not read");
        else if (EqualNoCase(name, "Connection"))
            answer.keepAlive = answer.keepAlive ? !EqualNoCase(value, "close") : EqualNoCase(value, "keep-alive");
    }
    if (!haveLength)
        return Invalid(answer, "answer without Content-Length");
    answer.bodyOffset = headerEnd + 4;
    answer.bodyLength = static_cast<size_t>(length);
    answer.totalLength = answer.bodyOffset + answer.bodyLength;
    answer.result = buffer.size() >= answer.totalLength ? HttpAnswer::Result::Complete : HttpAnswer::Result::Incomplete;
    return answer;
}

std::string MakeHttpRequest(uint16_t port, std::string_view body)
{
    std::string request = "POST /jsonrpc HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nContent-Type: application/json\r\nConnection: keep-alive\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n";
    request.append(body);
    return request;
}

// --- JSON-RPC -----------------------------------------------------------------

namespace {

json WithToken(std::string_view secret, const json& params)
{
    json all = json::array();
    all.push_back("token:" + std::string(secret));
    if (params.is_array())
        for (const json& value : params)
            all.push_back(value);
    return all;
}

}  // namespace

std::string MakeRpcBody(std::string_view method, std::string_view secret, const json& params, uint64_t id)
{
    const json body = {{"jsonrpc", "2.0"}, {"id", std::to_string(id)}, {"method", method},
                       {"params", WithToken(secret, params)}};
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string MakeMulticallBody(std::string_view secret, const std::vector<std::pair<std::string, json>>& calls,
                              uint64_t id)
{
    json list = json::array();
    for (const auto& [method, params] : calls)
        list.push_back({{"methodName", method}, {"params", WithToken(secret, params)}});
    const json body = {{"jsonrpc", "2.0"}, {"id", std::to_string(id)}, {"method", "system.multicall"},
                       {"params", json::array({list})}};
    return body.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool ParseRpcAnswer(std::string_view body, uint64_t id, json& result, std::string& error, bool* otherCall)
{
    if (otherCall)
        *otherCall = false;
    json answer = json::parse(body.begin(), body.end(), nullptr, false);
    if (answer.is_discarded() || !answer.is_object())
    {
        error = "the answer is not a JSON object";
        return false;
    }
    const auto answerId = answer.find("id");
    if (answerId == answer.end() || !answerId->is_string() || answerId->get_ref<const std::string&>() != std::to_string(id))
    {
        error = "the answer belongs to another call";
        if (otherCall)
            *otherCall = true;
        return false;
    }
    const auto failure = answer.find("error");
    if (failure != answer.end())
    {
        const json* message = failure->is_object() && failure->contains("message") ? &(*failure)["message"] : nullptr;
        error = message && message->is_string() ? message->get<std::string>() : "aria2 reported an error";
        return false;
    }
    const auto found = answer.find("result");
    if (found == answer.end())
    {
        error = "the answer carries no result";
        return false;
    }
    result = std::move(*found);
    return true;
}

// --- transfer status ----------------------------------------------------------

const char* const kStatusKeys[] = {"gid",       "status",       "totalLength", "completedLength", "downloadSpeed",
                                   "connections", "numPieces",  "pieceLength", "bitfield",        "errorCode",
                                   "errorMessage", "dir",       "files"};
const size_t kStatusKeyCount = sizeof(kStatusKeys) / sizeof(kStatusKeys[0]);

json StatusKeys()
{
    json keys = json::array();
    for (size_t i = 0; i < kStatusKeyCount; ++i)
        keys.push_back(kStatusKeys[i]);
    return keys;
}

namespace {

// Reads member `name` of `object` as a string; absent is fine (`found` false).
bool ReadString(const json& object, const char* name, std::string& value, bool& found, std::string& error)
{
    found = false;
    const auto member = object.find(name);
    if (member == object.end())
        return true;
    if (!member->is_string())
    {
        error = std::string("\"") + name + "\" is not a string";
        return false;
    }
    value = member->get<std::string>();
    found = true;
    return true;
}

// aria2 sends numbers as decimal strings.
bool ReadNumber(const json& object, const char* name, uint64_t limit, uint64_t& value, std::string& error)
{
    std::string text;
    bool found = false;
    if (!ReadString(object, name, text, found, error))
        return false;
    if (found && !ParseDecimal(text, limit, value))
    {
        error = std::string("\"") + name + "\" is not a number in range";
        return false;
    }
    return true;
}

bool IsHex(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

}  // namespace

bool ParseTransferStatus(const json& value, TransferStatus& status, std::string& error)
{
    status = TransferStatus{};
    if (!value.is_object())
    {
        error = "a status is not an object";
        return false;
    }
    bool found = false;
    if (!ReadString(value, "gid", status.gid, found, error))
        return false;
    if (!found || status.gid.empty() || status.gid.size() > 16 || !IsHex(status.gid))
    {
        error = "a status without a valid gid";
        return false;
    }
    std::string phase;
    if (!ReadString(value, "status", phase, found, error))
        return false;
    static const struct { const char* name; TransferStatus::Phase phase; } kPhases[] = {
        {"active", TransferStatus::Phase::Active},     {"waiting", TransferStatus::Phase::Waiting},
        {"paused", TransferStatus::Phase::Paused},     {"error", TransferStatus::Phase::Error},
        {"complete", TransferStatus::Phase::Complete}, {"removed", TransferStatus::Phase::Removed},
    };
    const auto known = std::find_if(std::begin(kPhases), std::end(kPhases),
                                    [&](const auto& entry) { return phase == entry.name; });
    if (!found || known == std::end(kPhases))
    {
        error = "a status of an unknown kind";
        return false;
    }
    status.phase = known->phase;

    constexpr uint64_t kAny = std::numeric_limits<uint64_t>::max();
    constexpr uint64_t k32 = std::numeric_limits<uint32_t>::max();
    uint64_t connections = 0, pieces = 0, errorCode = 0;
    if (!ReadNumber(value, "totalLength", kAny, status.totalLength, error) ||
        !ReadNumber(value, "completedLength", kAny, status.completedLength, error) ||
        !ReadNumber(value, "downloadSpeed", kAny, status.downloadSpeed, error) ||
        !ReadNumber(value, "connections", k32, connections, error) ||
        !ReadNumber(value, "numPieces", k32, pieces, error) ||
        !ReadNumber(value, "pieceLength", kAny, status.pieceLength, error) ||
        !ReadNumber(value, "errorCode", 9999, errorCode, error))
        return false;
    status.connections = static_cast<uint32_t>(connections);
    status.numPieces = static_cast<uint32_t>(pieces);
    status.errorCode = static_cast<int>(errorCode);
    if (!ReadString(value, "bitfield", status.bitfield, found, error) ||
        !ReadString(value, "errorMessage", status.errorMessage, found, error) ||
        !ReadString(value, "dir", status.dir, status.hasDir, error))
        return false;
    if (!IsHex(status.bitfield))
    {
        error = "\"bitfield\" is not hexadecimal";
        return false;
    }
    const auto files = value.find("files");
    if (files != value.end())
    {
        if (!files->is_array())
        {
            error = "\"files\" is not an array";
            return false;
        }
        if (!files->empty())
        {
            if (!files->front().is_object())
            {
                error = "a file is not an object";
                return false;
            }
            if (!ReadString(files->front(), "path", status.path, status.hasPath, error))
                return false;
        }
    }
    return true;
}

bool ParseTransferStatusList(const json& value, std::vector<TransferStatus>& list, std::string& error)
{
    list.clear();
    if (!value.is_array())
    {
        error = "a status list is not an array";
        return false;
    }
    list.reserve(std::min<size_t>(value.size(), 100000));
    for (const json& entry : value)
    {
        TransferStatus status;
        if (!ParseTransferStatus(entry, status, error))
            return false;
        list.push_back(std::move(status));
    }
    return true;
}

uint32_t Clamp32(uint64_t value)
{
    return value > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                         : static_cast<uint32_t>(value);
}

namespace {

bool PieceDone(const std::string& bitfield, uint64_t piece)
{
    const uint64_t digit = piece / 4;
    if (digit >= bitfield.size())
        return false;
    const char c = bitfield[static_cast<size_t>(digit)];
    const int nibble = c <= '9' ? c - '0' : (std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    return (nibble >> (3 - piece % 4)) & 1;
}

}  // namespace

std::vector<SectionSpan> SectionsFromPieces(const TransferStatus& status, uint32_t count)
{
    std::vector<SectionSpan> sections;
    const uint64_t total = status.totalLength;
    const uint64_t pieceLength = status.pieceLength;
    // More pieces than this are not counted one by one each second.
    constexpr uint32_t kMaxPieces = 1u << 20;
    if (count < 2 || total == 0 || pieceLength == 0 || status.numPieces < 2 || status.numPieces > kMaxPieces)
        return sections;
    // The pieces must cover the file: otherwise the answer is not consistent.
    const uint64_t pieces = status.numPieces;
    if (pieces != (total + pieceLength - 1) / pieceLength)
        return sections;
    const uint64_t spans = std::min<uint64_t>(count, pieces);
    const uint64_t perSpan = pieces / spans;
    uint32_t loading = 0;
    for (uint64_t span = 0; span < spans; ++span)
    {
        const uint64_t first = span * perSpan;
        const uint64_t last = span + 1 == spans ? pieces : first + perSpan;
        const uint64_t origin = first * pieceLength;
        const uint64_t end = std::min(total, last * pieceLength);
        uint64_t loaded = 0;
        for (uint64_t piece = first; piece < last; ++piece)
            if (PieceDone(status.bitfield, piece))
                loaded += std::min(total, (piece + 1) * pieceLength) - piece * pieceLength;
        SectionSpan section;
        section.origin = Clamp32(origin);
        section.length = Clamp32(end - origin);
        section.loaded = Clamp32(loaded);
        if (loaded < end - origin)
            ++loading;
        sections.push_back(section);
    }
    const uint64_t speed = loading ? status.downloadSpeed / loading : 0;
    for (SectionSpan& section : sections)
        if (section.loaded < section.length)
            section.speed = Clamp32(speed);
    return sections;
}

int32_t StateFromStatus(const TransferStatus& status, bool hadError)
{
    constexpr int32_t kRunning = 0x01, kTransferring = 0x02, kComplete = 0x04, kStopped = 0x08, kError = 0x10;
    switch (status.phase)
    {
    case TransferStatus::Phase::Active:
    {
        const bool transferring = status.downloadSpeed > 0 || status.completedLength > 0 || status.connections > 0;
        return (transferring ? kTransferring : kRunning) | (hadError ? kError : 0);
    }
    case TransferStatus::Phase::Waiting:
        return kRunning | (hadError ? kError : 0);
    case TransferStatus::Phase::Paused:
    case TransferStatus::Phase::Removed:
        return kStopped;
    case TransferStatus::Phase::Complete:
        return kComplete;
    case TransferStatus::Phase::Error:
        return kError | kComplete;
    }
    return kStopped;
}

int HttpStatusFromMessage(std::string_view message)
{
    const size_t at = message.find("status=");
    if (at == std::string_view::npos)
        return 0;
    uint64_t status = 0;
    std::string_view digits = message.substr(at + 7, 3);
    return ParseDecimal(digits, 999, status) && status >= 100 ? static_cast<int>(status) : 0;
}

}  // namespace tdm::engine
