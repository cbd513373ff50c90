#include <gtest/gtest.h>

#include <thread>

#include "AppGroups.hpp"
#include "Guardian.hpp"
#include "TestSupport.hpp"

namespace orvix {
namespace {

namespace fs = std::filesystem;

class FakeClock final : public Clock {
public:
    Instant now() const override { return now_; }
    void set(Instant instant) { now_ = instant; }
    void advance(double seconds) { now_ = now_.advanced(seconds); }

private:
    Instant now_{800'000'000};
};

class FakeWorkspace final : public Workspace {
public:
    struct Request {
        fs::path bundle;
        std::vector<std::string> arguments;
    };

    std::vector<RunningApplication> runningApplications() override { return running; }
    void openApplication(const fs::path &bundle, const std::vector<std::string> &arguments,
                         Completion completion) override {
        requests.push_back({bundle, arguments});
        completions.push_back(std::move(completion));
    }

    std::vector<RunningApplication> running;
    std::vector<Request> requests;
    std::vector<Completion> completions;
};

// Completes a launch from another thread, as the desktop does.
void completeElsewhere(const Workspace::Completion &completion, std::optional<std::string> error) {
    std::thread([&] { completion(error); }).join();
}

std::string settings(bool blockingEnabled) {
    OrvixConfiguration configuration;
    configuration.timeZoneIdentifier = "UTC";
    configuration.blockingEnabled = blockingEnabled;
    return configuration.toJSON();
}

class GuardianTest : public ::testing::Test {
public:
    GuardianTest() {
        root = fs::canonical(directory.path());
        appExecutable = testing::makeBundle(root, "Zorvane", "org.zorvane.app");
        guardianExecutable = appExecutable.parent_path() / "OrvixGuardian";
        fs::copy_file(appExecutable, guardianExecutable);
        settingsURL = root / "support" / "settings.json";
        testing::writeFile(settingsURL, settings(true));
    }

    std::unique_ptr<Guardian> makeGuardian(const fs::path &own) {
        return std::make_unique<Guardian>(own, settingsURL, workspace, clock);
    }

    RunningApplication instance(std::optional<std::string> bundleID, const fs::path &executable,
                                bool terminated = false) {
        RunningApplication application;
        application.pid = 4242;
        application.bundleIdentifier = std::move(bundleID);
        application.executablePath = executable.string();
        application.terminated = terminated;
        return application;
    }

