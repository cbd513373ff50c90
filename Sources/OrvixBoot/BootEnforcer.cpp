#include "BootEnforcer.hpp"

#include <algorithm>

#include "BootEnforcement.hpp"
#include "BootFiles.hpp"
#include "Locations.hpp"
#include "TextRepair.hpp"

namespace orvix {

BootEnforcer::BootEnforcer(const std::filesystem::path &directory, std::string bootID,
                           ProcessTable &processes)
    : settingsURL_(directory / Locations::settingsFile),
      leaseURL_(directory / Locations::bootLeaseFile),
      statusURL_(directory / Locations::bootStatusFile),
      bootID_(std::move(bootID)),
      processes_(processes) {}

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
    const std::int32_t capacity = pidCapacity_;
    pids_.assign(static_cast<std::size_t>(capacity), 0);
    const std::int32_t count = processes_.listPIDs(pids_.data(), capacity);
    if (count < 0) message_ = processesUnavailable;
    if (count >= capacity && capacity < maximumPIDCapacity) pidCapacity_ = capacity * 2;

    const std::uint32_t user = processes_.realUserID();
    const std::int32_t self = processes_.ownPID();
    const std::int32_t examined = std::min(capacity, std::max(count, 0));
    for (std::int32_t index = 0; index < examined; index++) {
        const std::int32_t pid = pids_[static_cast<std::size_t>(index)];
        if (pid <= 1 || pid == self) continue;
        // The executable decides first: it is one cached lookup, so the many processes that are
        // not blocked cost a single read. Only a candidate's owner and start time are read.
        const auto path = processes_.executablePath(pid);
        if (!path || !mustClose(*path, blocked)) continue;
        const auto identity = processes_.identity(pid);
        if (!identity || identity->uid != user) continue;
        // The pid may have passed to another process since the path was read. The kill only
        // reaches the process of this identity, so the path must be that process's too.
        const auto confirmed = processes_.executablePath(pid);
        if (!confirmed || *confirmed != *path) continue;

        const std::int32_t result = processes_.killIfOwned(pid, *identity);
        if (result != 0 && result != 3) message_ = killRefused;
    }
}

bool BootEnforcer::mustClose(const std::string &path, const std::set<std::string> &blocked) {
    const auto &ids = resolver_.bundleIDs(repairedUTF8(path));
    const bool isProtected = std::any_of(ids.begin(), ids.end(), [](const std::string &id) {
        return ProtectedApplications::bundleIDs().contains(id);
    });
    return !isProtected && std::any_of(ids.begin(), ids.end(),
                                       [&](const std::string &id) { return blocked.contains(id); });
}

}  // namespace orvix
