#include <gtest/gtest.h>

#include <set>
#include <string>

#include "BundleResolver.hpp"
#include "TestSupport.hpp"

using namespace orvix;
using namespace orvix::testing;

namespace {

void writeInfo(const std::filesystem::path &bundle, const std::string &plist) {
    writeFile(bundle / "Contents" / "Info.plist", plist);
}

std::string xmlPlist(const std::string &body) {
    return R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)" + body +
           "</dict></plist>";
}

using IDs = std::set<std::string>;

}  // namespace

TEST(BundleResolver, FindsEveryEnclosingApplicationBundle) {
    TemporaryDirectory directory;
    const auto outer = makeBundle(directory.path(), "Outer", "com.example.Outer");
    const auto nestedParent = directory.path() / "Outer.app" / "Contents" / "Library";
    const auto helper = makeBundle(nestedParent, "Helper", "com.example.helper", /*binary=*/true);
    const auto upper = makeBundle(directory.path(), "Shout", "com.example.shout");
    std::filesystem::rename(directory.path() / "Shout.app", directory.path() / "Shout.APP");

    BundleResolver resolver;
    EXPECT_EQ(resolver.bundleIDs(outer.string()), IDs{"com.example.Outer"});
    EXPECT_EQ(resolver.bundleIDs(helper.string()),
              (IDs{"com.example.Outer", "com.example.helper"}));
    EXPECT_EQ(resolver.bundleIDs((directory.path() / "Shout.APP/Contents/MacOS/Shout").string()),
              IDs{"com.example.shout"});
    EXPECT_EQ(resolver.bundleIDs("/usr/bin/sleep"), IDs{});
    EXPECT_EQ(resolver.bundleIDs("relative/Thing.app/Contents/MacOS/x"), IDs{});
    (void)upper;
}

TEST(BundleResolver, IgnoresBundlesWithoutAUsableIdentifier) {
    TemporaryDirectory directory;
    struct Case {
        const char *name;
        std::optional<std::string> info;
    } cases[] = {
        {"NoPlist", std::nullopt},
        {"Garbage", std::string("\x00\x01not a plist", 13)},
        {"TruncatedBinary", std::string("bplist00\xd1\x01\x02", 11)},
        {"NumberID", xmlPlist("<key>CFBundleIdentifier</key><integer>7</integer>")},
        {"NoID", xmlPlist("<key>CFBundleName</key><string>x</string>")},
        {"ArrayRoot",
         R"(<?xml version="1.0"?><plist version="1.0"><array><string>com.x</string></array></plist>)"},
        {"Huge",
         xmlPlist("<key>CFBundleIdentifier</key><string>com.huge</string><key>Pad</key><string>" +
                  std::string(1024 * 1024, 'x') + "</string>")},
    };
    BundleResolver resolver;
    for (const auto &c : cases) {
        const auto bundle = directory.path() / (std::string(c.name) + ".app");
        std::filesystem::create_directories(bundle / "Contents" / "MacOS");
        if (c.info) writeInfo(bundle, *c.info);
        EXPECT_EQ(resolver.bundleIDs((bundle / "Contents/MacOS/run").string()), IDs{}) << c.name;
    }
    // ".app" alone is a hidden name, not an application bundle.
    const auto hidden = directory.path() / ".app";
    writeInfo(hidden, xmlPlist("<key>CFBundleIdentifier</key><string>com.hidden</string>"));
    EXPECT_EQ(resolver.bundleIDs((hidden / "Contents/MacOS/run").string()), IDs{});
    // The identifier is taken exactly as written.
    const auto exact = directory.path() / "Exact.app";
    writeInfo(exact, xmlPlist("<key>CFBundleIdentifier</key><string> Com.Example </string>"));
    EXPECT_EQ(resolver.bundleIDs((exact / "Contents/MacOS/run").string()), IDs{" Com.Example "});
}

TEST(BundleResolver, CachesPerPathAndEmptiesTheCacheWhenItOutgrowsItsLimit) {
    TemporaryDirectory directory;
    const auto executable = makeBundle(directory.path(), "App", "com.example.first");
    BundleResolver resolver;
    EXPECT_EQ(resolver.bundleIDs(executable.string()), IDs{"com.example.first"});
    // A changed Info.plist is not seen while the path is cached.
    writeInfo(directory.path() / "App.app",
              xmlPlist("<key>CFBundleIdentifier</key><string>com.example.second</string>"));
    EXPECT_EQ(resolver.bundleIDs(executable.string()), IDs{"com.example.first"});

    for (std::size_t index = 1; index <= BundleResolver::cacheLimit; index++)
        resolver.bundleIDs("/nowhere/" + std::to_string(index));
    EXPECT_EQ(resolver.cacheSize(), BundleResolver::cacheLimit + 1);
    resolver.bundleIDs("/nowhere/one-more");
    EXPECT_EQ(resolver.cacheSize(), 1u);
    EXPECT_EQ(resolver.bundleIDs(executable.string()), IDs{"com.example.second"});
}
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
