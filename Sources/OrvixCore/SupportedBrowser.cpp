#include "SupportedBrowser.hpp"

namespace orvix::SupportedBrowsers {

namespace {

struct Description {
    std::string_view rawValue;
    std::string_view name;
    std::string_view bundleID;
};

const Description &describe(SupportedBrowser browser) {
    static constexpr Description descriptions[] = {
        {"brave", "Brave", "com.brave.Browser"},
        {"safari", "Safari", "com.apple.Safari"},
        {"chrome", "Chrome", "com.google.Chrome"},
        {"edge", "Edge", "com.microsoft.edgemac"},
    };
    return descriptions[static_cast<int>(browser)];
}

}  // namespace

std::string_view rawValue(SupportedBrowser browser) {
    return describe(browser).rawValue;
}

std::optional<SupportedBrowser> fromRawValue(std::string_view rawValue) {
    for (auto browser : allCases)
        if (describe(browser).rawValue == rawValue) return browser;
    return std::nullopt;
}

std::string_view name(SupportedBrowser browser) {
    return describe(browser).name;
}

std::string_view bundleID(SupportedBrowser browser) {
    return describe(browser).bundleID;
}

}  // namespace orvix::SupportedBrowsers
