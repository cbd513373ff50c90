#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <ostream>

#include "ApplicationDeletionGuard.hpp"
#include "DeletionGuardPaths.hpp"
#include "TestSupport.hpp"
#include "TreeState.hpp"

namespace orvix {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using ::testing::StrEq;
using testing::TemporaryDirectory;
using testing::TestAccount;
using ::testing::ThrowsMessage;
using testing::writeFile;

const char *const placementMessage =
    "Install the complete Zorvane.app directly in /Applications before starting protection.";
const char *const symbolicLinkMessage =
    "A bundle path was replaced by a symbolic link; automatic flag changes stopped.";
const char *const hardLinkMessage =
    "A bundle file has hard links. Reinstall a separate copy of the app before using file-lock "
    "protection.";
const char *const mismatchMessage =
    "The file-lock recovery record does not match this app. It has been preserved. Use the "
    "original installation or administrator recovery to remove its locks.";

// The ten items of the bundle every test starts from, in the record's (ascending) order.
const std::vector<std::string> bundleItems = {
    "",
    "Contents",
    "Contents/Info.plist",
    "Contents/MacOS",
    "Contents/MacOS/OrvixGuardian",
    "Contents/MacOS/Zorvane",
    "Contents/Resources",
    "Contents/Resources/.hidden",
    "Contents/Resources/Blocked.html",
    "Contents/Resources/ZorvaneSetup.pkg",
};

void makeFile(const fs::path &path, const std::string &content, fs::perms mode) {
    writeFile(path, content);
    fs::permissions(path, mode);
}

void makeProductBundle(const fs::path &bundle) {
    const auto file = fs::perms(0644);
    const auto program = fs::perms(0755);
    makeFile(bundle / "Contents/Info.plist", "<plist/>", file);
    makeFile(bundle / "Contents/MacOS/Zorvane", "application", program);
    makeFile(bundle / "Contents/MacOS/OrvixGuardian", "guardian", program);
    makeFile(bundle / "Contents/Resources/Blocked.html", "<html/>", file);
    makeFile(bundle / "Contents/Resources/ZorvaneSetup.pkg", "setup", program);
    makeFile(bundle / "Contents/Resources/.hidden", "hidden", file);
    for (const char *directory : {"", "Contents", "Contents/MacOS", "Contents/Resources"})
        fs::permissions(bundle / directory, program);
}

using testing::TreeState;
using testing::treeState;

bool isLocked(const fs::path &path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && (info.st_mode & 0222) == 0;
}

// A temporary applications directory holding the product's bundle, and a support directory.
struct Installation {
    TemporaryDirectory temporary{"zorvane-locks"};
    fs::path base = DeletionGuardPaths::canonicalURL(temporary.path());
    fs::path applications = base / "Applications";
    fs::path bundle = applications / "Zorvane.app";
    fs::path support = base / "Support";

    Installation() { makeProductBundle(bundle); }

    ApplicationDeletionGuard guard() const {
        return ApplicationDeletionGuard(bundle, support, applications);
    }
    fs::path recordFile() const { return support / "deletion-guard.json"; }
    DeletionGuardRecord storedRecord() const {
        return DeletionGuardRecord::fromJSON(readFile(recordFile()));
    }
    fs::path item(const std::string &relative) const {
        return relative.empty() ? bundle : bundle / relative;
    }
};

// Changing a locked bundle behind the guard's back takes an administrator.
#define REQUIRE_ROOT() \
    if (::geteuid() != 0) GTEST_SKIP() << "changing a locked bundle needs root"

// Runs `work` in a child process as the account; returns what the child reported ("" for
// nothing to report).
std::string asAccount(const TestAccount &account, const std::function<std::string()> &work) {
    int channel[2];
    if (::pipe(channel) != 0) return "pipe failed";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(channel[0]);
        std::string report;
        if (::setgroups(0, nullptr) != 0 ||
            ::setresgid(account.gid, account.gid, account.gid) != 0 ||
            ::setresuid(account.uid, account.uid, account.uid) != 0) {
            report = "could not become the test account";
        } else {
            try {
                report = work();
            } catch (const std::exception &error) {
                report = std::string("failed: ") + error.what();
            }
        }
        if (::write(channel[1], report.data(), report.size()) < 0) ::_exit(2);
        ::_exit(0);
    }
    ::close(channel[1]);
    std::string report;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(channel[0], buffer, sizeof buffer)) > 0)
        report.append(buffer, static_cast<std::size_t>(got));
    ::close(channel[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        report += "the child process did not finish";
    return report;
}

// Every way the account could delete, rename or write an item of the bundle, tried; the
// report names each that worked.
std::string changesThatWorked(const fs::path &bundle, const TreeState &items) {
    std::string report;
    for (const auto &[relative, item] : items) {
        if (S_ISLNK(item.mode)) continue;
        const auto path = relative.empty() ? bundle : bundle / relative;
        if (S_ISREG(item.mode)) {
            int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
            if (fd >= 0) {
                ::close(fd);
                report += "opened for writing: " + relative + "\n";
            }
            if (::unlink(path.c_str()) == 0) report += "deleted: " + relative + "\n";
        } else if (S_ISDIR(item.mode)) {
            const auto probe = path / "probe";
            int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd >= 0) {
                ::close(fd);
                report += "created an item in: " + relative + "\n";
            }
            if (::rmdir(path.c_str()) == 0) report += "deleted: " + relative + "\n";
        }
        // The bundle directory's own name belongs to the applications directory.
        const std::string moved = path.string() + ".moved";
        if (!relative.empty() && ::rename(path.c_str(), moved.c_str()) == 0)
            report += "renamed: " + relative + "\n";
    }
    return report;
}

