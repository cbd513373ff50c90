#include "ProxyConfiguration.hpp"

#include <toml++/toml.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "ProxyError.hpp"

namespace orvix {

namespace {

constexpr std::size_t maximumFileSize = 1024 * 1024;
constexpr std::size_t maximumListenAddresses = 16;

[[noreturn]] void unusable(const std::string &key) {
    throw ProxyError("The proxy configuration has an unusable value for " + key + ".");
}

bool boolean(const toml::node &node, const std::string &key) {
    const auto value = node.value_exact<bool>();
    if (!value) unusable(key);
    return *value;
}

std::string string(const toml::node &node, const std::string &key) {
    const auto value = node.value_exact<std::string>();
    if (!value) unusable(key);
    return *value;
}

std::vector<std::string> strings(const toml::node &node, const std::string &key) {
    const auto *array = node.as_array();
    if (!array) unusable(key);
    std::vector<std::string> values;
    for (const auto &element : *array) values.push_back(string(element, key));
    return values;
}

// Each section may hold only the listed keys.
void onlyKeys(const toml::table &table, const std::string &section,
              const std::vector<std::string> &keys) {
    for (const auto &[key, node] : table) {
        const std::string name(key.str());
        if (std::find(keys.begin(), keys.end(), name) == keys.end())
            throw ProxyError(
                "The proxy configuration has a setting the proxy does not understand: " + section +
                name + ".");
    }
}

}  // namespace

ProxyConfiguration ProxyConfiguration::parse(const std::string &text) {
    toml::table root;
    try {
        root = toml::parse(text);
    } catch (const toml::parse_error &error) {
        throw ProxyError("The proxy configuration is not valid TOML (line " +
                         std::to_string(error.source().begin.line) +
                         "): " + std::string(error.description()) + ".");
    }

    ProxyConfiguration configuration;
    std::vector<std::string> serverNames;
    bool requireNoFilter = false;
    bool requireNoLogs = false;
    bool requireDNSSEC = false;
    bool ipv4Servers = true;
    bool ipv6Servers = false;
    bool dnscryptServers = true;
    const toml::table *staticServers = nullptr;

    using Reader = std::function<void(const toml::node &)>;
    const std::map<std::string, Reader> readers = {
        {"server_names", [&](const toml::node &n) { serverNames = strings(n, "server_names"); }},
        {"listen_addresses",
         [&](const toml::node &n) {
             for (const auto &text : strings(n, "listen_addresses")) {
                 ListenAddress address;
                 address.text = text;
                 if (!parseSocketAddress(text, std::nullopt, address.address, address.length))
                     unusable("listen_addresses");
                 configuration.listenAddresses.push_back(address);
             }
             if (configuration.listenAddresses.size() > maximumListenAddresses)
                 unusable("listen_addresses");
         }},
        {"user_name",
         [&](const toml::node &n) {
             configuration.userName = string(n, "user_name");
             if (configuration.userName->empty()) unusable("user_name");
         }},
        {"require_nofilter",
         [&](const toml::node &n) { requireNoFilter = boolean(n, "require_nofilter"); }},
        {"require_nolog",
         [&](const toml::node &n) { requireNoLogs = boolean(n, "require_nolog"); }},
        {"require_dnssec",
         [&](const toml::node &n) { requireDNSSEC = boolean(n, "require_dnssec"); }},
        {"ipv4_servers", [&](const toml::node &n) { ipv4Servers = boolean(n, "ipv4_servers"); }},
        {"ipv6_servers", [&](const toml::node &n) { ipv6Servers = boolean(n, "ipv6_servers"); }},
        {"dnscrypt_servers",
         [&](const toml::node &n) { dnscryptServers = boolean(n, "dnscrypt_servers"); }},
        // The proxy speaks DNSCrypt only; either value leaves it with the same servers.
        {"doh_servers", [&](const toml::node &n) { boolean(n, "doh_servers"); }},
        // The system's DNS is never used, whatever this says: the stamp carries an address.
        {"ignore_system_dns", [&](const toml::node &n) { boolean(n, "ignore_system_dns"); }},
        {"bootstrap_resolvers",
         [&](const toml::node &n) {
             if (!strings(n, "bootstrap_resolvers").empty()) unusable("bootstrap_resolvers");
         }},
        {"netprobe_timeout",
         [&](const toml::node &n) {
             const auto value = n.value_exact<std::int64_t>();
             if (!value || *value < 0) unusable("netprobe_timeout");
         }},
        {"cache", [&](const toml::node &n) { configuration.cache = boolean(n, "cache"); }},
        {"blocked_names",
         [&](const toml::node &n) {
             const auto *table = n.as_table();
             if (!table) unusable("blocked_names");
             onlyKeys(*table, "blocked_names.", {"blocked_names_file"});
             if (const auto *file = table->get("blocked_names_file"))
                 configuration.blockedNamesFile = string(*file, "blocked_names_file");
         }},
        {"static",
         [&](const toml::node &n) {
             staticServers = n.as_table();
             if (!staticServers) unusable("static");
         }},
    };
    for (const auto &[key, node] : root) {
        const std::string name(key.str());
        const auto reader = readers.find(name);
        if (reader == readers.end())
            throw ProxyError(
                "The proxy configuration has a setting the proxy does not understand: " + name +
                ".");
        reader->second(node);
    }

    if (configuration.listenAddresses.empty())
        throw ProxyError("The proxy configuration lacks listen_addresses.");
    if (serverNames.size() != 1)
        throw ProxyError("The proxy configuration must name exactly one server in server_names.");
    configuration.serverName = serverNames.front();
    if (!staticServers || staticServers->size() != 1 ||
        !staticServers->get(configuration.serverName))
        throw ProxyError("The proxy configuration must give the stamp of server '" +
                         configuration.serverName + "' and of no other.");
    const auto *server = staticServers->get(configuration.serverName)->as_table();
    if (!server) unusable("static." + configuration.serverName);
    onlyKeys(*server, "static." + configuration.serverName + ".", {"stamp"});
    const auto *stampNode = server->get("stamp");
    if (!stampNode) throw ProxyError("The proxy configuration lacks the stamp of the server.");
    const auto stamp = DNSStamp::parse(string(*stampNode, "stamp"));
    if (!stamp) throw ProxyError("The server's stamp is not a DNSCrypt stamp with an IP address.");
    configuration.stamp = *stamp;

    const bool ipv6 = stamp->socketAddress.ss_family == AF_INET6;
    if (!dnscryptServers || (ipv6 ? !ipv6Servers : !ipv4Servers))
        throw ProxyError("The proxy configuration excludes its only server.");
    if ((requireNoFilter && !(stamp->properties & DNSStamp::noFilter)) ||
        (requireNoLogs && !(stamp->properties & DNSStamp::noLogs)) ||
        (requireDNSSEC && !(stamp->properties & DNSStamp::dnssec)))
        throw ProxyError("The server's stamp lacks a property the configuration requires.");
    return configuration;
}

ProxyConfiguration ProxyConfiguration::load(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ProxyError("The proxy configuration cannot be read: " + path);
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw ProxyError("The proxy configuration cannot be read: " + path);
    if (text.str().size() > maximumFileSize)
        throw ProxyError("The proxy configuration is too large.");
    return parse(text.str());
}

}  // namespace orvix
