#include <gtest/gtest.h>

#include "BootEnforcement.hpp"
#include "BootEnforcer.hpp"
#include "BootFiles.hpp"
#include "FakeProcessTable.hpp"
#include "TestSupport.hpp"

using namespace orvix;
using namespace orvix::testing;

namespace {

const std::string boot = "boot-1";

std::function<double()> at(double uptime) {
    return [uptime] { return uptime; };
}
const Instant now{800000000};

class BootEnforcerPass : public ::testing::Test {
protected:
    TemporaryDirectory home;
    std::filesystem::path support = home.path() / "support";
    std::filesystem::path apps = home.path() / "Applications";
    FakeProcessTable table;
    std::string blockedPath = makeBundle(apps, "Blocked", "com.example.blocked").string();
    std::string allowedPath = makeBundle(apps, "Allowed", "com.example.allowed").string();

    // A running session whose only group blocks com.example.blocked (budget 10 minutes).
    OrvixConfiguration session() const {
        OrvixConfiguration configuration;
        configuration.timeZoneIdentifier = "UTC";
        configuration.blockingEnabled = true;
        configuration.sessionEndsAt = now.advanced(3600);
        configuration.groups.emplace_back(
            "G", "Group", std::vector<BlockedApp>{{"com.example.blocked", "Blocked"}},
            Allowance(10, 0, "d"), 2);
        return configuration;
    }

    void writeSettings(const OrvixConfiguration &configuration) {
        BootFiles::writeBytes(support / "settings.json", configuration.toJSON());
    }

    void addProcess(std::int32_t pid, const std::string &path, std::uint32_t uid = 1000) {
        table.processes[pid] = {{uid, 1000000ull * static_cast<std::uint64_t>(pid)}, path};
    }

    BootServiceStatus status() {
        return BootFiles::read<BootServiceStatus>(support / "boot-status.json");
    }
};

}  // namespace

TEST_F(BootEnforcerPass, KillsOnlyTheUsersBlockedProcesses) {
    writeSettings(session());
    addProcess(101, blockedPath);
    addProcess(102, allowedPath);
    addProcess(103, blockedPath, /*uid=*/1001);  // another user's
    addProcess(104, "/usr/bin/sleep");
    addProcess(1, blockedPath);
    addProcess(table.self, blockedPath);
    table.processes[105] = {{1000, 5}, std::nullopt};  // path unreadable

    BootEnforcer enforcer(support, boot, table);
    enforcer.pass(at(10), now);
    EXPECT_EQ(table.killed, std::vector<std::int32_t>{101});
    EXPECT_EQ(enforcer.lastMessage(), std::nullopt);
    auto written = status();
    EXPECT_EQ(written.serviceVersion, std::optional<std::string>("0.8.0"));
    EXPECT_EQ(written.message, std::nullopt);
    EXPECT_EQ(written.bootID, boot);
    EXPECT_EQ(written.uptime, 10);
}

TEST_F(BootEnforcerPass, NeverKillsAProcessThatTookOverTheInspectedPid) {
    writeSettings(session());
    addProcess(101, blockedPath);
    // Between reading the blocked executable and reading the owner, pid 101 passes to a new
    // process of the same user running something else.
    table.beforeIdentity = [&](std::int32_t pid) {
        if (pid == 101) table.processes[101] = {{1000, 99}, allowedPath};
    };
    BootEnforcer enforcer(support, boot, table);
    enforcer.pass(at(1), now);
    EXPECT_TRUE(table.killed.empty());
    EXPECT_EQ(enforcer.lastMessage(), std::nullopt);
}

TEST_F(BootEnforcerPass, AFreshLeaseSparesAGrantedGroupUntilItGoesStale) {
    writeSettings(session());
    addProcess(101, blockedPath);
    BootFiles::write(BootAccessLease{boot, 10, session().sessionEndsAt, {"G"}, false},
                     support / "boot-access.json");
    BootEnforcer enforcer(support, boot, table);
    enforcer.pass(at(11.5), now);
    EXPECT_TRUE(table.killed.empty());
    enforcer.pass(at(11.6), now);
    EXPECT_EQ(table.killed, std::vector<std::int32_t>{101});
}

TEST_F(BootEnforcerPass, JudgesTheLeaseByTheUptimeAfterReadingIt) {
    writeSettings(session());
    addProcess(101, blockedPath);
    const auto leaseURL = support / "boot-access.json";
    BootFiles::write(BootAccessLease{boot, 10, session().sessionEndsAt, {"G"}, false}, leaseURL);
    // The application renews the lease in the middle of the pass, just as the enforcer takes
    // the time: the lease it has read is fresh at that time, the renewed one would not be.
    auto renewingClock = [&] {
        BootFiles::write(BootAccessLease{boot, 10.3, session().sessionEndsAt, {"G"}, false},
                         leaseURL);
        return 10.2;
    };
    BootEnforcer enforcer(support, boot, table);
    enforcer.pass(renewingClock, now);
    EXPECT_TRUE(table.killed.empty());
}

