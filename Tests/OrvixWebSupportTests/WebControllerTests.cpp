// The controller driven tick by tick, with a temporary installation, a fake network
// configuration store, a clock the test moves and the stand-in proxy, in a network namespace
// of the test's own so [::1]:53 of the machine is never touched.
#include <gtest/gtest.h>

#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "BootFiles.hpp"
#include "DNSCryptConfiguration.hpp"
#include "FakeNetworkPreferences.hpp"
#include "NetworkDNS.hpp"
#include "TestSupport.hpp"
#include "WebController.hpp"

using namespace orvix;
using namespace orvix::testing;
using Phase = WebServiceStatus::Phase;

namespace {

struct MovableClock : Clock {
    Instant value = Instant::now();
    Instant now() const override { return value; }
};

class WebControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the service and its namespace need root";
        ASSERT_EQ(::unshare(CLONE_NEWNET), 0) << std::strerror(errno);
        ASSERT_TRUE(orvix::testing::bringUpLoopback());

        files = WebRootFiles(root.path());
        std::filesystem::create_directories(files.directory());
        std::filesystem::create_directories(files.binary().parent_path());
        for (const auto &path :
             {root.path() / "Library", root.path() / "Library/Application Support",
              files.directory(), files.binary().parent_path()})
            ::chmod(path.c_str(), 0755);
        writeFile(files.binary(), "#!/bin/sh\n");
        std::filesystem::copy_file(ORVIX_STANDIN_PROXY, files.proxy());
        ::chmod(files.binary().c_str(), 0755);
        ::chmod(files.proxy().c_str(), 0755);
        writeFile(files.url("owner.json"), "{\"uid\":4242}");
        ::chmod(files.url("owner.json").c_str(), 0644);

        network.services.push_back({{"wifi", "Wi-Fi", true}, true, std::nullopt});
        clock->value = Instant::now();
        sessionEnd = clock->value.advanced(3600);
        writeSettings(session());
    }

    void TearDown() override {
        controller.reset();
        ::unsetenv("ZORVANE_STANDIN_SILENT");
    }

    OrvixConfiguration session(bool keepFamily = false) const {
        OrvixConfiguration configuration;
        configuration.timeZoneIdentifier = "UTC";
        configuration.blockingEnabled = true;
        configuration.sessionEndsAt = sessionEnd;
        configuration.websites = WebsiteProtection(true, {"example.com", "news.example"});
        configuration.websites.keepFamilyBetweenSessions = keepFamily;
        return configuration;
    }

    std::filesystem::path settings() const { return settingsDirectory.path() / "settings.json"; }

    void writeSettings(const OrvixConfiguration &configuration) {
        writeFile(settings(), configuration.toJSON());
        ::chown(settings().c_str(), 4242, 4242);
        ::chmod(settings().c_str(), 0600);
    }

    WebController::Environment environment() {
        WebController::Environment environment;
        environment.files = files;
        environment.preferences = [this] {
            return std::make_unique<FakeNetworkPreferences>(network);
        };
        environment.settingsURL = [this](std::uint32_t) { return settings(); };
        environment.familyProxyConfigurations = {};
        environment.cacheFlushCommands = {
            {"/bin/sh", "-c",
             "echo flush >> '" + (settingsDirectory.path() / "flushes").string() + "'"},
            {"/nonexistent/flush"}};
        environment.clock = clock;
        return environment;
    }

    WebController &make(bool restoreOnly = false) {
        controller = std::make_unique<WebController>(restoreOnly, environment());
        return *controller;
    }

    WebServiceStatus status() const {
        return WebServiceStatus::fromJSON(readFile(files.statusURL()));
    }

    int flushes() const {
        const auto path = settingsDirectory.path() / "flushes";
        if (!std::filesystem::exists(path)) return 0;
        const auto text = readFile(path);
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }

    // Ticks until the status reaches `phase` (the proxy needs a moment to take its address);
    // returns every phase seen.
    std::vector<WebServiceStatus> tickUntil(Phase phase, int attempts = 40) {
        std::vector<WebServiceStatus> seen;
        for (int attempt = 0; attempt < attempts; ++attempt) {
            controller->tick();
            seen.push_back(status());
            if (seen.back().phase == phase) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return seen;
    }

    WebDNSJournal journalOnDisk() const {
        return WebDNSJournal::fromJSON(readFile(files.url("journal.json")));
    }

    TemporaryDirectory root{"zorvane-webctl"};
    TemporaryDirectory settingsDirectory{"zorvane-webctl-home"};
    WebRootFiles files{"/nonexistent"};
    FakeNetwork network;
    std::shared_ptr<MovableClock> clock = std::make_shared<MovableClock>();
    Instant sessionEnd;
    std::unique_ptr<WebController> controller;
};

