#include "ResponseCache.hpp"

#include <algorithm>
#include <cstring>

namespace orvix {

namespace {

// A resolver may hand out long TTLs; a day is plenty for a filter whose answers may change.
constexpr std::uint32_t maximumTTL = 86400;

}  // namespace

std::string ResponseCache::key(const DNSMessage::Query &query) {
    std::string key = query.name;
    key += '\0';
    key += static_cast<char>(query.type >> 8);
    key += static_cast<char>(query.type);
    key += static_cast<char>(query.questionClass >> 8);
    key += static_cast<char>(query.questionClass);
    key += query.flags & 0x0010 ? '1' : '0';
    return key;
}

std::optional<Bytes> ResponseCache::lookup(const DNSMessage::Query &query, double now) {
    const auto found = entries_.find(key(query));
    if (found == entries_.end()) return std::nullopt;
    Entry &entry = found->second;
    if (now >= entry.expiresAt) {
        entries_.erase(found);
        return std::nullopt;
    }
    Bytes message = entry.message;
    DNSMessage::writeU16(message, 0, query.id);
    // The cached question has the same length as the client's: only letter case differs.
    std::memcpy(message.data() + DNSMessage::headerSize, query.question.data(),
                query.question.size());
    const auto aged = static_cast<std::uint32_t>(now - entry.storedAt);
    for (std::size_t offset : entry.ttlOffsets) {
        const std::uint32_t ttl = DNSMessage::readU32(message, offset);
        DNSMessage::writeU32(message, offset, ttl > aged ? ttl - aged : 0);
    }
    return message;
}

void ResponseCache::store(const DNSMessage::Query &query, const Bytes &message,
                          const DNSMessage::Response &response, double now) {
    if (response.truncated || !response.minimumTTL || *response.minimumTTL == 0) return;
    if (response.code != DNSMessage::noError && response.code != DNSMessage::nameError) return;
    if (message.size() < DNSMessage::headerSize + query.question.size()) return;
    makeRoom(now);
    Entry entry;
    entry.message = message;
    entry.ttlOffsets = response.ttlOffsets;
    // Every TTL is capped, so a copy never claims more than the cache will keep it.
    const std::uint32_t lifetime = std::min(*response.minimumTTL, maximumTTL);
    for (std::size_t offset : entry.ttlOffsets) {
        const std::uint32_t ttl = DNSMessage::readU32(entry.message, offset);
        DNSMessage::writeU32(entry.message, offset,
                             ttl > 0x7fffffff ? 0 : std::min(ttl, maximumTTL));
    }
    entry.storedAt = now;
    entry.expiresAt = now + lifetime;
    entries_[key(query)] = std::move(entry);
}

void ResponseCache::makeRoom(double now) {
    if (entries_.size() < capacity_) return;
    std::erase_if(entries_, [now](const auto &item) { return now >= item.second.expiresAt; });
    while (entries_.size() >= capacity_) entries_.erase(entries_.begin());
}

}  // namespace orvix