// The same changes after release, undone as they go; the report names each that failed,
// except on items that were read-only from the start.
std::string changesThatFailed(const fs::path &bundle, const TreeState &items) {
    std::string report;
    for (const auto &[relative, item] : items) {
        if (S_ISLNK(item.mode)) continue;
        const auto path = relative.empty() ? bundle : bundle / relative;
        const bool readOnly = (item.mode & 0222) == 0;
        if (S_ISREG(item.mode)) {
            int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
            if (fd >= 0) ::close(fd);
            if ((fd >= 0) == readOnly) report += "write access wrong: " + relative + "\n";
        } else if (S_ISDIR(item.mode)) {
            const auto probe = path / "probe";
            int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd < 0 || ::close(fd) != 0 || ::unlink(probe.c_str()) != 0)
                report += "could not add and remove an item in: " + relative + "\n";
        }
        const std::string moved = path.string() + ".moved";
        if (!relative.empty() && (::rename(path.c_str(), moved.c_str()) != 0 ||
                                  ::rename(moved.c_str(), path.c_str()) != 0))
            report += "could not rename: " + relative + "\n";
    }
    return report;
}

TEST(ApplicationDeletionGuard, LockOrderAndUnlockOrder) {
    const std::vector<std::string> record = {"", "Contents", "Contents/Info.plist",
                                             "Contents/MacOS", "Contents/MacOS/Zorvane"};
    EXPECT_EQ(ApplicationDeletionGuard::lockOrder(record),
              (std::vector<std::string>{"Contents/MacOS/Zorvane", "Contents/Info.plist",
                                        "Contents/MacOS", "Contents", ""}));
    EXPECT_EQ(ApplicationDeletionGuard::unlockOrder(record),
              (std::vector<std::string>{"", "Contents", "Contents/MacOS", "Contents/Info.plist",
                                        "Contents/MacOS/Zorvane"}));
}

TEST(ApplicationDeletionGuard, LocksEveryItemAndReleaseRestoresEveryMode) {
    Installation app;
    const auto before = treeState(app.bundle);

    app.guard().activate();
    EXPECT_EQ(app.storedRecord(), (DeletionGuardRecord{app.bundle.string(), bundleItems}));
    for (const auto &relative : bundleItems) EXPECT_TRUE(isLocked(app.item(relative))) << relative;

    app.guard().release();
    EXPECT_FALSE(fs::exists(app.recordFile()));
    EXPECT_EQ(treeState(app.bundle), before);
}

