#pragma once

#include <cstdint>
#include <optional>

namespace orvix {

// The limits a new blocking session's length must respect.
namespace SessionPlanPolicy {

inline constexpr double minimumSeconds = 60;
// 365 days.
inline constexpr double appMaximum = 31'536'000;

// True for a finite length of at least a minute and at most 365 days.
bool allowsNewSession(double seconds);

}  // namespace SessionPlanPolicy

// Turns the days, hours and minutes the user typed into a session length.
namespace BlockingSessionDuration {

// The length in seconds; none unless 0 ≤ days < 366, 0 ≤ hours < 24, 0 ≤ minutes < 60 and
// the total lies within the session limits.
std::optional<double> seconds(std::int64_t days, std::int64_t hours, std::int64_t minutes);

}  // namespace BlockingSessionDuration

}  // namespace orvix
