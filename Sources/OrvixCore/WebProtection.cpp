#include "WebProtection.hpp"

#include <uriparser/Uri.h>

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace orvix {

const char *jsonText(WebsiteContentFilter filter) {
    return filter == WebsiteContentFilter::adult ? "adult" : "family";
}

std::optional<WebsiteContentFilter> contentFilterFromJSONText(const std::string &text) {
    if (text == "family") return WebsiteContentFilter::family;
    if (text == "adult") return WebsiteContentFilter::adult;
    return std::nullopt;
}

namespace {

constexpr std::size_t maximumEntryBytes = 1024;
constexpr std::size_t maximumHostBytes = 253;
constexpr std::size_t maximumLabelBytes = 63;

[[noreturn]] void refuse(const char *message) {
    throw WebProtectionError(message);
}

// Trims white space and line breaks of any script and lower-cases the rest the way the
// user's own text would be (so a pasted "HTTPS://Example.COM" is the same site). Text that
// is not UTF-8 comes back with replacement characters, which the address parser refuses.
icu::UnicodeString trimmedLowerCase(const std::string &entry) {
    auto text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(entry.data(), static_cast<int32_t>(entry.size())));
    int32_t start = 0;
    int32_t end = text.length();
    while (start < end && u_isUWhiteSpace(text.char32At(start))) start = text.moveIndex32(start, 1);
    while (end > start) {
        int32_t previous = text.moveIndex32(end, -1);
        if (!u_isUWhiteSpace(text.char32At(previous))) break;
        end = previous;
    }
    icu::UnicodeString trimmed(text, start, end - start);
    trimmed.toLower(icu::Locale::getRoot());
    return trimmed;
}

bool containsWhiteSpace(const icu::UnicodeString &text) {
    for (int32_t index = 0; index < text.length(); index = text.moveIndex32(index, 1))
        if (u_isUWhiteSpace(text.char32At(index))) return true;
    return false;
}

std::string_view view(const UriTextRangeA &range) {
    if (range.first == nullptr || range.afterLast == nullptr) return {};
    return std::string_view(range.first, static_cast<std::size_t>(range.afterLast - range.first));
}

// The host of an http or https address, or the domain prompt when the text is not one
// plain address of that kind.
std::string hostOfAddress(const std::string &address) {
    UriUriA uri;
    const char *errorPosition = nullptr;
    if (uriParseSingleUriExA(&uri, address.data(), address.data() + address.size(),
                             &errorPosition) != URI_SUCCESS)
        refuse(WebsiteProtection::domainPromptMessage);
    struct Release {
        UriUriA *uri;
        ~Release() { uriFreeUriMembersA(uri); }
    } release{&uri};

    const auto scheme = view(uri.scheme);
    // An empty port ("example.com:") still names a port position; it is refused with the rest.
    if ((scheme != "https" && scheme != "http") || uri.portText.first != nullptr ||
        uri.userInfo.first != nullptr || uri.hostText.first == nullptr ||
        view(uri.hostText).empty())
        refuse(WebsiteProtection::domainPromptMessage);
    // A bracketed literal ("[::1]", "[v1.x]") is an address, whatever its text looks like.
    if (uri.hostData.ip6 != nullptr || uri.hostData.ipFuture.first != nullptr)
        refuse(WebsiteProtection::invalidDomainMessage);
    return std::string(view(uri.hostText));
}

bool isLabelByte(char byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || byte == '-';
}

std::string normalizedEntry(const std::string &entry) {
    // Beyond what ICU can index no entry can be a name; refused before it is converted.
    if (entry.size() > static_cast<std::size_t>(INT32_MAX))
        refuse(WebsiteProtection::domainPromptMessage);
    const auto lowered = trimmedLowerCase(entry);
    std::string text;
    lowered.toUTF8String(text);
    if (text.empty() || text.size() > maximumEntryBytes)
        refuse(WebsiteProtection::domainPromptMessage);
    if (containsWhiteSpace(lowered)) refuse(WebsiteProtection::domainPromptMessage);
    if (text.find_first_of("*#@\\") != std::string::npos)
        refuse(WebsiteProtection::domainPromptMessage);
    if (text.find("://") == std::string::npos) text.insert(0, "https://");

    auto host = hostOfAddress(text);
    if (host.ends_with('.')) host.pop_back();
    if (host == WebsiteProtection::connectionCheckDomain)
        refuse(WebsiteProtection::connectionCheckDomainMessage);

    if (host.size() > maximumHostBytes || host.find('.') == std::string::npos)
        refuse(WebsiteProtection::invalidDomainMessage);
    bool allDigits = true;
    std::size_t labelStart = 0;
    while (true) {
        const auto dot = host.find('.', labelStart);
        const auto label = std::string_view(host).substr(
            labelStart, dot == std::string::npos ? std::string::npos : dot - labelStart);
        if (label.empty() || label.size() > maximumLabelBytes || label.front() == '-' ||
            label.back() == '-' || !std::all_of(label.begin(), label.end(), isLabelByte))
            refuse(WebsiteProtection::invalidDomainMessage);
        allDigits = allDigits && std::all_of(label.begin(), label.end(),
                                             [](char byte) { return byte >= '0' && byte <= '9'; });
        if (dot == std::string::npos) break;
        labelStart = dot + 1;
    }
    if (allDigits) refuse(WebsiteProtection::invalidDomainMessage);
    return host;
}

}  // namespace

