#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace orvix {

// A DNSCrypt server stamp ("sdns://" and URL-safe Base64): where the resolver is and which
// provider key signs its certificates.
struct DNSStamp {
    static constexpr std::uint64_t dnssec = 1;
    static constexpr std::uint64_t noLogs = 2;
    static constexpr std::uint64_t noFilter = 4;

    std::uint64_t properties = 0;
    // "ip:port" as written in the stamp, IPv6 in brackets; port 443 when it had none.
    std::string address;
    sockaddr_storage socketAddress{};
    socklen_t socketAddressLength = 0;
    std::array<std::uint8_t, 32> providerKey{};
    std::string providerName;

    // Only DNSCrypt stamps with a literal IP address are understood; anything else is none.
    static std::optional<DNSStamp> parse(const std::string &text);
    // The stamp text of these fields (the address as written).
    std::string text() const;
};

// Parses "ip:port" or "[ipv6]:port"; without `defaultPort`, the port is required.
bool parseSocketAddress(const std::string &text, std::optional<std::uint16_t> defaultPort,
                        sockaddr_storage &address, socklen_t &length);

}  // namespace orvix
