#pragma once

#include <sys/socket.h>

#include <optional>
#include <string>
#include <vector>

#include "DNSStamp.hpp"

namespace orvix {

// The proxy's reading of its TOML configuration. Only the settings the website service writes
// are understood, and only with values the proxy can honour; anything else is refused, so a
// configuration never silently means less than it says.
struct ProxyConfiguration {
    struct ListenAddress {
        std::string text;
        sockaddr_storage address{};
        socklen_t length = 0;
    };

    std::string serverName;
    DNSStamp stamp;
    std::vector<ListenAddress> listenAddresses;
    // The account to serve as once the sockets are open; none keeps the starting account.
    std::optional<std::string> userName;
    bool cache = true;
    std::optional<std::string> blockedNamesFile;

    // Throws ProxyError with the reason on anything not understood.
    static ProxyConfiguration parse(const std::string &text);
    // Reads the file (at most 1 MiB) and parses it.
    static ProxyConfiguration load(const std::string &path);
};

}  // namespace orvix
