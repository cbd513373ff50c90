#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "JSONCoding.hpp"

namespace orvix {

// The two filters of the filtering provider.
enum class WebsiteContentFilter { family, adult };

const char *jsonText(WebsiteContentFilter filter);
std::optional<WebsiteContentFilter> contentFilterFromJSONText(const std::string &text);

// A refused website entry or web setting; `what()` is the sentence shown to the user.
class WebProtectionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The user's website settings: the `websites` member of the settings file.
struct WebsiteProtection {
    bool enabled = false;
    bool keepFamilyBetweenSessions = false;
    WebsiteContentFilter contentFilter = WebsiteContentFilter::family;
    std::vector<std::string> domains;

    nlohmann::ordered_json toJSON() const;
    // Reads the "websites" object. The domain list is taken as stored; checking and
    // normalising each entry belongs here once the domain rules exist.
    static WebsiteProtection fromJSON(const nlohmann::json &object);

    friend bool operator==(const WebsiteProtection &, const WebsiteProtection &) = default;
};

}  // namespace orvix
