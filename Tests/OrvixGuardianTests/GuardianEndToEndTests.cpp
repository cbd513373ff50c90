// The guardian executable against real processes: it runs as the test account from a
// demonstration bundle whose application executable records how it was started.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <signal.h>
#include <sys/prctl.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "AppGroups.hpp"
#include "Locations.hpp"
#include "TestSupport.hpp"

namespace orvix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Launch {
    pid_t pid = 0;
    std::vector<std::string> arguments;
};

void writeInfo(const fs::path &bundle, const std::string &bundleID, const std::string &executable) {
    plist_t info = plist_new_dict();
    plist_dict_set_item(info, "CFBundleIdentifier", plist_new_string(bundleID.c_str()));
    plist_dict_set_item(info, "CFBundleExecutable", plist_new_string(executable.c_str()));
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_xml(info, &bytes, &length);
    testing::writeFile(bundle / "Contents" / "Info.plist", std::string(bytes, length));
    std::free(bytes);
    plist_free(info);
}

struct Lineage {
    long parent = 0;
    long session = 0;
};

// Fields 4 and 6 of /proc/<pid>/stat.
Lineage lineageOf(pid_t pid) {
    std::string line = testing::readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string state;
    long group = 0;
    Lineage lineage;
    fields >> state >> lineage.parent >> group >> lineage.session;
    return lineage;
}

uid_t ownerOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Uid:", 0) == 0) return static_cast<uid_t>(std::stoul(line.substr(4)));
    return static_cast<uid_t>(-1);
}

class GuardianEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        // An account of its own: the guardian reads the settings in the account's home, and
        // other suites writing there at the same time must not decide what it does.
        account = testing::TestAccount::ensure("zorvane-guardian");
        if (!account) GTEST_SKIP() << "needs root to run the guardian as the test account";
        // Detached instances are then reparented to this process, which reaps them.
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        supportDirectory = account->home / Locations::userSupportDirectory;
        settingsURL = supportDirectory / Locations::settingsFile;
        hadSettings = fs::exists(settingsURL);
        if (hadSettings) savedSettings = testing::readFile(settingsURL);
    }

    void TearDown() override {
        if (!account) return;
        for (pid_t pid : children) testing::stop(pid);
        // The relaunched instances are detached from us; they are ended by the pid they recorded.
        for (const auto &bundle : bundles)
            for (const auto &launch : launches(bundle)) stopDetached(launch.pid);
        if (hadSettings)
            testing::writeFile(settingsURL, savedSettings);
        else
            fs::remove(settingsURL);
    }

    // A demonstration application bundle owned by the account, with the recorder as its
    // executable and a copy of the guardian beside it.
    fs::path makeApplication(const std::string &bundleName = "Zorvane.app") {
        const fs::path bundle = root.path() / bundleName;
        fs::create_directories(bundle / "Contents" / "MacOS");
        fs::create_directories(bundle / "Contents" / "Resources");
        writeInfo(bundle, "org.zorvane.app", "Zorvane");
        fs::copy_file(ORVIX_ARGUMENT_RECORDER, bundle / "Contents" / "MacOS" / "Zorvane");
        fs::copy_file(ORVIX_GUARDIAN_EXECUTABLE, bundle / "Contents" / "MacOS" / "OrvixGuardian");
        testing::chownTree(root.path(), account->uid, account->gid);
        bundles.push_back(bundle);
        return bundle;
    }

    void writeSettings(bool blockingEnabled) {
        OrvixConfiguration configuration;
        configuration.timeZoneIdentifier = "UTC";
        configuration.blockingEnabled = blockingEnabled;
        testing::writeFile(settingsURL, configuration.toJSON());
        testing::chownTree(account->home / "Library", account->uid, account->gid);
    }

    pid_t startAsAccount(const std::vector<std::string> &arguments) {
        const pid_t pid = testing::spawn(arguments, account);
        children.push_back(pid);
        return pid;
    }

    pid_t startGuardian(const fs::path &bundle) {
        return startAsAccount({(bundle / "Contents" / "MacOS" / "OrvixGuardian").string()});
    }

    static std::vector<Launch> launches(const fs::path &bundle) {
        std::vector<Launch> result;
        std::ifstream file(bundle / "Contents" / "Resources" / "launches.txt");
        for (std::string line; std::getline(file, line);) {
            std::istringstream fields(line);
            Launch launch;
            std::string field;
            std::getline(fields, field, '\t');
            launch.pid = static_cast<pid_t>(std::stol(field));
            while (std::getline(fields, field, '\t')) launch.arguments.push_back(field);
            result.push_back(launch);
        }
        return result;
    }

    static std::vector<Launch> supervisedLaunches(const fs::path &bundle) {
        std::vector<Launch> result;
        for (const auto &launch : launches(bundle))
            if (launch.arguments != std::vector<std::string>{"--manual"}) result.push_back(launch);
        return result;
    }

    static std::optional<Launch> waitForSupervisedLaunch(const fs::path &bundle,
                                                         std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            auto found = supervisedLaunches(bundle);
            if (!found.empty()) return found.front();
            std::this_thread::sleep_for(50ms);
        }
        return std::nullopt;
    }

    // Waits until a manually started instance has written its line, so it is surely running.
    void waitForManualStart(const fs::path &bundle, std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (launches(bundle).size() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        ASSERT_GE(launches(bundle).size(), count);
    }

    static void stopDetached(pid_t pid) {
        if (pid > 1 && testing::isRunning(pid)) {
            ::kill(pid, SIGKILL);
            testing::waitForExit(pid, 5);
        }
    }

    std::optional<testing::TestAccount> account;
    testing::TemporaryDirectory root{"zorvane-guardian"};
    fs::path supportDirectory;
    fs::path settingsURL;
    bool hadSettings = false;
    std::string savedSettings;
    std::vector<pid_t> children;
    std::vector<fs::path> bundles;
};

