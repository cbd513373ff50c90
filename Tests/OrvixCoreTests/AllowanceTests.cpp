#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>

#include "AppGroups.hpp"

namespace orvix {
namespace {

Instant utc(int year, int month, int day, int hour, int minute, double second) {
    std::tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    return Instant::fromUnixSeconds(static_cast<double>(::timegm(&fields)) + second);
}

AppGroup group(const std::string &id, std::int64_t dailyMinutes, double usedSeconds,
               const std::string &day, std::vector<std::string> bundleIDs) {
    std::vector<BlockedApp> apps;
    for (auto &bundleID : bundleIDs) apps.push_back({bundleID, bundleID});
    return AppGroup(id, id, std::move(apps), Allowance(dailyMinutes, usedSeconds, day), 2);
}

// A session in Berlin: "social" has 15 minutes, "games" is always blocked.
OrvixConfiguration berlinSession(double socialUsed = 0, const std::string &day = "2024-03-09") {
    OrvixConfiguration configuration;
    configuration.timeZoneIdentifier = "Europe/Berlin";
    configuration.blockingEnabled = true;
    configuration.groups.push_back(group("social", 15, socialUsed, day, {"com.example.chat"}));
    configuration.groups.push_back(group("games", 0, 0, day, {"com.example.game"}));
    configuration.groups.push_back(group("reading", 30, 0, day, {"com.example.reader"}));
    return configuration;
}

TEST(Allowance, RemainingBudgetClampsTheMinutesAndNeverGoesNegative) {
    struct Case {
        std::int64_t dailyMinutes;
        double usedSeconds;
        double remaining;
        bool hasBudgetLeft;
    };
    const Case cases[] = {
        {15, 0, 900, true},   {15, 899.5, 0.5, true}, {15, 900, 0, false},
        {15, 1000, 0, false}, {0, 0, 0, false},       {1440, 0, 86400, true},
        {-5, 0, 0, false},    {5000, 0, 86400, true}, {15, std::nan(""), 0, false},
    };
    for (const auto &c : cases) {
        Allowance allowance;
        // Bypasses the constructor, as a damaged record in memory would.
        allowance.dailyMinutes = c.dailyMinutes;
        allowance.usedSeconds = c.usedSeconds;
        EXPECT_DOUBLE_EQ(allowance.remainingSeconds(), c.remaining)
            << c.dailyMinutes << " min, " << c.usedSeconds << " s";
        EXPECT_EQ(allowance.hasBudgetLeft(), c.hasBudgetLeft)
            << c.dailyMinutes << " min, " << c.usedSeconds << " s";
    }
}

TEST(Allowance, DayRollsOverAtMidnightOfTheConfiguredZone) {
    struct Case {
        const char *zone;
        const char *storedDay;
        Instant now;
        const char *expectedDay;
        bool rollsOver;
    };
    const Case cases[] = {
        // 23:59:59 and 00:00:01 in Berlin (UTC+1), while UTC is still on the 9th.
        {"Europe/Berlin", "2024-03-09", utc(2024, 3, 9, 22, 59, 59), "2024-03-09", false},
        {"Europe/Berlin", "2024-03-09", utc(2024, 3, 9, 23, 0, 1), "2024-03-10", true},
        // New York (UTC−5) is still on the 9th when UTC is on the 10th.
        {"America/New_York", "2024-03-09", utc(2024, 3, 10, 4, 59, 59), "2024-03-09", false},
        {"America/New_York", "2024-03-09", utc(2024, 3, 10, 5, 0, 0), "2024-03-10", true},
        // A half-hour offset.
        {"Asia/Kolkata", "2024-03-09", utc(2024, 3, 9, 18, 29, 59.5), "2024-03-09", false},
        {"Asia/Kolkata", "2024-03-09", utc(2024, 3, 9, 18, 30, 0), "2024-03-10", true},
        // Summer time began at midnight here, so that day had no 00:00 at all.
        {"America/Sao_Paulo", "2018-11-03", utc(2018, 11, 4, 2, 59, 59), "2018-11-03", false},
        {"America/Sao_Paulo", "2018-11-03", utc(2018, 11, 4, 3, 0, 0), "2018-11-04", true},
        // Across a month and a year.
        {"Europe/Berlin", "2023-12-31", utc(2023, 12, 31, 23, 0, 0), "2024-01-01", true},
        // A zone nobody knows counts days in UTC.
        {"Mars/Olympus_Mons", "2024-03-09", utc(2024, 3, 9, 23, 59, 59), "2024-03-09", false},
        {"Mars/Olympus_Mons", "2024-03-09", utc(2024, 3, 10, 0, 0, 0), "2024-03-10", true},
        // The clock was set back a day: the later stored day stays.
        {"Europe/Berlin", "2024-03-10", utc(2024, 3, 9, 11, 0, 0), "2024-03-10", false},
        // An empty or damaged day key starts a new day.
        {"Europe/Berlin", "", utc(2024, 3, 9, 11, 0, 0), "2024-03-09", true},
    };
    for (const auto &c : cases) {
        const Calendar calendar(c.zone);
        Allowance refreshed(15, 100, c.storedDay);
        EXPECT_EQ(refreshed.refresh(c.now, calendar), c.rollsOver) << c.zone << " " << c.storedDay;
        EXPECT_EQ(refreshed.day, c.expectedDay) << c.zone << " " << c.storedDay;
        EXPECT_EQ(refreshed.usedSeconds, c.rollsOver ? 0 : 100) << c.zone << " " << c.storedDay;

        // Recording rolls over the same way, and drops the interval that crossed midnight.
        Allowance recorded(15, 100, c.storedDay);
        recorded.record(1.5, c.now, calendar);
        EXPECT_EQ(recorded.day, c.expectedDay) << c.zone << " " << c.storedDay;
        EXPECT_EQ(recorded.usedSeconds, c.rollsOver ? 0 : 101.5) << c.zone << " " << c.storedDay;
    }
}

TEST(Allowance, RecordIgnoresIntervalsThatAreNotPositiveAndFinite) {
    const Calendar calendar("Europe/Berlin");
    const Instant noon = utc(2024, 3, 9, 11, 0, 0);
    for (double seconds : {0.0, -1.0, -0.0, std::nan(""), std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity()}) {
        Allowance allowance(15, 10, "2024-03-09");
        allowance.record(seconds, noon, calendar);
        EXPECT_EQ(allowance.usedSeconds, 10) << seconds;
    }
}

TEST(GroupAccessState, ActivatesOnlyDuringASessionAGroupWithBudgetLeft) {
    auto configuration = berlinSession(899.5);
    GroupAccessState access;
    EXPECT_FALSE(access.activate("games", configuration));
    EXPECT_FALSE(access.activate("unknown", configuration));
    EXPECT_TRUE(access.activate("social", configuration));
    EXPECT_EQ(access.activeGroupIDs, std::set<std::string>{"social"});

    configuration.blockingEnabled = false;
    GroupAccessState outside;
    EXPECT_FALSE(outside.activate("social", configuration));
    EXPECT_TRUE(outside.activeGroupIDs.empty());
}

TEST(GroupAccessState, ShouldBlockFollowsGrantsAndBudgets) {
    auto configuration = berlinSession();
    configuration.pendingAdditions.push_back({"social", {"com.example.pending", "Pending"}});
    GroupAccessState access;
    ASSERT_TRUE(access.activate("social", configuration));

    EXPECT_FALSE(access.shouldBlock("com.example.chat", configuration));
    EXPECT_TRUE(access.shouldBlock("com.example.game", configuration));
    EXPECT_TRUE(access.shouldBlock("com.example.reader", configuration));
    EXPECT_FALSE(access.shouldBlock("com.example.unlisted", configuration));
    EXPECT_FALSE(access.shouldBlock("com.example.pending", configuration));
    // Bundle IDs are compared exactly.
    EXPECT_FALSE(access.shouldBlock("COM.EXAMPLE.GAME", configuration));

    // A granted group whose budget is gone is blocked even before a tick withdraws the grant.
    configuration.groups[0].allowance.usedSeconds = 900;
    EXPECT_TRUE(access.shouldBlock("com.example.chat", configuration));

    configuration.blockingEnabled = false;
    EXPECT_FALSE(access.shouldBlock("com.example.game", configuration));
}

TEST(GroupAccessState, LastHalfSecondOfBudgetEndsTheGrant) {
    auto configuration = berlinSession(899.5);
    GroupAccessState access;
    ASSERT_TRUE(access.activate("social", configuration));
    ASSERT_FALSE(access.shouldBlock("com.example.chat", configuration));

    EXPECT_TRUE(
        access.tick(configuration, "com.example.chat", 0.5, true, utc(2024, 3, 9, 11, 0, 0)));
    EXPECT_EQ(configuration.groups[0].allowance.usedSeconds, 900);
    EXPECT_TRUE(access.activeGroupIDs.empty());
    EXPECT_TRUE(access.shouldBlock("com.example.chat", configuration));
    EXPECT_FALSE(access.activate("social", configuration));
}

TEST(GroupAccessState, TickChargesOnlyShortAwakeIntervalsOfGrantedGroups) {
    struct Case {
        const char *label;
        std::optional<std::string> front;
        double seconds;
        bool awake;
        double charged;
        bool changed;
    };
    const double nan = std::nan("");
    const double infinity = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"half a second", "com.example.chat", 0.5, true, 0.5, true},
        {"exactly 2.0 s", "com.example.chat", 2.0, true, 2.0, true},
        {"2.01 s after a stall", "com.example.chat", 2.01, true, 0, false},
        {"zero", "com.example.chat", 0, true, 0, false},
        {"negative", "com.example.chat", -1, true, 0, false},
        {"not a number", "com.example.chat", nan, true, 0, false},
        {"infinite", "com.example.chat", infinity, true, 0, false},
        {"asleep", "com.example.chat", 0.5, false, 0, false},
        {"no front app", std::nullopt, 0.5, true, 0, false},
        {"app of a group without a grant", "com.example.reader", 0.5, true, 0, false},
        {"app in no group", "com.example.unlisted", 0.5, true, 0, false},
    };
    for (const auto &c : cases) {
        auto configuration = berlinSession(100);
        GroupAccessState access;
        ASSERT_TRUE(access.activate("social", configuration));
        const bool changed =
            access.tick(configuration, c.front, c.seconds, c.awake, utc(2024, 3, 9, 11, 0, 0));
        EXPECT_EQ(changed, c.changed) << c.label;
        EXPECT_DOUBLE_EQ(configuration.groups[0].allowance.usedSeconds, 100 + c.charged) << c.label;
        EXPECT_EQ(configuration.groups[2].allowance.usedSeconds, 0) << c.label;
        EXPECT_EQ(access.activeGroupIDs, std::set<std::string>{"social"}) << c.label;
    }
}