    testing::TemporaryDirectory directory;
    fs::path root;
    fs::path appExecutable;
    fs::path guardianExecutable;
    fs::path settingsURL;
    FakeWorkspace workspace;
    FakeClock clock;
};

TEST_F(GuardianTest, FindsTheBundleThreeLevelsAboveItsOwnResolvedExecutable) {
    fs::create_directories(root / "bin");
    fs::create_symlink(guardianExecutable, root / "bin" / "guardian");
    const auto guardian = makeGuardian(root / "bin" / "guardian");
    EXPECT_EQ(guardian->appURL(), root / "Zorvane.app");
    EXPECT_EQ(guardian->executableURL(), appExecutable);
    EXPECT_EQ(guardian->settingsURL(), settingsURL);
    EXPECT_FALSE(guardian->opening());
}

TEST_F(GuardianTest, RequestsAHiddenSupervisedLaunchWhenNothingRuns) {
    const auto guardian = makeGuardian(guardianExecutable);
    guardian->check();
    ASSERT_EQ(workspace.requests.size(), 1u);
    EXPECT_EQ(workspace.requests[0].bundle, root / "Zorvane.app");
    EXPECT_EQ(workspace.requests[0].arguments, std::vector<std::string>{"--supervised"});
    EXPECT_TRUE(guardian->opening());
    EXPECT_EQ(guardian->lastAttempt(), clock.now());

    completeElsewhere(workspace.completions[0], std::nullopt);
    EXPECT_TRUE(guardian->opening());
    EXPECT_EQ(guardian->performPendingWork(), 1u);
    EXPECT_FALSE(guardian->opening());
}

TEST_F(GuardianTest, DoesNothingWithoutASessionOrAUsableBundle) {
    struct Case {
        const char *label;
        std::function<fs::path(GuardianTest &)> arrange;
    };
    const Case cases[] = {
        {"blocking off",
         [](GuardianTest &test) {
             testing::writeFile(test.settingsURL, settings(false));
             return test.guardianExecutable;
         }},
        {"settings missing",
         [](GuardianTest &test) {
             fs::remove(test.settingsURL);
             return test.guardianExecutable;
         }},
        {"settings corrupt",
         [](GuardianTest &test) {
             testing::writeFile(test.settingsURL, "{\"blockingEnabled\":true");
             return test.guardianExecutable;
         }},
        {"settings a directory",
         [](GuardianTest &test) {
             fs::remove(test.settingsURL);
             fs::create_directory(test.settingsURL);
             return test.guardianExecutable;
         }},
        {"application executable missing",
         [](GuardianTest &test) {
             fs::remove(test.appExecutable);
             return test.guardianExecutable;
         }},
        {"application executable not executable",
         [](GuardianTest &test) {
             fs::permissions(test.appExecutable, fs::perms(0644));
             return test.guardianExecutable;
         }},
        {"bundle named .App",
         [](GuardianTest &test) {
             fs::rename(test.root / "Zorvane.app", test.root / "Zorvane.App");
             return test.root / "Zorvane.App" / "Contents" / "MacOS" / "OrvixGuardian";
         }},
        {"not inside a bundle",
         [](GuardianTest &test) {
             fs::create_directories(test.root / "a" / "b" / "Contents" / "MacOS");
             fs::copy_file(test.appExecutable,
                           test.root / "a" / "b" / "Contents" / "MacOS" / "Zorvane");
             return test.root / "a" / "b" / "Contents" / "MacOS" / "OrvixGuardian";
         }},
        {"path too short", [](GuardianTest &) { return fs::path("/OrvixGuardian"); }},
    };
    for (const auto &c : cases) {
        GuardianTest &test = *this;
        testing::writeFile(settingsURL, settings(true));
        const auto guardian = makeGuardian(c.arrange(test));
        guardian->check();
        EXPECT_TRUE(workspace.requests.empty()) << c.label;
        EXPECT_FALSE(guardian->opening()) << c.label;
        workspace.requests.clear();
        // Put the fixture back for the next case.
        if (fs::exists(root / "Zorvane.App"))
            fs::rename(root / "Zorvane.App", root / "Zorvane.app");
        if (fs::is_directory(settingsURL)) fs::remove(settingsURL);
        if (!fs::exists(appExecutable)) testing::makeBundle(root, "Zorvane", "org.zorvane.app");
        fs::permissions(appExecutable, fs::perms(0755));
    }
}

TEST_F(GuardianTest, RunningInstancesPreventALaunchUnlessTheyEnded) {
    const fs::path copyDirectory = root / "Copy.app" / "Contents" / "MacOS";
    fs::create_directories(copyDirectory);
    fs::create_symlink(appExecutable, copyDirectory / "Copy");
    const fs::path other = testing::makeBundle(root, "Other", "com.example.other");

    struct Case {
        const char *label;
        RunningApplication application;
        bool launches;
    };
    const Case cases[] = {
        {"the application", instance("org.zorvane.app", appExecutable), false},
        {"its bundle ID from elsewhere", instance("org.zorvane.app", other), false},
        {"a linked copy under another bundle ID",
         instance("com.example.copy", copyDirectory / "Copy"), false},
        {"a terminated application", instance("org.zorvane.app", appExecutable, true), true},
        {"a terminated linked copy", instance("com.example.copy", copyDirectory / "Copy", true),
         true},
        {"another application", instance("com.example.other", other), true},
        // A second guardian in the same bundle carries the bundle's identifier too.
        {"another guardian", instance("org.zorvane.app", guardianExecutable), true},
    };
    for (const auto &c : cases) {
        workspace.requests.clear();
        workspace.running = {instance("com.example.unrelated", other), c.application};
        const auto guardian = makeGuardian(guardianExecutable);
        guardian->check();
        EXPECT_EQ(workspace.requests.size(), c.launches ? 1u : 0u) << c.label;
    }
}

TEST_F(GuardianTest, FailedLaunchIsRetriedNoSoonerThanTenSecondsLater) {
    const auto guardian = makeGuardian(guardianExecutable);
    guardian->check();
    ASSERT_EQ(workspace.requests.size(), 1u);
    completeElsewhere(workspace.completions[0], "No such file or directory");
    guardian->performPendingWork();
    ASSERT_FALSE(guardian->opening());

    for (int step = 1; step <= 3; step++) {
        clock.advance(Guardian::checkInterval);
        guardian->check();
        EXPECT_EQ(workspace.requests.size(), 1u) << "check " << step;
    }
    clock.advance(Guardian::checkInterval);
    guardian->check();
    EXPECT_EQ(workspace.requests.size(), 2u);
}

TEST_F(GuardianTest, SpacingHoldsAfterASuccessfulLaunchAsWell) {
    const auto guardian = makeGuardian(guardianExecutable);
    guardian->check();
    completeElsewhere(workspace.completions[0], std::nullopt);
    guardian->performPendingWork();

    clock.advance(9.99);
    guardian->check();
    EXPECT_EQ(workspace.requests.size(), 1u);
    clock.advance(0.01);
    guardian->check();
    EXPECT_EQ(workspace.requests.size(), 2u);
}

TEST_F(GuardianTest, NoSecondLaunchWhileOneIsOutstanding) {
    const auto guardian = makeGuardian(guardianExecutable);
    guardian->check();
    for (double later : {3.0, 60.0, 86'400.0}) {
        clock.advance(later);
        guardian->check();
        EXPECT_EQ(workspace.requests.size(), 1u) << later;
        EXPECT_TRUE(guardian->opening());
    }
    EXPECT_EQ(guardian->performPendingWork(), 0u);

    completeElsewhere(workspace.completions[0], std::nullopt);
    EXPECT_EQ(guardian->performPendingWork(), 1u);
    guardian->check();
    EXPECT_EQ(workspace.requests.size(), 2u);
}

TEST_F(GuardianTest, ClockSetBackBeforeTheLastAttemptDoesNotHoldLaunchesOff) {
    const auto guardian = makeGuardian(guardianExecutable);
    guardian->check();
    completeElsewhere(workspace.completions[0], "refused");
    guardian->performPendingWork();

    clock.advance(-86'400);
    guardian->check();
    EXPECT_EQ(workspace.requests.size(), 2u);
}

TEST_F(GuardianTest, CompletionAfterTheGuardianIsGoneIsHarmless) {
    auto guardian = makeGuardian(guardianExecutable);
    guardian->check();
    ASSERT_EQ(workspace.completions.size(), 1u);
    guardian.reset();
    // Under the sanitizers a completion that reached the destroyed guardian would be caught.
    completeElsewhere(workspace.completions[0], "late");
    const auto next = makeGuardian(guardianExecutable);
    EXPECT_EQ(next->performPendingWork(), 0u);
    EXPECT_FALSE(next->opening());
}

}  // namespace
}  // namespace orvix
