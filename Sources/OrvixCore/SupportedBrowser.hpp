#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace orvix {

// The browsers whose open tabs are pointed at the notice page during a session.
enum class SupportedBrowser { brave, safari, chrome, edge };

namespace SupportedBrowsers {

// In the order the tab guard goes through them and the website view lists their errors.
inline constexpr std::array<SupportedBrowser, 4> allCases = {
    SupportedBrowser::brave, SupportedBrowser::safari, SupportedBrowser::chrome,
    SupportedBrowser::edge};

std::string_view rawValue(SupportedBrowser browser);
std::optional<SupportedBrowser> fromRawValue(std::string_view rawValue);
// The name shown to the user.
std::string_view name(SupportedBrowser browser);
std::string_view bundleID(SupportedBrowser browser);

}  // namespace SupportedBrowsers

}  // namespace orvix
