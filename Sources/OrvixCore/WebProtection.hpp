#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "JSONCoding.hpp"
#include "orvix_provider.h"

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

// The user's website settings: the `websites` member of the settings file. The domain list
// only ever holds the output of `normalize`, so whoever reads it (the proxy's block list,
// the browser check) can take it as it is.
class WebsiteProtection {
public:
    // The provider's own domain: the local resolver probe asks for it, so it can never be
    // blocked.
    static constexpr const char *connectionCheckDomain = ORVIX_CONNECTION_CHECK_DOMAIN;
    static constexpr std::size_t maximumDomainCount = 500;

    static constexpr const char *domainPromptMessage =
        "Enter a website domain, such as example.com.";
    static constexpr const char *connectionCheckDomainMessage =
        "The connection-check domain cannot be added.";
    static constexpr const char *invalidDomainMessage =
        "Enter a valid domain, not an IP address or a block-list pattern.";
    static constexpr const char *tooManyDomainsMessage = "Use at most 500 domains.";

    bool enabled = false;
    bool keepFamilyBetweenSessions = false;
    WebsiteContentFilter contentFilter = WebsiteContentFilter::family;

    WebsiteProtection() = default;
    // Throws WebProtectionError when the list is refused.
    WebsiteProtection(bool enabled, const std::vector<std::string> &domains);

    const std::vector<std::string> &domains() const { return domains_; }
    // Replaces the list by its normalised form; throws WebProtectionError and keeps the old
    // list when any entry is refused.
    void setDomains(const std::vector<std::string> &domains);

    // Reduces whatever the user typed or pasted to lower-case host names, unique and sorted;
    // throws WebProtectionError with the message of the first refused entry.
    static std::vector<std::string> normalize(const std::vector<std::string> &domains);

    nlohmann::ordered_json toJSON() const;
    // Reads the "websites" object; a refused domain list fails the whole read with the
    // entry's message as a DecodingError.
    static WebsiteProtection fromJSON(const nlohmann::json &object);

    friend bool operator==(const WebsiteProtection &, const WebsiteProtection &) = default;

private:
    std::vector<std::string> domains_;
};

}  // namespace orvix
