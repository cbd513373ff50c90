#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <unordered_map>
#include <vector>

#include "BrowserTabPolicy.hpp"

namespace orvix {
namespace {

const std::string page =
    "file:///Applications/Zorvane.app/Contents/Resources/Odd\"Dir\\x/Blocked.html";

// Written out from the template line by line: indentation in blanks, no line feed at the end.
const std::string braveGolden = R"SCRIPT(use framework "Foundation"
use scripting additions

on isBlocked(hostValue, blockedHosts)
    repeat with blockedHost in blockedHosts
        set suffixHost to contents of blockedHost
        if hostValue is suffixHost or hostValue ends with ("." & suffixHost) then return true
    end repeat
    return false
end isBlocked

on run
    set blockedHosts to {"example.com", "news.example.org"}
    set partialCheck to false
    if application id "com.brave.Browser" is not running then return "not-running"
    tell application id "com.brave.Browser"
        repeat with browserWindow in windows
            repeat with browserTab in tabs of browserWindow
                try
                    set pageURL to URL of browserTab
                    set parsedURL to current application's NSURL's URLWithString:pageURL
                    if parsedURL is not missing value then
                        set urlScheme to parsedURL's |scheme|()
                        set urlHost to parsedURL's |host|()
                        if urlScheme is not missing value and urlHost is not missing value then
                            set schemeText to (urlScheme's lowercaseString()) as text
                            set hostText to (urlHost's lowercaseString()) as text
                            if hostText ends with "." and (length of hostText) > 1 then set hostText to text 1 thru -2 of hostText
                            if (schemeText is "http" or schemeText is "https") and (my isBlocked(hostText, blockedHosts)) then
                                set nowSeconds to (current application's NSDate's |date|()'s timeIntervalSince1970()) as real
                                if nowSeconds < 1765400000 and (URL of browserTab) is pageURL then
                                    set URL of browserTab to "file:///Applications/Zorvane.app/Contents/Resources/Odd\"Dir\\x/Blocked.html"
                                end if
                            end if
                        end if
                    end if
                on error
                    set partialCheck to true
                end try
            end repeat
        end repeat
    end tell
    if partialCheck then return "partial"
    return "ok"
end run)SCRIPT";

TEST(BrowserTabPolicy, ScriptIsByteForByte) {
    const auto script = BrowserTabPolicy::script(
        {"News.Example.org.", " example.com", "EXAMPLE.com"},
        Instant::fromUnixSeconds(1765400000.75), SupportedBrowser::brave, page);
    EXPECT_EQ(script, braveGolden);
    EXPECT_EQ(std::count(script.begin(), script.end(), '\n'), 44);
}

TEST(BrowserTabPolicy, ScriptNamesTheBrowserAndWholeSeconds) {
    for (auto browser : SupportedBrowsers::allCases) {
        const auto script = BrowserTabPolicy::script({"a.com"}, Instant::fromUnixSeconds(-0.5),
                                                     browser, "FILE:///tmp/Blocked.html");
        const std::string bundle(SupportedBrowsers::bundleID(browser));
        EXPECT_NE(script.find("    if application id \"" + bundle +
                              "\" is not running then return \"not-running\"\n"),
                  std::string::npos);
        EXPECT_NE(script.find("    tell application id \"" + bundle + "\"\n"), std::string::npos);
        EXPECT_NE(script.find("if nowSeconds < -1 and"), std::string::npos);
    }
    const auto far = BrowserTabPolicy::script({"a.com"}, Instant::fromUnixSeconds(12345678901234.9),
                                              SupportedBrowser::edge, page);
    EXPECT_NE(far.find("if nowSeconds < 12345678901234 and"), std::string::npos);
}

TEST(BrowserTabPolicy, RefusedInputs) {
    const std::string noRules = "No active browser website rules.";
    const Instant deadline = Instant::fromUnixSeconds(2e9);
    auto failure = [](const std::vector<std::string> &domains, Instant at, const std::string &url) {
        try {
            BrowserTabPolicy::script(domains, at, SupportedBrowser::safari, url);
            return std::string();
        } catch (const WebProtectionError &error) {
            return std::string(error.what());
        }
    };
    EXPECT_EQ(failure({}, deadline, page), noRules);
    EXPECT_EQ(failure({"a.com"}, Instant{NAN}, page), noRules);
    EXPECT_EQ(failure({"a.com"}, Instant{INFINITY}, page), noRules);
    EXPECT_EQ(failure({"a.com"}, deadline, "https://example.com/Blocked.html"), noRules);
    EXPECT_EQ(failure({"a.com"}, deadline, "/tmp/Blocked.html"), noRules);
    EXPECT_EQ(failure({"a.com"}, deadline, "fil"), noRules);
    EXPECT_EQ(failure({"a.com", "10.0.0.1"}, deadline, page),
              "Enter a valid domain, not an IP address or a block-list pattern.");
    EXPECT_EQ(failure({"a.com", "cleanbrowsing.org"}, deadline, page),
              "The connection-check domain cannot be added.");
    EXPECT_EQ(failure({"a.com"}, deadline, page), "");
}

TEST(BrowserTabPolicy, Matches) {
    const std::vector<std::string> domains = {"example.com", "news.example.org"};
    const std::vector<std::pair<std::string, bool>> cases = {
        {"example.com", true},
        {"EXAMPLE.com.", true},
        {"www.example.com", true},
        {".example.com", true},
        {"..example.com..", true},
        {"a.b.news.example.org", true},
        {"badexample.com", false},
        {"example.org", false},
        {"example.com.evil", false},
        {"com", false},
        {"", false},
        {"...", false},
        {"example.org.news", false},
    };
    for (const auto &[host, expected] : cases) {
        SCOPED_TRACE(host);
        EXPECT_EQ(BrowserTabPolicy::matches(host, domains), expected);
    }
    EXPECT_FALSE(BrowserTabPolicy::matches("example.com", {}));
}

TEST(SupportedBrowser, CasesAndRawValues) {
    const std::vector<std::tuple<SupportedBrowser, const char *, const char *, const char *>>
        table = {
            {SupportedBrowser::brave, "brave", "Brave", "com.brave.Browser"},
            {SupportedBrowser::safari, "safari", "Safari", "com.apple.Safari"},
            {SupportedBrowser::chrome, "chrome", "Chrome", "com.google.Chrome"},
            {SupportedBrowser::edge, "edge", "Edge", "com.microsoft.edgemac"},
        };
    ASSERT_EQ(SupportedBrowsers::allCases.size(), table.size());
    std::unordered_map<SupportedBrowser, int> keyed;
    for (std::size_t index = 0; index < table.size(); ++index) {
        const auto &[browser, raw, name, bundle] = table[index];
        EXPECT_EQ(SupportedBrowsers::allCases[index], browser);
        EXPECT_EQ(SupportedBrowsers::rawValue(browser), raw);
        EXPECT_EQ(SupportedBrowsers::name(browser), name);
        EXPECT_EQ(SupportedBrowsers::bundleID(browser), bundle);
        EXPECT_EQ(SupportedBrowsers::fromRawValue(raw), browser);
        keyed[browser] = int(index);
    }
    EXPECT_EQ(keyed.size(), 4u);
    EXPECT_FALSE(SupportedBrowsers::fromRawValue("Safari").has_value());
    EXPECT_FALSE(SupportedBrowsers::fromRawValue("firefox").has_value());
    EXPECT_FALSE(SupportedBrowsers::fromRawValue("").has_value());
}

}  // namespace
}  // namespace orvix
