#include "SessionPlanPolicy.hpp"

#include <cmath>

namespace orvix {

bool SessionPlanPolicy::allowsNewSession(double seconds) {
    return std::isfinite(seconds) && seconds >= minimumSeconds && seconds <= appMaximum;
}

std::optional<double> BlockingSessionDuration::seconds(std::int64_t days, std::int64_t hours,
                                                       std::int64_t minutes) {
    // Checked first, so the total below cannot overflow.
    if (days < 0 || days >= 366 || hours < 0 || hours >= 24 || minutes < 0 || minutes >= 60)
        return std::nullopt;
    const auto total = static_cast<double>(days * 86'400 + hours * 3'600 + minutes * 60);
    if (total < SessionPlanPolicy::minimumSeconds || total > SessionPlanPolicy::appMaximum)
        return std::nullopt;
    return total;
}

}  // namespace orvix
