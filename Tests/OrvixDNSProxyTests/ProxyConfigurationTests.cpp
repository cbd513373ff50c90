#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sodium.h>

#include <ctime>

#include "BlockList.hpp"
#include "DNSCryptCertificate.hpp"
#include "DNSCryptConfiguration.hpp"
#include "DNSStamp.hpp"
#include "ProxyConfiguration.hpp"
#include "ProxyError.hpp"

namespace orvix {
namespace {

std::string hex(const std::array<std::uint8_t, 32> &bytes) {
    std::string text(65, '\0');
    sodium_bin2hex(text.data(), text.size(), bytes.data(), bytes.size());
    text.pop_back();
    return text;
}

TEST(DNSStamp, ReadsTheProvidersPublishedStamps) {
    struct Case {
        const char *stamp;
        const char *address;
        const char *ip;
    };
    for (const auto &[text, address, ip] :
         {Case{DNSCryptConfiguration::familyStamp, "185.228.168.168:8443", "185.228.168.168"},
          Case{DNSCryptConfiguration::adultStamp, "185.228.168.10:8443", "185.228.168.10"}}) {
        SCOPED_TRACE(address);
        const auto stamp = DNSStamp::parse(text);
        ASSERT_TRUE(stamp);
        EXPECT_EQ(stamp->properties, DNSStamp::dnssec | DNSStamp::noLogs);
        EXPECT_EQ(stamp->address, address);
        EXPECT_EQ(hex(stamp->providerKey),
                  "bcac32fad54369171f0832d6075027c3208ceef0e8e99f9418dc776065d48f29");
        EXPECT_EQ(stamp->providerName, "cleanbrowsing.org");
        const auto &socket = reinterpret_cast<const sockaddr_in &>(stamp->socketAddress);
        char printed[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &socket.sin_addr, printed, sizeof printed);
        EXPECT_EQ(std::string(printed), ip);
        EXPECT_EQ(ntohs(socket.sin_port), 8443);
        // Writing it back gives the published text, so test stamps are written the same way.
        EXPECT_EQ(stamp->text(), text);
    }
}

TEST(DNSStamp, RefusesWhatIsNotADNSCryptStampWithAnAddress) {
    const auto good = *DNSStamp::parse(DNSCryptConfiguration::familyStamp);
    auto variant = [&good](auto change) {
        DNSStamp stamp = good;
        change(stamp);
        return stamp.text();
    };
    const std::vector<std::pair<const char *, std::string>> cases = {
        {"other scheme", std::string("sdnx://") + (DNSCryptConfiguration::familyStamp + 7)},
        {"not Base64", "sdns://AQMAAAAAAAAAF!!"},
        {"cut short", std::string(DNSCryptConfiguration::familyStamp).substr(0, 60)},
        {"host name", variant([](DNSStamp &s) { s.address = "resolver.example:443"; })},
        {"bad port", variant([](DNSStamp &s) { s.address = "127.0.0.1:99999"; })},
        {"empty provider name", variant([](DNSStamp &s) { s.providerName.clear(); })},
        {"DNS-over-HTTPS",
         [&] {
             std::string text = good.text();
             const auto bytes = std::string("sdns://Ag") + text.substr(9);
             return bytes;
         }()},
    };
    for (const auto &[name, text] : cases) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(DNSStamp::parse(text));
    }
    EXPECT_TRUE(DNSStamp::parse(variant([](DNSStamp &s) { s.address = "[::1]"; })));
}

TEST(ProxyConfiguration, ReadsTheConfigurationTheServiceWrites) {
    for (auto filter : {WebsiteContentFilter::family, WebsiteContentFilter::adult}) {
        const auto configuration = ProxyConfiguration::parse(
            DNSCryptConfiguration::text("/Library/Application Support/ZorvaneWeb", filter));
        const bool adult = filter == WebsiteContentFilter::adult;
        EXPECT_EQ(configuration.serverName, adult ? "cleanbrowsing-adult" : "cleanbrowsing-family");
        EXPECT_EQ(configuration.stamp.address,
                  adult ? "185.228.168.10:8443" : "185.228.168.168:8443");
        ASSERT_EQ(configuration.listenAddresses.size(), 1u);
        const auto &listen =
            reinterpret_cast<const sockaddr_in6 &>(configuration.listenAddresses[0].address);
        EXPECT_EQ(listen.sin6_family, AF_INET6);
        EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(&listen.sin6_addr));
        EXPECT_EQ(ntohs(listen.sin6_port), 53);
        EXPECT_EQ(configuration.userName, "nobody");
        EXPECT_TRUE(configuration.cache);
        EXPECT_EQ(configuration.blockedNamesFile,
                  "/Library/Application Support/ZorvaneWeb/blocked-names.txt");
    }
}

