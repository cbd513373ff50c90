#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Allowance.hpp"
#include "BlockedApp.hpp"
#include "Calendar.hpp"
#include "Instant.hpp"
#include "PendingAppAddition.hpp"
#include "WebProtection.hpp"

namespace orvix {

// A named set of applications that share one daily allowance and one access wait.
struct AppGroup {
    std::string id;
    std::string name;
    std::vector<BlockedApp> apps;
    Allowance allowance;
    std::int64_t accessDelayMinutes = 2;

    AppGroup() = default;
    // A new, empty group whose budget starts on the day of `now`.
    AppGroup(std::string id, std::string name, std::int64_t dailyMinutes, Instant now,
             const Calendar &calendar, std::int64_t accessDelayMinutes);
    // A group from stored parts; only the access wait is clamped.
    AppGroup(std::string id, std::string name, std::vector<BlockedApp> apps, Allowance allowance,
             std::int64_t accessDelayMinutes);

    nlohmann::ordered_json toJSON() const;
    static AppGroup fromJSON(const nlohmann::json &object);

    friend bool operator==(const AppGroup &, const AppGroup &) = default;
};

// Every user setting: the content of "settings.json".
struct OrvixConfiguration {
    std::vector<AppGroup> groups;
    bool blockingEnabled = false;
    std::string timeZoneIdentifier;
    std::optional<Instant> sessionEndsAt;
    std::vector<PendingAppAddition> pendingAdditions;
    WebsiteProtection websites;
    std::int64_t settingsDelayMinutes = 5;

    OrvixConfiguration() = default;
    // The settings of a first start: two empty groups and the machine's time zone, which
    // stays the zone of these settings for good.
    explicit OrvixConfiguration(Instant now);

    // The calendar of every day key of these settings (UTC when the zone is unknown).
    Calendar calendar() const { return Calendar(timeZoneIdentifier); }
    bool hasApps() const;
    bool hasProtection() const { return hasApps() || websites.enabled; }
    // True while a session runs and `instant` lies strictly before its end.
    bool isSessionLocked(Instant instant) const;

    // Website settings as the user edits them. While a session runs (`blockingEnabled`) only
    // changes that make it stricter go through; each returns whether anything changed.
    bool setWebsiteContentFilter(WebsiteContentFilter filter);
    // Throws WebProtectionError, leaving the list as it was, when the entry is refused.
    bool addBlockedWebsite(const std::string &entry);
    // Drops the stored entries exactly equal to `entry`.
    bool removeBlockedWebsite(const std::string &entry);
    // Queues `app` to join the group `groupID` when the session ends. Refused outside a session
    // (apps are then added directly), for an unknown group, and for a bundle ID that is
    // already in a group or already pending for any group.
    bool stageApp(const BlockedApp &app, const std::string &groupID);
    // Withdraws every pending addition of `bundleID`, session or not.
    void removePendingApp(const std::string &bundleID);
    // Moves the pending apps into their groups, keeping each receiving group sorted by name in
    // the order a person expects, and empties the list; additions whose group is gone or whose
    // app already belongs to a group are dropped. Returns the ids of the groups that grew,
    // whose grants the caller must withdraw.
    std::set<std::string> commitPendingApps();

    // The exact bytes of the settings file.
    std::string toJSON() const;
    // Reads a settings file, also in the old single-list form; throws DecodingError.
    static OrvixConfiguration fromJSON(std::string_view bytes);

    friend bool operator==(const OrvixConfiguration &, const OrvixConfiguration &) = default;
};

}  // namespace orvix
