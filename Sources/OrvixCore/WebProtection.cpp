#include "WebProtection.hpp"

namespace orvix {

const char *jsonText(WebsiteContentFilter filter) {
    return filter == WebsiteContentFilter::adult ? "adult" : "family";
}

std::optional<WebsiteContentFilter> contentFilterFromJSONText(const std::string &text) {
    if (text == "family") return WebsiteContentFilter::family;
    if (text == "adult") return WebsiteContentFilter::adult;
    return std::nullopt;
}

nlohmann::ordered_json WebsiteProtection::toJSON() const {
    nlohmann::ordered_json object;
    object["enabled"] = enabled;
    object["domains"] = domains;
    object["keepFamilyBetweenSessions"] = keepFamilyBetweenSessions;
    object["contentFilter"] = jsonText(contentFilter);
    return object;
}

WebsiteProtection WebsiteProtection::fromJSON(const nlohmann::json &object) {
    using namespace JSONRead;
    requireObject(object, "websites");
    WebsiteProtection protection;
    protection.enabled = boolean(require(object, "enabled"), "enabled");
    const auto &domains = require(object, "domains");
    requireArray(domains, "domains");
    for (const auto &domain : domains) protection.domains.push_back(string(domain, "domains"));
    if (const auto *keep = optional(object, "keepFamilyBetweenSessions"))
        protection.keepFamilyBetweenSessions = boolean(*keep, "keepFamilyBetweenSessions");
    if (const auto *filter = optional(object, "contentFilter")) {
        auto parsed = contentFilterFromJSONText(string(*filter, "contentFilter"));
        if (!parsed) throw DecodingError("contentFilter", "Unknown content filter");
        protection.contentFilter = *parsed;
    }
    return protection;
}

}  // namespace orvix
