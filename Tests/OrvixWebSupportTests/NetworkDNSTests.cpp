#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "FakeNetworkPreferences.hpp"
#include "NetworkDNS.hpp"
#include "PreferencesLock.hpp"
#include "TestSupport.hpp"
#include "WebRootError.hpp"

using namespace orvix;
using namespace orvix::testing;

namespace {

using Servers = std::vector<std::string>;

DNSDictionary dictionary(const std::optional<Servers> &servers, const Servers &search = {}) {
    DNSDictionary result;
    if (servers) result.setServerAddresses(*servers);
    if (!search.empty()) result.setStrings("SearchDomains", search);
    return result;
}

const char *userProxy =
    "server_names = ['cleanbrowsing-family']\n"
    "listen_addresses = ['127.0.0.1:53']\n"
    "require_nofilter = false\n";

class NetworkDNSTest : public ::testing::Test {
protected:
    void addService(const std::string &id, const std::string &name,
                    std::optional<DNSDictionary> dns, bool enabled = true) {
        network.services.push_back({{id, name, enabled}, true, std::move(dns)});
    }

    NetworkDNS editor() {
        return NetworkDNS(std::make_unique<FakeNetworkPreferences>(network),
                          {proxyDirectory.path() / "dnscrypt-proxy.toml",
                           proxyDirectory.path() / "dnscrypt-proxy" / "dnscrypt-proxy.toml"});
    }

    bool apply() { return editor().apply(journal, save); }
    bool restore() { return editor().restore(journal, save); }

    void expectRefusal(const std::function<void()> &body, const std::string &message) {
        try {
            body();
            ADD_FAILURE() << "expected: " << message;
        } catch (const WebRootError &error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
        EXPECT_FALSE(network.locked) << "the lock must be given back on every exit";
    }

    FakeNetwork network;
    WebDNSJournal journal;
    std::vector<WebDNSJournal> saved;
    NetworkDNS::Save save = [this](const WebDNSJournal &written) { saved.push_back(written); };
    TemporaryDirectory proxyDirectory{"zorvane-userproxy"};
};

TEST_F(NetworkDNSTest, AutomaticDNSIsCapturedWholeAndPointedAtTheLocalResolver) {
    addService("wifi", "Wi-Fi", dictionary(std::nullopt, {"example.lan"}));
    addService("usb", "USB Ethernet", std::nullopt);
    EXPECT_TRUE(apply());

    ASSERT_EQ(journal.backups.size(), 2u);
    EXPECT_EQ(journal.backups[0].serviceID, "wifi");
    EXPECT_EQ(DNSDictionary::fromBinary(*journal.backups[0].original),
              dictionary(std::nullopt, {"example.lan"}));
    EXPECT_EQ(journal.backups[1], (WebDNSBackup{"usb", std::nullopt}));
    EXPECT_EQ(network.find("wifi")->dns, dictionary(Servers{"::1"}, {"example.lan"}));
    EXPECT_EQ(network.find("usb")->dns, dictionary(Servers{"::1"}));
    // The journal was saved with both originals before the change.
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].backups, journal.backups);
    EXPECT_EQ(network.commits, 1);
    EXPECT_FALSE(network.locked);
}

TEST_F(NetworkDNSTest, ProviderResolversAreTakenOverAndLoopbackOnlyForTheUsersOwnFamilyProxy) {
    addService("wifi", "Wi-Fi", dictionary(Servers{"185.228.168.168", "2a0d:2a00:1::"}));
    addService("lan", "Ethernet", dictionary(Servers{"127.0.0.1"}));
    expectRefusal([&] { apply(); }, std::string("Ethernet") + NetworkDNS::unrecognizedSuffix);
    EXPECT_EQ(network.servers("wifi"), (Servers{"185.228.168.168", "2a0d:2a00:1::"}));

    // Each of the places a user's proxy keeps its configuration counts.
    for (const auto &place : {proxyDirectory.path() / "dnscrypt-proxy.toml",
                              proxyDirectory.path() / "dnscrypt-proxy" / "dnscrypt-proxy.toml"}) {
        SCOPED_TRACE(place);
        std::filesystem::remove_all(proxyDirectory.path() / "dnscrypt-proxy");
        std::filesystem::remove(proxyDirectory.path() / "dnscrypt-proxy.toml");
        network.services[0].dns = dictionary(Servers{"185.228.168.168", "2a0d:2a00:1::"});
        network.services[1].dns = dictionary(Servers{"127.0.0.1"});
        journal = {};
        writeFile(place, userProxy);
        EXPECT_TRUE(apply());
        EXPECT_EQ(network.servers("wifi"), Servers{"::1"});
        EXPECT_EQ(network.servers("lan"), Servers{"::1"});
    }
}

