// The engine's side of aria2's JSON-RPC interface: requests as text, the HTTP
// framing of answers, and the mapping of aria2's download status to the
// engine's transfer record.
//
// aria2 is another program and its answers arrive over a socket: nothing in an
// answer is trusted. Every reader checks kinds and ranges and reports a failure
// as text instead of throwing or reading past what is there. This code does not
// include Windows headers, so it is built natively as well (tests and fuzzing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace tdm::engine {

// --- HTTP framing -------------------------------------------------------------

// An HTTP/1.1 answer read from the start of a buffer.
struct HttpAnswer
{
    enum class Result { Incomplete, Complete, Invalid };
    Result result = Result::Incomplete;
    int status = 0;
    size_t bodyOffset = 0;
    size_t bodyLength = 0;
    size_t totalLength = 0;   // header and body: what the answer takes of the buffer
    bool keepAlive = true;
    std::string error;        // with Invalid
};

// Largest answer accepted (a status list of a few thousand downloads fits).
inline constexpr size_t kMaxAnswerBytes = 64u * 1024u * 1024u;

// Reads the status line and headers of an answer at the start of `buffer`; an
// answer without Content-Length, with chunked encoding, or bigger than
// kMaxAnswerBytes is Invalid.
HttpAnswer ReadHttpAnswer(std::string_view buffer);

// The HTTP request carrying a JSON-RPC body to aria2 on the loopback.
std::string MakeHttpRequest(uint16_t port, std::string_view body);

// --- JSON-RPC -----------------------------------------------------------------

// The body of the call `method` with the secret token first, then `params`
// (an array). `id` is echoed by aria2.
std::string MakeRpcBody(std::string_view method, std::string_view secret, const nlohmann::json& params,
                        uint64_t id);
// The body of a system.multicall of several calls (each {method, params}).
std::string MakeMulticallBody(std::string_view secret, const std::vector<std::pair<std::string, nlohmann::json>>& calls,
                              uint64_t id);

// Parses an RPC answer body. On success `result` holds the "result" member; an
// "error" member, a wrong id or malformed JSON gives false and a text;
// `otherCall` (when given) is set for an answer that carries another id.
bool ParseRpcAnswer(std::string_view body, uint64_t id, nlohmann::json& result, std::string& error,
                    bool* otherCall = nullptr);

// --- transfer status ----------------------------------------------------------

// What aria2 says about one download (tellStatus / tellActive and friends).
struct TransferStatus
{
    enum class Phase { Active, Waiting, Paused, Error, Complete, Removed };
    std::string gid;
    Phase phase = Phase::Waiting;
    uint64_t totalLength = 0;
    uint64_t completedLength = 0;
    uint64_t downloadSpeed = 0;
    uint32_t connections = 0;
    uint64_t pieceLength = 0;
    uint32_t numPieces = 0;
    std::string bitfield;       // hexadecimal, high bit of the first digit is piece 0
    int errorCode = 0;          // aria2's exit status of the download; 0 none
    std::string errorMessage;
    std::string dir;            // as aria2 names it (a path of aria2's system)
    std::string path;           // first file; empty while not known
    bool hasDir = false;
    bool hasPath = false;
};

// The keys the engine asks for.
extern const char* const kStatusKeys[];
extern const size_t kStatusKeyCount;
nlohmann::json StatusKeys();

// Reads one status object. Members that are absent keep their defaults; a
// member of the wrong kind, a number that does not fit, or an unknown status
// fails with a text. Only "gid" and "status" are required.
bool ParseTransferStatus(const nlohmann::json& value, TransferStatus& status, std::string& error);
// An array of status objects (tellActive, tellWaiting, tellStopped).
bool ParseTransferStatusList(const nlohmann::json& value, std::vector<TransferStatus>& list, std::string& error);

// A part of the file as the engine's sections report it.
struct SectionSpan
{
    uint32_t origin = 0;
    uint32_t length = 0;
    uint32_t speed = 0;
    uint32_t loaded = 0;
};

// Sections derived from the piece bitfield: the file cut into `count` spans of
// whole pieces (fewer when there are fewer pieces), each with the bytes of its
// loaded pieces, the speed shared among the spans still loading. Empty when the
// size or the pieces are not known, there are more than 2^20 pieces, or
// `count` < 2.
std::vector<SectionSpan> SectionsFromPieces(const TransferStatus& status, uint32_t count);

// The engine's state bits for a status (see the engine's interface): `hadError`
// marks a download running again after an error.
int32_t StateFromStatus(const TransferStatus& status, bool hadError);

// A byte count or speed as the engine's interface carries it: unsigned 32-bit,
// larger values held at the largest.
uint32_t Clamp32(uint64_t value);

// The HTTP status named in one of aria2's error texts ("... status=404"), or 0.
int HttpStatusFromMessage(std::string_view message);

}  // namespace tdm::engine
