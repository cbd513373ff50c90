#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "NetworkPreferences.hpp"
#include "PreferencesLock.hpp"

namespace orvix {

// NetworkManager, driven through `nmcli`: every connection is a service (enabled while it is
// active on a device), identified by its UUID. Its dictionary holds "ServerAddresses", the
// connection's ipv4.dns and ipv6.dns together; a connection without manual DNS has no DNS
// configuration. A resolver list replaces the network's resolvers (ignore-auto-dns), as a
// manual list does on every system that has one.
class NetworkManagerPreferences final : public NetworkPreferences {
public:
    // `program` is looked up on PATH unless it holds a slash.
    NetworkManagerPreferences(std::string program, std::filesystem::path lockFile);

    // True when `program` runs and reports NetworkManager as running.
    static bool isRunning(const std::string &program);

    bool lock() override { return lock_.acquire(); }
    void unlock() override { lock_.release(); }
    std::optional<std::vector<NetworkService>> services() override;
    std::optional<NetworkService> service(const std::string &identifier) override;
    bool hasDNS(const std::string &identifier) override;
    std::optional<DNSDictionary> dnsConfiguration(const std::string &identifier) override;
    bool setDNSConfiguration(const std::string &identifier,
                             const std::optional<DNSDictionary> &configuration) override;
    bool commit() override;
    bool apply() override;

    // The fields of one line of nmcli's terse output: split at unescaped colons, with its
    // backslash escapes undone.
    static std::vector<std::string> terseFields(const std::string &line);

private:
    struct Connection {
        NetworkService service;
        std::string device;
    };
    std::optional<std::vector<Connection>> connections(bool activeOnly) const;

    std::string program_;
    PreferencesLock lock_;
    std::map<std::string, std::optional<DNSDictionary>> staged_;
    std::vector<std::string> committed_;
};

}  // namespace orvix