TEST(ApplicationDeletionGuard, TheAccountCannotChangeALockedBundleAndCanAfterRelease) {
    auto account = TestAccount::ensure();
    if (!account) GTEST_SKIP() << "needs root to act as the test account";
    Installation app;
    makeFile(app.bundle / "Contents/Resources/ReadOnly.txt", "kept read-only", fs::perms(0444));
    fs::create_directory(app.bundle / "Contents/PlugIns");
    fs::create_symlink("MacOS/Zorvane", app.bundle / "Contents/Launcher");
    testing::chownTree(app.base, account->uid, account->gid);
    const auto before = treeState(app.bundle);

    EXPECT_EQ(asAccount(*account,
                        [&] {
                            app.guard().activate();
                            return changesThatWorked(app.bundle, before);
                        }),
              "");
    // Nothing lost or changed but the write bits.
    auto locked = before;
    for (auto &[relative, item] : locked)
        if (!S_ISLNK(item.mode)) item.mode &= ~mode_t{0222};
    EXPECT_EQ(treeState(app.bundle), locked);
    auto recorded = app.storedRecord().relativePaths;
    EXPECT_EQ(std::count(recorded.begin(), recorded.end(), "Contents/Resources/ReadOnly.txt"), 0);
    EXPECT_EQ(std::count(recorded.begin(), recorded.end(), "Contents/PlugIns"), 1);

    EXPECT_EQ(asAccount(*account,
                        [&] {
                            app.guard().release();
                            return changesThatFailed(app.bundle, before);
                        }),
              "");
    EXPECT_FALSE(fs::exists(app.recordFile()));
    EXPECT_EQ(treeState(app.bundle), before);
}

TEST(ApplicationDeletionGuard, SymbolicLinksAreNeitherChangedNorRecordedNorFollowed) {
    Installation app;
    const auto outside = app.base / "Outside";
    makeFile(outside / "secret.txt", "secret", fs::perms(0644));
    fs::create_directory_symlink(outside, app.bundle / "Contents/Frameworks");
    makeFile(app.bundle / "Contents/Versions/A/library", "library", fs::perms(0644));
    fs::create_directory_symlink("A", app.bundle / "Contents/Versions/Current");
    fs::create_symlink("../MacOS/Zorvane", app.bundle / "Contents/Resources/zorvane-link");
    const auto before = treeState(app.bundle);
    const auto outsideBefore = treeState(outside);

    app.guard().activate();
    auto expected = bundleItems;
    expected.insert(expected.begin() + 6,
                    {"Contents/Versions", "Contents/Versions/A", "Contents/Versions/A/library"});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(app.storedRecord().relativePaths, expected);
    EXPECT_EQ(treeState(outside), outsideBefore);
    EXPECT_EQ(treeState(app.bundle)["Contents/Frameworks"], before.at("Contents/Frameworks"));

    app.guard().release();
    EXPECT_EQ(treeState(app.bundle), before);
    EXPECT_EQ(treeState(outside), outsideBefore);
}

TEST(ApplicationDeletionGuard, AHardLinkedFileStopsActivationBeforeAnyChange) {
    Installation app;
    fs::create_hard_link(app.bundle / "Contents/Resources/Blocked.html", app.base / "Blocked.html");
    const auto before = treeState(app.bundle);

    EXPECT_THAT([&] { app.guard().activate(); }, ThrowsMessage<GuardError>(StrEq(hardLinkMessage)));
    EXPECT_FALSE(fs::exists(app.support));
    EXPECT_EQ(treeState(app.bundle), before);
}

TEST(ApplicationDeletionGuard,
     ABundleOutsideTheApplicationsDirectoryIsRefusedBeforeAnythingIsRead) {
    struct Case {
        const char *name;
        std::function<fs::path(const Installation &)>
            place;  // returns the bundle handed to the guard
    };
    const Case cases[] = {
        {"in Downloads",
         [](const Installation &app) {
             fs::create_directories(app.base / "Downloads");
             fs::rename(app.bundle, app.base / "Downloads/Zorvane.app");
             return app.base / "Downloads/Zorvane.app";
         }},
        {"reached through a symbolic link",
         [](const Installation &app) {
             fs::create_directories(app.base / "Downloads");
             fs::rename(app.bundle, app.base / "Downloads/Zorvane.app");
             fs::create_directory_symlink(app.base / "Downloads/Zorvane.app", app.bundle);
             return app.bundle;
         }},
        {"one level too deep",
         [](const Installation &app) {
             fs::create_directories(app.applications / "Games");
             fs::rename(app.bundle, app.applications / "Games/Zorvane.app");
             return app.applications / "Games/Zorvane.app";
         }},
        {"with an upper-case extension",
         [](const Installation &app) {
             fs::rename(app.bundle, app.applications / "Zorvane.APP");
             return app.applications / "Zorvane.APP";
         }},
        {"without an extension",
         [](const Installation &app) {
             fs::rename(app.bundle, app.applications / "Zorvane");
             return app.applications / "Zorvane";
         }},
    };
    for (const auto &check : cases) {
        Installation app;
        const auto bundle = check.place(app);
        // A record that cannot even be read: refusing it instead would show it was looked at.
        writeFile(app.recordFile(), "not a record");
        const auto before = treeState(app.base);

        ApplicationDeletionGuard guard(bundle, app.support, app.applications);
        EXPECT_THAT([&] { guard.activate(); }, ThrowsMessage<GuardError>(StrEq(placementMessage)))
            << check.name;
        EXPECT_EQ(treeState(app.base), before) << check.name;
    }
}

