#include "BootEnforcer.hpp"

#include <algorithm>

#include "BootEnforcement.hpp"
#include "BootFiles.hpp"
#include "Locations.hpp"

namespace orvix {

BootEnforcer::BootEnforcer(const std::filesystem::path &directory, std::string bootID,
                           ProcessTable &processes)
    : settingsURL_(directory / Locations::settingsFile),
      leaseURL_(directory / Locations::bootLeaseFile),
      statusURL_(directory / Locations::bootStatusFile),
      bootID_(std::move(bootID)),
      applications_(processes) {}

void BootEnforcer::pass(const std::function<double()> &currentUptime, Instant now) {
    message_.reset();

    try {
        configuration_ = BootFiles::read<OrvixConfiguration>(settingsURL_);
    } catch (const std::exception &) {
        message_ = settingsUnavailable;
    }
    if (bootID_.empty()) message_ = bootIdentityUnavailable;

    std::optional<BootAccessLease> lease;
    try {
        lease = BootFiles::read<BootAccessLease>(leaseURL_);
    } catch (const std::exception &) {
        // A missing or broken lease simply grants nothing.
    }
    // Taken only now: a lease the application wrote while the settings were being read would
    // otherwise seem to come from the future and withdraw every grant for this pass.
    const double uptime = currentUptime();

    if (configuration_) {
        auto blocked = BootEnforcement::blockedIDs(*configuration_, lease, bootID_, uptime, now);
        if (!blocked.empty()) closeBlockedProcesses(blocked);
    }

    if (uptime - lastStatus_ >= statusInterval) {
        try {
            BootFiles::write(BootServiceStatus(bootID_, uptime, message_), statusURL_);
        } catch (const std::exception &) {
            // Retried a second later.
        }
        lastStatus_ = uptime;
    }
}

void BootEnforcer::closeBlockedProcesses(const std::set<std::string> &blocked) {
    const auto mustClose = [&](const BundleResolver::Resolution &resolution) {
        const auto &ids = resolution.bundleIDs;
        const bool isProtected = std::any_of(ids.begin(), ids.end(), [](const std::string &id) {
            return ProtectedApplications::bundleIDs().contains(id);
        });
        return !isProtected && std::any_of(ids.begin(), ids.end(), [&](const std::string &id) {
            return blocked.contains(id);
        });
    };
    const auto applications = applications_.list(mustClose);
    if (applications_.listingFailed()) message_ = processesUnavailable;

    for (const auto &application : applications) {
        if (application.terminated) continue;
        const std::int32_t result = applications_.forceTerminate(application);
        if (result != 0 && result != 3) message_ = killRefused;
    }
}

}  // namespace orvix
