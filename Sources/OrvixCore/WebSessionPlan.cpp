#include "WebSessionPlan.hpp"

#include <cmath>

namespace orvix {

namespace {

std::optional<WebsiteContentFilter> storedFilter(WebsiteContentFilter filter) {
    if (filter == WebsiteContentFilter::adult) return filter;
    return std::nullopt;
}

}  // namespace

WebSessionPlan::WebSessionPlan(Instant endsAt, std::vector<std::string> domains,
                               std::optional<bool> continuous,
                               std::optional<WebsiteContentFilter> filter)
    : endsAt(endsAt), domains(std::move(domains)), continuous(continuous), filter(filter) {}

WebSessionPlan::WebSessionPlan(const OrvixConfiguration &configuration, Instant now)
    : endsAt(), continuous(false), filter(storedFilter(configuration.websites.contentFilter)) {
    const auto &end = configuration.sessionEndsAt;
    const double remaining = end ? end->secondsSinceReference - now.secondsSinceReference : NAN;
    if (!configuration.blockingEnabled || !configuration.websites.enabled || !end ||
        !(now < *end) || !std::isfinite(remaining) || remaining > maximumSessionSeconds)
        throw WebProtectionError(noSessionMessage);
    endsAt = *end;
    domains = WebsiteProtection::normalize(configuration.websites.domains());
}

WebSessionPlan WebSessionPlan::continuousFilter(WebsiteContentFilter filter) {
    return WebSessionPlan(farFuture, {}, true, storedFilter(filter));
}

std::optional<WebSessionPlan> WebSessionPlan::desired(const OrvixConfiguration &configuration,
                                                      Instant now) {
    if (!configuration.websites.enabled) return std::nullopt;
    if (configuration.blockingEnabled && configuration.sessionEndsAt &&
        now < *configuration.sessionEndsAt)
        return WebSessionPlan(configuration, now);
    if (configuration.websites.keepFamilyBetweenSessions)
        return continuousFilter(configuration.websites.contentFilter);
    return std::nullopt;
}

nlohmann::ordered_json WebSessionPlan::toJSON() const {
    nlohmann::ordered_json object;
    object["endsAt"] = endsAt.secondsSinceReference;
    object["domains"] = domains;
    if (continuous) object["continuous"] = *continuous;
    if (filter) object["filter"] = jsonText(*filter);
    return object;
}

WebSessionPlan WebSessionPlan::fromJSON(const nlohmann::json &object) {
    using namespace JSONRead;
    requireObject(object, "plan");
    const Instant endsAt{number(require(object, "endsAt"), "endsAt")};
    const auto &list = require(object, "domains");
    requireArray(list, "domains");
    std::vector<std::string> domains;
    domains.reserve(list.size());
    for (const auto &domain : list) domains.push_back(string(domain, "domains"));
    std::optional<bool> continuous;
    if (const auto *value = optional(object, "continuous"))
        continuous = boolean(*value, "continuous");
    std::optional<WebsiteContentFilter> filter;
    if (const auto *value = optional(object, "filter")) {
        filter = contentFilterFromJSONText(string(*value, "filter"));
        if (!filter) throw DecodingError("filter", "Unknown content filter");
    }
    return WebSessionPlan(endsAt, std::move(domains), continuous, filter);
}

}  // namespace orvix