TEST(ApplicationDeletionGuard,
     AnApplicationsDirectoryReachedThroughALinkIsStillTheApplicationsDirectory) {
    Installation app;
    fs::create_directory_symlink(app.applications, app.base / "Programs");
    ApplicationDeletionGuard guard(app.base / "Programs/Zorvane.app", app.support,
                                   app.base / "Programs");
    EXPECT_EQ(guard.root(), app.bundle);
    guard.activate();
    EXPECT_EQ(app.storedRecord().bundlePath, app.bundle.string());
    guard.release();
}

TEST(ApplicationDeletionGuard, ABundleThatCannotBeListedIsRefusedBeforeAnythingIsWritten) {
    Installation app;
    fs::remove_all(app.bundle);
    writeFile(app.bundle, "a plain file named like the bundle");
    EXPECT_THAT([&] { app.guard().activate(); },
                ThrowsMessage<GuardError>(
                    StrEq("Cannot inspect the application bundle before locking it.")));
    EXPECT_FALSE(fs::exists(app.support));
    EXPECT_FALSE(isLocked(app.bundle));
}

TEST(ApplicationDeletionGuard,
     AGuardThatDoesNotRequireTheApplicationsDirectoryLocksABundleAnywhere) {
    Installation app;
    fs::create_directories(app.base / "Downloads");
    fs::rename(app.bundle, app.base / "Downloads/Zorvane.app");
    ApplicationDeletionGuard guard(app.base / "Downloads/Zorvane.app", app.support,
                                   app.applications, false);
    guard.activate();
    EXPECT_TRUE(isLocked(app.base / "Downloads/Zorvane.app/Contents/MacOS/Zorvane"));
    guard.release();
    EXPECT_FALSE(isLocked(app.base / "Downloads/Zorvane.app/Contents/MacOS/Zorvane"));
}

TEST(ApplicationDeletionGuard, AFailedReleaseLeavesExactlyTheItemsNotYetReleased) {
    REQUIRE_ROOT();
    struct Case {
        std::string failing;
        std::vector<std::string> released;
        std::vector<std::string> remaining;  // in the record's order
    };
    // Failing on the third of the ten items, then on the fourth.
    const Case cases[] = {
        {"Contents/MacOS",
         {"", "Contents"},
         {"Contents/Info.plist", "Contents/MacOS", "Contents/MacOS/OrvixGuardian",
          "Contents/MacOS/Zorvane", "Contents/Resources", "Contents/Resources/.hidden",
          "Contents/Resources/Blocked.html", "Contents/Resources/ZorvaneSetup.pkg"}},
        {"Contents/Resources",
         {"", "Contents", "Contents/MacOS"},
         {"Contents/Info.plist", "Contents/MacOS/OrvixGuardian", "Contents/MacOS/Zorvane",
          "Contents/Resources", "Contents/Resources/.hidden", "Contents/Resources/Blocked.html",
          "Contents/Resources/ZorvaneSetup.pkg"}},
    };
    for (const auto &check : cases) {
        Installation app;
        const auto before = treeState(app.bundle);
        app.guard().activate();

        const auto item = app.item(check.failing);
        // Still inside the bundle, so only the link itself gives the change away.
        const fs::path movedAway = item.string() + ".moved";
        fs::rename(item, movedAway);
        fs::create_directory_symlink(movedAway, item);
        EXPECT_THAT([&] { app.guard().release(); },
                    ThrowsMessage<GuardError>(StrEq(symbolicLinkMessage)));
        EXPECT_EQ(app.storedRecord().relativePaths, check.remaining) << check.failing;
        for (const auto &relative : check.released)
            EXPECT_FALSE(isLocked(app.item(relative))) << relative;
        for (const auto &relative : check.remaining)
            if (relative != check.failing) {
                EXPECT_TRUE(isLocked(app.item(relative))) << relative;
            }

        fs::remove(item);
        fs::rename(movedAway, item);
        app.guard().release();
        EXPECT_FALSE(fs::exists(app.recordFile()));
        EXPECT_EQ(treeState(app.bundle), before);
    }
}

