#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "NetworkPreferences.hpp"

namespace orvix::testing {

// The machine's network configuration as a test sees it; outlives the store objects the code
// under test creates and drops.
struct FakeNetwork {
    struct Service {
        NetworkService service;
        bool hasDNS = true;
        std::optional<DNSDictionary> dns;
    };
    std::vector<Service> services;
    bool busy = false;
    bool unreadable = false;
    bool refuseSet = false;
    bool refuseCommit = false;
    bool locked = false;
    int commits = 0;
    // Called whenever the lock is taken, to look at the world from inside an operation.
    std::function<void()> onLock;

    Service *find(const std::string &identifier) {
        for (auto &service : services)
            if (service.service.identifier == identifier) return &service;
        return nullptr;
    }
    std::optional<std::vector<std::string>> servers(const std::string &identifier) {
        auto *service = find(identifier);
        return service && service->dns ? service->dns->serverAddresses() : std::nullopt;
    }
};

// A network configuration store over a FakeNetwork: staged changes reach it only on commit.
class FakeNetworkPreferences final : public NetworkPreferences {
public:
    explicit FakeNetworkPreferences(FakeNetwork &network) : network_(network) {}
    ~FakeNetworkPreferences() override {
        if (holding_) network_.locked = false;
    }

    bool lock() override {
        if (network_.busy || network_.locked) return false;
        network_.locked = holding_ = true;
        if (network_.onLock) network_.onLock();
        return true;
    }
    void unlock() override {
        if (holding_) network_.locked = holding_ = false;
    }
    std::optional<std::vector<NetworkService>> services() override {
        if (network_.unreadable) return std::nullopt;
        std::vector<NetworkService> result;
        for (const auto &service : network_.services) result.push_back(service.service);
        return result;
    }
    std::optional<NetworkService> service(const std::string &identifier) override {
        auto *service = network_.find(identifier);
        return service ? std::optional(service->service) : std::nullopt;
    }
    bool hasDNS(const std::string &identifier) override {
        auto *service = network_.find(identifier);
        return service && service->hasDNS;
    }
    std::optional<DNSDictionary> dnsConfiguration(const std::string &identifier) override {
        if (auto staged = staged_.find(identifier); staged != staged_.end()) return staged->second;
        auto *service = network_.find(identifier);
        return service ? service->dns : std::nullopt;
    }
    bool setDNSConfiguration(const std::string &identifier,
                             const std::optional<DNSDictionary> &configuration) override {
        if (network_.refuseSet || !network_.find(identifier)) return false;
        staged_[identifier] = configuration;
        return true;
    }
    bool commit() override {
        if (network_.refuseCommit) return false;
        for (const auto &[identifier, configuration] : staged_)
            if (auto *service = network_.find(identifier)) service->dns = configuration;
        staged_.clear();
        ++network_.commits;
        return true;
    }
    bool apply() override { return true; }

private:
    FakeNetwork &network_;
    bool holding_ = false;
    std::map<std::string, std::optional<DNSDictionary>> staged_;
};

}  // namespace orvix::testing

namespace orvix {
inline void PrintTo(const DNSDictionary &dictionary, std::ostream *out) {
    *out << dictionary.description();
}
}  // namespace orvix
