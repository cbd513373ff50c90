#include <gtest/gtest.h>

#include <set>
#include <string>

#include "BootEnforcement.hpp"

using namespace orvix;

namespace {

const std::string boot = "8d2b1e0c-boot";
const Instant sessionEnd{800000000};
const Instant duringSession{799999000};

// Two groups with budget left ("social" 10 min, "games" 5 min), one spent group ("news") and
// one pending app, in a running session.
OrvixConfiguration sessionConfiguration() {
    OrvixConfiguration configuration;
    configuration.timeZoneIdentifier = "UTC";
    configuration.blockingEnabled = true;
    configuration.sessionEndsAt = sessionEnd;
    configuration.groups.emplace_back("social", "Social",
                                      std::vector<BlockedApp>{{"com.social", "Social"}},
                                      Allowance(10, 0, "d"), 2);
    configuration.groups.emplace_back(
        "games", "Games", std::vector<BlockedApp>{{"com.game", "Game"}}, Allowance(5, 120, "d"), 2);
    configuration.groups.emplace_back("news", "News", std::vector<BlockedApp>{{"com.news", "News"}},
                                      Allowance(1, 60, "d"), 2);
    configuration.pendingAdditions.push_back({"games", {"com.pending", "Pending"}});
    return configuration;
}

BootAccessLease lease(std::set<std::string> groups, bool editing = false, double uptime = 100) {
    return BootAccessLease{boot, uptime, sessionEnd, std::move(groups), editing};
}

using IDs = std::set<std::string>;

}  // namespace