TEST_F(BootEnforcerPass, ABrokenLeaseGrantsNothingAndKillsNothingElse) {
    writeSettings(session());
    const auto leaseURL = support / "boot-access.json";
    const std::string good =
        BootAccessLease{boot, 10, session().sessionEndsAt, {"G"}, false}.toJSON();
    struct Case {
        const char *what;
        std::function<void()> make;
    } cases[] = {
        {"truncated", [&] { BootFiles::writeBytes(leaseURL, good.substr(0, good.size() / 2)); }},
        {"oversized",
         [&] { BootFiles::writeBytes(leaseURL, good + std::string(1024 * 1024, ' ')); }},
        {"wrong types", [&] { BootFiles::writeBytes(leaseURL, R"({"bootID":1,"uptime":"x"})"); }},
        {"a directory", [&] { std::filesystem::create_directory(leaseURL); }},
        {"a link to a device", [&] { std::filesystem::create_symlink("/dev/urandom", leaseURL); }},
        {"a link to nowhere",
         [&] { std::filesystem::create_symlink("/nonexistent/lease", leaseURL); }},
    };
    for (const auto &c : cases) {
        std::filesystem::remove_all(leaseURL);
        c.make();
        table.killed.clear();
        addProcess(101, blockedPath);
        addProcess(102, allowedPath);
        BootEnforcer enforcer(support, boot, table);
        enforcer.pass(at(10.5), now);
        EXPECT_EQ(table.killed, std::vector<std::int32_t>{101}) << c.what;
        EXPECT_EQ(enforcer.lastMessage(), std::nullopt) << c.what;
    }
}

TEST_F(BootEnforcerPass, ListsNothingWhileNothingIsBlocked) {
    auto configuration = session();
    configuration.blockingEnabled = false;
    writeSettings(configuration);
    addProcess(101, blockedPath);
    BootEnforcer enforcer(support, boot, table);
    enforcer.pass(at(1), now);
    enforcer.pass(at(2), now.advanced(7200));
    EXPECT_TRUE(table.listedCapacities.empty());
    EXPECT_TRUE(table.killed.empty());
}

TEST_F(BootEnforcerPass, WithoutSettingsNothingIsBlockedAndTheStatusSaysSo) {
    addProcess(101, blockedPath);
    BootEnforcer enforcer(support, boot, table);
    enforcer.pass(at(1), now);
    EXPECT_TRUE(table.listedCapacities.empty());
    EXPECT_EQ(status().message, std::optional<std::string>(BootEnforcer::settingsUnavailable));
    EXPECT_FALSE(enforcer.configuration());
}

TEST_F(BootEnforcerPass, KeepsTheLastReadableSettingsWhenTheFileBreaks) {
    writeSettings(session());
    BootEnforcer enforcer(support, boot, table);
    enforcer.pass(at(1), now);
    for (const std::string &broken :
         {std::string("{\"groups\":[tru"), std::string(""), std::string(2 * 1024 * 1024, ' ')}) {
        BootFiles::writeBytes(support / "settings.json", broken);
        addProcess(101, blockedPath);
        enforcer.pass(at(enforcer.configuration() ? 2 : 0), now);
        EXPECT_EQ(table.processes.count(101), 0u)
            << "still blocking after: " << broken.substr(0, 20);
        EXPECT_EQ(enforcer.lastMessage(),
                  std::optional<std::string>(BootEnforcer::settingsUnavailable));
    }
    // A symbolic link to a device is refused like any broken file.
    std::filesystem::remove(support / "settings.json");
    std::filesystem::create_symlink("/dev/zero", support / "settings.json");
    addProcess(101, blockedPath);
    enforcer.pass(at(3), now);
    EXPECT_EQ(table.processes.count(101), 0u);
    EXPECT_EQ(status().message, std::optional<std::string>(BootEnforcer::settingsUnavailable));
}

TEST_F(BootEnforcerPass, ReportsEveryProblemOfThePass) {
    writeSettings(session());
    addProcess(101, blockedPath);

    {
        BootEnforcer enforcer(support, "", table);  // no boot identity
        BootFiles::write(BootAccessLease{"", 1, session().sessionEndsAt, {"G"}, false},
                         support / "boot-access.json");
        enforcer.pass(at(1), now);
        EXPECT_EQ(enforcer.lastMessage(),
                  std::optional<std::string>(BootEnforcer::bootIdentityUnavailable));
        EXPECT_EQ(table.killed, std::vector<std::int32_t>{101});  // the grant did not count
    }
    {
        addProcess(101, blockedPath);
        table.failListing = true;
        table.listResult = -1;
        BootEnforcer enforcer(support, boot, table);
        enforcer.pass(at(1), now);
        EXPECT_EQ(enforcer.lastMessage(),
                  std::optional<std::string>(BootEnforcer::processesUnavailable));
        EXPECT_EQ(enforcer.pidCapacity(), BootEnforcer::initialPIDCapacity);
        table.failListing = false;
    }
    struct Case {
        std::int32_t killResult;
        std::optional<std::string> message;
    } cases[] = {{0, std::nullopt},
                 {3, std::nullopt},
                 {1, BootEnforcer::killRefused},
                 {1 /*EPERM*/, BootEnforcer::killRefused}};
    for (const auto &c : cases) {
        table.killResult = c.killResult;
        addProcess(101, blockedPath);
        BootEnforcer enforcer(support, boot, table);
        enforcer.pass(at(1), now);
        EXPECT_EQ(enforcer.lastMessage(), c.message) << c.killResult;
        EXPECT_EQ(status().message, c.message) << c.killResult;
    }
}

