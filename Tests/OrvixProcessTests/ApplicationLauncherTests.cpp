#include <gtest/gtest.h>

#include <system_error>

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

}  // namespace
}  // namespace orvix
