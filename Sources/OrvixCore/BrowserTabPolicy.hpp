#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Instant.hpp"
#include "SupportedBrowser.hpp"
#include "WebProtection.hpp"

namespace orvix {

// Which open tabs are on a blocked site, and the script that asks one browser to point them
// at the notice page. DNS filtering cannot reach a page that is already open.
namespace BrowserTabPolicy {

inline constexpr const char *noRulesMessage = "No active browser website rules.";

// The host (any letter case, dots around it ignored) is a blocked domain or lies below one.
bool matches(std::string_view host, const std::vector<std::string> &domains);

// The whole script for `browser`. It answers "not-running", "partial" or "ok". Throws
// WebProtectionError for a refused domain, an empty list, a deadline that is not finite or a
// notice page that is not a file URL (`blockedPage` is the URL's absolute text).
std::string script(const std::vector<std::string> &domains, Instant deadline,
                   SupportedBrowser browser, const std::string &blockedPage);

}  // namespace BrowserTabPolicy

}  // namespace orvix
