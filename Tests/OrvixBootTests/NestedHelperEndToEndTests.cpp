#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "AppGroups.hpp"
#include "BootEnforcer.hpp"
#include "Locations.hpp"
#include "TestSupport.hpp"

namespace orvix {
namespace {

namespace fs = std::filesystem;

// The enforcer finds the account's applications through the same listing the guardian uses;
// this runs it as the account against real processes.
TEST(BootEnforcer, ClosesTheAccountsBlockedApplicationsAndTheirHelpers) {
    // An account of its own, so settings written here never meet another suite's enforcer
    // running as the shared test account.
    const auto account = testing::TestAccount::ensure("zorvane-listing");
    if (!account) GTEST_SKIP() << "needs root to run the enforcer as the test account";

    const fs::path support = account->home / Locations::userSupportDirectory;
    const fs::path settingsURL = support / Locations::settingsFile;
    const fs::path statusURL = support / Locations::bootStatusFile;
    const std::optional<std::string> savedSettings =
        fs::exists(settingsURL) ? std::optional(testing::readFile(settingsURL)) : std::nullopt;
    const std::optional<std::string> savedStatus =
        fs::exists(statusURL) ? std::optional(testing::readFile(statusURL)) : std::nullopt;

    testing::TemporaryDirectory root{"zorvane-enforcer"};
    const fs::path blocked = testing::makeBundle(root.path(), "Blocked", "com.example.blocked");
    const fs::path helper = testing::makeBundle(
        root.path() / "Blocked.app" / "Contents" / "Helpers", "Helper", "com.example.helper");
    const fs::path allowed = testing::makeBundle(root.path(), "Allowed", "com.example.allowed");
    testing::chownTree(root.path(), account->uid, account->gid);

    OrvixConfiguration configuration;
    configuration.timeZoneIdentifier = "UTC";
    configuration.blockingEnabled = true;
    configuration.sessionEndsAt = Instant::now().advanced(3600);
    configuration.groups.emplace_back("blocked", "Blocked",
                                      std::vector<BlockedApp>{{"com.example.blocked", "Blocked"}},
                                      Allowance(0, 0, "2024-03-09"), 2);
    testing::writeFile(settingsURL, configuration.toJSON());
    testing::chownTree(account->home / "Library", account->uid, account->gid);

    const pid_t blockedPID = testing::spawn({blocked.string(), "60"}, account);
    const pid_t helperPID = testing::spawn({helper.string(), "60"}, account);
    const pid_t allowedPID = testing::spawn({allowed.string(), "60"}, account);
    const pid_t enforcer = testing::spawn({ORVIX_BOOT_EXECUTABLE}, account);

    EXPECT_TRUE(testing::waitForExit(blockedPID, 5));
    EXPECT_TRUE(testing::waitForExit(helperPID, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_TRUE(testing::isRunning(allowedPID));

    for (pid_t pid : {enforcer, blockedPID, helperPID, allowedPID}) testing::stop(pid);
    if (savedSettings)
        testing::writeFile(settingsURL, *savedSettings);
    else
        fs::remove(settingsURL);
    if (savedStatus)
        testing::writeFile(statusURL, *savedStatus);
    else
        fs::remove(statusURL);
}

}  // namespace
}  // namespace orvix
