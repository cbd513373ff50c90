#pragma once

#include <optional>
#include <string>
#include <vector>

#include "AppGroups.hpp"
#include "Instant.hpp"
#include "WebProtection.hpp"

namespace orvix {

// The exact DNS filtering the website service must enforce now. The application and the
// service derive it independently from the same settings, so the application can check that
// the service enforces precisely what the user asked for by comparing two plans.
struct WebSessionPlan {
    // The start of the year 4001: the end of a plan that runs between sessions.
    static constexpr Instant farFuture{63113904000.0};
    // One day more than the longest session, so a valid session always fits.
    static constexpr double maximumSessionSeconds = 31622400.0;
    static constexpr const char *noSessionMessage =
        "Website protection requires a current fixed session.";

    Instant endsAt;
    std::vector<std::string> domains;
    // Absent only in a plan read from a file that lacks it; then it differs from false.
    std::optional<bool> continuous;
    // Absent means family; only adult is ever stored.
    std::optional<WebsiteContentFilter> filter;

    WebSessionPlan(Instant endsAt, std::vector<std::string> domains, std::optional<bool> continuous,
                   std::optional<WebsiteContentFilter> filter);
    // The plan of the running session; throws WebProtectionError when there is no current,
    // fixed session of at most 366 days or the domain list is refused.
    WebSessionPlan(const OrvixConfiguration &configuration, Instant now);

    // The plan to enforce now, or none. A session that has ended but is not yet finished by
    // the application only keeps the filter, never the domain list.
    static std::optional<WebSessionPlan> desired(const OrvixConfiguration &configuration,
                                                 Instant now);

    WebsiteContentFilter contentFilter() const {
        return filter.value_or(WebsiteContentFilter::family);
    }
    bool isContinuous() const { return continuous.value_or(false); }
    bool isCurrent(Instant at) const { return isContinuous() || at < endsAt; }

    nlohmann::ordered_json toJSON() const;
    // The domain list is taken as written: the service wrote it from a normalised list.
    static WebSessionPlan fromJSON(const nlohmann::json &object);

    friend bool operator==(const WebSessionPlan &, const WebSessionPlan &) = default;

private:
    static WebSessionPlan continuousFilter(WebsiteContentFilter filter);
};

}  // namespace orvix
