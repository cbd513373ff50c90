// The NetworkManager store against a recorded stand-in for nmcli on the PATH: no
// NetworkManager runs here, so what is checked is the exact commands sent and how their terse
// output is read.
#include <gtest/gtest.h>

#include <cstdlib>

#include "NetworkDNS.hpp"
#include "NetworkManagerPreferences.hpp"
#include "TestSupport.hpp"
#include "WebRootError.hpp"

using namespace orvix;
using namespace orvix::testing;

namespace {

class NetworkManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        bin = directory.path() / "bin";
        std::filesystem::create_directories(bin);
        std::filesystem::copy_file(ORVIX_FAKE_NMCLI, bin / "nmcli");
        std::filesystem::permissions(bin / "nmcli", std::filesystem::perms(0755));
        writeFile(bin / "running", "running\n");
        writeFile(bin / "connections",
                  "11111111-aaaa|Wired connection 1|802-3-ethernet|eth0\n"
                  "22222222-bbbb|Caf\xc3\xa9: guest|802-11-wireless|wlan0\n"
                  "33333333-cccc|lo|loopback|lo\n"
                  "44444444-dddd|Old VPN|vpn|\n");
        writeFile(bin / "22222222-bbbb.ipv4.dns", "185.228.168.168,185.228.169.168");
        writeFile(bin / "22222222-bbbb.ipv6.dns", "2a0d:2a00:1::");
        writeFile(bin / "22222222-bbbb.ipv4.ignore-auto-dns", "yes");
        writeFile(bin / "22222222-bbbb.ipv6.ignore-auto-dns", "yes");
        const char *path = std::getenv("PATH");
        savedPath = path != nullptr ? path : "";
        ::setenv("PATH", (bin.string() + ":" + savedPath).c_str(), 1);
    }
    void TearDown() override { ::setenv("PATH", savedPath.c_str(), 1); }

    std::unique_ptr<NetworkManagerPreferences> store() {
        return std::make_unique<NetworkManagerPreferences>("nmcli", directory.path() / "lock");
    }
    std::vector<std::string> log() {
        std::vector<std::string> lines;
        std::string text = std::filesystem::exists(bin / "log") ? readFile(bin / "log") : "";
        std::filesystem::remove(bin / "log");
        for (std::size_t start = 0; start < text.size();) {
            auto end = text.find('\n', start);
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }
    std::string setting(const std::string &file) {
        return std::filesystem::exists(bin / file) ? readFile(bin / file) : "(unset)";
    }

    TemporaryDirectory directory{"zorvane-nmcli"};
    std::filesystem::path bin;
    std::string savedPath;
    WebDNSJournal journal;
    NetworkDNS::Save save = [](const WebDNSJournal &) {};
};

const char *listActive = "-t|-f|UUID,NAME,TYPE,DEVICE|connection|show|--active";
const char *listAll = "-t|-f|UUID,NAME,TYPE,DEVICE|connection|show";
std::string readDNS(const std::string &uuid) {
    return "-t|-f|ipv4.dns,ipv6.dns|connection|show|uuid|" + uuid;
}

TEST_F(NetworkManagerTest, ChosenOnlyWhileNetworkManagerRuns) {
    EXPECT_TRUE(NetworkManagerPreferences::isRunning("nmcli"));
    EXPECT_NE(dynamic_cast<NetworkManagerPreferences *>(NetworkPreferences::system().get()),
              nullptr);
    EXPECT_EQ(log(), (std::vector<std::string>{"-t|-f|RUNNING|general", "-t|-f|RUNNING|general"}));
    writeFile(bin / "running", "stopped\n");
    EXPECT_FALSE(NetworkManagerPreferences::isRunning("nmcli"));
    EXPECT_EQ(dynamic_cast<NetworkManagerPreferences *>(NetworkPreferences::system().get()),
              nullptr);
    EXPECT_FALSE(NetworkManagerPreferences::isRunning((directory.path() / "missing").string()));
}