TEST(GroupAccessState, FirstTickAfterMidnightRenewsEveryGroupAndWithdrawsGrants) {
    auto configuration = berlinSession(600);
    configuration.groups[2].allowance.usedSeconds = 1799;
    GroupAccessState access;
    ASSERT_TRUE(access.activate("social", configuration));
    ASSERT_TRUE(access.activate("reading", configuration));

    // 23:59:59.5 in Berlin: still the old day, still charged.
    EXPECT_TRUE(
        access.tick(configuration, "com.example.chat", 0.5, true, utc(2024, 3, 9, 22, 59, 59.5)));
    EXPECT_EQ(configuration.groups[0].allowance.usedSeconds, 600.5);

    // 00:00:01: every group starts over, every grant is gone, and the interval is not charged.
    EXPECT_TRUE(
        access.tick(configuration, "com.example.chat", 1.5, true, utc(2024, 3, 9, 23, 0, 1)));
    for (const auto &renewed : configuration.groups) {
        EXPECT_EQ(renewed.allowance.day, "2024-03-10") << renewed.id;
        EXPECT_EQ(renewed.allowance.usedSeconds, 0) << renewed.id;
    }
    EXPECT_TRUE(access.activeGroupIDs.empty());
    EXPECT_TRUE(access.shouldBlock("com.example.chat", configuration));

    // The same day again changes nothing.
    EXPECT_FALSE(
        access.tick(configuration, "com.example.chat", 0.5, true, utc(2024, 3, 9, 23, 0, 2)));
}

