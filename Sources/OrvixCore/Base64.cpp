#include "Base64.hpp"

namespace orvix::Base64 {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int valueOf(char character) {
    if (character >= 'A' && character <= 'Z') return character - 'A';
    if (character >= 'a' && character <= 'z') return character - 'a' + 26;
    if (character >= '0' && character <= '9') return character - '0' + 52;
    if (character == '+') return 62;
    if (character == '/') return 63;
    return -1;
}

}  // namespace

std::string encode(std::span<const std::uint8_t> bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t index = 0; index < bytes.size(); index += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - index);
        std::uint32_t group = std::uint32_t(bytes[index]) << 16;
        if (count > 1) group |= std::uint32_t(bytes[index + 1]) << 8;
        if (count > 2) group |= bytes[index + 2];
        text += alphabet[(group >> 18) & 63];
        text += alphabet[(group >> 12) & 63];
        text += count > 1 ? alphabet[(group >> 6) & 63] : '=';
        text += count > 2 ? alphabet[group & 63] : '=';
    }
    return text;
}

std::optional<std::vector<std::uint8_t>> decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 4 * 3);
    for (std::size_t index = 0; index < text.size(); index += 4) {
        const bool last = index + 4 == text.size();
        std::size_t padding = 0;
        if (last && text[index + 3] == '=') padding = text[index + 2] == '=' ? 2 : 1;
        std::uint32_t group = 0;
        for (std::size_t offset = 0; offset < 4; ++offset) {
            int value = offset >= 4 - padding ? 0 : valueOf(text[index + offset]);
            if (value < 0) return std::nullopt;
            group = (group << 6) | std::uint32_t(value);
        }
        // Bits below the last whole byte must be zero, or two texts would mean one value.
        if ((padding == 1 && (group & 0xff) != 0) || (padding == 2 && (group & 0xffff) != 0))
            return std::nullopt;
        bytes.push_back(std::uint8_t(group >> 16));
        if (padding < 2) bytes.push_back(std::uint8_t(group >> 8));
        if (padding < 1) bytes.push_back(std::uint8_t(group));
    }
    return bytes;
}

}  // namespace orvix::Base64
