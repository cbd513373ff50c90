#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvix::Base64 {

// Standard alphabet with padding (RFC 4648, section 4).
std::string encode(std::span<const std::uint8_t> bytes);
// Only the canonical form is accepted: standard alphabet, padding to a multiple of four,
// zero bits after the last byte. Anything else is none, so a damaged file is never half-read.
std::optional<std::vector<std::uint8_t>> decode(std::string_view text);

}  // namespace orvix::Base64
