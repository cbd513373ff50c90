#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "Calendar.hpp"
#include "Instant.hpp"
#include "JSONCoding.hpp"

namespace orvix {

struct OrvixConfiguration;

// The daily time budget of one group: minutes allowed per calendar day and the seconds
// already used on the day named by `day`.
struct Allowance {
    std::int64_t dailyMinutes = 0;
    double usedSeconds = 0;
    std::string day;

    Allowance() = default;
    // Clamps the minutes into 0 … 1440 and keeps the usage as given (the reader checks it).
    Allowance(std::int64_t dailyMinutes, double usedSeconds, std::string day);
    // A budget for the day of `now`; negative or not-a-number usage becomes 0.
    Allowance(std::int64_t dailyMinutes, double usedSeconds, Instant now, const Calendar &calendar);

    static constexpr std::int64_t maximumMinutes = 1440;

    // The seconds allowed per day, with the minutes clamped into 0 … 1440 first.
    double budgetSeconds() const;
    // What is left of today's budget, never negative.
    double remainingSeconds() const;
    // False as well when the usage is not a number, so a damaged record blocks rather than grants.
    bool hasBudgetLeft() const { return usedSeconds < budgetSeconds(); }

    // Starts a new day when the stored day lies strictly before the day of `now`; returns
    // whether it did. A clock set back to an earlier day never renews the budget.
    bool refresh(Instant now, const Calendar &calendar);
    // Charges `seconds` (only a positive, finite amount) to the stored day. When a new day has
    // begun, the day rolls over instead and the interval that crossed midnight is dropped.
    void record(double seconds, Instant now, const Calendar &calendar);

    nlohmann::ordered_json toJSON() const;
    static Allowance fromJSON(const nlohmann::json &object);

    friend bool operator==(const Allowance &, const Allowance &) = default;
};

// The groups whose allowance is being used right now. Held in memory by the application and
// copied into the boot lease.
struct GroupAccessState {
    std::set<std::string> activeGroupIDs;

    // The longest tick interval that is charged. Longer ones come from sleep or a stalled
    // caller, and charging them would eat a budget nobody used.
    static constexpr double maximumChargedInterval = 2.0;

    // Grants a group that exists and has budget left on its stored day, during a session only.
    bool activate(const std::string &groupID, const OrvixConfiguration &configuration);
    void pause(const std::string &groupID) { activeGroupIDs.erase(groupID); }
    void pauseAll() { activeGroupIDs.clear(); }
    // The application's closing rule: during a session an app of a group is closed unless its
    // group is granted and has budget left. Pending additions are left to the boot enforcer.
    bool shouldBlock(const std::string &bundleID, const OrvixConfiguration &configuration) const;
    // The periodic update: rolls days over (withdrawing the grants of renewed groups), charges
    // the front app's interval to its granted group, and withdraws exhausted grants. Returns
    // whether `configuration` changed and must be saved.
    bool tick(OrvixConfiguration &configuration, const std::optional<std::string> &previousBundleID,
              double seconds, bool awake, Instant now);

    friend bool operator==(const GroupAccessState &, const GroupAccessState &) = default;
};

// A running access wait: for a group's allowance, or for changing settings during a session.
// `startedAt` is system uptime, never wall-clock time.
struct AccessRequest {
    enum class Kind { allowance, settings };

    Kind kind = Kind::allowance;
    double startedAt = 0;
    double waitSeconds = 0;
    std::optional<std::string> groupID;

    // An allowance wait without a given delay.
    static constexpr double defaultAllowanceWaitSeconds = 90;

    AccessRequest() = default;
    // A settings wait lasts `settingsDelayMinutes` clamped into 1 … 1440; an allowance wait
    // lasts `allowanceDelayMinutes` clamped into 0 … 1440, or 90 seconds when none is given.
    AccessRequest(Kind kind, double uptime, std::int64_t settingsDelayMinutes,
                  std::optional<std::string> groupID,
                  std::optional<std::int64_t> allowanceDelayMinutes);

    // Whole seconds of wait left at `uptime`, rounded up; 0 once due. An uptime before the
    // start means the machine restarted, and the whole wait begins again.
    std::int64_t remaining(double uptime) const;

    friend bool operator==(const AccessRequest &, const AccessRequest &) = default;
};

}  // namespace orvix
