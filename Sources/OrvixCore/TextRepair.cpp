#include "TextRepair.hpp"

#include <unicode/unistr.h>

#include <algorithm>

namespace orvix {

std::string repairedUTF8(std::string_view bytes) {
    // Paths are nearly always ASCII; only the rest pays for a conversion.
    if (std::all_of(bytes.begin(), bytes.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return std::string(bytes);
    std::string repaired;
    icu::UnicodeString::fromUTF8(icu::StringPiece(bytes.data(), static_cast<int32_t>(bytes.size())))
        .toUTF8String(repaired);
    return repaired;
}

}  // namespace orvix
