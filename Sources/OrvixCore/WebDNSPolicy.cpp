#include "WebDNSPolicy.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <set>

#include "Base64.hpp"

namespace orvix::WebDNSPolicy {

namespace {

std::string lowerCase(std::string_view text) {
    std::string lowered(text);
    for (auto &character : lowered)
        if (character >= 'A' && character <= 'Z') character = char(character - 'A' + 'a');
    return lowered;
}

// One text for every spelling of one address, so "::1" and "0:0:0:0:0:0:0:1" compare equal.
std::string canonicalForm(const std::string &address) {
    // inet_pton stops at a NUL byte; "::1\0junk" must not pass for "::1".
    if (address.find('\0') == std::string::npos) {
        std::array<std::uint8_t, 16> bytes{};
        if (inet_pton(AF_INET6, address.c_str(), bytes.data()) == 1)
            return "v6:" + Base64::encode(bytes);
        if (inet_pton(AF_INET, address.c_str(), bytes.data()) == 1)
            return "v4:" + Base64::encode(std::span(bytes).first(4));
    }
    return "invalid:" + lowerCase(address);
}

// The provider's published plain-DNS resolvers of its family filter.
const std::set<std::string> &recognizedServers() {
    static const std::set<std::string> servers = [] {
        std::set<std::string> forms;
        for (const char *address :
             {"185.228.168.168", "185.228.169.168", "2a0d:2a00:1::", "2a0d:2a00:2::"})
            forms.insert(canonicalForm(address));
        return forms;
    }();
    return servers;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

}  // namespace

const std::vector<std::string> &servers() {
    static const std::vector<std::string> list{"::1"};
    return list;
}

bool mayReplace(const std::optional<std::vector<std::string>> &servers, bool knownLocalFamily) {
    if (!servers || servers->empty()) return true;
    const auto localProxy = canonicalForm("127.0.0.1");
    return std::all_of(servers->begin(), servers->end(), [&](const std::string &address) {
        const auto form = canonicalForm(address);
        return recognizedServers().contains(form) || (knownLocalFamily && form == localProxy);
    });
}

bool shouldRestore(const std::optional<std::vector<std::string>> &current) {
    if (!current || current->size() != WebDNSPolicy::servers().size()) return false;
    return std::equal(current->begin(), current->end(), WebDNSPolicy::servers().begin(),
                      [](const std::string &left, const std::string &right) {
                          return canonicalForm(left) == canonicalForm(right);
                      });
}

bool isKnownLocalFamily(std::string_view text) {
    // Keys that let a proxy answer, rewrite or pass names around its filter, in any section.
    static const std::set<std::string_view> bypassKeys = {
        "blocked_names_file", "blocked_ips_file", "allowed_names_file", "allowed_ips_file",
        "forwarding_rules",   "cloaking_rules",   "query_meta"};
    static const std::set<std::string_view> rememberedKeys = {"server_names", "listen_addresses",
                                                              "require_nofilter"};
    std::map<std::string, std::string> remembered;
    bool topLevel = true;

    std::size_t lineStart = 0;
    while (lineStart <= text.size()) {
        auto lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) lineEnd = text.size();
        const auto line = trimmed(text.substr(lineStart, lineEnd - lineStart));
        lineStart = lineEnd + 1;
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            // A user-defined stamp for the family server name could point anywhere.
            if (line.starts_with("[static.") &&
                line.find("cleanbrowsing-family") != std::string_view::npos)
                return false;
            topLevel = false;
        }

        const auto content = line.substr(0, line.find('#'));
        const auto equals = content.find('=');
        if (equals == std::string_view::npos) continue;
        const auto keyPiece = content.substr(0, equals);
        const auto valuePiece = content.substr(equals + 1);
        if (keyPiece.empty() || valuePiece.empty()) continue;
        const std::string key(trimmed(keyPiece));
        const auto value = trimmed(valuePiece);

        if (bypassKeys.contains(key)) return false;
        if (!topLevel || !rememberedKeys.contains(key)) continue;
        if (remembered.contains(key)) return false;
        std::string normalized;
        for (char character : value) {
            if (character == ' ') continue;
            normalized += character == '"' ? '\'' : character;
        }
        remembered.emplace(key, std::move(normalized));
    }

    auto valueOf = [&](const char *key) -> std::optional<std::string> {
        auto found = remembered.find(key);
        if (found == remembered.end()) return std::nullopt;
        return found->second;
    };
    const auto serverNames = valueOf("server_names");
    const auto listenAddresses = valueOf("listen_addresses");
    const auto requireNoFilter = valueOf("require_nofilter");
    return !remembered.empty() && serverNames == "['cleanbrowsing-family']" && listenAddresses &&
           listenAddresses->find("'127.0.0.1:53'") != std::string::npos &&
           requireNoFilter == "false";
}

}  // namespace orvix::WebDNSPolicy
