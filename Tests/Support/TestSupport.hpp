#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orvix::testing {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const std::string &prefix = "zorvane-test");
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory &) = delete;
    TemporaryDirectory &operator=(const TemporaryDirectory &) = delete;

    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path &path, const std::string &bytes);
std::string readFile(const std::filesystem::path &path);

// An ordinary account (uid above 500) that tests running as root create and use to start
// processes and services the way the installed user would.
struct TestAccount {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::filesystem::path home;

    // The account, created when missing; none when the tests do not run as root.
    static std::optional<TestAccount> ensure(const std::string &name = "zorvane-test");
};

// Runs `body` in a forked child that has become `account` (groups dropped) and returns what
// it returned (0 … 255); 250 and above mean the child could not switch or crashed.
int runAs(const TestAccount &account, const std::function<int()> &body);

// Recursively hands `path` to the account.
void chownTree(const std::filesystem::path &path, uid_t uid, gid_t gid);

// Starts `arguments` (the first is the program) in a new process; with an account, as that
// account (groups dropped). Standard output and error go to /dev/null unless `logFile` is set.
pid_t spawn(const std::vector<std::string> &arguments, const std::optional<TestAccount> &account,
            const std::optional<std::filesystem::path> &logFile = std::nullopt);

// Brings up the loopback interface of the current network namespace (a new namespace starts
// with it down); false when that fails.
bool bringUpLoopback();

// True when `pid` has not ended (a zombie counts as ended).
bool isRunning(pid_t pid);
// Polls until `pid` has ended or the timeout passes; reaps it when it is our child.
bool waitForExit(pid_t pid, double timeoutSeconds);
// Kills and reaps a child, if it still runs.
void stop(pid_t pid);

// Writes an application bundle "<directory>/<name>.app" with an Info.plist carrying
// `bundleID` (XML, or binary when `binaryPlist`) and a copy of /bin/sleep as its executable.
// Returns the executable's path.
std::filesystem::path makeBundle(const std::filesystem::path &directory, const std::string &name,
                                 const std::string &bundleID, bool binaryPlist = false);

}  // namespace orvix::testing