TEST(BootAccessLease, IsBelievedForOneAndAHalfSecondsOfTheSameBootAndSession) {
    const auto made = lease({});
    struct Case {
        std::string bootID;
        double uptime;
        std::optional<Instant> sessionEndsAt;
        bool fresh;
    } cases[] = {
        {boot, 100.0, sessionEnd, true},
        {boot, 101.5, sessionEnd, true},
        {boot, 101.6, sessionEnd, false},
        {boot, 99.9, sessionEnd, false},
        {"other-boot", 100.5, sessionEnd, false},
        {"", 100.5, sessionEnd, false},
        {boot, 100.5, Instant{800000000.001}, false},
        {boot, 100.5, std::nullopt, false},
        {boot, std::numeric_limits<double>::infinity(), sessionEnd, false},
        {boot, std::numeric_limits<double>::quiet_NaN(), sessionEnd, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(made.isFresh(c.bootID, c.uptime, c.sessionEndsAt), c.fresh)
            << c.bootID << " " << c.uptime;

    BootAccessLease withoutEnd{boot, 0, std::nullopt, {}, false};
    EXPECT_TRUE(withoutEnd.isFresh(boot, 1.0, std::nullopt));
    EXPECT_FALSE(withoutEnd.isFresh(boot, 1.0, sessionEnd));
    for (double bad : {-1.0, std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::quiet_NaN()}) {
        BootAccessLease broken{boot, bad, std::nullopt, {}, false};
        EXPECT_FALSE(broken.isFresh(boot, 1.0, std::nullopt)) << bad;
    }
}

TEST(BootServiceStatus, IsBelievedForFourSeconds) {
    BootServiceStatus status(boot, 10.0, std::nullopt);
    EXPECT_EQ(status.serviceVersion, std::optional<std::string>("0.8.0"));
    for (double uptime : {10.0, 12.0, 14.0}) EXPECT_TRUE(status.isFresh(boot, uptime)) << uptime;
    for (double uptime : {14.1, 9.9}) EXPECT_FALSE(status.isFresh(boot, uptime)) << uptime;
    EXPECT_FALSE(status.isFresh("other", 11.0));
    EXPECT_FALSE(BootServiceStatus("", 10.0, std::nullopt).isFresh("", 11.0));
}

TEST(BootFilesFormat, LeaseAndStatusWriteTheirKeysInOrderAndReadBack) {
    BootAccessLease written{boot, 12.75, Instant{700.5}, {"b", "a"}, true};
    EXPECT_EQ(written.toJSON(), R"({"bootID":"8d2b1e0c-boot","uptime":12.75,"sessionEndsAt":700.5,)"
                                R"("activeGroupIDs":["a","b"],"editingWindowOpen":true})");
    EXPECT_EQ(BootAccessLease::fromJSON(written.toJSON()), written);
    written.sessionEndsAt.reset();
    EXPECT_EQ(BootAccessLease::fromJSON(written.toJSON()), written);

    BootServiceStatus clean(boot, 3.5, std::nullopt);
    EXPECT_EQ(clean.toJSON(),
              R"({"bootID":"8d2b1e0c-boot","uptime":3.5,"serviceVersion":"0.8.0"})");
    BootServiceStatus troubled(boot, 3.5, "Could not inspect processes.");
    EXPECT_EQ(troubled.toJSON(),
              R"({"bootID":"8d2b1e0c-boot","uptime":3.5,)"
              R"("message":"Could not inspect processes.","serviceVersion":"0.8.0"})");
    EXPECT_EQ(BootServiceStatus::fromJSON(troubled.toJSON()), troubled);
    auto old = BootServiceStatus::fromJSON(R"({"bootID":"x","uptime":1})");
    EXPECT_FALSE(old.serviceVersion);
    EXPECT_FALSE(old.message);

    for (const char *broken :
         {R"({"bootID":"x","uptime":1,"activeGroupIDs":[]})",
          R"({"bootID":"x","uptime":"1","activeGroupIDs":[],"editingWindowOpen":false})",
          R"({"bootID":"x","uptime":1,"activeGroupIDs":[3],"editingWindowOpen":false})", "",
          "null"})
        EXPECT_THROW(BootAccessLease::fromJSON(broken), DecodingError) << broken;
}

TEST(BlockedIDs, FollowsTheSessionTheLeaseAndTheBudgets) {
    const auto all = IDs{"com.social", "com.game", "com.news", "com.pending"};
    struct Case {
        const char *what;
        std::optional<BootAccessLease> lease;
        double uptime;
        IDs blocked;
    } cases[] = {
        {"no lease: everything", std::nullopt, 100, all},
        {"fresh grant spares a group with budget",
         lease({"social"}),
         100.5,
         {"com.game", "com.news", "com.pending"}},
        {"two grants", lease({"social", "games"}), 101.5, {"com.news", "com.pending"}},
        {"a grant of a spent group does not count", lease({"news"}), 100.5, all},
        {"a stale grant does not count", lease({"social"}), 101.6, all},
        {"open editing window spares pending apps",
         lease({}, true),
         100,
         {"com.social", "com.game", "com.news"}},
        {"a stale editing window does not", lease({}, true), 102, all},
        {"unknown group ids change nothing", lease({"ghost"}), 100, all},
    };
    const auto configuration = sessionConfiguration();
    for (const auto &c : cases)
        EXPECT_EQ(
            BootEnforcement::blockedIDs(configuration, c.lease, boot, c.uptime, duringSession),
            c.blocked)
            << c.what;

    // With no boot identity no lease is ever believed.
    EXPECT_EQ(BootEnforcement::blockedIDs(configuration, lease({"social"}), "", 100, duringSession),
              all);
}

TEST(BlockedIDs, NothingOutsideASession) {
    auto configuration = sessionConfiguration();
    EXPECT_EQ(BootEnforcement::blockedIDs(configuration, std::nullopt, boot, 1, sessionEnd), IDs{});
    EXPECT_EQ(BootEnforcement::blockedIDs(configuration, std::nullopt, boot, 1, Instant{900000000}),
              IDs{});

    configuration.sessionEndsAt.reset();  // a running flag without an end keeps blocking
    EXPECT_EQ(BootEnforcement::blockedIDs(configuration, std::nullopt, boot, 1, Instant{900000000})
                  .size(),
              4u);

    configuration.blockingEnabled = false;
    EXPECT_EQ(BootEnforcement::blockedIDs(configuration, std::nullopt, boot, 1, duringSession),
              IDs{});
}

TEST(BlockedIDs, TakesTheStoredAllowanceAsItIs) {
    auto configuration = sessionConfiguration();
    // A budget used up to the second is spent; out-of-range minutes count as 1440 at most.
    configuration.groups[0].allowance = Allowance(10, 600, "yesterday");
    EXPECT_TRUE(
        BootEnforcement::blockedIDs(configuration, lease({"social"}), boot, 100, duringSession)
            .contains("com.social"));
    configuration.groups[0].allowance.usedSeconds = 599.5;
    EXPECT_FALSE(
        BootEnforcement::blockedIDs(configuration, lease({"social"}), boot, 100, duringSession)
            .contains("com.social"));
    configuration.groups[0].allowance.dailyMinutes = 100000;
    configuration.groups[0].allowance.usedSeconds = 86400;
    EXPECT_TRUE(
        BootEnforcement::blockedIDs(configuration, lease({"social"}), boot, 100, duringSession)
            .contains("com.social"));
}

TEST(BlockedIDs, NeverBlocksProtectedApplications) {
    auto configuration = sessionConfiguration();
    configuration.groups[0].apps = {{"com.Apple.FINDER", "Finder"},
                                    {"org.zorvane.app", "Zorvane"},
                                    {"com.apple.Dock", "Dock"},
                                    {"com.apple.finder.helper", "Helper"}};
    auto blocked = BootEnforcement::blockedIDs(configuration, std::nullopt, boot, 1, duringSession);
    EXPECT_FALSE(blocked.contains("com.Apple.FINDER"));
    EXPECT_FALSE(blocked.contains("org.zorvane.app"));
    EXPECT_FALSE(blocked.contains("com.apple.Dock"));
    EXPECT_TRUE(blocked.contains("com.apple.finder.helper"));
}
