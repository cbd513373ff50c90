#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "Calendar.hpp"
#include "Instant.hpp"
#include "JSONCoding.hpp"

namespace orvix {

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

    nlohmann::ordered_json toJSON() const;
    static Allowance fromJSON(const nlohmann::json &object);

    friend bool operator==(const Allowance &, const Allowance &) = default;
};

// The groups whose allowance is being used right now. Held in memory by the application and
// copied into the boot lease.
struct GroupAccessState {
    std::set<std::string> activeGroupIDs;

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

    friend bool operator==(const AccessRequest &, const AccessRequest &) = default;
};

}  // namespace orvix