TEST_F(NetworkDNSTest, UsersProxyConfigurationThatIsNotAPlainFileIsIgnored) {
    addService("lan", "Ethernet", dictionary(Servers{"127.0.0.1"}));
    const auto place = proxyDirectory.path() / "dnscrypt-proxy.toml";
    const auto real = proxyDirectory.path() / "real.toml";
    writeFile(real, userProxy);
    std::filesystem::create_symlink(real, place);
    expectRefusal([&] { apply(); }, std::string("Ethernet") + NetworkDNS::unrecognizedSuffix);
    std::filesystem::remove(place);
    writeFile(place, std::string(userProxy) + "# \xff\xfe\n");
    expectRefusal([&] { apply(); }, std::string("Ethernet") + NetworkDNS::unrecognizedSuffix);
    writeFile(place, std::string(userProxy) + "# caf\xc3\xa9\n");
    EXPECT_TRUE(apply());
}

TEST_F(NetworkDNSTest, AnUnrecognizedResolverBlocksEveryService) {
    addService("wifi", "Wi-Fi", std::nullopt);
    addService("vpn", "", dictionary(Servers{"10.0.0.53"}));
    expectRefusal([&] { apply(); },
                  std::string("A network service") + NetworkDNS::unrecognizedSuffix);
    network.services[1].service.name = "Office VPN";
    expectRefusal([&] { apply(); }, std::string("Office VPN") + NetworkDNS::unrecognizedSuffix);
    EXPECT_FALSE(network.find("wifi")->dns.has_value());
    EXPECT_TRUE(saved.empty());
    EXPECT_EQ(network.commits, 0);
    // A service already on our resolver but unknown to the journal is refused the same way.
    network.services[1].dns = dictionary(Servers{"::1"});
    expectRefusal([&] { apply(); }, std::string("Office VPN") + NetworkDNS::unrecognizedSuffix);
}

TEST_F(NetworkDNSTest, ResolverListOfAnotherTypeIsUnsupported) {
    addService("wifi", "Wi-Fi", std::nullopt);
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
        "<key>ServerAddresses</key><array><integer>1</integer></array></dict></plist>";
    plist_t node = nullptr;
    plist_from_xml(xml.c_str(), static_cast<std::uint32_t>(xml.size()), &node);
    char *bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    addService("odd", "Odd",
               DNSDictionary::fromBinary(std::vector<std::uint8_t>(bytes, bytes + length)));
    std::free(bytes);
    plist_free(node);
    ASSERT_TRUE(network.find("odd")->dns->hasServerAddresses());
    expectRefusal([&] { apply(); }, NetworkDNS::unsupportedMessage);
    EXPECT_FALSE(network.find("wifi")->dns.has_value());
    EXPECT_TRUE(saved.empty());
}

TEST_F(NetworkDNSTest, SecondApplyChangesNothing) {
    addService("wifi", "Wi-Fi", std::nullopt);
    EXPECT_TRUE(apply());
    const auto first = journal;
    EXPECT_FALSE(apply());
    EXPECT_EQ(journal, first);
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved[1].toJSON(), saved[0].toJSON());
    EXPECT_EQ(network.commits, 1);
}

TEST_F(NetworkDNSTest, LaterServicesAreCapturedAndEarlierOriginalsKept) {
    addService("wifi", "Wi-Fi", dictionary(std::nullopt, {"home"}));
    EXPECT_TRUE(apply());
    const auto wifiOriginal = journal.backups[0];
    addService("usb", "USB", dictionary(Servers{"185.228.169.168"}));
    EXPECT_TRUE(apply());
    ASSERT_EQ(journal.backups.size(), 2u);
    EXPECT_EQ(journal.backups[0], wifiOriginal);
    EXPECT_EQ(DNSDictionary::fromBinary(*journal.backups[1].original),
              dictionary(Servers{"185.228.169.168"}));
    EXPECT_EQ(network.servers("usb"), Servers{"::1"});
}

