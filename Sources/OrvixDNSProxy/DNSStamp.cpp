#include "DNSStamp.hpp"

#include <arpa/inet.h>
#include <sodium.h>

#include <charconv>
#include <cstring>
#include <vector>

namespace orvix {

namespace {

constexpr std::string_view scheme = "sdns://";
constexpr std::uint8_t dnscryptProtocol = 0x01;

}  // namespace

bool parseSocketAddress(const std::string &text, std::optional<std::uint16_t> defaultPort,
                        sockaddr_storage &address, socklen_t &length) {
    std::string host;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return false;
            port = rest.substr(1);
            if (port.empty()) return false;
        }
        sockaddr_in6 ipv6{};
        ipv6.sin6_family = AF_INET6;
        if (inet_pton(AF_INET6, host.c_str(), &ipv6.sin6_addr) != 1) return false;
        std::memset(&address, 0, sizeof address);
        std::memcpy(&address, &ipv6, sizeof ipv6);
        length = sizeof ipv6;
    } else {
        const auto colon = text.find(':');
        host = text.substr(0, colon);
        if (colon != std::string::npos) {
            port = text.substr(colon + 1);
            if (port.empty()) return false;
        }
        sockaddr_in ipv4{};
        ipv4.sin_family = AF_INET;
        if (inet_pton(AF_INET, host.c_str(), &ipv4.sin_addr) != 1) return false;
        std::memset(&address, 0, sizeof address);
        std::memcpy(&address, &ipv4, sizeof ipv4);
        length = sizeof ipv4;
    }
    std::uint16_t number = 0;
    if (port.empty()) {
        if (!defaultPort) return false;
        number = *defaultPort;
    } else {
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (error != std::errc() || end != port.data() + port.size() || number == 0) return false;
    }
    if (address.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6 &>(address).sin6_port = htons(number);
    else
        reinterpret_cast<sockaddr_in &>(address).sin_port = htons(number);
    return true;
}

std::optional<DNSStamp> DNSStamp::parse(const std::string &text) {
    if (text.compare(0, scheme.size(), scheme) != 0 || text.size() > 2048) return std::nullopt;
    const std::string encoded = text.substr(scheme.size());
    if (encoded.empty()) return std::nullopt;
    std::vector<std::uint8_t> bytes(encoded.size());
    std::size_t length = 0;
    const char *end = nullptr;
    if (sodium_base642bin(bytes.data(), bytes.size(), encoded.data(), encoded.size(), nullptr,
                          &length, &end, sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0 ||
        end != encoded.data() + encoded.size())
        return std::nullopt;
    bytes.resize(length);

    std::size_t offset = 0;
    auto field = [&](std::string &out) {
        if (offset >= bytes.size()) return false;
        const std::size_t size = bytes[offset];
        if (offset + 1 + size > bytes.size()) return false;
        out.assign(bytes.begin() + offset + 1, bytes.begin() + offset + 1 + size);
        offset += 1 + size;
        return true;
    };
    if (bytes.size() < 9 || bytes[0] != dnscryptProtocol) return std::nullopt;
    DNSStamp stamp;
    for (int i = 0; i < 8; ++i) stamp.properties |= std::uint64_t{bytes[1 + i]} << (8 * i);
    offset = 9;
    std::string key;
    if (!field(stamp.address) || !field(key) || !field(stamp.providerName) ||
        offset != bytes.size() || key.size() != stamp.providerKey.size() ||
        stamp.providerName.empty())
        return std::nullopt;
    std::memcpy(stamp.providerKey.data(), key.data(), key.size());
    if (!parseSocketAddress(stamp.address, 443, stamp.socketAddress, stamp.socketAddressLength))
        return std::nullopt;
    return stamp;
}

std::string DNSStamp::text() const {
    std::vector<std::uint8_t> bytes{dnscryptProtocol};
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(properties >> (8 * i)));
    auto field = [&bytes](const void *data, std::size_t size) {
        bytes.push_back(static_cast<std::uint8_t>(size));
        const auto *begin = static_cast<const std::uint8_t *>(data);
        bytes.insert(bytes.end(), begin, begin + size);
    };
    field(address.data(), address.size());
    field(providerKey.data(), providerKey.size());
    field(providerName.data(), providerName.size());
    std::string encoded(
        sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_URLSAFE_NO_PADDING), '\0');
    sodium_bin2base64(encoded.data(), encoded.size(), bytes.data(), bytes.size(),
                      sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    encoded.resize(std::strlen(encoded.c_str()));
    return std::string(scheme) + encoded;
}

}  // namespace orvix