TEST(ProxyConfiguration, RefusesWhatItCannotHonour) {
    const std::string good =
        DNSCryptConfiguration::text("/tmp/zorvane", WebsiteContentFilter::family);
    auto replaced = [&good](const std::string &from, const std::string &to) {
        std::string text = good;
        const auto at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        text.replace(at, from.size(), to);
        return text;
    };
    const auto noLogsStamp = [] {
        auto stamp = *DNSStamp::parse(DNSCryptConfiguration::familyStamp);
        stamp.properties = DNSStamp::dnssec;
        return stamp.text();
    }();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "lacks listen_addresses"},
        {"fallback_resolvers = ['9.9.9.9:53']\n" + good, "does not understand: fallback_resolvers"},
        {good + "\n[sources]\n", "does not understand: sources"},
        {replaced("[blocked_names]\n", "[blocked_names]\nblocked_names_log = 'x'\n"),
         "does not understand: blocked_names.blocked_names_log"},
        {replaced("stamp = ", "proto = 'x'\nstamp = "),
         "does not understand: static.cleanbrowsing-family.proto"},
        {replaced("cache = true", "cache = 'yes'"), "unusable value for cache"},
        {replaced("['[::1]:53']", "['[::1]']"), "unusable value for listen_addresses"},
        {replaced("['[::1]:53']", "['localhost:53']"), "unusable value for listen_addresses"},
        {replaced("['[::1]:53']", "[]"), "lacks listen_addresses"},
        {replaced("['cleanbrowsing-family']", "['cleanbrowsing-family', 'other']"),
         "exactly one server"},
        {replaced("server_names = ['cleanbrowsing-family']", "server_names = ['other']"),
         "stamp of server 'other'"},
        {replaced("bootstrap_resolvers = []", "bootstrap_resolvers = ['9.9.9.9:53']"),
         "unusable value for bootstrap_resolvers"},
        {replaced("netprobe_timeout = 0", "netprobe_timeout = -1"),
         "unusable value for netprobe_timeout"},
        {replaced("ipv4_servers = true", "ipv4_servers = false"), "excludes its only server"},
        {replaced("dnscrypt_servers = true", "dnscrypt_servers = false"),
         "excludes its only server"},
        {replaced(DNSCryptConfiguration::familyStamp, noLogsStamp), "lacks a property"},
        {replaced("require_nofilter = false", "require_nofilter = true"), "lacks a property"},
        {replaced(DNSCryptConfiguration::familyStamp, "sdns://AgcAAAAAAAAA"),
         "not a DNSCrypt stamp"},
        {replaced("user_name = 'nobody'", "user_name = ''"), "unusable value for user_name"},
        {"cache = false\n" + good, "not valid TOML"},
    };
    for (const auto &[text, message] : cases) {
        SCOPED_TRACE(message);
        try {
            ProxyConfiguration::parse(text);
            ADD_FAILURE() << "accepted";
        } catch (const ProxyError &error) {
            EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
        }
    }
}

