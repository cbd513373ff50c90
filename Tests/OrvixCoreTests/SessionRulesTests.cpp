#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "SessionCountdown.hpp"
#include "SessionPlanPolicy.hpp"
#include "StartupPresentation.hpp"

namespace orvix {
namespace {

TEST(BlockingSessionDuration, AcceptsOnlyFieldsInRangeAndTotalsWithinTheLimits) {
    struct Case {
        std::int64_t days, hours, minutes;
        std::optional<double> seconds;
    };
    const std::int64_t huge = std::numeric_limits<std::int64_t>::max();
    const Case cases[] = {
        {0, 0, 0, std::nullopt},    {0, 0, 1, 60},
        {0, 1, 30, 5'400},          {365, 0, 0, 31'536'000},
        {365, 0, 1, std::nullopt},  {366, 0, 0, std::nullopt},
        {364, 23, 59, 31'535'940},  {0, 24, 0, std::nullopt},
        {0, 0, 60, std::nullopt},   {-1, 0, 5, std::nullopt},
        {1, -1, 0, std::nullopt},   {0, 1, -1, std::nullopt},
        {huge, 0, 0, std::nullopt}, {std::numeric_limits<std::int64_t>::min(), 0, 0, std::nullopt},
    };
    for (const auto &c : cases)
        EXPECT_EQ(BlockingSessionDuration::seconds(c.days, c.hours, c.minutes), c.seconds)
            << c.days << "d " << c.hours << "h " << c.minutes << "m";
}

TEST(SessionPlanPolicy, AllowsFromOneMinuteToOneYear) {
    const double infinity = std::numeric_limits<double>::infinity();
    const std::pair<double, bool> cases[] = {
        {59.9, false},         {60, true},        {3600, true},       {31'536'000, true},
        {31'536'000.5, false}, {infinity, false}, {-infinity, false}, {std::nan(""), false},
        {-60, false},
    };
    for (const auto &[seconds, allowed] : cases)
        EXPECT_EQ(SessionPlanPolicy::allowsNewSession(seconds), allowed) << seconds;
}

TEST(SessionCountdown, RoundsUpAndShowsDaysFromADayOn) {
    const Instant now{700'000'000};
    const double infinity = std::numeric_limits<double>::infinity();
    struct Case {
        double left;
        std::optional<std::string> text;
    };
    const Case cases[] = {
        {59.2, "00:01:00"},
        {0.001, "00:00:01"},
        {0, "00:00:00"},
        {-3600, "00:00:00"},
        {3'599, "00:59:59"},
        {86'399, "23:59:59"},
        {86'399.5, "1d 00:00:00"},
        {86'400, "1d 00:00:00"},
        {2 * 86'400 + 3 * 3'600 + 4 * 60 + 5, "2d 03:04:05"},
        {31'536'000, "365d 00:00:00"},
        {infinity, std::nullopt},
        {std::nan(""), std::nullopt},
    };
    for (const auto &c : cases)
        EXPECT_EQ(SessionCountdown::text(now.advanced(c.left), now), c.text) << c.left;
    // Far beyond any session the count is capped at 2^62 seconds rather than overflowing.
    EXPECT_EQ(SessionCountdown::text(now.advanced(1e300), now), "53375995583650d 07:45:04");
    EXPECT_EQ(SessionCountdown::text(Instant{infinity}, Instant{infinity}), std::nullopt);
}

TEST(StartupPresentation, HidesWhenSupervisedOrAskedToStartInTheMenuBar) {
    struct Case {
        bool supervised, loginItem, startInMenuBar, hidden;
    };
    const Case cases[] = {
        {false, false, false, false}, {false, false, true, false}, {false, true, false, false},
        {false, true, true, true},    {true, false, false, true},  {true, false, true, true},
        {true, true, false, true},    {true, true, true, true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(
            StartupPresentation::shouldHideWindow(c.supervised, c.loginItem, c.startInMenuBar),
            c.hidden)
            << c.supervised << c.loginItem << c.startInMenuBar;
}

}  // namespace
}  // namespace orvix
