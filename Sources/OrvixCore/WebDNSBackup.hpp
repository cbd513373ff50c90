#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace orvix {

// What one network service had for DNS before the website service changed it.
struct WebDNSBackup {
    std::string serviceID;
    // The service's whole DNS dictionary as a binary property list; absent when it had no DNS
    // configuration at all, so restoring removes ours altogether.
    std::optional<std::vector<std::uint8_t>> original;

    nlohmann::json toJSON() const;
    static WebDNSBackup fromJSON(const nlohmann::json &object);

    friend bool operator==(const WebDNSBackup &, const WebDNSBackup &) = default;
};

}  // namespace orvix
