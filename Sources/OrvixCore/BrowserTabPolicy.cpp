#include "BrowserTabPolicy.hpp"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <charconv>
#include <cmath>
#include <cstdint>

namespace orvix::BrowserTabPolicy {

namespace {

std::string lowerCase(std::string_view text) {
    auto unicode = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    unicode.toLower(icu::Locale::getRoot());
    std::string lowered;
    unicode.toUTF8String(lowered);
    return lowered;
}

bool isFileURL(std::string_view url) {
    return url.size() >= 5 && lowerCase(url.substr(0, 5)) == "file:";
}

// Inside the double-quoted string of the script.
std::string escapedForScript(std::string_view text) {
    std::string escaped;
    for (char character : text)
        if (character == '\\')
            escaped += "\\\\";
        else
            escaped += character;
    std::string result;
    for (char character : escaped)
        if (character == '"')
            result += "\\\"";
        else
            result += character;
    return result;
}

// Whole seconds since 1970, rounded down, with no grouping or fraction in any locale.
std::string wholeSeconds(double seconds) {
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::floor(seconds),
                                      std::chars_format::fixed, 0);
    return std::string(buffer, result.ptr);
}

}  // namespace

bool matches(std::string_view host, const std::vector<std::string> &domains) {
    if (host.size() > static_cast<std::size_t>(INT32_MAX)) return false;
    auto lowered = lowerCase(host);
    const auto first = lowered.find_first_not_of('.');
    if (first == std::string::npos)
        lowered.clear();
    else
        lowered = lowered.substr(first, lowered.find_last_not_of('.') - first + 1);
    for (const auto &domain : domains)
        if (lowered == domain || lowered.ends_with("." + domain)) return true;
    return false;
}

std::string script(const std::vector<std::string> &domains, Instant deadline,
                   SupportedBrowser browser, const std::string &blockedPage) {
    const auto normalized = WebsiteProtection::normalize(domains);
    const double seconds = deadline.unixSeconds();
    if (normalized.empty() || !std::isfinite(seconds) || !isFileURL(blockedPage))
        throw WebProtectionError(noRulesMessage);

    std::string hosts;
    for (const auto &domain : normalized) hosts += (hosts.empty() ? "\"" : ", \"") + domain + "\"";
    const std::string page = escapedForScript(blockedPage);
    const std::string bundle(SupportedBrowsers::bundleID(browser));

    return "use framework \"Foundation\"\n"
           "use scripting additions\n"
           "\n"
           "on isBlocked(hostValue, blockedHosts)\n"
           "    repeat with blockedHost in blockedHosts\n"
           "        set suffixHost to contents of blockedHost\n"
           "        if hostValue is suffixHost or hostValue ends with (\".\" & suffixHost) then "
           "return true\n"
           "    end repeat\n"
           "    return false\n"
           "end isBlocked\n"
           "\n"
           "on run\n"
           "    set blockedHosts to {" +
           hosts +
           "}\n"
           "    set partialCheck to false\n"
           "    if application id \"" +
           bundle +
           "\" is not running then return \"not-running\"\n"
           "    tell application id \"" +
           bundle +
           "\"\n"
           "        repeat with browserWindow in windows\n"
           "            repeat with browserTab in tabs of browserWindow\n"
           "                try\n"
           "                    set pageURL to URL of browserTab\n"
           "                    set parsedURL to current application's NSURL's "
           "URLWithString:pageURL\n"
           "                    if parsedURL is not missing value then\n"
           "                        set urlScheme to parsedURL's |scheme|()\n"
           "                        set urlHost to parsedURL's |host|()\n"
           "                        if urlScheme is not missing value and urlHost is not "
           "missing value then\n"
           "                            set schemeText to (urlScheme's lowercaseString()) as "
           "text\n"
           "                            set hostText to (urlHost's lowercaseString()) as text\n"
           "                            if hostText ends with \".\" and (length of hostText) > 1 "
           "then set hostText to text 1 thru -2 of hostText\n"
           "                            if (schemeText is \"http\" or schemeText is \"https\") and "
           "(my isBlocked(hostText, blockedHosts)) then\n"
           "                                set nowSeconds to (current application's NSDate's "
           "|date|()'s timeIntervalSince1970()) as real\n"
           "                                if nowSeconds < " +
           wholeSeconds(seconds) +
           " and (URL of browserTab) is pageURL then\n"
           "                                    set URL of browserTab to \"" +
           page +
           "\"\n"
           "                                end if\n"
           "                            end if\n"
           "                        end if\n"
           "                    end if\n"
           "                on error\n"
           "                    set partialCheck to true\n"
           "                end try\n"
           "            end repeat\n"
           "        end repeat\n"
           "    end tell\n"
           "    if partialCheck then return \"partial\"\n"
           "    return \"ok\"\n"
           "end run";
}

}  // namespace orvix::BrowserTabPolicy