TEST_F(BootEnforcerPass, ComparesBundleIDsExactlyAndSparesProtectedBundles) {
    auto configuration = session();
    configuration.groups[0].apps.push_back({"com.example.shout", "Shout"});
    configuration.groups[0].apps.push_back({"com.example.inner", "Inner"});
    writeSettings(configuration);
    const auto shout = makeBundle(apps, "Shout", "com.example.SHOUT");
    // A blocked helper inside a protected application is spared; the protected test on the
    // process is exact, so an upper-case variant of a protected ID protects nothing.
    const auto zorvane = apps / "Zorvane.app";
    makeBundle(apps, "Zorvane", "org.zorvane.app");
    const auto inner = makeBundle(zorvane / "Contents" / "Library", "Inner", "com.example.inner");
    const auto fake = makeBundle(apps, "Fake", "ORG.ZORVANE.APP");
    const auto fakeInner =
        makeBundle(apps / "Fake.app" / "Contents" / "Library", "Inner", "com.example.inner");
    addProcess(201, shout.string());
    addProcess(202, inner.string());
    addProcess(203, fakeInner.string());
    BootEnforcer enforcer(support, boot, table);
    enforcer.pass(at(1), now);
    EXPECT_EQ(table.killed, std::vector<std::int32_t>{203});
    (void)fake;
}

TEST_F(BootEnforcerPass, OffersMoreProcessSlotsOnlyWhenTheListWasFull) {
    writeSettings(session());
    addProcess(101, blockedPath);
    table.extraListed = 5000;
    BootEnforcer enforcer(support, boot, table);
    enforcer.pass(at(1), now);
    EXPECT_EQ(table.listedCapacities.back(), 4096);
    EXPECT_EQ(enforcer.pidCapacity(), 8192);
    EXPECT_EQ(table.killed, std::vector<std::int32_t>{101});  // it was among the first 4096

    table.extraListed = 100000;
    std::vector<std::int32_t> capacities;
    for (int pass = 0; pass < 6; pass++) {
        enforcer.pass(at(2 + pass), now);
        capacities.push_back(table.listedCapacities.back());
    }
    EXPECT_EQ(capacities, (std::vector<std::int32_t>{8192, 16384, 32768, 65536, 65536, 65536}));

    // A list that fits exactly is full too; one that fits with room to spare is not.
    FakeProcessTable exact;
    exact.extraListed = 4096;
    BootEnforcer fits(support, boot, exact);
    fits.pass(at(1), now);
    EXPECT_EQ(fits.pidCapacity(), 8192);
    exact.extraListed = 4095;
    BootEnforcer room(support, boot, exact);
    room.pass(at(1), now);
    EXPECT_EQ(room.pidCapacity(), 4096);
}

TEST_F(BootEnforcerPass, WritesTheStatusAboutOnceASecond) {
    writeSettings(session());
    BootEnforcer enforcer(support, boot, table);
    std::vector<double> written;
    for (double uptime = 5.0; uptime < 8.0; uptime += 0.25) {
        enforcer.pass(at(uptime), now);
        const double seen = status().uptime;
        if (written.empty() || written.back() != seen) written.push_back(seen);
    }
    EXPECT_EQ(written, (std::vector<double>{5.0, 6.0, 7.0}));

    // A status that cannot be written is tried again a second later.
    std::filesystem::remove(support / "boot-status.json");
    std::filesystem::create_directory(support / "boot-status.json");
    enforcer.pass(at(8.0), now);
    std::filesystem::remove(support / "boot-status.json");
    enforcer.pass(at(8.5), now);
    EXPECT_FALSE(std::filesystem::exists(support / "boot-status.json"));
    enforcer.pass(at(9.0), now);
    EXPECT_EQ(status().uptime, 9.0);
}

TEST_F(BootEnforcerPass, ReadsPathsWithBrokenUTF8AsRepairedText) {
    auto configuration = session();
    configuration.groups[0].apps.push_back({"com.example.odd", "Odd"});
    writeSettings(configuration);
    const auto odd = makeBundle(apps, "Odd\xEF\xBF\xBD", "com.example.odd");
    std::string raw = odd.string();
    raw.replace(raw.find("\xEF\xBF\xBD"), 3, "\xFF");  // what the kernel would hand back
    addProcess(301, raw);
    BootEnforcer enforcer(support, boot, table);
    enforcer.pass(at(1), now);
    EXPECT_EQ(table.killed, std::vector<std::int32_t>{301});
}
