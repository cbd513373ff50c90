#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "WebSessionPlan.hpp"

namespace orvix {

// What the website service reports in its status file every second. The application reads
// it to learn whether the service enforces exactly its plan.
struct WebServiceStatus {
    enum class Phase { idle, starting, active, restoring, error };

    // A status this many seconds old (in uptime) still counts.
    static constexpr double lifetimeSeconds = 6.0;

    std::uint32_t uid = 0;
    std::string bootID;
    double uptime = 0;
    Phase phase = Phase::idle;
    std::optional<WebSessionPlan> plan;
    std::optional<std::string> message;
    bool restorationPending = false;
    std::optional<std::string> serviceVersion;

    // Always stamped with the website service's own version.
    WebServiceStatus(std::uint32_t uid, std::string bootID, double uptime, Phase phase,
                     std::optional<WebSessionPlan> plan, std::optional<std::string> message,
                     bool restorationPending);

    // Written for `uid` in this boot, and at most a few ticks ago; never a status from
    // before a restart or from the future.
    bool isFresh(std::uint32_t uid, const std::string &bootID, double uptime) const;
    // The service, in the version the application expects, enforces exactly `plan`.
    bool confirmsActivePlan(const WebSessionPlan &plan) const;

    std::string toJSON() const;
    static WebServiceStatus fromJSON(std::string_view bytes);

    friend bool operator==(const WebServiceStatus &, const WebServiceStatus &) = default;

private:
    WebServiceStatus() = default;
};

const char *jsonText(WebServiceStatus::Phase phase);
std::optional<WebServiceStatus::Phase> phaseFromJSONText(const std::string &text);

}  // namespace orvix