TEST(BlockList, BlocksEachNameAndEverythingBelowIt) {
    const auto list = BlockList::parse("# the user's list\nExample.com\n\nads.test \r\n");
    EXPECT_EQ(list.size(), 2u);
    for (const char *name : {"example.com", "www.example.com", "a.b.example.com", "ads.test"})
        EXPECT_TRUE(list.blocks(name)) << name;
    for (const char *name : {"", "com", "notexample.com", "example.com.evil", "test", "xads.test"})
        EXPECT_FALSE(list.blocks(name)) << name;
    EXPECT_FALSE(BlockList::parse("\n").blocks("example.com"));
}

TEST(BlockList, RefusesLinesItDoesNotUnderstand) {
    for (const char *text : {"*.ads.test\n", "=example.com\n", "a..b\n", "ex ample.com\n",
                             "example.com.\n", "[2001:db8::]\n"}) {
        EXPECT_THROW(BlockList::parse(text), ProxyError) << text;
    }
    EXPECT_THROW(BlockList::load("/nonexistent/blocked-names.txt"), ProxyError);
}

// A certificate as a resolver publishes it, signed with `secret`.
std::vector<std::uint8_t> certificate(const std::uint8_t *secret, std::uint16_t esVersion,
                                      std::uint32_t serial, std::uint32_t from,
                                      std::uint32_t until) {
    std::vector<std::uint8_t> signedPart(32, 0x11);
    signedPart.insert(signedPart.end(), 8, static_cast<std::uint8_t>(serial));
    for (std::uint32_t value : {serial, from, until})
        for (int shift = 24; shift >= 0; shift -= 8)
            signedPart.push_back(static_cast<std::uint8_t>(value >> shift));
    std::vector<std::uint8_t> bytes = {
        0x44, 0x4e, 0x53, 0x43, 0, static_cast<std::uint8_t>(esVersion), 0, 0};
    bytes.resize(bytes.size() + crypto_sign_BYTES);
    crypto_sign_detached(bytes.data() + 8, nullptr, signedPart.data(), signedPart.size(), secret);
    bytes.insert(bytes.end(), signedPart.begin(), signedPart.end());
    return bytes;
}

TEST(DNSCryptCertificate, OnlySignedCurrentCertificatesOfAKnownKindCount) {
    ASSERT_GE(sodium_init(), 0);
    std::array<std::uint8_t, 32> key{};
    std::uint8_t secret[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(key.data(), secret);
    std::array<std::uint8_t, 32> otherKey{};
    std::uint8_t otherSecret[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(otherKey.data(), otherSecret);
    const std::int64_t now = 1'800'000'000;

    const auto good = certificate(secret, 2, 7, now - 10, now);
    const auto parsed = DNSCryptCertificate::parse(good, key, now);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->serial, 7u);
    EXPECT_EQ(parsed->esVersion, 2);
    EXPECT_EQ(parsed->clientMagic[0], 7);

    auto flipped = good;
    flipped[100] ^= 1;
    auto badSignature = good;
    badSignature[20] ^= 1;
    const std::vector<std::pair<const char *, std::vector<std::uint8_t>>> refused = {
        {"another provider's signature", certificate(otherSecret, 2, 7, now - 10, now)},
        {"signed part altered", flipped},
        {"signature altered", badSignature},
        {"expired", certificate(secret, 2, 7, now - 10, now - 1)},
        {"not yet valid", certificate(secret, 2, 7, now + 1, now + 10)},
        {"unknown cipher", certificate(secret, 3, 7, now - 10, now)},
        {"cut short", std::vector<std::uint8_t>(good.begin(), good.begin() + 120)},
    };
    for (const auto &[name, bytes] : refused) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(DNSCryptCertificate::parse(bytes, key, now));
    }

    const auto best = DNSCryptCertificate::best({certificate(secret, 1, 9, now - 10, now + 10),
                                                 certificate(secret, 2, 9, now - 10, now + 10),
                                                 certificate(secret, 2, 12, now - 10, now - 1),
                                                 certificate(secret, 1, 8, now - 10, now + 10)},
                                                key, now);
    ASSERT_TRUE(best);
    EXPECT_EQ(best->serial, 9u);
    EXPECT_EQ(best->esVersion, 2);
}

}  // namespace
}  // namespace orvix
