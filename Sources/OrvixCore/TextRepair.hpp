#pragma once

#include <string>
#include <string_view>

namespace orvix {

// `bytes` as valid UTF-8: every invalid sequence becomes U+FFFD.
std::string repairedUTF8(std::string_view bytes);

}  // namespace orvix
