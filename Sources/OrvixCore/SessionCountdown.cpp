#include "SessionCountdown.hpp"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace orvix {

std::optional<std::string> SessionCountdown::text(Instant until, Instant now) {
    const double interval = until.secondsSinceReference - now.secondsSinceReference;
    if (!std::isfinite(interval)) return std::nullopt;
    // Capped so the whole seconds always fit the integer below.
    constexpr double largest = 4611686018427387904.0;  // 2^62
    const double rounded = std::ceil(interval);
    const auto s = rounded <= 0 ? std::int64_t{0}
                                : static_cast<std::int64_t>(rounded < largest ? rounded : largest);

    char clock[64];
    std::snprintf(clock, sizeof clock, "%02" PRId64 ":%02" PRId64 ":%02" PRId64,
                  (s % 86'400) / 3'600, (s % 3'600) / 60, s % 60);
    if (s < 86'400) return std::string(clock);
    return std::to_string(s / 86'400) + "d " + clock;
}

}  // namespace orvix
