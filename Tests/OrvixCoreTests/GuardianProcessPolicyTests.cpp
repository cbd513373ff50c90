#include <gtest/gtest.h>

#include "GuardianProcessPolicy.hpp"
#include "TestSupport.hpp"

namespace orvix {
namespace {

using GuardianProcessPolicy::isZorvane;
namespace fs = std::filesystem;

TEST(GuardianProcessPolicy, RecognisesTheApplicationByBundleIDOrByItsExecutable) {
    testing::TemporaryDirectory root;
    const fs::path target = testing::makeBundle(root.path(), "Zorvane", "org.zorvane.app");
    const fs::path other = testing::makeBundle(root.path(), "Other", "com.example.other");
    // A copy of the application that points at the watched executable through a link.
    const fs::path linkedBundle = root.path() / "Copy.app" / "Contents" / "MacOS";
    fs::create_directories(linkedBundle);
    fs::create_symlink(target, linkedBundle / "Copy");
    fs::create_directory_symlink(root.path(), root.path() / "alias");
    const fs::path dotted =
        root.path() / "Other.app" / ".." / "Zorvane.app" / "Contents" / "MacOS" / "." / "Zorvane";

    struct Case {
        const char *label;
        std::optional<std::string> bundleID;
        std::optional<fs::path> executable;
        bool terminated;
        bool expected;
    };
    const Case cases[] = {
        {"the bundle ID alone", "org.zorvane.app", std::nullopt, false, true},
        {"the bundle ID of a terminated instance", "org.zorvane.app", target, true, false},
        {"the bundle ID in another case", "ORG.ZORVANE.APP", other, false, false},
        {"the same executable", std::nullopt, target, false, true},
        {"another bundle ID, linked executable", "com.example.copy", linkedBundle / "Copy", false,
         true},
        {"a linked executable, terminated", "com.example.copy", linkedBundle / "Copy", true, false},
        {"through a linked directory", std::nullopt,
         root.path() / "alias" / "Zorvane.app" / "Contents" / "MacOS" / "Zorvane", false, true},
        {"with . and .. components", std::nullopt, dotted, false, true},
        {"another application", "com.example.other", other, false, false},
        {"no bundle ID and no executable", std::nullopt, std::nullopt, false, false},
        {"a relative path", std::nullopt, fs::path("Zorvane.app/Contents/MacOS/Zorvane"), false,
         false},
        {"an empty path", std::nullopt, fs::path(), false, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(isZorvane(c.bundleID, c.executable, target, c.terminated), c.expected) << c.label;
}

TEST(GuardianProcessPolicy, ComparesPathsThatNoLongerExistAsWritten) {
    const fs::path gone = "/nonexistent-zorvane/Zorvane.app/Contents/MacOS/Zorvane";
    EXPECT_TRUE(isZorvane(std::nullopt, gone, gone, false));
    EXPECT_TRUE(isZorvane(
        std::nullopt, "/nonexistent-zorvane/x/../Zorvane.app/Contents/MacOS/Zorvane", gone, false));
    EXPECT_FALSE(isZorvane(std::nullopt, "/nonexistent-zorvane/Zorvane.app/Contents/MacOS/Other",
                           gone, false));
}

}  // namespace
}  // namespace orvix
