#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "DNSMessage.hpp"

namespace orvix {

// Answers kept for as long as their records' TTLs allow. A copy handed out has the client's id
// and question spelling and TTLs lowered by the time it spent here.
class ResponseCache {
public:
    explicit ResponseCache(std::size_t capacity = 8192) : capacity_(capacity) {}

    // `now` in seconds of a steady clock.
    std::optional<Bytes> lookup(const DNSMessage::Query &query, double now);
    // Keeps `message`, an answer to `query` that parsed as `response`, when it can be reused.
    void store(const DNSMessage::Query &query, const Bytes &message,
               const DNSMessage::Response &response, double now);

    std::size_t size() const { return entries_.size(); }

private:
    struct Entry {
        Bytes message;
        std::vector<std::size_t> ttlOffsets;
        double storedAt = 0;
        double expiresAt = 0;
    };
    static std::string key(const DNSMessage::Query &query);
    void makeRoom(double now);

    std::size_t capacity_;
    std::unordered_map<std::string, Entry> entries_;
};

}  // namespace orvix
