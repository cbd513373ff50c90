#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "RunningApplications.hpp"
#include "TestSupport.hpp"

namespace orvix {
namespace {

namespace fs = std::filesystem;

const RunningApplication *find(const std::vector<RunningApplication> &applications, pid_t pid) {
    auto found =
        std::find_if(applications.begin(), applications.end(),
                     [&](const RunningApplication &application) { return application.pid == pid; });
    return found == applications.end() ? nullptr : &*found;
}

TEST(RunningApplications, ListsTheUsersProcessesInsideBundles) {
    testing::TemporaryDirectory root;
    const fs::path base = fs::canonical(root.path());
    const fs::path plain = testing::makeBundle(base, "Plain", "com.example.plain", true);
    // A helper application nested in another one.
    testing::makeBundle(base, "Outer", "com.example.outer");
    const fs::path inner = testing::makeBundle(base / "Outer.app" / "Contents" / "Helpers", "Inner",
                                               "com.example.inner");
    // An executable in a directory that only looks like a bundle.
    fs::create_directories(base / "Fake.application" / "Contents" / "MacOS");
    fs::copy_file("/bin/sleep", base / "Fake.application" / "Contents" / "MacOS" / "Fake");

    const pid_t plainPID = testing::spawn({plain.string(), "30"}, std::nullopt);
    const pid_t innerPID = testing::spawn({inner.string(), "30"}, std::nullopt);
    const pid_t fakePID = testing::spawn(
        {(base / "Fake.application/Contents/MacOS/Fake").string(), "30"}, std::nullopt);
    // Give exec a moment to replace the forked test process.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    SystemProcessTable table;
    RunningApplications running(table);
    const auto applications = running.list();
    EXPECT_FALSE(running.listingFailed());
    EXPECT_EQ(find(applications, ::getpid()), nullptr);
    EXPECT_EQ(find(applications, fakePID), nullptr);

    const auto *first = find(applications, plainPID);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->bundleIdentifier, "com.example.plain");
    EXPECT_EQ(first->bundleIDs, std::set<std::string>{"com.example.plain"});
    EXPECT_EQ(first->bundleURL, base / "Plain.app");
    EXPECT_EQ(first->executablePath, plain.string());
    EXPECT_EQ(first->name, "Plain");
    EXPECT_FALSE(first->terminated);

    const auto *helper = find(applications, innerPID);
    ASSERT_NE(helper, nullptr);
    EXPECT_EQ(helper->bundleIdentifier, "com.example.inner");
    EXPECT_EQ(helper->bundleIDs, (std::set<std::string>{"com.example.inner", "com.example.outer"}));
    EXPECT_EQ(helper->name, "Inner");

    // The owned kill never acts for root (tests run as root), and that guard holds here too.
    EXPECT_EQ(running.forceTerminate(*first), 1);
    EXPECT_TRUE(testing::isRunning(plainPID));
    testing::stop(plainPID);
    EXPECT_EQ(find(running.list(), plainPID), nullptr);

    testing::stop(innerPID);
    testing::stop(fakePID);
}

}  // namespace
}  // namespace orvix
