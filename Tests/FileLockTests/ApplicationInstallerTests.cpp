#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "ApplicationInstaller.hpp"
#include "DeletionGuardPaths.hpp"
#include "TestSupport.hpp"
#include "TreeState.hpp"

namespace orvix {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::TemporaryDirectory;
using testing::TestAccount;
using testing::writeFile;

void makeFile(const fs::path &path, const std::string &content, fs::perms mode) {
    writeFile(path, content);
    fs::permissions(path, mode);
}

// A complete product bundle, with a little more than the required layout.
void makeSourceBundle(const fs::path &bundle) {
    makeFile(bundle / "Contents/Info.plist", "<plist/>", fs::perms(0644));
    makeFile(bundle / "Contents/MacOS/Zorvane", "application", fs::perms(0755));
    makeFile(bundle / "Contents/MacOS/OrvixGuardian", "guardian", fs::perms(0755));
    makeFile(bundle / "Contents/Resources/ZorvaneSetup.pkg", "setup", fs::perms(0755));
    makeFile(bundle / "Contents/Resources/Blocked.html", "<html/>", fs::perms(0644));
    makeFile(bundle / "Contents/Resources/.hidden", "hidden", fs::perms(0600));
    fs::create_symlink("../MacOS/Zorvane", bundle / "Contents/Resources/zorvane-link");
}

using testing::treeState;

std::set<std::string> names(const fs::path &directory) {
    std::set<std::string> result;
    for (const auto &entry : fs::directory_iterator(directory))
        result.insert(entry.path().filename().string());
    return result;
}

struct Machine {
    TemporaryDirectory temporary{"zorvane-install"};
    fs::path base = DeletionGuardPaths::canonicalURL(temporary.path());
    fs::path applications = base / "Applications";
    fs::path downloads = base / "Downloads";

