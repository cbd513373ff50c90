#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "WebDNSBackup.hpp"
#include "WebSessionPlan.hpp"

namespace orvix {

// The website service's recovery journal: every network service whose DNS it took over, with
// what was there before. It is saved before any DNS setting changes and emptied only after
// every setting is back, so a crash in between can always be undone.
struct WebDNSJournal {
    // The plan being enforced when DNS was last changed or confirmed.
    std::optional<WebSessionPlan> plan;
    // In capture order.
    std::vector<WebDNSBackup> backups;

    // Records the original of a network service; the first capture, made before our first
    // change, is the one that counts.
    void capture(const std::string &serviceID,
                 const std::optional<std::vector<std::uint8_t>> &original);
    // Everything is back: no backups, no plan.
    void restored();

    // Compact, keys sorted by name at every level.
    std::string toJSON() const;
    static WebDNSJournal fromJSON(std::string_view bytes);

    friend bool operator==(const WebDNSJournal &, const WebDNSJournal &) = default;
};

}  // namespace orvix
