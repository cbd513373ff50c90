#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

#include "BootEnforcement.hpp"
#include "BootFiles.hpp"
#include "TestSupport.hpp"

using namespace orvix;
using orvix::testing::TemporaryDirectory;
using orvix::testing::writeFile;

namespace {

mode_t modeOf(const std::filesystem::path &path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

int readError(const std::filesystem::path &path) {
    try {
        BootFiles::readBytes(path);
        return 0;
    } catch (const std::system_error &error) {
        return error.code().value();
    }
}

}  // namespace

TEST(BootFiles, ReadsAtMostOneMebibyte) {
    TemporaryDirectory directory;
    const auto exact = directory.path() / "exact.json";
    // A valid status padded with spaces to exactly 1 MiB.
    std::string status = R"({"bootID":"b","uptime":1})";
    writeFile(exact, status + std::string(BootFiles::maximumFileSize - status.size(), ' '));
    EXPECT_EQ(BootFiles::read<BootServiceStatus>(exact).bootID, "b");

    const auto over = directory.path() / "over.json";
    writeFile(over, status + std::string(BootFiles::maximumFileSize + 1 - status.size(), ' '));
    EXPECT_EQ(readError(over), EFBIG);
}

TEST(BootFiles, RefusesWhatIsNotAReadableRegularFile) {
    TemporaryDirectory directory;
    EXPECT_EQ(readError(directory.path() / "missing.json"), ENOENT);
    EXPECT_EQ(readError(directory.path()), EINVAL);  // a directory
    const auto fifo = directory.path() / "fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(readError(fifo), EINVAL);  // and the read does not hang
    const auto link = directory.path() / "zero.json";
    std::filesystem::create_symlink("/dev/zero", link);
    EXPECT_EQ(readError(link), EINVAL);
}

TEST(BootFiles, WritesAtomicallyWithPrivateModes) {
    TemporaryDirectory directory;
    const auto file = directory.path() / "a" / "b" / "boot-status.json";
    const BootServiceStatus status("b", 2, "m");
    const mode_t oldMask = ::umask(0);
    BootFiles::write(status, file);
    ::umask(oldMask);
    EXPECT_EQ(modeOf(directory.path() / "a"), 0700u);
    EXPECT_EQ(modeOf(directory.path() / "a" / "b"), 0700u);
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(BootFiles::read<BootServiceStatus>(file), status);

    // An existing directory keeps its mode; a replaced file gets 0600 again; no temporary
    // file is left behind.
    std::filesystem::permissions(directory.path() / "a" / "b", std::filesystem::perms(0755));
    ::chmod(file.c_str(), 0644);
    BootFiles::write(BootServiceStatus("b", 3, std::nullopt), file);
    EXPECT_EQ(modeOf(directory.path() / "a" / "b"), 0755u);
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(BootFiles::read<BootServiceStatus>(file).uptime, 3);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.parent_path()),
                            std::filesystem::directory_iterator()),
              1);

    // A symbolic link in place of the file is replaced, never written through.
    const auto target = directory.path() / "target";
    writeFile(target, "keep");
    std::filesystem::remove(file);
    std::filesystem::create_symlink(target, file);
    BootFiles::write(status, file);
    EXPECT_FALSE(std::filesystem::is_symlink(file));
    EXPECT_EQ(orvix::testing::readFile(target), "keep");
}

TEST(BootFiles, FailsWhenTheParentCannotBeMade) {
    TemporaryDirectory directory;
    writeFile(directory.path() / "plain", "x");
    EXPECT_THROW(BootFiles::writeBytes(directory.path() / "plain" / "status.json", "{}"),
                 std::system_error);
}

TEST(BootFiles, KnowsTheBootAndTheUsersDirectory) {
    const auto boot = BootFiles::bootID();
    EXPECT_EQ(boot.size(), 36u);  // the kernel's boot UUID, without its line feed
    EXPECT_EQ(boot, BootFiles::bootID());
    EXPECT_EQ(boot.find('\n'), std::string::npos);

    const auto directory = BootFiles::userDirectory();
    EXPECT_TRUE(directory.string().ends_with("/Library/Application Support/Zorvane"));

    const double first = systemUptime();
    EXPECT_GT(first, 0);
    EXPECT_GE(systemUptime(), first);
}