TEST_F(NetworkDNSTest, DisabledAndDNSlessServicesAreLeftAlone) {
    addService("off", "Bluetooth", dictionary(Servers{"10.1.1.1"}), false);
    addService("tunnel", "Tunnel", std::nullopt);
    network.services[1].hasDNS = false;
    expectRefusal([&] { apply(); }, NetworkDNS::noServicesMessage);
    network.services.clear();
    expectRefusal([&] { apply(); }, NetworkDNS::noServicesMessage);
    network.unreadable = true;
    expectRefusal([&] { apply(); }, NetworkDNS::servicesUnreadableMessage);
}

TEST_F(NetworkDNSTest, RefusalsBeforeAndDuringTheChange) {
    addService("wifi", "Wi-Fi", std::nullopt);
    network.busy = true;
    expectRefusal([&] { apply(); }, NetworkDNS::busyMessage);
    expectRefusal([&] { restore(); }, NetworkDNS::restoreBusyMessage);
    network.busy = false;
    EXPECT_TRUE(saved.empty());

    network.refuseSet = true;
    expectRefusal([&] { apply(); }, NetworkDNS::refusedChangeMessage);
    EXPECT_FALSE(network.find("wifi")->dns.has_value());
    // The journal was saved first, so recovery is possible whatever happens next.
    EXPECT_EQ(saved.size(), 1u);
    network.refuseSet = false;
    network.refuseCommit = true;
    expectRefusal([&] { apply(); }, NetworkDNS::notAppliedMessage);
    EXPECT_FALSE(network.find("wifi")->dns.has_value());
}

TEST_F(NetworkDNSTest, AFailedSaveStopsTheChange) {
    addService("wifi", "Wi-Fi", std::nullopt);
    save = [](const WebDNSJournal &) { throw std::runtime_error("disk full"); };
    EXPECT_THROW(apply(), std::runtime_error);
    EXPECT_FALSE(network.find("wifi")->dns.has_value());
    EXPECT_EQ(network.commits, 0);
    EXPECT_FALSE(network.locked);
}

TEST_F(NetworkDNSTest, RestorePutsBackWhatWasThere) {
    addService("wifi", "Wi-Fi", dictionary(Servers{"185.228.168.168"}, {"home"}));
    addService("usb", "USB", std::nullopt);
    addService("lan", "Ethernet", dictionary(std::nullopt, {"office"}));
    EXPECT_TRUE(apply());
    // Meanwhile the user added a search domain to one service.
    network.find("usb")->dns = dictionary(Servers{"::1"}, {"added"});
    EXPECT_TRUE(restore());
    EXPECT_EQ(network.find("wifi")->dns, dictionary(Servers{"185.228.168.168"}, {"home"}));
    EXPECT_EQ(network.find("usb")->dns, dictionary(std::nullopt, {"added"}));
    EXPECT_EQ(network.find("lan")->dns, dictionary(std::nullopt, {"office"}));
    EXPECT_EQ(journal, WebDNSJournal());
    EXPECT_EQ(saved.back(), WebDNSJournal());
}

TEST_F(NetworkDNSTest, RestoreRemovesAConfigurationThatWasNotThere) {
    addService("usb", "USB", std::nullopt);
    EXPECT_TRUE(apply());
    EXPECT_TRUE(restore());
    EXPECT_FALSE(network.find("usb")->dns.has_value());
}

TEST_F(NetworkDNSTest, RestoreLeavesTheUsersChangesAndDeletedServicesAlone) {
    addService("wifi", "Wi-Fi", std::nullopt);
    addService("usb", "USB", std::nullopt);
    addService("gone", "Gone", std::nullopt);
    EXPECT_TRUE(apply());
    network.find("wifi")->dns = dictionary(Servers{"9.9.9.9"});
    network.services.pop_back();
    EXPECT_TRUE(restore());
    EXPECT_EQ(network.servers("wifi"), Servers{"9.9.9.9"});
    EXPECT_FALSE(network.find("usb")->dns.has_value());
    EXPECT_EQ(journal, WebDNSJournal());

    // Nothing left to put back: no change, and the journal is still emptied.
    journal.capture("gone", std::nullopt);
    EXPECT_FALSE(restore());
    EXPECT_EQ(journal, WebDNSJournal());
}

