#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace orvix {

// A file that cannot be turned into its record: not JSON, a missing or mistyped key, or
// data that breaks the record's rules. `what()` is the sentence shown to the user; `key()`
// names the key the failure is reported against (empty for the whole file).
class DecodingError : public std::runtime_error {
public:
    DecodingError(std::string key, const std::string &message)
        : std::runtime_error(message), key_(std::move(key)) {}
    const std::string &key() const { return key_; }

private:
    std::string key_;
};

// Strict readers for the JSON files: a key is either absent (or null) or of exactly the
// expected type. Keys a format does not list are never looked at.
namespace JSONRead {

using JSON = nlohmann::json;

// Parses a whole file that must hold one JSON object.
JSON object(std::string_view bytes);
// The value under `key` inside `object`, which must itself be an object.
const JSON &require(const JSON &object, const char *key);
// The value under `key`, or nullptr when the key is absent or null.
const JSON *optional(const JSON &object, const char *key);

std::string string(const JSON &value, const char *key);
bool boolean(const JSON &value, const char *key);
std::int64_t integer(const JSON &value, const char *key);
double number(const JSON &value, const char *key);
void requireArray(const JSON &value, const char *key);
void requireObject(const JSON &value, const char *key);

}  // namespace JSONRead

namespace JSONWrite {

// Compact JSON, keys in the order they were inserted. Strings that are not valid UTF-8 are
// written with replacement characters rather than failing the whole write.
std::string compact(const nlohmann::ordered_json &value);

}  // namespace JSONWrite

inline std::int64_t clamped(std::int64_t value, std::int64_t low, std::int64_t high) {
    return value < low ? low : (value > high ? high : value);
}

}  // namespace orvix
