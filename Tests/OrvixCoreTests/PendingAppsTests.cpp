#include <gtest/gtest.h>

#include <unicode/locid.h>

#include "AppGroups.hpp"
#include "LocalizedStandardOrder.hpp"

namespace orvix {
namespace {

OrvixConfiguration sessionWith(std::vector<BlockedApp> socialApps) {
    OrvixConfiguration configuration;
    configuration.timeZoneIdentifier = "UTC";
    configuration.blockingEnabled = true;
    configuration.groups.emplace_back("social", "Social", std::move(socialApps),
                                      Allowance(15, 0, "2024-03-09"), 2);
    configuration.groups.emplace_back("games", "Games", std::vector<BlockedApp>{},
                                      Allowance(0, 0, "2024-03-09"), 2);
    return configuration;
}

std::vector<std::string> names(const AppGroup &group) {
    std::vector<std::string> result;
    for (const auto &app : group.apps) result.push_back(app.name);
    return result;
}

TEST(PendingApps, StagingIsRefusedOutsideASessionAndForKnownBundleIDs) {
    auto configuration = sessionWith({{"com.example.chat", "Chat"}});

    EXPECT_TRUE(configuration.stageApp({"com.example.game", "Game"}, "games"));
    // Already pending, for this or another group.
    EXPECT_FALSE(configuration.stageApp({"com.example.game", "Game"}, "games"));
    EXPECT_FALSE(configuration.stageApp({"com.example.game", "Other name"}, "social"));
    // Already a member.
    EXPECT_FALSE(configuration.stageApp({"com.example.chat", "Chat"}, "games"));
    EXPECT_FALSE(configuration.stageApp({"com.example.new", "New"}, "missing"));
    // Bundle IDs are compared exactly.
    EXPECT_TRUE(configuration.stageApp({"COM.EXAMPLE.GAME", "Game"}, "games"));

    configuration.blockingEnabled = false;
    EXPECT_FALSE(configuration.stageApp({"com.example.new", "New"}, "games"));

    const std::vector<PendingAppAddition> expected{{"games", {"com.example.game", "Game"}},
                                                   {"games", {"COM.EXAMPLE.GAME", "Game"}}};
    EXPECT_EQ(configuration.pendingAdditions, expected);
}

TEST(PendingApps, RemovingKeepsTheOrderOfTheOthers) {
    auto configuration = sessionWith({});
    ASSERT_TRUE(configuration.stageApp({"a", "A"}, "games"));
    ASSERT_TRUE(configuration.stageApp({"b", "B"}, "social"));
    ASSERT_TRUE(configuration.stageApp({"c", "C"}, "games"));
    configuration.blockingEnabled = false;

    configuration.removePendingApp("b");
    configuration.removePendingApp("not-pending");
    const std::vector<PendingAppAddition> expected{{"games", {"a", "A"}}, {"games", {"c", "C"}}};
    EXPECT_EQ(configuration.pendingAdditions, expected);
}

TEST(PendingApps, CommitSortsTheGroupAsAPersonWould) {
    auto configuration = sessionWith({{"com.example.app9", "App 9"}});
    ASSERT_TRUE(configuration.stageApp({"com.example.zeta", "Zeta"}, "social"));
    ASSERT_TRUE(configuration.stageApp({"com.example.alpha", "alpha"}, "social"));
    ASSERT_TRUE(configuration.stageApp({"com.example.app10", "App 10"}, "social"));

    EXPECT_EQ(configuration.commitPendingApps(), std::set<std::string>{"social"});
    EXPECT_EQ(names(configuration.groups[0]),
              (std::vector<std::string>{"alpha", "App 9", "App 10", "Zeta"}));
    EXPECT_TRUE(configuration.pendingAdditions.empty());
    EXPECT_TRUE(configuration.groups[1].apps.empty());
}

TEST(PendingApps, CommitKeepsEqualNamesInTheirOrderAndWeighsAccentsAfterLetters) {
    auto configuration = sessionWith({{"one", "Notes"}, {"two", "notes"}});
    ASSERT_TRUE(configuration.stageApp({"three", "NOTES"}, "social"));
    ASSERT_TRUE(configuration.stageApp({"four", "Éclair"}, "social"));
    ASSERT_TRUE(configuration.stageApp({"five", "eagle"}, "social"));
    ASSERT_TRUE(configuration.stageApp({"six", "résumé"}, "social"));
    ASSERT_TRUE(configuration.stageApp({"seven", "resume"}, "social"));
    ASSERT_TRUE(configuration.stageApp({"eight", "Photos 2"}, "social"));
    ASSERT_TRUE(configuration.stageApp({"nine", "Photos 02"}, "social"));
    ASSERT_TRUE(configuration.stageApp({"ten", "bad \xff name"}, "social"));

    configuration.commitPendingApps();
    std::vector<std::string> ids;
    for (const auto &app : configuration.groups[0].apps) ids.push_back(app.bundleID);
    // "Photos 2" and "Photos 02" have the same value; the earlier one stays first.
    EXPECT_EQ(ids, (std::vector<std::string>{"ten", "five", "four", "one", "two", "three", "eight",
                                             "nine", "seven", "six"}));
}

TEST(PendingApps, CommitDropsAdditionsWhoseGroupOrAppIsTaken) {
    auto configuration = sessionWith({});
    ASSERT_TRUE(configuration.stageApp({"kept", "Kept"}, "games"));
    ASSERT_TRUE(configuration.stageApp({"orphan", "Orphan"}, "social"));
    ASSERT_TRUE(configuration.stageApp({"taken", "Taken"}, "games"));
    configuration.groups.erase(configuration.groups.begin());
    // The user added it directly after the session, and a stale addition still names it.
    configuration.groups[0].apps.push_back({"taken", "Taken"});
    // A second addition of an app that the first addition already commits.
    configuration.pendingAdditions.push_back({"games", {"kept", "Kept twice"}});

    EXPECT_EQ(configuration.commitPendingApps(), std::set<std::string>{"games"});
    EXPECT_TRUE(configuration.pendingAdditions.empty());
    EXPECT_EQ(names(configuration.groups[0]), (std::vector<std::string>{"Kept", "Taken"}));

    EXPECT_TRUE(configuration.commitPendingApps().empty());
}

TEST(LocalizedStandardOrder, DoesNotFallBackToTheAsciiOrderOfThePosixLocale) {
    const icu::Locale original = icu::Locale::getDefault();
    for (const char *name : {"en_US_POSIX", "de_DE", "en_US", "sv_SE"}) {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale(name), status);
        ASSERT_TRUE(U_SUCCESS(status));
        const LocalizedStandardOrder order;
        EXPECT_TRUE(order("alpha", "App 9")) << name;
        EXPECT_TRUE(order("App 9", "App 10")) << name;
        EXPECT_TRUE(order("App 10", "Zeta")) << name;
        EXPECT_EQ(order.compare("Mail", "mail"), 0) << name;
        EXPECT_NE(order.compare("resume", "résumé"), 0) << name;
    }
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(original, status);
}

}  // namespace
}  // namespace orvix
