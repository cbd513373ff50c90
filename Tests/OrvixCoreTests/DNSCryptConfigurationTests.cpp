#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Base64.hpp"
#include "DNSCryptConfiguration.hpp"

namespace orvix {
namespace {

const std::string familyGolden = R"(server_names = ['cleanbrowsing-family']
listen_addresses = ['[::1]:53']
user_name = 'nobody'
require_nofilter = false
require_nolog = true
require_dnssec = false
ipv4_servers = true
ipv6_servers = false
dnscrypt_servers = true
doh_servers = false
ignore_system_dns = true
bootstrap_resolvers = []
netprobe_timeout = 0
cache = true
[blocked_names]
blocked_names_file = '/Library/Application Support/ZorvaneWeb/blocked-names.txt'
[static.'cleanbrowsing-family']
stamp = 'sdns://AQMAAAAAAAAAFDE4NS4yMjguMTY4LjE2ODo4NDQzILysMvrVQ2kXHwgy1gdQJ8MgjO7w6OmflBjcd2Bl1I8pEWNsZWFuYnJvd3Npbmcub3Jn')";

const std::string adultGolden = R"(server_names = ['cleanbrowsing-adult']
listen_addresses = ['[::1]:53']
user_name = 'nobody'
require_nofilter = false
require_nolog = true
require_dnssec = false
ipv4_servers = true
ipv6_servers = false
dnscrypt_servers = true
doh_servers = false
ignore_system_dns = true
bootstrap_resolvers = []
netprobe_timeout = 0
cache = true
[blocked_names]
blocked_names_file = '/tmp/a b/blocked-names.txt'
[static.'cleanbrowsing-adult']
stamp = 'sdns://AQMAAAAAAAAAEzE4NS4yMjguMTY4LjEwOjg0NDMgvKwy-tVDaRcfCDLWB1AnwyCM7vDo6Z-UGNx3YGXUjykRY2xlYW5icm93c2luZy5vcmc')";

TEST(DNSCryptConfiguration, FamilyTextIsByteForByte) {
    const auto text = DNSCryptConfiguration::text("/Library/Application Support/ZorvaneWeb",
                                                  WebsiteContentFilter::family);
    EXPECT_EQ(text, familyGolden);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 17);
    EXPECT_EQ(text.back(), '\'');
}

TEST(DNSCryptConfiguration, AdultTextWithSpaceInDirectory) {
    EXPECT_EQ(DNSCryptConfiguration::text("/tmp/a b", WebsiteContentFilter::adult), adultGolden);
}

TEST(DNSCryptConfiguration, RefusesDirectoriesThatBreakTheQuotedString) {
    for (const char *directory :
         {"/tmp/it's", "/tmp/a\nb", "/tmp/a\rb", "'", "/x'\n[static.'y']"}) {
        SCOPED_TRACE(directory);
        try {
            DNSCryptConfiguration::text(directory, WebsiteContentFilter::family);
            FAIL();
        } catch (const WebProtectionError &error) {
            EXPECT_STREQ(error.what(), "Invalid proxy configuration directory.");
        }
    }
}

TEST(DNSCryptConfiguration, BlockList) {
    EXPECT_EQ(DNSCryptConfiguration::blockedNames({}), "\n");
    EXPECT_EQ(DNSCryptConfiguration::blockedNames({"a.com"}), "a.com\n");
    EXPECT_EQ(DNSCryptConfiguration::blockedNames({"a.com", "b.example.org"}),
              "a.com\nb.example.org\n");
}

// The bytes of a stamp: "sdns://" and URL-safe Base64 without padding.
std::vector<std::uint8_t> stampBytes(const std::string &stamp) {
    EXPECT_TRUE(stamp.starts_with("sdns://"));
    std::string text = stamp.substr(7);
    for (auto &character : text) {
        if (character == '-') character = '+';
        if (character == '_') character = '/';
    }
    while (text.size() % 4 != 0) text += '=';
    auto bytes = Base64::decode(text);
    EXPECT_TRUE(bytes.has_value());
    return bytes.value_or(std::vector<std::uint8_t>{});
}

struct StampFields {
    std::uint8_t protocol = 0;
    std::uint64_t properties = 0;
    std::string address;
    std::vector<std::uint8_t> publicKey;
    std::string providerName;
    bool trailingBytes = false;
};

StampFields parseStamp(const std::vector<std::uint8_t> &bytes) {
    StampFields fields;
    if (bytes.size() < 9) return fields;
    fields.protocol = bytes[0];
    for (int index = 0; index < 8; ++index)
        fields.properties |= std::uint64_t(bytes[1 + index]) << (8 * index);
    std::size_t offset = 9;
    auto field = [&]() {
        if (offset >= bytes.size() || offset + 1 + bytes[offset] > bytes.size())
            return std::vector<std::uint8_t>{};
        std::vector<std::uint8_t> value(bytes.begin() + offset + 1,
                                        bytes.begin() + offset + 1 + bytes[offset]);
        offset += 1 + bytes[offset];
        return value;
    };
    const auto address = field();
    fields.address.assign(address.begin(), address.end());
    fields.publicKey = field();
    const auto name = field();
    fields.providerName.assign(name.begin(), name.end());
    fields.trailingBytes = offset != bytes.size();
    return fields;
}

std::string hex(const std::vector<std::uint8_t> &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (auto byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

TEST(DNSCryptConfiguration, StampsCarryTheProvidersResolvers) {
    const std::string key = "bcac32fad54369171f0832d6075027c3208ceef0e8e99f9418dc776065d48f29";
    const std::vector<std::tuple<std::string, std::size_t, std::string>> stamps = {
        {DNSCryptConfiguration::familyStamp, 115, "185.228.168.168:8443"},
        {DNSCryptConfiguration::adultStamp, 114, "185.228.168.10:8443"},
    };
    for (const auto &[stamp, length, address] : stamps) {
        SCOPED_TRACE(stamp);
        EXPECT_EQ(stamp.size(), length);
        const auto fields = parseStamp(stampBytes(stamp));
        EXPECT_EQ(fields.protocol, 0x01);
        EXPECT_EQ(fields.properties, 0x03u);
        EXPECT_EQ(fields.address, address);
        EXPECT_EQ(hex(fields.publicKey), key);
        EXPECT_EQ(fields.providerName, WebsiteProtection::connectionCheckDomain);
        EXPECT_FALSE(fields.trailingBytes);
    }
}

}  // namespace
}  // namespace orvix
