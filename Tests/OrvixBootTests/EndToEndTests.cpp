// The real OrvixBoot executable against real processes of an ordinary account.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <thread>

#include "BootEnforcement.hpp"
#include "BootEnforcer.hpp"
#include "BootFiles.hpp"
#include "TestSupport.hpp"

using namespace orvix;
using namespace orvix::testing;
using namespace std::chrono_literals;

namespace {

class BootEnforcerEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        account = TestAccount::ensure();
        if (!account) GTEST_SKIP() << "needs root to create the test account";
        apps = account->home / "e2e-apps";
        support = account->home / "Library" / "Application Support" / "Zorvane";
        std::filesystem::remove_all(account->home / "Library");
        std::filesystem::remove_all(apps);
        std::filesystem::create_directories(support);
        blocked = makeBundle(apps, "Blocked", "com.example.blocked");
        allowed = makeBundle(apps, "Allowed", "com.example.allowed");
        chownTree(account->home, account->uid, account->gid);
    }

    void TearDown() override {
        if (HasFailure() && enforcer > 0) {
            std::cerr << "OrvixBoot " << (isRunning(enforcer) ? "was still running" : "had ended")
                      << "; its output:\n"
                      << readFile(log.path() / "boot.log") << "\n";
            if (auto written = status()) std::cerr << "last status: " << written->toJSON() << "\n";
        }
        for (pid_t pid : started) stop(pid);
        if (account) {
            std::filesystem::remove_all(account->home / "Library");
            std::filesystem::remove_all(apps);
        }
    }

    // Replaces a file in one step with one owned by the account, as the application would.
    void writeAsUser(const std::string &name, const std::string &bytes) {
        const auto temporary = support / ("." + name + ".test");
        writeFile(temporary, bytes);
        ASSERT_EQ(::chown(temporary.c_str(), account->uid, account->gid), 0);
        ASSERT_EQ(::chmod(temporary.c_str(), 0600), 0);
        std::filesystem::rename(temporary, support / name);
    }

    OrvixConfiguration session() const {
        OrvixConfiguration configuration;
        configuration.timeZoneIdentifier = "UTC";
        configuration.blockingEnabled = true;
        configuration.sessionEndsAt = sessionEnd;
        configuration.groups.emplace_back(
            "G", "Distractions", std::vector<BlockedApp>{{"com.example.blocked", "Blocked"}},
            Allowance(10, 0, "d"), 2);
        return configuration;
    }

    void writeLease(std::set<std::string> groups) {
        writeAsUser("boot-access.json", BootAccessLease{BootFiles::bootID(), systemUptime(),
                                                        sessionEnd, std::move(groups), false}
                                            .toJSON());
    }

    pid_t start(const std::filesystem::path &executable, bool asAccount = true) {
        pid_t pid = spawn({executable.string(), "infinity"}, asAccount ? account : std::nullopt);
        started.push_back(pid);
        return pid;
    }

    pid_t startEnforcer() {
        pid_t pid = spawn({ORVIX_BOOT_EXECUTABLE}, account, log.path() / "boot.log");
        started.push_back(pid);
        enforcer = pid;
        // It is running once it has written its first status.
        for (int attempt = 0;
             attempt < 200 && !std::filesystem::exists(support / "boot-status.json"); attempt++)
            std::this_thread::sleep_for(10ms);
        return pid;
    }

    std::optional<BootServiceStatus> status() {
        try {
            return BootFiles::read<BootServiceStatus>(support / "boot-status.json");
        } catch (const std::exception &) {
            return std::nullopt;
        }
    }

    std::optional<TestAccount> account;
    TemporaryDirectory log;
    std::filesystem::path apps;
    std::filesystem::path support;
    std::filesystem::path blocked;
    std::filesystem::path allowed;
    std::vector<pid_t> started;
    pid_t enforcer = 0;
    Instant sessionEnd = Instant::now().advanced(3600);
};

}  // namespace

TEST_F(BootEnforcerEndToEnd, ClosesTheBlockedApplicationAndNothingElse) {
    writeAsUser("settings.json", session().toJSON());
    const pid_t first = start(blocked);
    const pid_t other = start(allowed);
    const pid_t foreign = start(blocked, /*asAccount=*/false);  // the same bundle, run by root
    startEnforcer();
    EXPECT_TRUE(waitForExit(first, 1.0));

    // A blocked application started later goes within a second.
    const pid_t again = start(blocked);
    EXPECT_TRUE(waitForExit(again, 1.0));
    std::this_thread::sleep_for(1200ms);
    EXPECT_TRUE(isRunning(other));
    EXPECT_TRUE(isRunning(foreign));

    auto written = status();
    ASSERT_TRUE(written);
    EXPECT_EQ(written->serviceVersion, std::optional<std::string>("0.8.0"));
    EXPECT_EQ(written->message, std::nullopt);
    EXPECT_EQ(written->bootID, BootFiles::bootID());
    EXPECT_TRUE(written->isFresh(BootFiles::bootID(), systemUptime()));
}

TEST_F(BootEnforcerEndToEnd, AFreshLeaseSparesAGroupWithBudgetLeft) {
    writeAsUser("settings.json", session().toJSON());
    writeLease({"G"});
    const pid_t app = start(blocked);
    startEnforcer();
    for (int tick = 0; tick < 8; tick++) {  // the application's tick, for two seconds
        writeLease({"G"});
        std::this_thread::sleep_for(250ms);
    }
    EXPECT_TRUE(isRunning(app));
    // Once the application stops renewing the lease, the grant lapses.
    EXPECT_TRUE(waitForExit(app, 3.0));
}

TEST_F(BootEnforcerEndToEnd, KeepsBlockingWhenTheSettingsBreak) {
    writeAsUser("settings.json", session().toJSON());
    startEnforcer();
    std::this_thread::sleep_for(300ms);
    writeAsUser("settings.json", "{\"groups\": [ this is not json");
    const pid_t app = start(blocked);
    EXPECT_TRUE(waitForExit(app, 1.0));
    std::optional<BootServiceStatus> written;
    for (int attempt = 0; attempt < 30; attempt++) {
        written = status();
        if (written && written->message) break;
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(written);
    EXPECT_EQ(written->message, std::optional<std::string>(BootEnforcer::settingsUnavailable));
}

TEST_F(BootEnforcerEndToEnd, RefusesToRunAsRootOrASystemAccount) {
    auto runAndRead = [&](const std::optional<TestAccount> &as) {
        const auto file = log.path() / ("refusal-" + std::to_string(as ? as->uid : 0) + ".log");
        pid_t pid = spawn({ORVIX_BOOT_EXECUTABLE}, as, file);
        int status = 0;
        ::waitpid(pid, &status, 0);
        return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(file));
    };
    const std::string refusal = BootEnforcer::rootRefused;
    EXPECT_EQ(runAndRead(std::nullopt), std::make_pair(1, refusal));
    EXPECT_EQ(runAndRead(TestAccount{"system", 500, 500, "/nonexistent"}),
              std::make_pair(1, refusal));

    if (::getpwuid(501) == nullptr) {  // 501 may run, but has no home to find here
        auto [code, output] = runAndRead(TestAccount{"nobody-501", 501, 501, "/nonexistent"});
        EXPECT_NE(code, 0);
        EXPECT_NE(output, refusal);
        EXPECT_NE(output.find("home directory"), std::string::npos) << output;
    }
}
