#include "WebDNSJournal.hpp"

#include <algorithm>

#include "JSONCoding.hpp"

namespace orvix {

void WebDNSJournal::capture(const std::string &serviceID,
                            const std::optional<std::vector<std::uint8_t>> &original) {
    const bool known = std::any_of(backups.begin(), backups.end(), [&](const WebDNSBackup &backup) {
        return backup.serviceID == serviceID;
    });
    if (!known) backups.push_back(WebDNSBackup{serviceID, original});
}

void WebDNSJournal::restored() {
    plan.reset();
    backups.clear();
}

std::string WebDNSJournal::toJSON() const {
    // nlohmann::json keeps its keys sorted, which is the order this file is written in.
    nlohmann::json object;
    object["backups"] = nlohmann::json::array();
    for (const auto &backup : backups) object["backups"].push_back(backup.toJSON());
    if (plan) object["plan"] = nlohmann::json(plan->toJSON());
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

WebDNSJournal WebDNSJournal::fromJSON(std::string_view bytes) {
    using namespace JSONRead;
    const auto root = JSONRead::object(bytes);
    WebDNSJournal journal;
    const auto &backups = require(root, "backups");
    requireArray(backups, "backups");
    for (const auto &backup : backups) journal.backups.push_back(WebDNSBackup::fromJSON(backup));
    if (const auto *plan = optional(root, "plan")) journal.plan = WebSessionPlan::fromJSON(*plan);
    return journal;
}

}  // namespace orvix
