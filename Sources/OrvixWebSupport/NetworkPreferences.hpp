#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DNSDictionary.hpp"

namespace orvix {

// One network service of the machine: something whose DNS can be set on its own.
struct NetworkService {
    std::string identifier;
    // Shown to the user; may be empty.
    std::string name;
    bool enabled = true;
};

// The machine's network configuration store, as the website service edits it: services and
// their DNS dictionaries, a lock taken without waiting, changes that are only staged until
// `commit` and take effect with `apply`. Dropping the object discards staged changes.
// Two real stores exist (NetworkManager, and a plain /etc/resolv.conf); tests use a fake.
class NetworkPreferences {
public:
    virtual ~NetworkPreferences() = default;

    // Takes the lock without waiting; false when another editor holds it.
    virtual bool lock() = 0;
    virtual void unlock() = 0;

    // The services of the current configuration, in the store's order; none when they cannot
    // be read.
    virtual std::optional<std::vector<NetworkService>> services() = 0;
    // A service by identifier, enabled or not; none when it no longer exists.
    virtual std::optional<NetworkService> service(const std::string &identifier) = 0;
    // Whether the service has DNS settings at all.
    virtual bool hasDNS(const std::string &identifier) = 0;
    // The service's DNS dictionary; none when it has no DNS configuration.
    virtual std::optional<DNSDictionary> dnsConfiguration(const std::string &identifier) = 0;
    // Stages a new DNS dictionary (none removes the configuration); false when refused.
    virtual bool setDNSConfiguration(const std::string &identifier,
                                     const std::optional<DNSDictionary> &configuration) = 0;
    // Writes the staged changes; false when refused.
    virtual bool commit() = 0;
    // Makes committed changes take effect; false when refused.
    virtual bool apply() = 0;

    // The store of this machine: NetworkManager when it runs, else /etc/resolv.conf.
    static std::unique_ptr<NetworkPreferences> system();
};

}  // namespace orvix
