#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "TestSupport.hpp"
#include "orvix_process.h"

using namespace orvix::testing;

namespace {

struct Identity {
    uint32_t uid = 0;
    uint64_t start = 0;
};

Identity identityOf(pid_t pid) {
    Identity identity;
    EXPECT_EQ(orvix_process_identity(pid, &identity.uid, &identity.start), 0) << pid;
    return identity;
}

}  // namespace

TEST(ProcessPrimitives, ListsProcessesAndReportsHowManyThereAre) {
    std::vector<int32_t> pids(1 << 16);
    const int32_t count = orvix_list_pids(pids.data(), static_cast<int32_t>(pids.size()));
    ASSERT_GT(count, 1);
    EXPECT_NE(std::find(pids.begin(), pids.begin() + count, ::getpid()), pids.begin() + count);

    // A buffer that is too small is filled and the full count is still reported.
    std::vector<int32_t> small(2, -7);
    small.push_back(-7);
    EXPECT_GE(orvix_list_pids(small.data(), 2), 2);
    EXPECT_GT(small[0], 0);
    EXPECT_GT(small[1], 0);
    EXPECT_EQ(small[2], -7);
    EXPECT_LT(orvix_list_pids(nullptr, 4), 0);
}

TEST(ProcessPrimitives, ReadsIdentityAndPathOfARealProcess) {
    TemporaryDirectory directory;
    const auto executable = makeBundle(directory.path(), "Waiter", "com.example.waiter");
    const auto before = std::chrono::system_clock::now();
    const pid_t child = spawn({executable.string(), "30"}, std::nullopt);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const auto identity = identityOf(child);
    EXPECT_EQ(identity.uid, ::getuid());
    const auto startedAt = std::chrono::microseconds(identity.start);
    const auto sinceEpoch = before.time_since_epoch();
    // The kernel keeps start times in clock ticks: allow their granularity and a boot-time
    // rounding.
    EXPECT_LT(std::chrono::abs(std::chrono::duration_cast<std::chrono::microseconds>(sinceEpoch) -
                               startedAt),
              std::chrono::seconds(2));
    EXPECT_EQ(identityOf(child).start, identity.start);  // stable across reads

    char path[4096];
    const int32_t length = orvix_process_path(child, path, sizeof path);
    ASSERT_GT(length, 0);
    EXPECT_EQ(std::string(path, static_cast<size_t>(length)), executable.string());
    EXPECT_EQ(std::string(path), executable.string());

    // A deleted executable still names its old place.
    std::filesystem::remove(executable);
    ASSERT_GT(orvix_process_path(child, path, sizeof path), 0);
    EXPECT_EQ(std::string(path), executable.string());

    // Too small a buffer is a failure, never a cut-off path.
    EXPECT_LE(orvix_process_path(child, path, 8), 0);

    stop(child);
    uint32_t uid;
    uint64_t start;
    EXPECT_EQ(orvix_process_identity(child, &uid, &start), -1);
    EXPECT_LE(orvix_process_path(child, path, sizeof path), 0);
}

TEST(ProcessPrimitives, RootNeverKills) {
    TemporaryDirectory directory;
    const pid_t child = spawn({"/bin/sleep", "30"}, std::nullopt);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto identity = identityOf(child);
    if (::getuid() == 0) {
        EXPECT_EQ(orvix_kill_if_owned(child, identity.uid, identity.start), 1);
        EXPECT_TRUE(isRunning(child));
    }
    stop(child);
}

TEST(ProcessPrimitives, KillsOnlyTheInspectedProcessOfTheCaller) {
    auto account = TestAccount::ensure();
    if (!account) GTEST_SKIP() << "needs root to create the test account";
    TemporaryDirectory directory;
    std::filesystem::permissions(directory.path(), std::filesystem::perms(0755));
    const auto executable = makeBundle(directory.path(), "Blocked", "com.example.blocked");

    const pid_t own = spawn({executable.string(), "30"}, account);
    const pid_t foreign = spawn({executable.string(), "30"}, std::nullopt);  // root's
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto ownIdentity = identityOf(own);
    const auto foreignIdentity = identityOf(foreign);
    ASSERT_EQ(ownIdentity.uid, account->uid);

    struct Case {
        const char *what;
        int32_t pid;
        uint32_t uid;
        uint64_t start;
        int expected;
    } refused[] = {
        {"another user's process", foreign, foreignIdentity.uid, foreignIdentity.start, 1},
        {"another user's process claimed as ours", foreign, account->uid, foreignIdentity.start, 1},
        {"a start time that differs (a reused pid)", own, account->uid, ownIdentity.start + 1, 1},
        {"an earlier start time", own, account->uid, ownIdentity.start - 1000000, 1},
        {"pid 1", 1, account->uid, identityOf(1).start, 1},
        {"pid 0", 0, account->uid, 0, 1},
    };
    for (const auto &c : refused) {
        EXPECT_EQ(runAs(*account, [&] { return orvix_kill_if_owned(c.pid, c.uid, c.start); }),
                  c.expected)
            << c.what;
    }
    EXPECT_EQ(runAs(*account,
                    [] {
                        uint32_t uid;
                        uint64_t start;
                        if (orvix_process_identity(::getpid(), &uid, &start) != 0) return 99;
                        return orvix_kill_if_owned(::getpid(), uid, start);
                    }),
              1)
        << "itself";
    EXPECT_TRUE(isRunning(own));
    EXPECT_TRUE(isRunning(foreign));

    EXPECT_EQ(runAs(*account,
                    [&] { return orvix_kill_if_owned(own, ownIdentity.uid, ownIdentity.start); }),
              0);
    EXPECT_TRUE(waitForExit(own, 2));
    EXPECT_TRUE(isRunning(foreign));

    // A process that is already gone reports ESRCH, and nothing else is signalled.
    EXPECT_EQ(runAs(*account,
                    [&] { return orvix_kill_if_owned(own, ownIdentity.uid, ownIdentity.start); }),
              ESRCH);
    stop(foreign);
}