    Machine() {
        fs::create_directories(applications);
        fs::create_directories(downloads);
    }
};

void expectRefused(const std::function<void()> &install, InstallError::Code code,
                   const std::string &name) {
    try {
        install();
        ADD_FAILURE() << name << ": installed";
    } catch (const InstallError &error) {
        EXPECT_EQ(error.code(), code) << name;
    }
}

TEST(ApplicationInstaller, CopiesTheCompleteBundleIntoPlaceAndLeavesNoStaging) {
    Machine machine;
    const auto source = machine.downloads / "Zorvane.app";
    makeSourceBundle(source);

    const auto installed = ApplicationInstaller::copy(source, machine.applications);
    EXPECT_EQ(installed, machine.applications / "Zorvane.app");
    EXPECT_EQ(treeState(installed), treeState(source));
    EXPECT_EQ(names(machine.applications), std::set<std::string>{"Zorvane.app"});
}

TEST(ApplicationInstaller, TheMessagesAreTheOnesShownToTheUser) {
    EXPECT_STREQ(InstallError(InstallError::Code::invalidSource).what(),
                 "Open the complete Zorvane app before copying it.");
    EXPECT_STREQ(InstallError(InstallError::Code::existingInstallation).what(),
                 "Zorvane is already in Applications. End any active session and replace it in "
                 "Finder.");
}

TEST(ApplicationInstaller, AnUpperCaseExtensionIsAccepted) {
    Machine machine;
    makeSourceBundle(machine.downloads / "Zorvane.APP");
    const auto installed =
        ApplicationInstaller::copy(machine.downloads / "Zorvane.APP", machine.applications);
    EXPECT_EQ(treeState(installed), treeState(machine.downloads / "Zorvane.APP"));
}

TEST(ApplicationInstaller, AnIncompleteOrFalseSourceIsRefusedAndNothingIsCreated) {
    struct Case {
        const char *name;
        std::function<fs::path(const fs::path &downloads)> make;
    };
    auto missing = [](const char *entry) {
        return [entry](const fs::path &downloads) {
            makeSourceBundle(downloads / "Zorvane.app");
            fs::remove(downloads / "Zorvane.app" / entry);
            return downloads / "Zorvane.app";
        };
    };
    const Case cases[] = {
        {"a plain file named with .app",
         [](const fs::path &downloads) {
             writeFile(downloads / "Zorvane.app", "not a bundle");
             return downloads / "Zorvane.app";
         }},
        {"another extension",
         [](const fs::path &downloads) {
             makeSourceBundle(downloads / "Zorvane.bundle");
             return downloads / "Zorvane.bundle";
         }},
        {"nothing there", [](const fs::path &downloads) { return downloads / "Zorvane.app"; }},
        {"a relative path",
         [](const fs::path &downloads) {
             makeSourceBundle(downloads / "Zorvane.app");
             return fs::path("Zorvane.app");
         }},
        {"without Contents/MacOS/Zorvane", missing("Contents/MacOS/Zorvane")},
        {"without Contents/MacOS/OrvixGuardian", missing("Contents/MacOS/OrvixGuardian")},
        {"without Contents/Info.plist", missing("Contents/Info.plist")},
        {"without Contents/Resources/ZorvaneSetup.pkg",
         missing("Contents/Resources/ZorvaneSetup.pkg")},
        {"without Contents/Resources/Blocked.html", missing("Contents/Resources/Blocked.html")},
        {"with a program that cannot run",
         [](const fs::path &downloads) {
             makeSourceBundle(downloads / "Zorvane.app");
             fs::permissions(downloads / "Zorvane.app/Contents/MacOS/OrvixGuardian",
                             fs::perms(0644));
             return downloads / "Zorvane.app";
         }},
        {"with a directory in place of the program",
         [](const fs::path &downloads) {
             makeSourceBundle(downloads / "Zorvane.app");
             fs::remove(downloads / "Zorvane.app/Contents/MacOS/Zorvane");
             fs::create_directory(downloads / "Zorvane.app/Contents/MacOS/Zorvane");
             return downloads / "Zorvane.app";
         }},
    };
    for (const auto &check : cases) {
        Machine machine;
        const auto source = check.make(machine.downloads);
        expectRefused([&] { ApplicationInstaller::copy(source, machine.applications); },
                      InstallError::Code::invalidSource, check.name);
        EXPECT_TRUE(names(machine.applications).empty()) << check.name;
    }
}

TEST(ApplicationInstaller, AnExistingInstallationIsNeverReplaced) {
    struct Case {
        const char *name;
        std::function<void(const Machine &)> make;
    };
    const Case cases[] = {
        {"a bundle",
         [](const Machine &machine) { makeSourceBundle(machine.applications / "Zorvane.app"); }},
        {"an empty directory",
         [](const Machine &machine) {
             fs::create_directory(machine.applications / "Zorvane.app");
         }},
        {"a plain file",
         [](const Machine &machine) { writeFile(machine.applications / "Zorvane.app", "mine"); }},
        {"a link to a bundle elsewhere",
         [](const Machine &machine) {
             makeSourceBundle(machine.base / "Elsewhere/Zorvane.app");
             fs::create_directory_symlink(machine.base / "Elsewhere/Zorvane.app",
                                          machine.applications / "Zorvane.app");
         }},
    };
    for (const auto &check : cases) {
        Machine machine;
        makeSourceBundle(machine.downloads / "Zorvane.app");
        check.make(machine);
        const auto before = treeState(machine.base);
        expectRefused(
            [&] {
                ApplicationInstaller::copy(machine.downloads / "Zorvane.app", machine.applications);
            },
            InstallError::Code::existingInstallation, check.name);
        EXPECT_EQ(treeState(machine.base), before) << check.name;
    }
}

TEST(ApplicationInstaller, ADestinationThatAppearsBeforeTheRenameIsKept) {
    Machine machine;
    makeSourceBundle(machine.downloads / "Zorvane.app");
    // A link to nothing passes the existence check, like an item that appears in the
    // meantime; the rename must still not replace it.
    fs::create_symlink(machine.base / "Nowhere", machine.applications / "Zorvane.app");
    try {
        ApplicationInstaller::copy(machine.downloads / "Zorvane.app", machine.applications);
        FAIL() << "the destination was replaced";
    } catch (const fs::filesystem_error &error) {
        EXPECT_EQ(error.code(), std::errc::file_exists);
    }
    EXPECT_EQ(names(machine.applications), std::set<std::string>{"Zorvane.app"});
    EXPECT_EQ(fs::read_symlink(machine.applications / "Zorvane.app"), machine.base / "Nowhere");
}

TEST(ApplicationInstaller, ASourceGivenThroughALinkInstallsTheRealBundle) {
    Machine machine;
    makeSourceBundle(machine.downloads / "Real.app");
    fs::create_directory_symlink(machine.downloads / "Real.app", machine.base / "Shortcut.app");

    const auto installed =
        ApplicationInstaller::copy(machine.base / "Shortcut.app", machine.applications);
    EXPECT_FALSE(fs::is_symlink(installed));
    EXPECT_EQ(treeState(installed), treeState(machine.downloads / "Real.app"));
}

TEST(ApplicationInstaller, AFailedCopyLeavesNeitherADestinationNorAStagingDirectory) {
    Machine machine;
    const auto source = machine.downloads / "Zorvane.app";
    makeSourceBundle(source);
    // A named pipe is no part of any bundle the installer can copy.
    ASSERT_EQ(::mkfifo((source / "Contents/Resources/pipe").c_str(), 0644), 0);

    EXPECT_THROW(ApplicationInstaller::copy(source, machine.applications), fs::filesystem_error);
    EXPECT_TRUE(names(machine.applications).empty());
}

TEST(ApplicationInstaller, TheAccountCanInstallABundleWithReadOnlyDirectories) {
    auto account = TestAccount::ensure();
    if (!account) GTEST_SKIP() << "needs root to act as the test account";
    Machine machine;
    const auto source = machine.downloads / "Zorvane.app";
    makeSourceBundle(source);
    makeFile(source / "Contents/Frameworks/Qt/library", "library", fs::perms(0444));
    fs::permissions(source / "Contents/Frameworks/Qt", fs::perms(0555));
    fs::permissions(source / "Contents/Frameworks", fs::perms(0555));
    testing::chownTree(machine.base, account->uid, account->gid);

    pid_t pid = ::fork();
    if (pid == 0) {
        int result = 1;
        if (::setgroups(0, nullptr) == 0 &&
            ::setresgid(account->gid, account->gid, account->gid) == 0 &&
            ::setresuid(account->uid, account->uid, account->uid) == 0) {
            try {
                ApplicationInstaller::copy(source, machine.applications);
                result = 0;
            } catch (...) {
                result = 2;
            }
        }
        ::_exit(result);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(treeState(machine.applications / "Zorvane.app"), treeState(source));
    EXPECT_EQ(names(machine.applications), std::set<std::string>{"Zorvane.app"});
}

}  // namespace
}  // namespace orvix
