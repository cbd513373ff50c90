#include "Allowance.hpp"

#include <cmath>

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

}  // namespace orvix