TEST(GroupAccessState, ClockSetBackOneDayKeepsChargingTheLaterDay) {
    auto configuration = berlinSession(300, "2024-03-10");
    GroupAccessState access;
    ASSERT_TRUE(access.activate("social", configuration));

    EXPECT_TRUE(
        access.tick(configuration, "com.example.chat", 1.0, true, utc(2024, 3, 9, 11, 0, 0)));
    EXPECT_EQ(configuration.groups[0].allowance.day, "2024-03-10");
    EXPECT_EQ(configuration.groups[0].allowance.usedSeconds, 301);
    EXPECT_EQ(access.activeGroupIDs, std::set<std::string>{"social"});
}

TEST(GroupAccessState, OutsideASessionDaysStillRollOverAndNoGrantSurvives) {
    auto configuration = berlinSession(600);
    GroupAccessState access;
    ASSERT_TRUE(access.activate("social", configuration));
    configuration.blockingEnabled = false;

    EXPECT_FALSE(
        access.tick(configuration, "com.example.chat", 0.5, true, utc(2024, 3, 9, 11, 0, 0)));
    EXPECT_TRUE(access.activeGroupIDs.empty());
    EXPECT_EQ(configuration.groups[0].allowance.usedSeconds, 600);

    access.activeGroupIDs.insert("social");
    EXPECT_TRUE(
        access.tick(configuration, "com.example.chat", 0.5, true, utc(2024, 3, 10, 11, 0, 0)));
    EXPECT_TRUE(access.activeGroupIDs.empty());
    EXPECT_EQ(configuration.groups[0].allowance.day, "2024-03-10");
    EXPECT_EQ(configuration.groups[0].allowance.usedSeconds, 0);
}

