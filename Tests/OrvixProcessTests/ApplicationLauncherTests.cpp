#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "ApplicationLauncher.hpp"
#include "TestSupport.hpp"

namespace orvix {
namespace {

namespace fs = std::filesystem;

void writeInfo(const fs::path &bundle, const std::string &executable) {
    testing::writeFile(bundle / "Contents" / "Info.plist",
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                       "<key>CFBundleExecutable</key><string>" +
                           executable + "</string></dict></plist>\n");
}

int launchError(const fs::path &bundle) {
    try {
        ApplicationLauncher::openHidden(bundle, {"--supervised"});
    } catch (const std::system_error &error) {
        return error.code().value();
    }
    return 0;
}

TEST(ApplicationLauncher, RefusesExecutableNamesThatLeaveTheBundle) {
    testing::TemporaryDirectory root;
    const fs::path bundle = root.path() / "Sample.app";
    struct Case {
        std::string name;
        int error;
    };
    const Case cases[] = {
        {"../../../../bin/true", ENOEXEC},
        {"MacOS/Sample", ENOEXEC},
        {"..", ENOEXEC},
        {".", ENOEXEC},
        {"Missing", ENOENT},
    };
    for (const auto &c : cases) {
        writeInfo(bundle, c.name);
        EXPECT_EQ(launchError(bundle), c.error) << c.name;
    }
    EXPECT_EQ(ApplicationLauncher::executable(bundle), bundle / "Contents" / "MacOS" / "Missing");
}

TEST(ApplicationLauncher, ReportsWhyTheProgramDidNotStart) {
    testing::TemporaryDirectory root;
    const fs::path bundle = root.path() / "Sample.app";
    EXPECT_EQ(launchError(bundle), ENOEXEC) << "no Info.plist";

    writeInfo(bundle, "Sample");
    testing::writeFile(bundle / "Contents" / "MacOS" / "Sample", "#!/bin/sh\nexit 0\n");
    fs::permissions(bundle / "Contents" / "MacOS" / "Sample", fs::perms(0644));
    EXPECT_EQ(launchError(bundle), EACCES) << "not executable";

    fs::permissions(bundle / "Contents" / "MacOS" / "Sample", fs::perms(0755));
    EXPECT_EQ(launchError(bundle), 0);
}

TEST(ApplicationLauncher, StartsTheProgramDetachedWithExactlyTheGivenArguments) {
    testing::TemporaryDirectory root;
    const fs::path bundle = root.path() / "Sample.app";
    const fs::path report = root.path() / "report.txt";
    writeInfo(bundle, "Sample");
    // A descriptor a careless launch would hand on.
    const int open = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(open, 3);
    const std::string descriptor = "/proc/$$/fd/" + std::to_string(open);

    const fs::path program = bundle / "Contents" / "MacOS" / "Sample";
    // Writes to a temporary name first, so the test never reads a half-written report.
    testing::writeFile(program,
                       "#!/bin/sh\n"
                       "{ printf '%s|' \"$#\" \"$1\" \"$PWD\" \"${DESKTOP_AUTOSTART_ID-unset}\" "
                       "\"$ZORVANE_KEPT\"; if [ -e " +
                           descriptor + " ]; then echo leaked; else echo closed; fi; } > " +
                           report.string() + ".part && mv " + report.string() + ".part " +
                           report.string() + "\n");
    fs::permissions(program, fs::perms(0755));

    ::setenv("DESKTOP_AUTOSTART_ID", "guardian-start-id", 1);
    ::setenv("ZORVANE_KEPT", "kept", 1);
    ApplicationLauncher::openHidden(bundle, {"--supervised"});
    ::unsetenv("DESKTOP_AUTOSTART_ID");
    ::unsetenv("ZORVANE_KEPT");
    ::close(open);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fs::exists(report) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(fs::exists(report));
    // One argument, started in "/", the start-up id gone, the rest of the environment kept,
    // and none of our descriptors.
    EXPECT_EQ(testing::readFile(report), "1|--supervised|/|unset|kept|closed\n");
}

}  // namespace
}  // namespace orvix
