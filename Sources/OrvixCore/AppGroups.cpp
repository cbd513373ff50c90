#include "AppGroups.hpp"

#include <algorithm>
#include <unordered_set>

#include "LocalizedStandardOrder.hpp"
#include "UUID.hpp"

namespace orvix {

AppGroup::AppGroup(std::string id, std::string name, std::int64_t dailyMinutes, Instant now,
                   const Calendar &calendar, std::int64_t accessDelayMinutes)
    : AppGroup(std::move(id), std::move(name), {}, Allowance(dailyMinutes, 0, now, calendar),
               accessDelayMinutes) {}

AppGroup::AppGroup(std::string id, std::string name, std::vector<BlockedApp> apps,
                   Allowance allowance, std::int64_t accessDelayMinutes)
    : id(std::move(id)),
      name(std::move(name)),
      apps(std::move(apps)),
      allowance(std::move(allowance)),
      accessDelayMinutes(clamped(accessDelayMinutes, 0, Allowance::maximumMinutes)) {}

nlohmann::ordered_json AppGroup::toJSON() const {
    nlohmann::ordered_json object;
    object["id"] = id;
    object["name"] = name;
    object["apps"] = nlohmann::ordered_json::array();
    for (const auto &app : apps) object["apps"].push_back(app.toJSON());
    object["allowance"] = allowance.toJSON();
    object["accessDelayMinutes"] = accessDelayMinutes;
    return object;
}

namespace {

std::vector<BlockedApp> readApps(const nlohmann::json &object) {
    using namespace JSONRead;
    const auto &list = require(object, "apps");
    requireArray(list, "apps");
    std::vector<BlockedApp> apps;
    apps.reserve(list.size());
    for (const auto &app : list) apps.push_back(BlockedApp::fromJSON(app));
    return apps;
}

Allowance readAllowance(const nlohmann::json &object) {
    const auto &allowance = JSONRead::require(object, "allowance");
    JSONRead::requireObject(allowance, "allowance");
    return Allowance::fromJSON(allowance);
}

}  // namespace

AppGroup AppGroup::fromJSON(const nlohmann::json &object) {
    using namespace JSONRead;
    requireObject(object, "groups");
    std::int64_t delay = 2;
    if (const auto *value = optional(object, "accessDelayMinutes"))
        delay = integer(*value, "accessDelayMinutes");
    return AppGroup(string(require(object, "id"), "id"), string(require(object, "name"), "name"),
                    readApps(object), readAllowance(object), delay);
}

OrvixConfiguration::OrvixConfiguration(Instant now)
    : timeZoneIdentifier(Calendar::currentTimeZoneIdentifier()) {
    Calendar calendar(timeZoneIdentifier);
    groups.emplace_back(makeUUIDString(), "Always blocked", 0, now, calendar, 2);
    groups.emplace_back(makeUUIDString(), "Daily access", 15, now, calendar, 2);
}

bool OrvixConfiguration::hasApps() const {
    for (const auto &group : groups)
        if (!group.apps.empty()) return true;
    return false;
}

bool OrvixConfiguration::isSessionLocked(Instant instant) const {
    return blockingEnabled && sessionEndsAt && instant < *sessionEndsAt;
}

bool OrvixConfiguration::setWebsiteContentFilter(WebsiteContentFilter filter) {
    if (blockingEnabled || websites.contentFilter == filter) return false;
    websites.contentFilter = filter;
    return true;
}

bool OrvixConfiguration::addBlockedWebsite(const std::string &entry) {
    // Allowed during a session too: another blocked site only makes it stricter.
    auto domains = websites.domains();
    domains.push_back(entry);
    const auto previous = websites.domains();
    websites.setDomains(domains);
    return websites.domains() != previous;
}

bool OrvixConfiguration::removeBlockedWebsite(const std::string &entry) {
    if (blockingEnabled) return false;
    auto domains = websites.domains();
    std::erase(domains, entry);
    const auto previous = websites.domains();
    websites.setDomains(domains);
    return websites.domains() != previous;
}

namespace {

bool anyGroupLists(const std::vector<AppGroup> &groups, const std::string &bundleID) {
    return std::any_of(groups.begin(), groups.end(), [&](const AppGroup &group) {
        return std::any_of(group.apps.begin(), group.apps.end(),
                           [&](const BlockedApp &app) { return app.bundleID == bundleID; });
    });
}

}  // namespace

bool OrvixConfiguration::stageApp(const BlockedApp &app, const std::string &groupID) {
    if (!blockingEnabled) return false;
    if (std::none_of(groups.begin(), groups.end(),
                     [&](const AppGroup &group) { return group.id == groupID; }))
        return false;
    if (anyGroupLists(groups, app.bundleID)) return false;
    if (std::any_of(pendingAdditions.begin(), pendingAdditions.end(),
                    [&](const PendingAppAddition &pending) {
                        return pending.app.bundleID == app.bundleID;
                    }))
        return false;
    pendingAdditions.push_back({groupID, app});
    return true;
}

void OrvixConfiguration::removePendingApp(const std::string &bundleID) {
    std::erase_if(pendingAdditions, [&](const PendingAppAddition &pending) {
        return pending.app.bundleID == bundleID;
    });
}

std::set<std::string> OrvixConfiguration::commitPendingApps() {
    std::set<std::string> changed;
    const LocalizedStandardOrder order;
    for (const auto &pending : pendingAdditions) {
        auto group = std::find_if(groups.begin(), groups.end(), [&](const AppGroup &candidate) {
            return candidate.id == pending.groupID;
        });
        if (group == groups.end() || anyGroupLists(groups, pending.app.bundleID)) continue;
        group->apps.push_back(pending.app);
        std::stable_sort(group->apps.begin(), group->apps.end(),
                         [&](const BlockedApp &left, const BlockedApp &right) {
                             return order(left.name, right.name);
                         });
        changed.insert(group->id);
    }
    pendingAdditions.clear();
    return changed;
}

std::string OrvixConfiguration::toJSON() const {
    nlohmann::ordered_json object;
    object["groups"] = nlohmann::ordered_json::array();
    for (const auto &group : groups) object["groups"].push_back(group.toJSON());
    object["blockingEnabled"] = blockingEnabled;
    object["timeZoneIdentifier"] = timeZoneIdentifier;
    object["settingsDelayMinutes"] = settingsDelayMinutes;
    if (sessionEndsAt) object["sessionEndsAt"] = sessionEndsAt->secondsSinceReference;
    object["pendingAdditions"] = nlohmann::ordered_json::array();
    for (const auto &pending : pendingAdditions)
        object["pendingAdditions"].push_back(pending.toJSON());
    object["websites"] = websites.toJSON();
    return JSONWrite::compact(object);
}

OrvixConfiguration OrvixConfiguration::fromJSON(std::string_view bytes) {
    using namespace JSONRead;
    const auto root = JSONRead::object(bytes);
    OrvixConfiguration configuration;

    if (const auto *groups = optional(root, "groups")) {
        requireArray(*groups, "groups");
        for (const auto &group : *groups) configuration.groups.push_back(AppGroup::fromJSON(group));
    } else {
        // Files from before groups existed hold one list of apps with one allowance.
        configuration.groups.emplace_back("imported", "Imported apps", readApps(root),
                                          readAllowance(root), 2);
    }

    configuration.blockingEnabled = boolean(require(root, "blockingEnabled"), "blockingEnabled");
    configuration.timeZoneIdentifier =
        string(require(root, "timeZoneIdentifier"), "timeZoneIdentifier");
    if (const auto *delay = optional(root, "settingsDelayMinutes"))
        configuration.settingsDelayMinutes =
            clamped(integer(*delay, "settingsDelayMinutes"), 1, Allowance::maximumMinutes);
    if (const auto *end = optional(root, "sessionEndsAt"))
        configuration.sessionEndsAt = Instant{number(*end, "sessionEndsAt")};
    if (const auto *pending = optional(root, "pendingAdditions")) {
        requireArray(*pending, "pendingAdditions");
        for (const auto &addition : *pending)
            configuration.pendingAdditions.push_back(PendingAppAddition::fromJSON(addition));
    }
    if (const auto *websites = optional(root, "websites"))
        configuration.websites = WebsiteProtection::fromJSON(*websites);

    std::unordered_set<std::string> groupIDs;
    std::unordered_set<std::string> bundleIDs;
    for (const auto &group : configuration.groups) {
        if (group.id.empty() || !groupIDs.insert(group.id).second)
            throw DecodingError("groups", "Duplicate or missing group identifier");
        for (const auto &app : group.apps)
            if (!bundleIDs.insert(app.bundleID).second)
                throw DecodingError("groups", "An app belongs to more than one group");
    }
    for (const auto &pending : configuration.pendingAdditions) {
        if (!groupIDs.contains(pending.groupID) || !bundleIDs.insert(pending.app.bundleID).second)
            throw DecodingError("pendingAdditions", "Invalid or duplicate pending app");
    }
    return configuration;
}

}  // namespace orvix
