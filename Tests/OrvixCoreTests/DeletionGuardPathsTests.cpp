#include <gtest/gtest.h>

#include "DeletionGuardPaths.hpp"
#include "TestSupport.hpp"

namespace orvix {
namespace {

namespace fs = std::filesystem;
using testing::TemporaryDirectory;
using testing::writeFile;

class DeletionGuardPathsTest : public ::testing::Test {
protected:
    void SetUp() override {
        base = DeletionGuardPaths::canonicalURL(temporary.path());
        bundle = base / "Applications" / "Zorvane.app";
        writeFile(bundle / "Contents" / "MacOS" / "Zorvane", "binary");
        writeFile(base / "Applications" / "Zorvane.app.old" / "Contents" / "Info.plist", "old");
    }

    TemporaryDirectory temporary;
    fs::path base;
    fs::path bundle;
};

TEST_F(DeletionGuardPathsTest, CanonicalURLResolvesLinksAndDots) {
    fs::create_directory_symlink(bundle / "Contents", base / "link");
    EXPECT_EQ(DeletionGuardPaths::canonicalURL(base / "link" / "MacOS" / ".." / "MacOS" / "." /
                                               "Zorvane"),
              bundle / "Contents" / "MacOS" / "Zorvane");
}

TEST_F(DeletionGuardPathsTest, CanonicalURLOfAMissingItemCarriesThePathAndErrno) {
    auto missing = bundle / "Contents" / "Missing";
    try {
        DeletionGuardPaths::canonicalURL(missing);
        FAIL() << "a missing item was resolved";
    } catch (const fs::filesystem_error &error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
        EXPECT_EQ(error.path1(), missing);
    }
}

TEST_F(DeletionGuardPathsTest, APathWithoutFileLocationIsOutsideTheBundle) {
    for (const fs::path &url : {fs::path("Contents/MacOS"), fs::path("")}) {
        try {
            DeletionGuardPaths::canonicalURL(url);
            FAIL() << url << " was resolved";
        } catch (const PathError &error) {
            EXPECT_EQ(error.code(), PathError::Code::outsideBundle);
            EXPECT_STREQ(error.what(),
                         "A file-lock path is outside this app bundle. No flags were "
                         "changed on that path.");
        }
    }
}

TEST_F(DeletionGuardPathsTest, RelativePathInsideTheBundle) {
    EXPECT_EQ(DeletionGuardPaths::relativePath(bundle, bundle), "");
    EXPECT_EQ(DeletionGuardPaths::relativePath(bundle / "Contents" / "MacOS", bundle),
              "Contents/MacOS");
    EXPECT_EQ(DeletionGuardPaths::relativePath(bundle / "Contents" / "MacOS" / "Zorvane", bundle),
              "Contents/MacOS/Zorvane");
}

TEST_F(DeletionGuardPathsTest, BothSidesAreCanonicalisedBeforeTheyAreCompared) {
    fs::create_directory_symlink(bundle / "Contents", base / "outside-link");
    EXPECT_EQ(DeletionGuardPaths::relativePath(base / "outside-link" / "MacOS", bundle),
              "Contents/MacOS");
    fs::create_directory_symlink(bundle, base / "bundle-link");
    EXPECT_EQ(DeletionGuardPaths::relativePath(bundle / "Contents", base / "bundle-link"),
              "Contents");
}

TEST_F(DeletionGuardPathsTest, ItemsOutsideTheBundleAreRefused) {
    fs::create_directory_symlink(base / "Applications" / "Zorvane.app.old",
                                 bundle / "Contents" / "Old");
    const fs::path outside[] = {
        base / "Applications" / "Zorvane.app.old" / "Contents" / "Info.plist",
        base / "Applications",
        bundle / "..",
        bundle / "Contents" / "Old",
    };
    for (const auto &item : outside)
        EXPECT_THROW(DeletionGuardPaths::relativePath(item, bundle), PathError) << item;
}

TEST_F(DeletionGuardPathsTest, AMissingItemOrRootIsPassedOnAsTheSystemError) {
    EXPECT_THROW(DeletionGuardPaths::relativePath(bundle / "Missing", bundle),
                 fs::filesystem_error);
    EXPECT_THROW(DeletionGuardPaths::relativePath(bundle, base / "Missing.app"),
                 fs::filesystem_error);
}

}  // namespace
}  // namespace orvix