// Two checks (at start and three seconds later) plus a margin: how long nothing must happen.
constexpr auto twoChecks = 4500ms;
// How long a launch may take: the next check plus a generous margin for a loaded machine.
constexpr auto soon = 7000ms;

TEST_F(GuardianEndToEnd, ReopensTheApplicationSupervisedSoonAfterItIsGone) {
    const fs::path bundle = makeApplication();
    writeSettings(true);
    const pid_t manual = startAsAccount({(bundle / "Contents/MacOS/Zorvane").string(), "--manual"});
    waitForManualStart(bundle, 1);
    const pid_t guardian = startGuardian(bundle);

    EXPECT_FALSE(waitForSupervisedLaunch(bundle, twoChecks)) << "launched while the app ran";
    ASSERT_TRUE(testing::isRunning(guardian));

    testing::stop(manual);
    const auto launch = waitForSupervisedLaunch(bundle, soon);
    ASSERT_TRUE(launch) << "not reopened within two checks";
    EXPECT_EQ(launch->arguments, std::vector<std::string>{"--supervised"});
    ASSERT_TRUE(testing::isRunning(launch->pid));
    EXPECT_EQ(ownerOf(launch->pid), account->uid);
    // Detached: neither the guardian's child nor in its session.
    EXPECT_NE(lineageOf(launch->pid).parent, guardian);
    EXPECT_NE(lineageOf(launch->pid).session, lineageOf(guardian).session);
}

TEST_F(GuardianEndToEnd, NeverLaunchesWhileBlockingIsOff) {
    const fs::path bundle = makeApplication();
    writeSettings(false);
    const pid_t guardian = startGuardian(bundle);

    EXPECT_FALSE(waitForSupervisedLaunch(bundle, twoChecks));
    ASSERT_TRUE(testing::isRunning(guardian));

    // The same guardian acts as soon as a session is on, so it was watching all along.
    writeSettings(true);
    EXPECT_TRUE(waitForSupervisedLaunch(bundle, soon));
}

TEST_F(GuardianEndToEnd, ACopyStartedThroughALinkUnderAnotherBundleIDCountsAsRunning) {
    const fs::path bundle = makeApplication();
    const fs::path copy = root.path() / "Copy.app";
    fs::create_directories(copy / "Contents" / "MacOS");
    writeInfo(copy, "com.example.copy", "Copy");
    fs::create_symlink(bundle / "Contents" / "MacOS" / "Zorvane",
                       copy / "Contents" / "MacOS" / "Copy");
    testing::chownTree(root.path(), account->uid, account->gid);
    writeSettings(true);

    const pid_t linked = startAsAccount({(copy / "Contents/MacOS/Copy").string(), "--manual"});
    waitForManualStart(bundle, 1);
    const pid_t guardian = startGuardian(bundle);
    EXPECT_FALSE(waitForSupervisedLaunch(bundle, twoChecks));
    ASSERT_TRUE(testing::isRunning(guardian));

    testing::stop(linked);
    EXPECT_TRUE(waitForSupervisedLaunch(bundle, soon));
}

TEST_F(GuardianEndToEnd, DoesNothingFromABundleNamedWithUpperCaseApp) {
    const fs::path bundle = makeApplication("Zorvane.App");
    writeSettings(true);
    const pid_t guardian = startGuardian(bundle);

    EXPECT_FALSE(waitForSupervisedLaunch(bundle, twoChecks));
    EXPECT_TRUE(testing::isRunning(guardian));
}

}  // namespace
}  // namespace orvix
