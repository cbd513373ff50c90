#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "AppGroups.hpp"

using namespace orvix;

namespace {

std::string group(const std::string &id, const std::string &apps = "[]",
                  const std::string &extra = "") {
    return R"({"id":")" + id + R"(","name":"G","apps":)" + apps +
           R"(,"allowance":{"dailyMinutes":15,"usedSeconds":0,"day":"2024-03-07"})" + extra + "}";
}

std::string app(const std::string &bundleID) {
    return R"({"bundleID":")" + bundleID + R"(","name":"App"})";
}

std::string settings(const std::string &groups, const std::string &extra = "") {
    return R"({"groups":)" + groups +
           R"(,"blockingEnabled":false,"timeZoneIdentifier":"Europe/Berlin")" + extra + "}";
}

// The message of the failed read, or none when the file was accepted.
std::optional<std::string> readFailure(const std::string &bytes) {
    try {
        OrvixConfiguration::fromJSON(bytes);
        return std::nullopt;
    } catch (const DecodingError &error) {
        return error.what();
    }
}

}  // namespace

TEST(SettingsFile, WritesTheExactBytesOfAKnownConfiguration) {
    OrvixConfiguration configuration;
    configuration.groups.emplace_back("A1", "Games",
                                      std::vector<BlockedApp>{{"com.example.game", "Game"}},
                                      Allowance(30, 12.5, "2024-03-07"), 3);
    configuration.groups.emplace_back("B2", "Chat", std::vector<BlockedApp>{},
                                      Allowance(0, 0, "2024-03-07"), 0);
    configuration.blockingEnabled = true;
    configuration.timeZoneIdentifier = "Europe/Berlin";
    configuration.sessionEndsAt = Instant{731000000.25};
    configuration.pendingAdditions.push_back({"B2", {"com.example.chat", "Chät \"pro\""}});
    configuration.settingsDelayMinutes = 10;

    EXPECT_EQ(configuration.toJSON(),
              R"({"groups":[{"id":"A1","name":"Games","apps":[{"bundleID":"com.example.game",)"
              R"("name":"Game"}],"allowance":{"dailyMinutes":30,"usedSeconds":12.5,"day":)"
              R"("2024-03-07"},"accessDelayMinutes":3},{"id":"B2","name":"Chat","apps":[],)"
              R"("allowance":{"dailyMinutes":0,"usedSeconds":0.0,"day":"2024-03-07"},)"
              R"("accessDelayMinutes":0}],"blockingEnabled":true,"timeZoneIdentifier":)"
              R"("Europe/Berlin","settingsDelayMinutes":10,"sessionEndsAt":731000000.25,)"
              R"("pendingAdditions":[{"groupID":"B2","app":{"bundleID":"com.example.chat",)"
              R"("name":"Chät \"pro\""}}],"websites":{"enabled":false,"domains":[],)"
              R"("keepFamilyBetweenSessions":false,"contentFilter":"family"}})");

    configuration.sessionEndsAt.reset();
    EXPECT_EQ(configuration.toJSON().find("sessionEndsAt"), std::string::npos);
}

TEST(SettingsFile, InstantsAndUsageSurviveAWriteAndAReadBitForBit) {
    for (double value : {731000000.123456789, 0.1 + 0.2, -1234.000001, 5e-324, 1.0 / 3.0}) {
        OrvixConfiguration configuration(Instant::fromUnixSeconds(1700000000));
        configuration.sessionEndsAt = Instant{value};
        configuration.groups[0].allowance.usedSeconds = value < 0 ? -value : value;
        auto read = OrvixConfiguration::fromJSON(configuration.toJSON());
        ASSERT_TRUE(read.sessionEndsAt);
        EXPECT_EQ(std::memcmp(&read.sessionEndsAt->secondsSinceReference, &value, sizeof value), 0)
            << value;
        EXPECT_EQ(read, configuration);
    }
}

