#pragma once

#include <compare>

namespace orvix {

// A wall-clock instant, held as seconds since 2001-01-01 00:00:00 UTC, the form every file
// stores. Freshness and waits never use it: they use the system uptime.
struct Instant {
    double secondsSinceReference = 0;

    static constexpr double referenceUnixSeconds = 978307200.0;

    static Instant now();
    static Instant fromUnixSeconds(double seconds) { return {seconds - referenceUnixSeconds}; }
    double unixSeconds() const { return secondsSinceReference + referenceUnixSeconds; }

    Instant advanced(double seconds) const { return {secondsSinceReference + seconds}; }

    friend auto operator<=>(const Instant &, const Instant &) = default;  // NOLINT(modernize-use-nullptr)
};

}  // namespace orvix
