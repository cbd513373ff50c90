#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvix {

using Bytes = std::vector<std::uint8_t>;

// Reading and writing the few DNS messages the proxy handles. Every read is bounds-checked:
// the bytes come from any local program and, after decryption, from the resolver, and a
// message that does not parse completely is never forwarded, answered from or cached.
namespace DNSMessage {

inline constexpr std::size_t headerSize = 12;
inline constexpr std::uint16_t typeTXT = 16;
inline constexpr std::uint16_t typeOPT = 41;
inline constexpr std::uint16_t classIN = 1;

enum ResponseCode : std::uint8_t {
    noError = 0,
    formatError = 1,
    serverFailure = 2,
    nameError = 3,
    notImplemented = 4,
    refused = 5,
};

// A client's standard query with exactly one question.
struct Query {
    std::uint16_t id = 0;
    std::uint16_t flags = 0;
    // The question name in lower case, labels joined by dots, without a final dot ("" is the
    // root). Labels never contain a dot themselves: such names are refused.
    std::string name;
    std::uint16_t type = 0;
    std::uint16_t questionClass = 0;
    // The question exactly as the client wrote it (name, type, class), letter case kept.
    Bytes question;
    // The client's EDNS record, when it sent a well-formed one.
    Bytes optRecord;
    // The largest UDP answer the client accepts.
    std::size_t udpSize = 512;
};

// What to do with bytes that arrived on a listening socket.
struct QueryParse {
    enum class Outcome { query, reply, ignore };
    Outcome outcome = Outcome::ignore;
    Query query;  // for `query`
    Bytes reply;  // for `reply`: a format error or "not implemented" for the client
};

QueryParse parseQuery(std::span<const std::uint8_t> message);

// An answer to `query` with no records: a refusal, a failure or a truncation notice.
Bytes reply(const Query &query, ResponseCode code, bool truncated = false);

// The query the proxy sends on: a fresh id, recursion desired, the client's question and EDNS
// record, nothing else the client sent.
Bytes upstreamQuery(const Query &query, std::uint16_t id);

// A plain query for the TXT records of `name` (the certificate request).
Bytes textQuery(const std::string &name, std::uint16_t id);

// The wire form of a dotted name; none when a label is empty or too long, or the name is.
std::optional<Bytes> encodeName(const std::string &name);

// A resolver's answer that parsed completely and matches the question that was asked.
struct Response {
    std::uint8_t code = 0;
    bool truncated = false;
    // Offsets of the TTL fields of every record (EDNS excepted), for ageing a cached copy.
    std::vector<std::size_t> ttlOffsets;
    // The smallest TTL of those records; none when there are no records.
    std::optional<std::uint32_t> minimumTTL;
    // Record data of every TXT answer owned by the question name, its strings joined.
    std::vector<Bytes> texts;
};

// Checks an answer to a question (`name` as in Query, `type`, `questionClass`) asked with `id`.
// A truncated answer only needs a sound header and question.
std::optional<Response> parseResponse(std::span<const std::uint8_t> message, std::uint16_t id,
                                      const std::string &name, std::uint16_t type,
                                      std::uint16_t questionClass);

std::uint16_t readU16(std::span<const std::uint8_t> bytes, std::size_t offset);
std::uint32_t readU32(std::span<const std::uint8_t> bytes, std::size_t offset);
void writeU16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value);
void writeU32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value);

}  // namespace DNSMessage

}  // namespace orvix
