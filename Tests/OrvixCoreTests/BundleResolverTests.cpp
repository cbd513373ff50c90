#include <gtest/gtest.h>

#include "BundleResolver.hpp"
#include "TestSupport.hpp"

namespace orvix {
namespace {

namespace fs = std::filesystem;

std::string plist(const std::string &entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + entries +
           "</dict></plist>\n";
}

TEST(BundleResolver, NameAndExecutableFallBackInTheDesktopsOrder) {
    struct Case {
        const char *label;
        std::string info;
        std::optional<std::string> identifier;
        std::string name;
        std::string executable;
    };
    const Case cases[] = {
        {"display name first",
         plist("<key>CFBundleIdentifier</key><string>com.example.a</string>"
               "<key>CFBundleDisplayName</key><string>Shown</string>"
               "<key>CFBundleName</key><string>Short</string>"
               "<key>CFBundleExecutable</key><string>run</string>"),
         "com.example.a", "Shown", "run"},
        {"bundle name next",
         plist("<key>CFBundleIdentifier</key><string>com.example.a</string>"
               "<key>CFBundleName</key><string>Short</string>"),
         "com.example.a", "Short", "Sample"},
        {"file name last", plist("<key>CFBundleDisplayName</key><string></string>"), std::nullopt,
         "Sample", "Sample"},
        {"values of the wrong type",
         plist("<key>CFBundleIdentifier</key><integer>7</integer>"
               "<key>CFBundleName</key><true/><key>CFBundleExecutable</key><array/>"),
         std::nullopt, "Sample", "Sample"},
    };
    for (const auto &c : cases) {
        testing::TemporaryDirectory root;
        const fs::path bundle = root.path() / "Sample.app";
        testing::writeFile(bundle / "Contents" / "Info.plist", c.info);
        const auto info = BundleResolver::info(bundle);
        ASSERT_TRUE(info) << c.label;
        EXPECT_EQ(info->identifier, c.identifier) << c.label;
        EXPECT_EQ(info->name, c.name) << c.label;
        EXPECT_EQ(info->executableName, c.executable) << c.label;
    }
}

TEST(BundleResolver, UnreadableInfoMakesNoInfoButStillAnApplication) {
    testing::TemporaryDirectory root;
    const fs::path bundle = root.path() / "Broken.APP";
    testing::writeFile(bundle / "Contents" / "Info.plist", "not a property list");
    testing::writeFile(bundle / "Contents" / "MacOS" / "Broken", "");
    EXPECT_FALSE(BundleResolver::info(bundle));
    EXPECT_FALSE(BundleResolver::info(root.path() / "Missing.app"));

    BundleResolver resolver;
    const auto &resolution = resolver.resolve((bundle / "Contents" / "MacOS" / "Broken").string());
    EXPECT_TRUE(resolution.bundleIDs.empty());
    ASSERT_TRUE(resolution.application);
    EXPECT_EQ(resolution.application->url, bundle);
    EXPECT_EQ(resolution.application->info.name, "Broken");
    EXPECT_FALSE(resolution.application->info.identifier);

    EXPECT_FALSE(resolver.resolve((root.path() / "bin" / "tool").string()).application);
}

}  // namespace
}  // namespace orvix
