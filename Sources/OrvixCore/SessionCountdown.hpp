#pragma once

#include <optional>
#include <string>

#include "Instant.hpp"

namespace orvix {

// The text that shows how long a session still runs.
namespace SessionCountdown {

// "HH:MM:SS" below a day and "<days>d HH:MM:SS" from a day on, with the time left rounded up
// to a whole second; "00:00:00" once the end has passed; none when the interval is not finite.
std::optional<std::string> text(Instant until, Instant now);

}  // namespace SessionCountdown

}  // namespace orvix
