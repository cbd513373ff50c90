#include "Allowance.hpp"

#include <cmath>
#include <limits>

#include "AppGroups.hpp"

namespace orvix {

Allowance::Allowance(std::int64_t dailyMinutes, double usedSeconds, std::string day)
    : dailyMinutes(clamped(dailyMinutes, 0, maximumMinutes)),
      usedSeconds(usedSeconds),
      day(std::move(day)) {}

Allowance::Allowance(std::int64_t dailyMinutes, double usedSeconds, Instant now,
                     const Calendar &calendar)
    : Allowance(dailyMinutes, std::isnan(usedSeconds) || usedSeconds < 0 ? 0 : usedSeconds,
                calendar.dayKey(now)) {}

nlohmann::ordered_json Allowance::toJSON() const {
    nlohmann::ordered_json object;
    object["dailyMinutes"] = dailyMinutes;
    object["usedSeconds"] = usedSeconds;
    object["day"] = day;
    return object;
}

Allowance Allowance::fromJSON(const nlohmann::json &object) {
    using namespace JSONRead;
    Allowance allowance(integer(require(object, "dailyMinutes"), "dailyMinutes"),
                        number(require(object, "usedSeconds"), "usedSeconds"),
                        string(require(object, "day"), "day"));
    double used = allowance.usedSeconds;
    if (used != 0 && !(used > 0 && std::isfinite(used)))
        throw DecodingError("usedSeconds", "Invalid saved usage");
    return allowance;
}

double Allowance::budgetSeconds() const {
    return static_cast<double>(clamped(dailyMinutes, 0, maximumMinutes)) * 60;
}

double Allowance::remainingSeconds() const {
    const double remaining = budgetSeconds() - usedSeconds;
    return remaining > 0 ? remaining : 0;
}

bool Allowance::refresh(Instant now, const Calendar &calendar) {
    std::string key = calendar.dayKey(now);
    // Day keys compare as text; for "%04d-%02d-%02d" that is calendar order.
    if (!(day < key)) return false;
    day = std::move(key);
    usedSeconds = 0;
    return true;
}

void Allowance::record(double seconds, Instant now, const Calendar &calendar) {
    if (refresh(now, calendar)) return;
    if (seconds > 0 && std::isfinite(seconds)) usedSeconds += seconds;
}

namespace {

const AppGroup *findGroup(const OrvixConfiguration &configuration, const std::string &groupID) {
    for (const auto &group : configuration.groups)
        if (group.id == groupID) return &group;
    return nullptr;
}

template <typename Groups>
auto findGroupListing(Groups &groups, const std::string &bundleID) -> decltype(&groups.front()) {
    for (auto &group : groups)
        for (const auto &app : group.apps)
            if (app.bundleID == bundleID) return &group;
    return nullptr;
}

}  // namespace

bool GroupAccessState::activate(const std::string &groupID,
                                const OrvixConfiguration &configuration) {
    if (!configuration.blockingEnabled) return false;
    const AppGroup *group = findGroup(configuration, groupID);
    if (group == nullptr || !group->allowance.hasBudgetLeft()) return false;
    activeGroupIDs.insert(groupID);
    return true;
}

bool GroupAccessState::shouldBlock(const std::string &bundleID,
                                   const OrvixConfiguration &configuration) const {
    if (!configuration.blockingEnabled) return false;
    const AppGroup *group = findGroupListing(configuration.groups, bundleID);
    if (group == nullptr) return false;
    return !group->allowance.hasBudgetLeft() || !activeGroupIDs.contains(group->id);
}

bool GroupAccessState::tick(OrvixConfiguration &configuration,
                            const std::optional<std::string> &previousBundleID, double seconds,
                            bool awake, Instant now) {
    bool changed = false;
    const Calendar calendar = configuration.calendar();
    const std::string today = calendar.dayKey(now);

    for (auto &group : configuration.groups) {
        if (group.allowance.day < today) {
            group.allowance.day = today;
            group.allowance.usedSeconds = 0;
            // A renewed budget has to be asked for again.
            activeGroupIDs.erase(group.id);
            changed = true;
        }
    }

    if (!configuration.blockingEnabled) {
        activeGroupIDs.clear();
        return changed;
    }

    if (awake && previousBundleID && seconds > 0 && seconds <= maximumChargedInterval) {
        AppGroup *group = findGroupListing(configuration.groups, *previousBundleID);
        if (group != nullptr && activeGroupIDs.contains(group->id)) {
            group->allowance.record(seconds, now, calendar);
            changed = true;
        }
    }

    std::erase_if(activeGroupIDs, [&](const std::string &groupID) {
        const AppGroup *group = findGroup(configuration, groupID);
        return group == nullptr || !group->allowance.hasBudgetLeft();
    });
    return changed;
}

AccessRequest::AccessRequest(Kind kind, double uptime, std::int64_t settingsDelayMinutes,
                             std::optional<std::string> groupID,
                             std::optional<std::int64_t> allowanceDelayMinutes)
    : kind(kind), startedAt(uptime) {
    if (kind == Kind::settings) {
        waitSeconds =
            static_cast<double>(clamped(settingsDelayMinutes, 1, Allowance::maximumMinutes)) * 60;
        return;
    }
    waitSeconds =
        allowanceDelayMinutes
            ? static_cast<double>(clamped(*allowanceDelayMinutes, 0, Allowance::maximumMinutes)) *
                  60
            : defaultAllowanceWaitSeconds;
    this->groupID = std::move(groupID);
}

std::int64_t AccessRequest::remaining(double uptime) const {
    const double elapsed = uptime - startedAt;
    const double left = elapsed >= 0 ? waitSeconds - elapsed : waitSeconds;
    if (!(left > 0)) return 0;
    // The fields are public; a wait no constructor makes must still not overflow.
    constexpr double largest = 4611686018427387904.0;  // 2^62
    return left >= largest ? static_cast<std::int64_t>(largest)
                           : static_cast<std::int64_t>(std::ceil(left));
}

}  // namespace orvix