std::vector<std::string> WebsiteProtection::normalize(const std::vector<std::string> &domains) {
    // Counted before duplicates merge, so the limit is the same however the list was built.
    if (domains.size() > maximumDomainCount) refuse(tooManyDomainsMessage);
    std::vector<std::string> result;
    result.reserve(domains.size());
    for (const auto &entry : domains) result.push_back(normalizedEntry(entry));
    std::sort(result.begin(), result.end());
    result.erase(std::unique(result.begin(), result.end()), result.end());
    return result;
}

WebsiteProtection::WebsiteProtection(bool enabled, const std::vector<std::string> &domains)
    : enabled(enabled), domains_(normalize(domains)) {}

void WebsiteProtection::setDomains(const std::vector<std::string> &domains) {
    domains_ = normalize(domains);
}

nlohmann::ordered_json WebsiteProtection::toJSON() const {
    nlohmann::ordered_json object;
    object["enabled"] = enabled;
    object["domains"] = domains_;
    object["keepFamilyBetweenSessions"] = keepFamilyBetweenSessions;
    object["contentFilter"] = jsonText(contentFilter);
    return object;
}

WebsiteProtection WebsiteProtection::fromJSON(const nlohmann::json &object) {
    using namespace JSONRead;
    requireObject(object, "websites");
    WebsiteProtection protection;
    protection.enabled = boolean(require(object, "enabled"), "enabled");
    const auto &domains = require(object, "domains");
    requireArray(domains, "domains");
    if (domains.size() > maximumDomainCount) throw DecodingError("domains", tooManyDomainsMessage);
    std::vector<std::string> stored;
    stored.reserve(domains.size());
    for (const auto &domain : domains) stored.push_back(string(domain, "domains"));
    try {
        protection.domains_ = normalize(stored);
    } catch (const WebProtectionError &error) {
        throw DecodingError("domains", error.what());
    }
    if (const auto *keep = optional(object, "keepFamilyBetweenSessions"))
        protection.keepFamilyBetweenSessions = boolean(*keep, "keepFamilyBetweenSessions");
    if (const auto *filter = optional(object, "contentFilter")) {
        auto parsed = contentFilterFromJSONText(string(*filter, "contentFilter"));
        if (!parsed) throw DecodingError("contentFilter", "Unknown content filter");
        protection.contentFilter = *parsed;
    }
    return protection;
}

}  // namespace orvix