TEST(ApplicationDeletionGuard, ARecordOfAnotherBundleOrWithAnUnsafeEntryIsRefusedAndKept) {
    Installation app;
    makeProductBundle(app.applications / "Other.app");
    makeFile(app.base / "Outside/secret.txt", "secret", fs::perms(0644));
    const auto bundle = app.bundle.string();
    const std::string records[] = {
        R"({"bundlePath":")" + (app.applications / "Other.app").string() +
            R"(","relativePaths":["","Contents"]})",
        R"({"bundlePath":")" + bundle + R"(","relativePaths":["","..","Contents"]})",
        R"({"bundlePath":")" + bundle + R"(","relativePaths":["Contents/../../Other.app"]})",
        R"({"bundlePath":")" + bundle +
            R"(","relativePaths":["Contents/../../../Outside/secret.txt"]})",
        R"({"bundlePath":")" + bundle + R"(","relativePaths":[")" + app.base.string() +
            R"(/Outside/secret.txt"]})",
        R"({"bundlePath":")" + bundle + R"(","relativePaths":["Contents//MacOS"]})",
        R"({"bundlePath":")" + bundle + R"(","relativePaths":["Contents\\..\\..\\Other.app"]})",
        R"({"bundlePath":")" + bundle + R"(","relativePaths":["Contents\u0000/x"]})",
    };
    for (const auto &record : records) {
        writeFile(app.recordFile(), record);
        const auto before = treeState(app.base);
        EXPECT_THAT([&] { app.guard().activate(); },
                    ThrowsMessage<GuardError>(StrEq(mismatchMessage)))
            << record;
        EXPECT_THAT([&] { app.guard().release(); },
                    ThrowsMessage<GuardError>(StrEq(mismatchMessage)))
            << record;
        EXPECT_EQ(treeState(app.base), before) << record;
    }
}

TEST(ApplicationDeletionGuard, ARecordOfABundleThatNoLongerExistsIsKept) {
    Installation app;
    const std::string record = R"({"bundlePath":")" + (app.applications / "Gone.app").string() +
                               R"(","relativePaths":[""]})";
    writeFile(app.recordFile(), record);
    try {
        app.guard().release();
        FAIL() << "a record of a missing bundle was accepted";
    } catch (const fs::filesystem_error &error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    }
    EXPECT_EQ(readFile(app.recordFile()), record);
}

TEST(ApplicationDeletionGuard, RecordedPathsThroughALinkNeverChangeAFlagOutsideTheBundle) {
    Installation app;
    const auto outside = app.base / "Outside";
    makeFile(outside / "secret.txt", "secret", fs::perms(0644));
    fs::create_directory_symlink(outside, app.bundle / "Contents/Out");
    const auto outsideBefore = treeState(outside);
    const std::string record = R"({"bundlePath":")" + app.bundle.string() +
                               R"(","relativePaths":["Contents/Out","Contents/Out/secret.txt"]})";
    writeFile(app.recordFile(), record);

    EXPECT_THAT([&] { app.guard().release(); },
                ThrowsMessage<GuardError>(StrEq(symbolicLinkMessage)));
    EXPECT_EQ(readFile(app.recordFile()), record);

    // Locking fails on the recorded link and so does the rollback; the message names the
    // record that still lists what could not be unlocked.
    EXPECT_THAT(
        [&] { app.guard().activate(); },
        ThrowsMessage<GuardError>(StrEq("File locking failed and some locks could not be removed. "
                                        "Recovery record: " +
                                        app.recordFile().string() + ". " + symbolicLinkMessage)));
    EXPECT_EQ(treeState(outside), outsideBefore);
    const auto left = app.storedRecord().relativePaths;
    EXPECT_EQ(std::count(left.begin(), left.end(), "Contents/Out"), 1);
    EXPECT_EQ(std::count(left.begin(), left.end(), "Contents/Resources/ZorvaneSetup.pkg"), 1);
    EXPECT_TRUE(isLocked(app.item("Contents/Resources/ZorvaneSetup.pkg")));
    EXPECT_FALSE(isLocked(app.item("Contents")));

    // Once the link is gone the next release finishes the job.
    fs::remove(app.bundle / "Contents/Out");
    app.guard().release();
    EXPECT_FALSE(fs::exists(app.recordFile()));
    for (const auto &relative : bundleItems) EXPECT_FALSE(isLocked(app.item(relative))) << relative;
}

