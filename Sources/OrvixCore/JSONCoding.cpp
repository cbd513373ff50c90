#include "JSONCoding.hpp"

#include <cmath>

namespace orvix::JSONRead {

namespace {

[[noreturn]] void typeMismatch(const char *key, const char *expected) {
    throw DecodingError(key, std::string("Expected ") + expected + " for key \"" + key + "\"");
}

}  // namespace

JSON object(std::string_view bytes) {
    JSON value = JSON::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (value.is_discarded()) throw DecodingError("", "The data is not valid JSON");
    if (!value.is_object()) throw DecodingError("", "Expected a JSON object");
    return value;
}

const JSON &require(const JSON &object, const char *key) {
    const JSON *value = optional(object, key);
    if (value == nullptr) throw DecodingError(key, std::string("Missing key \"") + key + "\"");
    return *value;
}

const JSON *optional(const JSON &object, const char *key) {
    if (!object.is_object()) throw DecodingError(key, "Expected a JSON object");
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return nullptr;
    return &*found;
}

std::string string(const JSON &value, const char *key) {
    if (!value.is_string()) typeMismatch(key, "a string");
    return value.get<std::string>();
}

bool boolean(const JSON &value, const char *key) {
    if (!value.is_boolean()) typeMismatch(key, "true or false");
    return value.get<bool>();
}

std::int64_t integer(const JSON &value, const char *key) {
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        auto unsignedValue = value.get<std::uint64_t>();
        if (unsignedValue <= static_cast<std::uint64_t>(INT64_MAX))
            return static_cast<std::int64_t>(unsignedValue);
    } else if (value.is_number_float()) {
        // Another writer may put 5.0 where 5 is meant; a fraction is refused.
        double number = value.get<double>();
        if (std::isfinite(number) && std::trunc(number) == number && number >= -9.2e18 &&
            number <= 9.2e18)
            return static_cast<std::int64_t>(number);
    }
    typeMismatch(key, "a whole number in range");
}

double number(const JSON &value, const char *key) {
    if (!value.is_number()) typeMismatch(key, "a number");
    return value.get<double>();
}

void requireArray(const JSON &value, const char *key) {
    if (!value.is_array()) typeMismatch(key, "an array");
}

void requireObject(const JSON &value, const char *key) {
    if (!value.is_object()) typeMismatch(key, "an object");
}

}  // namespace orvix::JSONRead

namespace orvix::JSONWrite {

std::string compact(const nlohmann::ordered_json &value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace orvix::JSONWrite
