#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "Base64.hpp"
#include "WebDNSJournal.hpp"
#include "WebDNSPolicy.hpp"

namespace orvix {
namespace {

using Servers = std::optional<std::vector<std::string>>;

TEST(WebDNSPolicy, OwnServerIsTheIPv6Loopback) {
    EXPECT_EQ(WebDNSPolicy::servers(), std::vector<std::string>{"::1"});
}

struct ReplaceCase {
    Servers servers;
    bool knownLocalFamily;
    bool expected;
};

TEST(WebDNSPolicy, MayReplace) {
    const std::vector<ReplaceCase> cases = {
        {std::nullopt, false, true},
        {std::vector<std::string>{}, false, true},
        {std::vector<std::string>{"185.228.168.168", "185.228.169.168"}, false, true},
        {std::vector<std::string>{"2a0d:2a00:1::", "2A0D:2A00:0002:0:0:0:0:0"}, false, true},
        {std::vector<std::string>{"2a0d:2a00:1::0"}, false, true},
        {std::vector<std::string>{"127.0.0.1"}, false, false},
        {std::vector<std::string>{"127.0.0.1"}, true, true},
        {std::vector<std::string>{"127.0.0.1", "185.228.168.168"}, true, true},
        {std::vector<std::string>{"185.228.168.168", "8.8.8.8"}, false, false},
        {std::vector<std::string>{"185.228.168.168", "8.8.8.8"}, true, false},
        {std::vector<std::string>{"::1"}, false, false},
        {std::vector<std::string>{"::1"}, true, false},
        {std::vector<std::string>{"185.228.168.10"}, false, false},
        {std::vector<std::string>{"185.228.168.168 "}, false, false},
        {std::vector<std::string>{"0185.228.168.168"}, false, false},
        {std::vector<std::string>{std::string("185.228.168.168\0x", 17)}, false, false},
        {std::vector<std::string>{std::string("127.0.0.1\0", 10)}, true, false},
        {std::vector<std::string>{""}, false, false},
        {std::vector<std::string>{"dns.example"}, false, false},
    };
    for (const auto &[servers, known, expected] : cases) {
        SCOPED_TRACE(servers ? ::testing::PrintToString(*servers) : "absent");
        SCOPED_TRACE(known);
        EXPECT_EQ(WebDNSPolicy::mayReplace(servers, known), expected);
    }
}

TEST(WebDNSPolicy, ShouldRestoreOnlyOurOwnSingleResolver) {
    const std::vector<std::pair<Servers, bool>> cases = {
        {std::vector<std::string>{"::1"}, true},
        {std::vector<std::string>{"0:0:0:0:0:0:0:1"}, true},
        {std::vector<std::string>{"0000:0000:0000:0000:0000:0000:0000:0001"}, true},
        {std::vector<std::string>{"::0:1"}, true},
        {std::vector<std::string>{"::1", "::1"}, false},
        {std::vector<std::string>{"::1", "185.228.168.168"}, false},
        {std::vector<std::string>{"127.0.0.1"}, false},
        {std::vector<std::string>{"::2"}, false},
        {std::vector<std::string>{std::string("::1\0", 4)}, false},
        {std::vector<std::string>{}, false},
        {std::nullopt, false},
    };
    for (const auto &[current, expected] : cases) {
        SCOPED_TRACE(current ? ::testing::PrintToString(*current) : "absent");
        EXPECT_EQ(WebDNSPolicy::shouldRestore(current), expected);
    }
}

const std::string familyProxy =
    "# my own proxy\n"
    "server_names = [ \"cleanbrowsing-family\" ]\n"
    "listen_addresses = [\"127.0.0.1:53\", \"[::1]:53\"]   # both\n"
    "\n"
    "  require_nofilter\t=\tfalse\n"
    "max_clients = 250\n"
    "[sources]\n"
    "  [sources.public-resolvers]\n"
    "  urls = ['https://example.com/resolvers.md']\n";

TEST(WebDNSPolicy, RecognisesTheUsersFamilyProxy) {
    EXPECT_TRUE(WebDNSPolicy::isKnownLocalFamily(familyProxy));
    EXPECT_TRUE(WebDNSPolicy::isKnownLocalFamily(
        "server_names=['cleanbrowsing-family']\nlisten_addresses=['127.0.0.1:53']\n"
        "require_nofilter=false"));
}

TEST(WebDNSPolicy, RefusesProxiesThatCouldBypassTheFilter) {
    const std::vector<std::pair<const char *, std::string>> cases = {
        {"bypass key in a section", familyProxy + "[blocked_names]\nblocked_names_file = 'x'\n"},
        {"bypass key at top level", "forwarding_rules = 'f.txt'\n" + familyProxy},
        {"query_meta", familyProxy + "query_meta = ['a:b']\n"},
        {"cloaking_rules", familyProxy + "[x]\ncloaking_rules='c'\n"},
        {"allowed names", familyProxy + "allowed_names_file='a'\n"},
        {"allowed ips", familyProxy + "allowed_ips_file='a'\n"},
        {"blocked ips", familyProxy + "blocked_ips_file='a'\n"},
        {"own stamp for the family name", familyProxy + "[static.'cleanbrowsing-family']\n"},
        {"another server",
         "server_names = ['cloudflare']\nlisten_addresses = ['127.0.0.1:53']\n"
         "require_nofilter = false\n"},
        {"several servers",
         "server_names = ['cleanbrowsing-family', 'cloudflare']\n"
         "listen_addresses = ['127.0.0.1:53']\nrequire_nofilter = false\n"},
        {"other listen address",
         "server_names = ['cleanbrowsing-family']\nlisten_addresses = ['127.0.0.1:5353']\n"
         "require_nofilter = false\n"},
        {"no filter required",
         "server_names = ['cleanbrowsing-family']\nlisten_addresses = ['127.0.0.1:53']\n"
         "require_nofilter = true\n"},
        {"key twice",
         "server_names = ['cleanbrowsing-family']\nlisten_addresses = ['127.0.0.1:53']\n"
         "require_nofilter = false\nrequire_nofilter = false\n"},
        {"keys only inside a section",
         "[main]\nserver_names = ['cleanbrowsing-family']\nlisten_addresses = ['127.0.0.1:53']\n"
         "require_nofilter = false\n"},
        {"missing key",
         "server_names = ['cleanbrowsing-family']\nlisten_addresses = ['127.0.0.1:53']\n"},
        {"commented out",
         "#server_names = ['cleanbrowsing-family']\nlisten_addresses = ['127.0.0.1:53']\n"
         "require_nofilter = false\n"},
        {"empty", ""},
        {"line feeds only", "\n\n\n"},
        {"garbage", std::string("\0\xff[=\n=\n==\n[static.", 18)},
    };
    for (const auto &[name, text] : cases) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(WebDNSPolicy::isKnownLocalFamily(text));
    }
}

TEST(WebDNSPolicy, SectionHeaderEndsTopLevelButStaticOfOtherServersIsFine) {
    EXPECT_TRUE(WebDNSPolicy::isKnownLocalFamily(familyProxy + "[static.'myserver']\nstamp='x'\n"));
    // A key after the first header does not count as the top-level one, so no duplicate.
    EXPECT_TRUE(WebDNSPolicy::isKnownLocalFamily(familyProxy + "[x]\nrequire_nofilter = true\n"));
}

std::vector<std::uint8_t> bytes(const std::string &text) {
    return {text.begin(), text.end()};
}

TEST(WebDNSJournal, CaptureKeepsTheFirstOriginal) {
    WebDNSJournal journal;
    journal.capture("wifi", bytes("first"));
    journal.capture("ethernet", std::nullopt);
    journal.capture("wifi", bytes("second"));
    journal.capture("ethernet", bytes("later"));
    ASSERT_EQ(journal.backups.size(), 2u);
    EXPECT_EQ(journal.backups[0], (WebDNSBackup{"wifi", bytes("first")}));
    EXPECT_EQ(journal.backups[1], (WebDNSBackup{"ethernet", std::nullopt}));

    journal.plan = WebSessionPlan(Instant{1}, {}, true, std::nullopt);
    journal.restored();
    EXPECT_EQ(journal, WebDNSJournal());
}

TEST(WebDNSJournal, JournalFileGolden) {
    WebDNSJournal journal;
    journal.plan = WebSessionPlan(Instant{800000000.5}, {"a.com", "b.com"}, false,
                                  WebsiteContentFilter::adult);
    journal.capture("0F1E2D3C-Wi-Fi",
                    std::vector<std::uint8_t>{'b', 'p', 'l', 'i', 's', 't', 0, 0xff, 0x10});
    journal.capture("Ethernet", std::nullopt);
    const std::string golden =
        R"({"backups":[{"original":"YnBsaXN0AP8Q","serviceID":"0F1E2D3C-Wi-Fi"},)"
        R"({"serviceID":"Ethernet"}],"plan":{"continuous":false,"domains":["a.com","b.com"],)"
        R"("endsAt":800000000.5,"filter":"adult"}})";
    EXPECT_EQ(journal.toJSON(), golden);
    EXPECT_EQ(WebDNSJournal::fromJSON(golden), journal);
    EXPECT_EQ(WebDNSJournal().toJSON(), R"({"backups":[]})");
}

TEST(WebDNSJournal, ReadsWithoutPlanAndRefusesDamage) {
    const auto journal = WebDNSJournal::fromJSON(R"({"backups":[{"serviceID":"a","x":1}]})");
    EXPECT_FALSE(journal.plan.has_value());
    ASSERT_EQ(journal.backups.size(), 1u);
    EXPECT_FALSE(journal.backups[0].original.has_value());

    for (const char *text :
         {R"({})", R"({"backups":{}})", R"({"backups":[{}]})", R"({"backups":[{"serviceID":1}]})",
          R"({"backups":[{"serviceID":"a","original":"YnBs*XN0"}]})",
          R"({"backups":[{"serviceID":"a","original":"YnBsaXN0A"}]})",
          R"({"backups":[{"serviceID":"a","original":"YR=="}]})",
          R"({"backups":[{"serviceID":"a","original":7}]})",
          R"({"backups":[],"plan":{"endsAt":1}})", "[]"}) {
        SCOPED_TRACE(text);
        EXPECT_THROW(WebDNSJournal::fromJSON(text), DecodingError);
    }
}

TEST(Base64, StandardAlphabetWithPadding) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
        {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\xfb\xff\xbf", 3), "+/+/"},
    };
    for (const auto &[plain, encoded] : cases) {
        EXPECT_EQ(Base64::encode(bytes(plain)), encoded);
        EXPECT_EQ(Base64::decode(encoded), bytes(plain));
    }
    for (const char *bad :
         {"Zg", "Zg=", "Z===", "Zh==", "Zm9=", "Zg==Zg==", "-_8=", "Zm 9v", "====", "=Zm9"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(Base64::decode(bad).has_value());
    }
}

}  // namespace
}  // namespace orvix
