#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvix {

// When the website service may take over a network service's DNS and when it may put the
// saved one back. It never silently overrides a resolver the user chose for something else.
namespace WebDNSPolicy {

// What the service writes into a network service's DNS: its own local resolver.
const std::vector<std::string> &servers();

// Automatic DNS, the provider's own family resolvers and, when the user runs their own
// family-filter proxy, that proxy on 127.0.0.1 may be replaced; any other resolver may not.
bool mayReplace(const std::optional<std::vector<std::string>> &servers, bool knownLocalFamily);
// The DNS still holds exactly our resolver, so the saved settings may go back.
bool shouldRestore(const std::optional<std::vector<std::string>> &current);
// The text of a DNSCrypt proxy configuration is the user's own proxy for the family filter,
// listening on 127.0.0.1:53 and unable to bypass or alter the filtering.
bool isKnownLocalFamily(std::string_view text);

}  // namespace WebDNSPolicy

}  // namespace orvix
