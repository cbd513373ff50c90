#pragma once

#include <string>

#include "Instant.hpp"

namespace orvix {

// The Gregorian calendar of one time zone, in which day keys ("2024-03-07") are made.
// A zone name that ICU does not know falls back to UTC.
class Calendar {
public:
    explicit Calendar(const std::string &timeZoneIdentifier);

    // The identifier of the zone actually in use ("UTC" after a fallback).
    const std::string &timeZoneIdentifier() const { return zone_; }

    // The day key of an instant: year, month and day in this zone as "%04d-%02d-%02d".
    std::string dayKey(Instant instant) const;

    // The identifier of the machine's current time zone.
    static std::string currentTimeZoneIdentifier();

private:
    std::string zone_;
};

}  // namespace orvix