TEST_F(NetworkDNSTest, CorruptOriginalStopsTheRestoreAndKeepsTheJournal) {
    addService("wifi", "Wi-Fi", std::nullopt);
    addService("usb", "USB", std::nullopt);
    EXPECT_TRUE(apply());
    const std::vector<std::vector<std::uint8_t>> corrupt = {
        {'n', 'o', 't', ' ', 'a', ' ', 'p', 'l', 'i', 's', 't'},
        // A valid binary property list holding a string, not a dictionary.
        [] {
            plist_t node = plist_new_string("::1");
            char *bytes = nullptr;
            std::uint32_t length = 0;
            plist_to_bin(node, &bytes, &length);
            std::vector<std::uint8_t> result(bytes, bytes + length);
            std::free(bytes);
            plist_free(node);
            return result;
        }(),
    };
    for (const auto &bytes : corrupt) {
        journal.backups[1].original = bytes;
        const auto before = journal;
        const auto savesBefore = saved.size();
        expectRefusal([&] { restore(); }, NetworkDNS::invalidRecoveryMessage);
        EXPECT_EQ(journal, before);
        EXPECT_EQ(saved.size(), savesBefore);
        EXPECT_EQ(network.commits, 1);
    }
}

TEST_F(NetworkDNSTest, FailuresDuringRestoreKeepTheJournal) {
    addService("wifi", "Wi-Fi", std::nullopt);
    EXPECT_TRUE(apply());
    const auto before = journal;
    network.refuseSet = true;
    expectRefusal([&] { restore(); }, NetworkDNS::refusedRestorationMessage);
    network.refuseSet = false;
    network.refuseCommit = true;
    expectRefusal([&] { restore(); }, NetworkDNS::notAppliedMessage);
    network.refuseCommit = false;
    EXPECT_EQ(journal, before);
    save = [](const WebDNSJournal &) { throw std::runtime_error("disk full"); };
    EXPECT_THROW(restore(), std::runtime_error);
    EXPECT_EQ(journal, before);
}

TEST(NetworkDNSRestoredConfiguration, OnlyTheResolverListGoesBack) {
    struct Case {
        const char *name;
        std::optional<DNSDictionary> current, original, expected;
    };
    const std::vector<Case> cases = {
        {"no original, only our list", dictionary(Servers{"::1"}), std::nullopt, std::nullopt},
        {"no original, nothing current", std::nullopt, std::nullopt, std::nullopt},
        {"no original, other keys stay", dictionary(Servers{"::1"}, {"x"}), std::nullopt,
         dictionary(std::nullopt, {"x"})},
        {"original without a list", dictionary(Servers{"::1"}), dictionary(std::nullopt),
         dictionary(std::nullopt)},
        {"original list back, current search kept", dictionary(Servers{"::1"}, {"new"}),
         dictionary(Servers{"1.1.1.1"}, {"old"}), dictionary(Servers{"1.1.1.1"}, {"new"})},
        {"no current", std::nullopt, dictionary(Servers{"1.1.1.1"}),
         dictionary(Servers{"1.1.1.1"})},
    };
    for (const auto &[name, current, original, expected] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(NetworkDNS::restoredConfiguration(current, original), expected);
    }
}

TEST(PreferencesLockTest, HeldLockIsNotWaitedFor) {
    TemporaryDirectory directory;
    const auto file = directory.path() / "network.lock";
    PreferencesLock first(file), second(file);
    EXPECT_TRUE(first.acquire());
    EXPECT_FALSE(second.acquire());
    first.release();
    EXPECT_TRUE(second.acquire());
    // A symbolic link in place of the lock file is never opened.
    const auto link = directory.path() / "link.lock";
    std::filesystem::create_symlink(file, link);
    EXPECT_FALSE(PreferencesLock(link).acquire());
}

}  // namespace