TEST(SettingsFile, FirstStartHasTwoEmptyGroupsInTheMachineZone) {
    const Instant now = Instant::fromUnixSeconds(1709800000);  // 2024-03-07 08:26 UTC
    OrvixConfiguration configuration(now);
    ASSERT_EQ(configuration.groups.size(), 2u);
    EXPECT_EQ(configuration.groups[0].name, "Always blocked");
    EXPECT_EQ(configuration.groups[0].allowance.dailyMinutes, 0);
    EXPECT_EQ(configuration.groups[1].name, "Daily access");
    EXPECT_EQ(configuration.groups[1].allowance.dailyMinutes, 15);
    for (const auto &group : configuration.groups) {
        EXPECT_EQ(group.id.size(), 36u);
        EXPECT_EQ(group.id, [&] {
            std::string upper = group.id;
            for (auto &c : upper) c = static_cast<char>(std::toupper(c));
            return upper;
        }());
        EXPECT_EQ(group.accessDelayMinutes, 2);
        EXPECT_EQ(group.allowance.day, configuration.calendar().dayKey(now));
        EXPECT_TRUE(group.apps.empty());
    }
    EXPECT_NE(configuration.groups[0].id, configuration.groups[1].id);
    EXPECT_FALSE(configuration.blockingEnabled);
    EXPECT_EQ(configuration.timeZoneIdentifier, Calendar::currentTimeZoneIdentifier());
    EXPECT_EQ(configuration.settingsDelayMinutes, 5);
    EXPECT_EQ(configuration.websites, WebsiteProtection());
    EXPECT_FALSE(configuration.hasProtection());
}

TEST(SettingsFile, ReadsTheOldSingleListFormatAsOneImportedGroup) {
    auto configuration = OrvixConfiguration::fromJSON(
        R"({"apps":[{"bundleID":"com.a","name":"A"}],"allowance":{"dailyMinutes":20,)"
        R"("usedSeconds":60,"day":"2023-01-02"},"blockingEnabled":true,"timeZoneIdentifier":"UTC"})");
    ASSERT_EQ(configuration.groups.size(), 1u);
    const auto &imported = configuration.groups[0];
    EXPECT_EQ(imported.id, "imported");
    EXPECT_EQ(imported.name, "Imported apps");
    EXPECT_EQ(imported.accessDelayMinutes, 2);
    EXPECT_EQ(imported.apps, (std::vector<BlockedApp>{{"com.a", "A"}}));
    EXPECT_EQ(imported.allowance, Allowance(20, 60, "2023-01-02"));

    const auto rewritten = configuration.toJSON();
    const auto top = nlohmann::json::parse(rewritten);
    EXPECT_TRUE(top.contains("groups"));
    EXPECT_FALSE(top.contains("apps"));
    EXPECT_FALSE(top.contains("allowance"));
    EXPECT_EQ(OrvixConfiguration::fromJSON(rewritten), configuration);

    // With both forms present only "groups" counts.
    auto both = OrvixConfiguration::fromJSON(
        settings("[" + group("G1") + "]", R"(,"apps":[1],"allowance":"x")"));
    ASSERT_EQ(both.groups.size(), 1u);
    EXPECT_EQ(both.groups[0].id, "G1");
}

TEST(SettingsFile, ClampsNumbersIntoTheirRanges) {
    struct Case {
        std::string groupExtra;
        std::string rootExtra;
        std::int64_t accessDelay;
        std::int64_t settingsDelay;
    } cases[] = {
        {"", "", 2, 5},
        {R"(,"accessDelayMinutes":-5)", R"(,"settingsDelayMinutes":0)", 0, 1},
        {R"(,"accessDelayMinutes":5000)", R"(,"settingsDelayMinutes":2000)", 1440, 1440},
        {R"(,"accessDelayMinutes":7)", R"(,"settingsDelayMinutes":30)", 7, 30},
    };
    for (const auto &c : cases) {
        auto configuration = OrvixConfiguration::fromJSON(
            settings("[" + group("G", "[]", c.groupExtra) + "]", c.rootExtra));
        EXPECT_EQ(configuration.groups[0].accessDelayMinutes, c.accessDelay) << c.groupExtra;
        EXPECT_EQ(configuration.settingsDelayMinutes, c.settingsDelay) << c.rootExtra;
    }

    auto large = OrvixConfiguration::fromJSON(settings(
        R"([{"id":"G","name":"G","apps":[],"allowance":{"dailyMinutes":2000,"usedSeconds":0,"day":"d"}}])"));
    EXPECT_EQ(large.groups[0].allowance.dailyMinutes, 1440);
}

