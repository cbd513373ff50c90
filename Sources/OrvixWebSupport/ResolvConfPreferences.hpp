#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "NetworkPreferences.hpp"
#include "PreferencesLock.hpp"

namespace orvix {

// A machine whose resolvers are the "nameserver" lines of /etc/resolv.conf: one network
// service, "resolv.conf". Its dictionary holds "ServerAddresses" (the nameserver lines) and
// "SearchDomains" (the last search or domain line). Only the lines whose values change are
// rewritten, so a restored file is the file that was there before.
class ResolvConfPreferences final : public NetworkPreferences {
public:
    static constexpr const char *serviceName = "resolv.conf";
    static constexpr const char *searchDomainsKey = "SearchDomains";

    ResolvConfPreferences(std::filesystem::path file, std::filesystem::path lockFile);

    bool lock() override { return lock_.acquire(); }
    void unlock() override { lock_.release(); }
    std::optional<std::vector<NetworkService>> services() override;
    std::optional<NetworkService> service(const std::string &identifier) override;
    bool hasDNS(const std::string &identifier) override;
    std::optional<DNSDictionary> dnsConfiguration(const std::string &identifier) override;
    bool setDNSConfiguration(const std::string &identifier,
                             const std::optional<DNSDictionary> &configuration) override;
    bool commit() override;
    // The resolver reads the file itself; nothing more to do.
    bool apply() override { return true; }

    // The text of `current` with the nameserver and search lines of `configuration`.
    static std::string render(const std::string &current,
                              const std::optional<DNSDictionary> &configuration);
    static std::optional<DNSDictionary> parse(const std::string &text);

private:
    // The file's text; empty for a missing file, none when it cannot be read.
    std::optional<std::string> read() const;
    bool write(const std::string &text) const;

    std::filesystem::path file_;
    PreferencesLock lock_;
    std::optional<std::optional<DNSDictionary>> staged_;
};

}  // namespace orvix
