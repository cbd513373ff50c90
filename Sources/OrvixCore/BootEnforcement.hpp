#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "AppGroups.hpp"
#include "Instant.hpp"

namespace orvix {

// The versions each service reports in its status, and that the application expects.
namespace ServiceVersions {
inline constexpr const char *current = "0.8.0";
inline constexpr const char *website = "0.9.0";
}  // namespace ServiceVersions

// Applications that are never blocked and never closed, by any component.
namespace ProtectedApplications {
const std::set<std::string> &bundleIDs();
// Membership of the lower-cased bundle ID.
bool containsIgnoringCase(std::string_view bundleID);
}  // namespace ProtectedApplications

// The boot lease: which groups the application lets the user use right now. It is written on
// every tick of the application and only believed while it is a moment old, so an application
// that hangs or quits withdraws every grant by itself.
struct BootAccessLease {
    std::string bootID;
    double uptime = 0;
    std::optional<Instant> sessionEndsAt;
    std::set<std::string> activeGroupIDs;
    bool editingWindowOpen = false;

    static constexpr double lifetimeSeconds = 1.5;

    bool isFresh(const std::string &bootID, double uptime,
                 const std::optional<Instant> &sessionEndsAt) const;

    std::string toJSON() const;
    static BootAccessLease fromJSON(std::string_view bytes);

    friend bool operator==(const BootAccessLease &, const BootAccessLease &) = default;
};

// What the boot enforcer reports about its latest pass, at most once a second.
struct BootServiceStatus {
    std::string bootID;
    double uptime = 0;
    std::optional<std::string> message;
    std::optional<std::string> serviceVersion;

    static constexpr double lifetimeSeconds = 4.0;

    BootServiceStatus() = default;
    // Always stamped with the enforcer's own version.
    BootServiceStatus(std::string bootID, double uptime, std::optional<std::string> message)
        : bootID(std::move(bootID)),
          uptime(uptime),
          message(std::move(message)),
          serviceVersion(ServiceVersions::current) {}

    bool isFresh(const std::string &bootID, double uptime) const;

    std::string toJSON() const;
    static BootServiceStatus fromJSON(std::string_view bytes);

    friend bool operator==(const BootServiceStatus &, const BootServiceStatus &) = default;
};

namespace BootEnforcement {

// The bundle IDs that must not run now: every app of every group without a fresh grant and
// budget left, and pending apps unless the editing window is open; never a protected one.
std::set<std::string> blockedIDs(const OrvixConfiguration &configuration,
                                 const std::optional<BootAccessLease> &lease,
                                 const std::string &bootID, double uptime, Instant now);

}  // namespace BootEnforcement

}  // namespace orvix
