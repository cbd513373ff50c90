#include "DNSCryptConfiguration.hpp"

namespace orvix::DNSCryptConfiguration {

std::string text(const std::string &directory, WebsiteContentFilter filter) {
    if (directory.find_first_of("'\n\r") != std::string::npos)
        throw WebProtectionError(invalidDirectoryMessage);
    const bool adult = filter == WebsiteContentFilter::adult;
    const std::string name = adult ? "cleanbrowsing-adult" : "cleanbrowsing-family";
    const std::string stamp = adult ? adultStamp : familyStamp;
    return "server_names = ['" + name +
           "']\n"
           "listen_addresses = ['[::1]:53']\n"
           "user_name = 'nobody'\n"
           "require_nofilter = false\n"
           "require_nolog = true\n"
           "require_dnssec = false\n"
           "ipv4_servers = true\n"
           "ipv6_servers = false\n"
           "dnscrypt_servers = true\n"
           "doh_servers = false\n"
           "ignore_system_dns = true\n"
           "bootstrap_resolvers = []\n"
           "netprobe_timeout = 0\n"
           "cache = true\n"
           "[blocked_names]\n"
           "blocked_names_file = '" +
           directory +
           "/blocked-names.txt'\n"
           "[static.'" +
           name +
           "']\n"
           "stamp = '" +
           stamp + "'";
}

std::string blockedNames(const std::vector<std::string> &domains) {
    std::string list;
    for (const auto &domain : domains) list += domain + "\n";
    return list.empty() ? "\n" : list;
}

}  // namespace orvix::DNSCryptConfiguration