TEST(GroupAccessState, TickWithdrawsGrantsOfDeletedGroupsWithoutReportingAChange) {
    auto configuration = berlinSession();
    GroupAccessState access;
    ASSERT_TRUE(access.activate("social", configuration));
    ASSERT_TRUE(access.activate("reading", configuration));
    configuration.groups.erase(configuration.groups.begin());

    EXPECT_FALSE(access.tick(configuration, std::nullopt, 0.5, true, utc(2024, 3, 9, 11, 0, 0)));
    EXPECT_EQ(access.activeGroupIDs, std::set<std::string>{"reading"});

    access.pause("reading");
    access.pause("never-granted");
    EXPECT_TRUE(access.activeGroupIDs.empty());
    ASSERT_TRUE(access.activate("reading", configuration));
    access.pauseAll();
    EXPECT_TRUE(access.activeGroupIDs.empty());
}

TEST(AccessRequest, WaitLengthDependsOnKindAndDelay) {
    using Kind = AccessRequest::Kind;
    struct Case {
        Kind kind;
        std::int64_t settingsDelay;
        std::optional<std::string> groupID;
        std::optional<std::int64_t> delay;
        double wait;
        std::optional<std::string> storedGroupID;
    };
    const Case cases[] = {
        {Kind::settings, 0, std::nullopt, std::nullopt, 60, std::nullopt},
        {Kind::settings, 5, "social", 3, 300, std::nullopt},
        {Kind::settings, 5000, std::nullopt, std::nullopt, 86400, std::nullopt},
        {Kind::settings, -20, std::nullopt, std::nullopt, 60, std::nullopt},
        {Kind::allowance, 5, "social", std::nullopt, 90, "social"},
        {Kind::allowance, 5, "social", 0, 0, "social"},
        {Kind::allowance, 5, "social", 2, 120, "social"},
        {Kind::allowance, 5, "social", -3, 0, "social"},
        {Kind::allowance, 5, "social", 9999, 86400, "social"},
    };
    for (const auto &c : cases) {
        const AccessRequest request(c.kind, 1234.5, c.settingsDelay, c.groupID, c.delay);
        EXPECT_EQ(request.kind, c.kind);
        EXPECT_EQ(request.startedAt, 1234.5);
        EXPECT_EQ(request.waitSeconds, c.wait) << c.settingsDelay << " / " << c.delay.value_or(-99);
        EXPECT_EQ(request.groupID, c.storedGroupID);
    }
}

TEST(AccessRequest, RemainingRoundsUpAndRestartsAfterAReboot) {
    const AccessRequest minute(AccessRequest::Kind::settings, 1000, 1, std::nullopt, std::nullopt);
    struct Case {
        double uptime;
        std::int64_t remaining;
    };
    const Case cases[] = {
        {1000, 60},  {1000.2, 60}, {1001, 59},  {1059.9, 1}, {1060, 0},
        {1060.1, 0}, {5000, 0},    {999.9, 60}, {3, 60},     {std::nan(""), 60},
    };
    for (const auto &c : cases) EXPECT_EQ(minute.remaining(c.uptime), c.remaining) << c.uptime;

    const AccessRequest immediate(AccessRequest::Kind::allowance, 1000, 5, "social", 0);
    EXPECT_EQ(immediate.remaining(1000), 0);
    EXPECT_EQ(immediate.remaining(10), 0);

    AccessRequest damaged = minute;
    damaged.waitSeconds = std::numeric_limits<double>::infinity();
    EXPECT_GT(damaged.remaining(1000), 0);
}

}  // namespace
}  // namespace orvix
