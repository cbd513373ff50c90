#include <gtest/gtest.h>

#include <system_error>

#include "DeletionGuardRecord.hpp"

namespace orvix {
namespace {

struct SafetyCase {
    std::string path;
    bool safe;
};

TEST(DeletionGuardRecord, SafeRelativePathsCannotLeaveTheBundle) {
    const SafetyCase cases[] = {
        {"", true},
        {"Contents", true},
        {"Contents/MacOS/Zorvane", true},
        {".hidden", true},
        {"..data", true},
        {"Contents/a..b", true},
        {".", false},
        {"..", false},
        {"Contents/./MacOS", false},
        {"Contents/../..", false},
        {"Contents/..", false},
        {"/Contents", false},
        {"/", false},
        {"Contents//MacOS", false},
        {"Contents/", false},
        {"Contents\\MacOS", false},
        {std::string("Contents\0/x", 11), false},
        {std::string("\0", 1), false},
    };
    for (const auto &check : cases)
        EXPECT_EQ(DeletionGuardRecord::isSafeRelativePath(check.path), check.safe)
            << "path \"" << check.path << "\"";
}

TEST(DeletionGuardRecord, WritesCompactJSONWithTheBundlePathFirst) {
    DeletionGuardRecord record{
        "/Applications/Zorvane.app",
        {"", "Contents", "Contents/Info.plist", "Contents/MacOS", "Contents/MacOS/Zorvane"}};
    EXPECT_EQ(record.toJSON(),
              R"({"bundlePath":"/Applications/Zorvane.app","relativePaths":["","Contents",)"
              R"("Contents/Info.plist","Contents/MacOS","Contents/MacOS/Zorvane"]})");
    EXPECT_EQ(DeletionGuardRecord::fromJSON(record.toJSON()), record);
}

TEST(DeletionGuardRecord, ReadsAnyStandardEscapeAndIgnoresOtherKeys) {
    auto record = DeletionGuardRecord::fromJSON(
        R"({"note":1,"relativePaths":["\u0043ontents\/MacOS","Caf\u00e9"],)"
        R"("bundlePath":"\/Applications\/Zorvane.app"})");
    EXPECT_EQ(record.bundlePath, "/Applications/Zorvane.app");
    EXPECT_EQ(record.relativePaths, (std::vector<std::string>{"Contents/MacOS", "Caf\xC3\xA9"}));
}

TEST(DeletionGuardRecord, RefusesMissingKeysAndWrongTypes) {
    const char *files[] = {
        R"({"relativePaths":[]})",
        R"({"bundlePath":"/Applications/Zorvane.app"})",
        R"({"bundlePath":null,"relativePaths":[]})",
        R"({"bundlePath":7,"relativePaths":[]})",
        R"({"bundlePath":"/Applications/Zorvane.app","relativePaths":"Contents"})",
        R"({"bundlePath":"/Applications/Zorvane.app","relativePaths":["Contents",3]})",
        R"({"bundlePath":"/Applications/Zorvane.app","relativePaths":[null]})",
        R"(["/Applications/Zorvane.app"])",
        R"({"bundlePath":"/Applications/Zorvane.app","relativePaths":[])",
        "",
    };
    for (const char *file : files)
        EXPECT_THROW(DeletionGuardRecord::fromJSON(file), DecodingError) << file;
}

TEST(DeletionGuardRecord, RefusesToWriteAPathItCouldNotReadBack) {
    // A file name in a foreign encoding would come back with replacement characters and
    // name another item, so its flag could never be cleared.
    DeletionGuardRecord record{"/Applications/Zorvane.app", {"", "Contents/Caf\xE9"}};
    try {
        record.toJSON();
        FAIL() << "a path that is not UTF-8 was written";
    } catch (const std::system_error &error) {
        EXPECT_EQ(error.code(), std::errc::illegal_byte_sequence);
    }
    record.relativePaths = {""};
    record.bundlePath =
        "/Applications/Zorv\xFF"
        "ane.app";
    EXPECT_THROW(record.toJSON(), std::system_error);
}

}  // namespace
}  // namespace orvix