TEST(ApplicationDeletionGuard, ASecondActivationKeepsEveryEarlierPathAndLocksItAgain) {
    REQUIRE_ROOT();
    Installation app;
    app.guard().activate();
    makeFile(app.bundle / "Contents/Resources/New.txt", "new", fs::perms(0644));
    fs::permissions(app.bundle / "Contents/Info.plist", fs::perms::owner_write,
                    fs::perm_options::add);
    const auto before = treeState(app.bundle);

    app.guard().activate();
    auto expected = bundleItems;
    expected.push_back("Contents/Resources/New.txt");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(app.storedRecord().relativePaths, expected);
    for (const auto &relative : expected) EXPECT_TRUE(isLocked(app.item(relative))) << relative;

    app.guard().release();
    for (const auto &relative : expected) EXPECT_FALSE(isLocked(app.item(relative))) << relative;
    EXPECT_EQ(treeState(app.bundle).at("Contents/Resources/New.txt"),
              before.at("Contents/Resources/New.txt"));
}

TEST(ApplicationDeletionGuard, ARecordedItemThatDisappearedRollsBackEveryLock) {
    REQUIRE_ROOT();
    Installation app;
    auto before = treeState(app.bundle);
    app.guard().activate();
    fs::remove(app.bundle / "Contents/Resources/.hidden");
    before.erase("Contents/Resources/.hidden");

    try {
        app.guard().activate();
        FAIL() << "locking a missing item succeeded";
    } catch (const fs::filesystem_error &error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    }
    EXPECT_FALSE(fs::exists(app.recordFile()));
    EXPECT_EQ(treeState(app.bundle), before);

    app.guard().activate();
    EXPECT_EQ(app.storedRecord().relativePaths.size(), bundleItems.size() - 1);
    app.guard().release();
}

TEST(ApplicationDeletionGuard, AnItemReadOnlyFromTheStartIsNeitherRecordedNorUnlocked) {
    Installation app;
    fs::permissions(app.bundle / "Contents/Info.plist", fs::perms(0444));
    const auto before = treeState(app.bundle);

    app.guard().activate();
    auto expected = bundleItems;
    std::erase(expected, "Contents/Info.plist");
    EXPECT_EQ(app.storedRecord().relativePaths, expected);

    app.guard().release();
    EXPECT_EQ(treeState(app.bundle), before);
}

TEST(ApplicationDeletionGuard, ReleaseWithoutARecordChangesNothing) {
    Installation app;
    const auto before = treeState(app.base);
    app.guard().release();
    EXPECT_EQ(treeState(app.base), before);
    EXPECT_FALSE(fs::exists(app.support));
}

TEST(ApplicationDeletionGuard, AFileNameTheRecordCannotHoldStopsActivationBeforeAnyChange) {
    Installation app;
    // Latin-1 bytes: the JSON record could only hold them altered, naming another item.
    makeFile(app.bundle / "Contents/Resources/Caf\xE9.txt", "menu", fs::perms(0644));
    const auto before = treeState(app.bundle);
    try {
        app.guard().activate();
        FAIL() << "a name the record cannot hold was locked";
    } catch (const std::system_error &error) {
        EXPECT_EQ(error.code(), std::errc::illegal_byte_sequence);
    }
    EXPECT_FALSE(fs::exists(app.recordFile()));
    EXPECT_EQ(treeState(app.bundle), before);
}

TEST(ApplicationDeletionGuard, ARecordTooLargeToBeReadBackIsNeverWritten) {
    Installation app;
    // Over 1 MiB of paths: a record the guard could not read again would strand its locks.
    const std::string longName(240, 'r');
    for (int index = 0; index < 4400; ++index)
        writeFile(app.bundle / "Contents/Resources" / (longName + std::to_string(index)), "");
    const auto before = treeState(app.bundle);
    try {
        app.guard().activate();
        FAIL() << "an unreadable record was written";
    } catch (const fs::filesystem_error &error) {
        EXPECT_EQ(error.code(), std::errc::file_too_large);
    }
    EXPECT_FALSE(fs::exists(app.recordFile()));
    EXPECT_EQ(treeState(app.bundle), before);
}

}  // namespace
}  // namespace orvix