TEST_F(WebControllerTest, SessionGoesFromStartingToActiveWithExactlyItsPlan) {
    make();
    const WebSessionPlan plan(session(), clock->value);
    // What the status said while DNS was first being changed.
    std::optional<WebServiceStatus> beforeChange;
    network.onLock = [&] {
        if (!beforeChange) beforeChange = status();
    };
    const auto seen = tickUntil(Phase::active);
    ASSERT_EQ(seen.back().phase, Phase::active);
    ASSERT_TRUE(beforeChange);
    EXPECT_EQ(beforeChange->phase, Phase::starting);
    EXPECT_EQ(beforeChange->plan, plan);
    EXPECT_FALSE(beforeChange->message);
    EXPECT_TRUE(seen.back().confirmsActivePlan(plan));
    EXPECT_TRUE(seen.back().restorationPending);
    EXPECT_EQ(seen.back().uid, 4242u);
    EXPECT_EQ(network.servers("wifi"), std::vector<std::string>{"::1"});
    EXPECT_EQ(journalOnDisk(), controller->journal());
    EXPECT_EQ(journalOnDisk().plan, plan);
    EXPECT_EQ(readFile(files.url("blocked-names.txt")), "example.com\nnews.example\n");
    EXPECT_EQ(
        readFile(files.url("dnscrypt.toml")),
        DNSCryptConfiguration::text(files.directory().string(), WebsiteContentFilter::family));
    EXPECT_EQ(flushes(), 1);

    // Later ticks keep it active without rewriting the journal or flushing again.
    struct stat before {};
    ::stat(files.url("journal.json").c_str(), &before);
    const pid_t proxy = controller->proxyProcess();
    for (int tick = 0; tick < 3; ++tick) controller->tick();
    struct stat after {};
    ::stat(files.url("journal.json").c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(controller->proxyProcess(), proxy);
    EXPECT_EQ(status().phase, Phase::active);
    EXPECT_EQ(flushes(), 1);
    EXPECT_EQ(network.commits, 1);
}

TEST_F(WebControllerTest, SessionEndRestoresAndStopsTheProxy) {
    make();
    ASSERT_EQ(tickUntil(Phase::active).back().phase, Phase::active);
    const pid_t proxy = controller->proxyProcess();
    const auto enforced = controller->journal().plan;
    ASSERT_TRUE(enforced);
    clock->value = sessionEnd;
    std::optional<WebServiceStatus> during;
    network.onLock = [&] { during = status(); };
    controller->tick();
    ASSERT_TRUE(during);
    EXPECT_EQ(during->phase, Phase::restoring);
    EXPECT_EQ(during->plan, enforced);
    EXPECT_TRUE(during->restorationPending);
    EXPECT_EQ(status().phase, Phase::idle);
    EXPECT_FALSE(status().restorationPending);
    EXPECT_FALSE(status().plan);
    EXPECT_FALSE(network.find("wifi")->dns.has_value());
    EXPECT_EQ(readFile(files.url("journal.json")), "{\"backups\":[]}");
    EXPECT_EQ(controller->proxyProcess(), 0);
    EXPECT_FALSE(isRunning(proxy));
    EXPECT_EQ(flushes(), 2);
    controller->tick();
    EXPECT_EQ(status().phase, Phase::idle);
}

TEST_F(WebControllerTest, BetweenSessionsTheFilterStaysOnWithARestartedProxy) {
    writeSettings(session(true));
    make();
    ASSERT_EQ(tickUntil(Phase::active).back().phase, Phase::active);
    const pid_t first = controller->proxyProcess();
    clock->value = sessionEnd.advanced(1);
    const auto seen = tickUntil(Phase::active);
    ASSERT_EQ(seen.back().phase, Phase::active);
    for (const auto &written : seen) EXPECT_NE(written.phase, Phase::restoring);
    ASSERT_TRUE(seen.back().plan);
    EXPECT_TRUE(seen.back().plan->isContinuous());
    EXPECT_TRUE(seen.back().plan->domains.empty());
    EXPECT_NE(controller->proxyProcess(), first);
    EXPECT_FALSE(isRunning(first));
    EXPECT_EQ(readFile(files.url("blocked-names.txt")), "\n");
    EXPECT_EQ(network.servers("wifi"), std::vector<std::string>{"::1"});
    EXPECT_EQ(network.commits, 1);
}

TEST_F(WebControllerTest, DeletedSettingsKeepTheJournalsPlanUntilItsEnd) {
    make();
    ASSERT_EQ(tickUntil(Phase::active).back().phase, Phase::active);
    const auto plan = controller->journal().plan;
    std::filesystem::remove(settings());
    clock->value = sessionEnd.advanced(-10);
    controller->tick();
    EXPECT_EQ(status().phase, Phase::active);
    EXPECT_EQ(status().plan, plan);
    EXPECT_EQ(network.servers("wifi"), std::vector<std::string>{"::1"});
    clock->value = sessionEnd;
    controller->tick();
    EXPECT_EQ(status().phase, Phase::idle);
    EXPECT_FALSE(network.find("wifi")->dns.has_value());
    // With nothing left to restore, unreadable settings are an error of their own.
    controller->tick();
    EXPECT_EQ(status().phase, Phase::error);
    EXPECT_EQ(status().message, WebController::settingsUnavailableMessage);
}

TEST_F(WebControllerTest, AnotherResolverOnTheAddressIsNeverReplaced) {
    const int other = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(53);
    address.sin6_addr = in6addr_loopback;
    ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    make();
    for (int tick = 0; tick < 2; ++tick) {
        controller->tick();
        EXPECT_EQ(status().phase, Phase::error);
        EXPECT_EQ(status().message, WebController::resolverOwnedMessage);
        EXPECT_EQ(controller->proxyProcess(), 0);
    }
    EXPECT_FALSE(network.find("wifi")->dns.has_value());
    EXPECT_EQ(network.commits, 0);
    ::close(other);
    EXPECT_EQ(tickUntil(Phase::active).back().phase, Phase::active);
}

TEST_F(WebControllerTest, ProxyKilledFromOutsideIsRestartedAndProbed) {
    make();
    ASSERT_EQ(tickUntil(Phase::active).back().phase, Phase::active);
    const pid_t first = controller->proxyProcess();
    ::kill(first, SIGKILL);
    ASSERT_TRUE(waitForExit(first, 5));
    // The new proxy is only believed once it answered: the status says "starting" until then.
    std::optional<WebServiceStatus> beforeActive;
    network.onLock = [&] {
        if (!beforeActive) beforeActive = status();
    };
    EXPECT_EQ(tickUntil(Phase::active).back().phase, Phase::active);
    ASSERT_TRUE(beforeActive);
    EXPECT_EQ(beforeActive->phase, Phase::starting);
    EXPECT_NE(controller->proxyProcess(), first);
    EXPECT_TRUE(isRunning(controller->proxyProcess()));
}

TEST_F(WebControllerTest, AWorkingProxyIsProbedAtMostEveryFiveSeconds) {
    make();
    ASSERT_EQ(tickUntil(Phase::active).back().phase, Phase::active);
    const double activeAt = systemUptime();
    // A stopped proxy still runs but answers nothing; only a probe can tell.
    ASSERT_EQ(::kill(controller->proxyProcess(), SIGSTOP), 0);
    controller->tick();
    EXPECT_EQ(status().phase, Phase::active);
    std::this_thread::sleep_for(std::chrono::duration<double>(WebController::probeInterval -
                                                              (systemUptime() - activeAt) + 0.05));
    controller->tick();
    EXPECT_EQ(status().phase, Phase::starting);
    EXPECT_EQ(status().message, WebController::waitingMessage);
    // DNS stays on the proxy while it does not answer.
    EXPECT_EQ(network.servers("wifi"), std::vector<std::string>{"::1"});
    ::kill(controller->proxyProcess(), SIGCONT);
    EXPECT_EQ(tickUntil(Phase::active).back().phase, Phase::active);
}

TEST_F(WebControllerTest, SilentProxyLeavesDNSAloneAndSaysItWaits) {
    ::setenv("ZORVANE_STANDIN_SILENT", "1", 1);
    make();
    for (int tick = 0; tick < 2; ++tick) {
        controller->tick();
        EXPECT_EQ(status().phase, Phase::starting);
        EXPECT_EQ(status().message, WebController::waitingMessage);
    }
    EXPECT_EQ(network.commits, 0);
    EXPECT_FALSE(std::filesystem::exists(files.url("journal.json")));
}

TEST_F(WebControllerTest, UnrecognizedResolverIsReportedAndLeftAlone) {
    DNSDictionary manual;
    manual.setServerAddresses({"192.0.2.53"});
    network.services.push_back({{"lan", "Ethernet", true}, true, manual});
    make();
    const auto seen = tickUntil(Phase::error);
    EXPECT_EQ(seen.back().phase, Phase::error);
    EXPECT_EQ(seen.back().message, std::string("Ethernet") + NetworkDNS::unrecognizedSuffix);
    EXPECT_EQ(network.commits, 0);
    EXPECT_EQ(network.servers("lan"), std::vector<std::string>{"192.0.2.53"});
}

TEST_F(WebControllerTest, JournalFoundAtStartIsRestoredWhenNoPlanIsDesired) {
    WebDNSJournal left;
    left.capture("wifi", std::nullopt);
    left.plan = WebSessionPlan(session(), clock->value);
    files.writeData(left.toJSON(), "journal.json", false, true);
    DNSDictionary ours;
    ours.setServerAddresses({"::1"});
    network.services[0].dns = ours;
    writeSettings(OrvixConfiguration());
    make();
    EXPECT_EQ(controller->journal(), left);
    controller->tick();
    EXPECT_EQ(status().phase, Phase::idle);
    EXPECT_FALSE(network.find("wifi")->dns.has_value());
    EXPECT_EQ(journalOnDisk(), WebDNSJournal());
}

TEST_F(WebControllerTest, FailedRestorationKeepsTheJournalAndTheProxy) {
    make();
    ASSERT_EQ(tickUntil(Phase::active).back().phase, Phase::active);
    const auto journal = journalOnDisk();
    network.refuseCommit = true;
    EXPECT_THROW(controller->restore(), std::exception);
    EXPECT_EQ(status().phase, Phase::error);
    EXPECT_EQ(status().message, WebController::restorationMessage);
    EXPECT_TRUE(status().restorationPending);
    EXPECT_EQ(journalOnDisk(), journal);
    EXPECT_TRUE(isRunning(controller->proxyProcess()));
    // The tick reports the store's own reason and tries again a second later.
    clock->value = sessionEnd;
    controller->tick();
    EXPECT_EQ(status().message, NetworkDNS::notAppliedMessage);
    network.refuseCommit = false;
    controller->tick();
    EXPECT_EQ(status().phase, Phase::idle);
}

TEST_F(WebControllerTest, CreationRefusesABrokenInstallation) {
    {
        std::filesystem::rename(files.url("owner.json"), files.url("owner.json.moved"));
        EXPECT_THROW(make(), WebRootError);
        std::filesystem::rename(files.url("owner.json.moved"), files.url("owner.json"));
    }
    writeFile(files.url("journal.json"), "{\"backups\": 3}");
    ::chmod(files.url("journal.json").c_str(), 0600);
    EXPECT_THROW(make(), DecodingError);
    std::filesystem::remove(files.url("journal.json"));
    std::filesystem::remove(files.proxy());
    EXPECT_THROW(make(), std::system_error);
    EXPECT_NO_THROW(make(true));
    // Restore mode with an empty journal succeeds and reports idle.
    EXPECT_NO_THROW(controller->restore());
    EXPECT_EQ(status().phase, Phase::idle);
}

}  // namespace