TEST_F(NetworkManagerTest, ActiveConnectionsAreTheServices) {
    const auto services = store()->services();
    ASSERT_TRUE(services);
    ASSERT_EQ(services->size(), 2u);
    EXPECT_EQ((*services)[0].identifier, "11111111-aaaa");
    EXPECT_EQ((*services)[0].name, "Wired connection 1");
    EXPECT_EQ((*services)[1].name, "Caf\xc3\xa9: guest");
    const auto inactive = store()->service("44444444-dddd");
    ASSERT_TRUE(inactive);
    EXPECT_FALSE(inactive->enabled);
    EXPECT_FALSE(store()->service("55555555-eeee"));

    const auto dns = store()->dnsConfiguration("22222222-bbbb");
    ASSERT_TRUE(dns);
    EXPECT_EQ(dns->serverAddresses(),
              (std::vector<std::string>{"185.228.168.168", "185.228.169.168", "2a0d:2a00:1::"}));
    EXPECT_FALSE(store()->dnsConfiguration("11111111-aaaa"));
}

TEST_F(NetworkManagerTest, ApplyAndRestoreSendTheseCommands) {
    EXPECT_TRUE(NetworkDNS(store(), {}).apply(journal, save));
    EXPECT_EQ(log(), (std::vector<std::string>{
                         listActive,
                         listAll,
                         readDNS("11111111-aaaa"),
                         listAll,
                         readDNS("22222222-bbbb"),
                         "connection|modify|uuid|11111111-aaaa|ipv4.dns||ipv4.ignore-auto-dns|yes|"
                         "ipv6.dns|::1|ipv6.ignore-auto-dns|yes",
                         "connection|modify|uuid|22222222-bbbb|ipv4.dns||ipv4.ignore-auto-dns|yes|"
                         "ipv6.dns|::1|ipv6.ignore-auto-dns|yes",
                         listActive,
                         "device|reapply|eth0",
                         "device|reapply|wlan0",
                     }));
    EXPECT_EQ(setting("11111111-aaaa.ipv6.dns"), "::1");
    EXPECT_EQ(setting("22222222-bbbb.ipv4.dns"), "");

    EXPECT_FALSE(NetworkDNS(store(), {}).apply(journal, save));
    log();

    EXPECT_TRUE(NetworkDNS(store(), {}).restore(journal, save));
    EXPECT_EQ(log(),
              (std::vector<std::string>{
                  listAll,
                  listAll,
                  readDNS("11111111-aaaa"),
                  listAll,
                  listAll,
                  readDNS("22222222-bbbb"),
                  "connection|modify|uuid|11111111-aaaa|ipv4.dns||ipv4.ignore-auto-dns|no|"
                  "ipv6.dns||ipv6.ignore-auto-dns|no",
                  "connection|modify|uuid|22222222-bbbb|ipv4.dns|185.228.168.168,185.228.169."
                  "168|ipv4.ignore-auto-dns|yes|ipv6.dns|2a0d:2a00:1::|ipv6.ignore-auto-dns|yes",
                  listActive,
                  "device|reapply|eth0",
                  "device|reapply|wlan0",
              }));
    EXPECT_EQ(setting("11111111-aaaa.ipv4.ignore-auto-dns"), "no");
    EXPECT_EQ(setting("22222222-bbbb.ipv4.dns"), "185.228.168.168,185.228.169.168");
    EXPECT_TRUE(journal.backups.empty());
}

TEST_F(NetworkManagerTest, RefusedCommandsBecomeTheFixedMessages) {
    writeFile(
        bin / "fail",
        "connection modify uuid 11111111-aaaa ipv4.dns  ipv4.ignore-auto-dns yes ipv6.dns ::1 "
        "ipv6.ignore-auto-dns yes\n");
    try {
        NetworkDNS(store(), {}).apply(journal, save);
        ADD_FAILURE() << "a refused modification was reported as done";
    } catch (const WebRootError &error) {
        EXPECT_EQ(std::string(error.what()), NetworkDNS::notAppliedMessage);
    }
    EXPECT_EQ(journal.backups.size(), 2u);
    writeFile(bin / "fail", "-t -f UUID,NAME,TYPE,DEVICE connection show --active\n");
    try {
        NetworkDNS(store(), {}).apply(journal, save);
        ADD_FAILURE() << "unreadable connections were accepted";
    } catch (const WebRootError &error) {
        EXPECT_EQ(std::string(error.what()), NetworkDNS::servicesUnreadableMessage);
    }
}

TEST(NetworkManagerTerse, EscapesAreUndone) {
    EXPECT_EQ(NetworkManagerPreferences::terseFields("a\\:b:c\\\\d::"),
              (std::vector<std::string>{"a:b", "c\\d", "", ""}));
}

}  // namespace
