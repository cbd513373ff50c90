#include "BootEnforcement.hpp"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>

namespace orvix {

namespace ProtectedApplications {

const std::set<std::string> &bundleIDs() {
    static const std::set<std::string> ids = {"com.apple.finder", "com.apple.dock",
                                              "com.apple.loginwindow", "com.apple.systemuiserver",
                                              "org.zorvane.app"};
    return ids;
}

bool containsIgnoringCase(std::string_view bundleID) {
    std::string lowered;
    icu::UnicodeString::fromUTF8(icu::StringPiece(bundleID.data(), bundleID.size()))
        .toLower(icu::Locale::getRoot())
        .toUTF8String(lowered);
    return bundleIDs().contains(lowered);
}

}  // namespace ProtectedApplications

namespace {

// The steps both freshness checks share: same, known boot, and a writer's uptime that is at
// most `window` seconds behind the reader's and not ahead of it.
bool isRecent(const std::string &writerBootID, double writerUptime, const std::string &bootID,
              double uptime, double window) {
    if (bootID.empty() || writerBootID != bootID) return false;
    if (!(writerUptime == 0 || (writerUptime > 0 && std::isfinite(writerUptime)))) return false;
    return uptime >= writerUptime && uptime - writerUptime <= window;
}

std::optional<Instant> readInstant(const nlohmann::json &root, const char *key) {
    if (const auto *value = JSONRead::optional(root, key))
        return Instant{JSONRead::number(*value, key)};
    return std::nullopt;
}

}  // namespace

bool BootAccessLease::isFresh(const std::string &bootID, double uptime,
                              const std::optional<Instant> &sessionEndsAt) const {
    if (this->sessionEndsAt != sessionEndsAt) return false;
    if (!std::isfinite(uptime)) return false;
    return isRecent(this->bootID, this->uptime, bootID, uptime, lifetimeSeconds);
}

std::string BootAccessLease::toJSON() const {
    nlohmann::ordered_json object;
    object["bootID"] = bootID;
    object["uptime"] = uptime;
    if (sessionEndsAt) object["sessionEndsAt"] = sessionEndsAt->secondsSinceReference;
    object["activeGroupIDs"] = activeGroupIDs;
    object["editingWindowOpen"] = editingWindowOpen;
    return JSONWrite::compact(object);
}

BootAccessLease BootAccessLease::fromJSON(std::string_view bytes) {
    using namespace JSONRead;
    const auto root = JSONRead::object(bytes);
    BootAccessLease lease;
    lease.bootID = string(require(root, "bootID"), "bootID");
    lease.uptime = number(require(root, "uptime"), "uptime");
    lease.sessionEndsAt = readInstant(root, "sessionEndsAt");
    const auto &groups = require(root, "activeGroupIDs");
    requireArray(groups, "activeGroupIDs");
    for (const auto &group : groups) lease.activeGroupIDs.insert(string(group, "activeGroupIDs"));
    lease.editingWindowOpen = boolean(require(root, "editingWindowOpen"), "editingWindowOpen");
    return lease;
}

bool BootServiceStatus::isFresh(const std::string &bootID, double uptime) const {
    return isRecent(this->bootID, this->uptime, bootID, uptime, lifetimeSeconds);
}

std::string BootServiceStatus::toJSON() const {
    nlohmann::ordered_json object;
    object["bootID"] = bootID;
    object["uptime"] = uptime;
    if (message) object["message"] = *message;
    if (serviceVersion) object["serviceVersion"] = *serviceVersion;
    return JSONWrite::compact(object);
}

BootServiceStatus BootServiceStatus::fromJSON(std::string_view bytes) {
    using namespace JSONRead;
    const auto root = JSONRead::object(bytes);
    BootServiceStatus status;
    status.bootID = string(require(root, "bootID"), "bootID");
    status.uptime = number(require(root, "uptime"), "uptime");
    if (const auto *message = optional(root, "message"))
        status.message = string(*message, "message");
    if (const auto *version = optional(root, "serviceVersion"))
        status.serviceVersion = string(*version, "serviceVersion");
    return status;
}

namespace BootEnforcement {

std::set<std::string> blockedIDs(const OrvixConfiguration &configuration,
                                 const std::optional<BootAccessLease> &lease,
                                 const std::string &bootID, double uptime, Instant now) {
    std::set<std::string> blocked;
    if (!configuration.blockingEnabled) return blocked;
    // A running blocking flag without an end keeps blocking.
    if (configuration.sessionEndsAt && !(now < *configuration.sessionEndsAt)) return blocked;

    const bool fresh = lease && lease->isFresh(bootID, uptime, configuration.sessionEndsAt);
    for (const auto &group : configuration.groups) {
        // The allowance is taken exactly as stored: days roll over only in the application.
        const double budget = static_cast<double>(
            std::min<std::int64_t>(std::max<std::int64_t>(group.allowance.dailyMinutes, 0),
                                   Allowance::maximumMinutes) *
            60);
        const double remaining = std::max(0.0, budget - group.allowance.usedSeconds);
        if (remaining > 0 && fresh && lease->activeGroupIDs.contains(group.id)) continue;
        for (const auto &app : group.apps) blocked.insert(app.bundleID);
    }
    if (!(fresh && lease->editingWindowOpen)) {
        for (const auto &pending : configuration.pendingAdditions)
            blocked.insert(pending.app.bundleID);
    }
    std::erase_if(blocked, [](const std::string &bundleID) {
        return ProtectedApplications::containsIgnoringCase(bundleID);
    });
    return blocked;
}

}  // namespace BootEnforcement

}  // namespace orvix
