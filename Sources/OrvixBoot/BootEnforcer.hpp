#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "AppGroups.hpp"
#include "BundleResolver.hpp"
#include "Instant.hpp"
#include "ProcessTable.hpp"
#include "RunningApplications.hpp"

namespace orvix {

// The boot enforcer's loop state: four times a second it reads the user's settings and the
// application's lease, works out which bundle IDs must not run, and kills the user's processes
// inside such bundles. It never writes anything but its own status file.
class BootEnforcer {
public:
    static constexpr const char *settingsUnavailable =
        "Saved settings unavailable; retaining the last readable session.";
    static constexpr const char *bootIdentityUnavailable =
        "Boot identity unavailable; daily access is paused.";
    static constexpr const char *processesUnavailable = "Could not inspect processes.";
    static constexpr const char *killRefused = "macOS refused to close a selected process.";
    static constexpr const char *rootRefused =
        "OrvixBoot must run as the installed non-system user, never root.\n";

    static constexpr std::uint32_t highestSystemUserID = 500;
    static constexpr std::int32_t initialPIDCapacity = RunningApplications::initialPIDCapacity;
    static constexpr std::int32_t maximumPIDCapacity = RunningApplications::maximumPIDCapacity;
    static constexpr double statusInterval = 1.0;
    static constexpr unsigned passPauseMicroseconds = 250000;

    // `directory` is the user's support directory; `bootID` is read once by the caller.
    BootEnforcer(const std::filesystem::path &directory, std::string bootID,
                 ProcessTable &processes);

    // One pass at the wall-clock instant `now`. The uptime is asked for once, right after the
    // lease has been read.
    void pass(const std::function<double()> &uptime, Instant now);

    // The message of the latest pass, none when it was clean.
    const std::optional<std::string> &lastMessage() const { return message_; }
    const std::optional<OrvixConfiguration> &configuration() const { return configuration_; }
    std::int32_t pidCapacity() const { return applications_.pidCapacity(); }
    const BundleResolver &resolver() const { return applications_.resolver(); }

private:
    void closeBlockedProcesses(const std::set<std::string> &blocked);

    std::filesystem::path settingsURL_;
    std::filesystem::path leaseURL_;
    std::filesystem::path statusURL_;
    std::string bootID_;
    RunningApplications applications_;

    std::optional<OrvixConfiguration> configuration_;
    double lastStatus_ = -std::numeric_limits<double>::infinity();
    std::optional<std::string> message_;
};

}  // namespace orvix