TEST(SettingsFile, RefusesBrokenFilesWithTheirMessage) {
    const std::string usage =
        R"([{"id":"G","name":"G","apps":[],"allowance":{"dailyMinutes":5,"usedSeconds":)";
    struct Case {
        const char *what;
        std::string bytes;
        std::optional<std::string> failure;  // none: accepted; "": the reader's own error
    } cases[] = {
        {"usage -1", settings(usage + R"(-1,"day":"d"}}])"), "Invalid saved usage"},
        {"usage 0", settings(usage + R"(0,"day":"d"}}])"), std::nullopt},
        {"usage 12.5", settings(usage + R"(12.5,"day":"d"}}])"), std::nullopt},
        {"two groups with one id", settings("[" + group("X") + "," + group("X") + "]"),
         "Duplicate or missing group identifier"},
        {"empty group id", settings("[" + group("") + "]"),
         "Duplicate or missing group identifier"},
        {"one app twice in a group",
         settings("[" + group("X", "[" + app("com.a") + "," + app("com.a") + "]") + "]"),
         "An app belongs to more than one group"},
        {"one app in two groups",
         settings("[" + group("X", "[" + app("com.a") + "]") + "," +
                  group("Y", "[" + app("com.a") + "]") + "]"),
         "An app belongs to more than one group"},
        {"ids differing in case",
         settings("[" + group("X", "[" + app("com.a") + "," + app("com.A") + "]") + "]"),
         std::nullopt},
        {"pending app already in a group",
         settings("[" + group("X", "[" + app("com.a") + "]") + "]",
                  R"(,"pendingAdditions":[{"groupID":"X","app":)" + app("com.a") + "}]"),
         "Invalid or duplicate pending app"},
        {"pending app twice",
         settings("[" + group("X") + "," + group("Y") + "]",
                  R"(,"pendingAdditions":[{"groupID":"X","app":)" + app("com.b") +
                      R"(},{"groupID":"Y","app":)" + app("com.b") + "}]"),
         "Invalid or duplicate pending app"},
        {"pending app of a missing group",
         settings("[" + group("X") + "]",
                  R"(,"pendingAdditions":[{"groupID":"Z","app":)" + app("com.b") + "}]"),
         "Invalid or duplicate pending app"},
        {"not JSON", "{\"groups\":", ""},
        {"not an object", "[]", ""},
        {"no blockingEnabled", R"({"groups":[],"timeZoneIdentifier":"UTC"})", ""},
        {"no timeZoneIdentifier", R"({"groups":[],"blockingEnabled":true})", ""},
        {"blockingEnabled as a number",
         R"({"groups":[],"blockingEnabled":1,"timeZoneIdentifier":"UTC"})", ""},
        {"dailyMinutes with a fraction",
         settings(
             R"([{"id":"G","name":"G","apps":[],"allowance":{"dailyMinutes":1.5,"usedSeconds":0,"day":"d"}}])"),
         ""},
        {"group without allowance", settings(R"([{"id":"G","name":"G","apps":[]}])"), ""},
        {"old format without allowance",
         R"({"apps":[],"blockingEnabled":true,"timeZoneIdentifier":"UTC"})", ""},
        {"unknown content filter",
         settings("[]", R"(,"websites":{"enabled":true,"domains":[],"contentFilter":"strict"})"),
         ""},
        {"unknown keys are ignored", settings("[]", R"(,"future":{"x":[1,2]})"), std::nullopt},
    };
    for (const auto &c : cases) {
        auto failure = readFailure(c.bytes);
        if (!c.failure) {
            EXPECT_EQ(failure, std::nullopt) << c.what;
        } else if (c.failure->empty()) {
            EXPECT_TRUE(failure.has_value()) << c.what;
        } else {
            EXPECT_EQ(failure, c.failure) << c.what;
        }
    }
}

