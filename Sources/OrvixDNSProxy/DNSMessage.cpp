#include "DNSMessage.hpp"

#include <algorithm>

namespace orvix::DNSMessage {

namespace {

constexpr std::uint16_t responseBit = 0x8000;
constexpr std::uint16_t truncatedBit = 0x0200;
constexpr std::uint16_t recursionDesiredBit = 0x0100;
constexpr std::uint16_t recursionAvailableBit = 0x0080;
constexpr std::uint16_t checkingDisabledBit = 0x0010;
constexpr std::size_t maximumNameLength = 255;
constexpr int maximumPointers = 127;

// Reads the name at `offset`, moving it past the name's bytes in place. `lowered` receives the
// dotted lower-case form. Compression pointers, where allowed, must point strictly backwards
// and are counted, so no message can make the reader loop.
bool readName(std::span<const std::uint8_t> message, std::size_t &offset, bool allowPointers,
              std::string &lowered, std::vector<bool> *used = nullptr) {
    lowered.clear();
    std::size_t position = offset;
    std::size_t wireLength = 0;
    bool jumped = false;
    int pointers = 0;
    while (true) {
        if (position >= message.size()) return false;
        const std::uint8_t length = message[position];
        if ((length & 0xc0) == 0xc0) {
            if (!allowPointers || position + 1 >= message.size() || ++pointers > maximumPointers)
                return false;
            const std::size_t target = ((length & 0x3f) << 8) | message[position + 1];
            // Never into the header, whose id is rewritten for every client.
            if (target >= position || target < headerSize) return false;
            if (used) (*used)[position] = (*used)[position + 1] = true;
            if (!jumped) offset = position + 2;
            jumped = true;
            position = target;
            continue;
        }
        if ((length & 0xc0) != 0) return false;
        wireLength += 1 + length;
        if (wireLength > maximumNameLength) return false;
        if (length == 0) {
            if (used) (*used)[position] = true;
            if (!jumped) offset = position + 1;
            return true;
        }
        if (position + 1 + length > message.size()) return false;
        if (used) std::fill(used->begin() + position, used->begin() + position + 1 + length, true);
        if (!lowered.empty()) lowered += '.';
        for (std::size_t i = position + 1; i <= position + length; ++i) {
            char c = static_cast<char>(message[i]);
            // A dot inside a label would make two different names read alike.
            if (c == '.') return false;
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            lowered += c;
        }
        position += 1 + length;
    }
}

void appendU16(Bytes &bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}

Bytes header(std::uint16_t id, std::uint16_t flags, std::uint16_t questions,
             std::uint16_t additional) {
    Bytes bytes;
    bytes.reserve(512);
    appendU16(bytes, id);
    appendU16(bytes, flags);
    appendU16(bytes, questions);
    appendU16(bytes, 0);
    appendU16(bytes, 0);
    appendU16(bytes, additional);
    return bytes;
}

QueryParse headerOnlyReply(std::uint16_t id, std::uint16_t flags, ResponseCode code) {
    QueryParse parse;
    parse.outcome = QueryParse::Outcome::reply;
    parse.reply = header(id, responseBit | (flags & recursionDesiredBit) | code, 0, 0);
    return parse;
}

}  // namespace

std::uint16_t readU16(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

std::uint32_t readU32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return (static_cast<std::uint32_t>(bytes[offset]) << 24) |
           (static_cast<std::uint32_t>(bytes[offset + 1]) << 16) |
           (static_cast<std::uint32_t>(bytes[offset + 2]) << 8) | bytes[offset + 3];
}

void writeU16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value >> 8);
    bytes[offset + 1] = static_cast<std::uint8_t>(value);
}

void writeU32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

QueryParse parseQuery(std::span<const std::uint8_t> message) {
    if (message.size() < headerSize) return {};
    const std::uint16_t id = readU16(message, 0);
    const std::uint16_t flags = readU16(message, 2);
    // Answers are never answered: that is how two resolvers end up in a loop.
    if (flags & responseBit) return {};
    if (((flags >> 11) & 0x0f) != 0) return headerOnlyReply(id, flags, notImplemented);
    if (readU16(message, 4) != 1 || readU16(message, 6) != 0 || readU16(message, 8) != 0)
        return headerOnlyReply(id, flags, formatError);
    const std::uint16_t additional = readU16(message, 10);

    QueryParse parse;
    Query &query = parse.query;
    query.id = id;
    query.flags = flags;
    std::size_t offset = headerSize;
    // Clients never compress the question; refusing pointers there keeps it self-contained.
    if (!readName(message, offset, false, query.name) || offset + 4 > message.size())
        return headerOnlyReply(id, flags, formatError);
    query.type = readU16(message, offset);
    query.questionClass = readU16(message, offset + 2);
    offset += 4;
    query.question.assign(message.begin() + headerSize, message.begin() + offset);

    std::string owner;
    for (std::uint16_t i = 0; i < additional; ++i) {
        const std::size_t start = offset;
        if (!readName(message, offset, true, owner) || offset + 10 > message.size())
            return headerOnlyReply(id, flags, formatError);
        const std::uint16_t type = readU16(message, offset);
        const std::uint16_t recordClass = readU16(message, offset + 2);
        const std::size_t dataLength = readU16(message, offset + 8);
        offset += 10;
        if (offset + dataLength > message.size()) return headerOnlyReply(id, flags, formatError);
        offset += dataLength;
        if (type != typeOPT) continue;
        if (!query.optRecord.empty() || offset - start - dataLength != 11 || !owner.empty())
            return headerOnlyReply(id, flags, formatError);
        query.optRecord.assign(message.begin() + start, message.begin() + offset);
        query.udpSize = recordClass < 512 ? 512 : recordClass;
    }
    if (offset != message.size()) return headerOnlyReply(id, flags, formatError);
    parse.outcome = QueryParse::Outcome::query;
    return parse;
}

Bytes reply(const Query &query, ResponseCode code, bool truncated) {
    std::uint16_t flags = responseBit |
                          (query.flags & (recursionDesiredBit | checkingDisabledBit)) |
                          recursionAvailableBit | code;
    if (truncated) flags |= truncatedBit;
    Bytes bytes = header(query.id, flags, 1, 0);
    bytes.insert(bytes.end(), query.question.begin(), query.question.end());
    return bytes;
}

Bytes upstreamQuery(const Query &query, std::uint16_t id) {
    Bytes bytes = header(id, recursionDesiredBit | (query.flags & checkingDisabledBit), 1,
                         query.optRecord.empty() ? 0 : 1);
    bytes.insert(bytes.end(), query.question.begin(), query.question.end());
    bytes.insert(bytes.end(), query.optRecord.begin(), query.optRecord.end());
    return bytes;
}

std::optional<Bytes> encodeName(const std::string &name) {
    Bytes bytes;
    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t end = name.find('.', start);
        if (end == std::string::npos) end = name.size();
        const std::size_t length = end - start;
        if (length == 0 || length > 63) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(length));
        bytes.insert(bytes.end(), name.begin() + start, name.begin() + end);
        start = end + 1;
        if (end + 1 == name.size()) return std::nullopt;
    }
    bytes.push_back(0);
    if (bytes.size() > maximumNameLength) return std::nullopt;
    return bytes;
}

Bytes textQuery(const std::string &name, std::uint16_t id) {
    Bytes bytes = header(id, recursionDesiredBit, 1, 0);
    const auto encoded = encodeName(name);
    if (encoded)
        bytes.insert(bytes.end(), encoded->begin(), encoded->end());
    else
        bytes.push_back(0);
    appendU16(bytes, typeTXT);
    appendU16(bytes, classIN);
    return bytes;
}

std::optional<Response> parseResponse(std::span<const std::uint8_t> message, std::uint16_t id,
                                      const std::string &name, std::uint16_t type,
                                      std::uint16_t questionClass) {
    if (message.size() < headerSize || readU16(message, 0) != id) return std::nullopt;
    const std::uint16_t flags = readU16(message, 2);
    if (!(flags & responseBit) || ((flags >> 11) & 0x0f) != 0 || readU16(message, 4) != 1)
        return std::nullopt;
    std::size_t offset = headerSize;
    std::string owner;
    if (!readName(message, offset, true, owner) || owner != name || offset + 4 > message.size() ||
        readU16(message, offset) != type || readU16(message, offset + 2) != questionClass)
        return std::nullopt;
    offset += 4;

    Response response;
    response.code = flags & 0x0f;
    response.truncated = flags & truncatedBit;
    if (response.truncated) return response;
    // The bytes names are read from, so that no TTL the cache rewrites is also part of a name.
    std::vector<bool> used(message.size(), false);
    const std::size_t answers = readU16(message, 6);
    const std::size_t records = answers + readU16(message, 8) + readU16(message, 10);
    for (std::size_t i = 0; i < records; ++i) {
        if (!readName(message, offset, true, owner, &used) || offset + 10 > message.size())
            return std::nullopt;
        const std::uint16_t recordType = readU16(message, offset);
        const std::size_t ttlOffset = offset + 4;
        const std::size_t dataLength = readU16(message, offset + 8);
        offset += 10;
        if (offset + dataLength > message.size()) return std::nullopt;
        if (recordType != typeOPT) {
            std::uint32_t ttl = readU32(message, ttlOffset);
            // A TTL with the top bit set counts as zero.
            if (ttl > 0x7fffffff) ttl = 0;
            response.ttlOffsets.push_back(ttlOffset);
            if (!response.minimumTTL || ttl < *response.minimumTTL) response.minimumTTL = ttl;
        }
        if (i < answers && recordType == typeTXT && owner == name) {
            Bytes text;
            std::size_t position = offset;
            while (position < offset + dataLength) {
                const std::size_t length = message[position];
                if (position + 1 + length > offset + dataLength) return std::nullopt;
                text.insert(text.end(), message.begin() + position + 1,
                            message.begin() + position + 1 + length);
                position += 1 + length;
            }
            response.texts.push_back(std::move(text));
        }
        offset += dataLength;
    }
    if (offset != message.size()) return std::nullopt;
    for (std::size_t ttlOffset : response.ttlOffsets)
        if (used[ttlOffset] || used[ttlOffset + 1] || used[ttlOffset + 2] || used[ttlOffset + 3])
            return std::nullopt;
    return response;
}

}  // namespace orvix::DNSMessage