TEST(SettingsFile, ReadsWebsiteSettingsWithTheirDefaults) {
    auto absent = OrvixConfiguration::fromJSON(settings("[]"));
    EXPECT_EQ(absent.websites, WebsiteProtection());

    auto given = OrvixConfiguration::fromJSON(settings(
        "[]", R"(,"websites":{"domains":["example.com"],"enabled":true,"contentFilter":"adult"})"));
    EXPECT_TRUE(given.websites.enabled);
    EXPECT_FALSE(given.websites.keepFamilyBetweenSessions);
    EXPECT_EQ(given.websites.contentFilter, WebsiteContentFilter::adult);
    EXPECT_EQ(given.websites.domains(), std::vector<std::string>{"example.com"});
    EXPECT_TRUE(given.hasProtection());
    EXPECT_FALSE(given.hasApps());
}

TEST(SettingsFile, SessionLockEndsExactlyAtTheDeadline) {
    OrvixConfiguration configuration;
    const Instant end{1000};
    configuration.blockingEnabled = true;
    EXPECT_FALSE(configuration.isSessionLocked(Instant{0}));  // no end set
    configuration.sessionEndsAt = end;
    EXPECT_TRUE(configuration.isSessionLocked(Instant{999.999}));
    EXPECT_FALSE(configuration.isSessionLocked(end));
    configuration.blockingEnabled = false;
    EXPECT_FALSE(configuration.isSessionLocked(Instant{0}));
}

TEST(SettingsFile, PendingAppsDoNotCountAsApps) {
    OrvixConfiguration configuration;
    configuration.groups.emplace_back("G", "G", std::vector<BlockedApp>{}, Allowance(5, 0, "d"), 2);
    configuration.pendingAdditions.push_back({"G", {"com.a", "A"}});
    EXPECT_FALSE(configuration.hasApps());
    EXPECT_FALSE(configuration.hasProtection());
    configuration.groups[0].apps.push_back({"com.b", "B"});
    EXPECT_TRUE(configuration.hasApps());
}

TEST(Calendar, DayKeysFollowTheSettingsZoneAndFallBackToUTC) {
    // 2024-03-07 23:30 UTC is already 2024-03-08 in Berlin.
    const Instant lateEvening = Instant::fromUnixSeconds(1709854200);
    struct Case {
        const char *zone;
        const char *zoneInUse;
        const char *day;
    } cases[] = {
        {"Europe/Berlin", "Europe/Berlin", "2024-03-08"},
        {"America/New_York", "America/New_York", "2024-03-07"},
        {"UTC", "UTC", "2024-03-07"},
        {"Mars/Olympus_Mons", "UTC", "2024-03-07"},
        {"", "UTC", "2024-03-07"},
    };
    for (const auto &c : cases) {
        Calendar calendar(c.zone);
        EXPECT_EQ(calendar.timeZoneIdentifier(), c.zoneInUse) << c.zone;
        EXPECT_EQ(calendar.dayKey(lateEvening), c.day) << c.zone;
    }
    // An unknown zone rolls over at midnight UTC.
    Calendar unknown("Nowhere/Else");
    EXPECT_EQ(unknown.dayKey(Instant::fromUnixSeconds(1709855999)), "2024-03-07");
    EXPECT_EQ(unknown.dayKey(Instant::fromUnixSeconds(1709856000)), "2024-03-08");

    auto configuration = OrvixConfiguration::fromJSON(
        R"({"groups":[],"blockingEnabled":false,"timeZoneIdentifier":"Nowhere/Else"})");
    EXPECT_EQ(configuration.timeZoneIdentifier, "Nowhere/Else");
    EXPECT_EQ(configuration.calendar().timeZoneIdentifier(), "UTC");
}
