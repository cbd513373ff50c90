#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.hpp"

namespace orvix::testing {
namespace {

namespace fs = std::filesystem;

const fs::path packages = ZORVANE_PACKAGES_DIRECTORY;

struct Entry {
    std::string type;  // "d", "f" or "l"
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;
    std::string content;  // a file's bytes or a link's target
    long long modified = 0;
    bool operator==(const Entry &) const = default;
};
using Snapshot = std::map<std::string, Entry>;

std::ostream &operator<<(std::ostream &out, const Snapshot &snapshot) {
    for (const auto &[path, entry] : snapshot)
        out << path << ' ' << entry.type << ' ' << entry.uid << ':' << entry.gid << ' ' << std::oct
            << entry.mode << std::dec << '\n';
    return out;
}

// Everything below `directory`, the directory itself included as "".
Snapshot snapshot(const fs::path &directory) {
    Snapshot result;
    if (!fs::exists(fs::symlink_status(directory))) return result;
    auto add = [&result, &directory](const fs::path &path) {
        struct stat status {};
        EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
        Entry entry;
        entry.uid = status.st_uid;
        entry.gid = status.st_gid;
        entry.mode = status.st_mode & 07777;
        entry.modified = status.st_mtim.tv_sec * 1000000000LL + status.st_mtim.tv_nsec;
        if (S_ISDIR(status.st_mode)) {
            entry.type = "d";
        } else if (S_ISLNK(status.st_mode)) {
            entry.type = "l";
            entry.content = fs::read_symlink(path).string();
        } else {
            entry.type = "f";
            entry.content = readFile(path);
        }
        // Lexically: a link must be listed under its own name, not its target's.
        const std::string relative = path.lexically_relative(directory).string();
        result[relative == "." ? "" : relative] = entry;
    };
    add(directory);
    for (const auto &item : fs::recursive_directory_iterator(directory)) add(item.path());
    return result;
}

// A root file system of bind mounts in a private mount namespace, in which the setup and
// removal programs see temporary directories as /Library, /etc/systemd/system and the test
// account's home, and no systemd. The machine's own directories are never written.
class Packages : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "installing needs root";
        account_ = TestAccount::ensure();
        ASSERT_TRUE(account_);
        const fs::path contents = bundle_.path() / "Zorvane.app" / "Contents";
        fs::create_directories(contents / "Resources");
        fs::create_directories(contents / "Library" / "Helpers");
        for (const char *name : {"ZorvaneSetup.pkg", "ZorvaneRemove.pkg"})
            fs::copy_file(packages / name, contents / "Resources" / name);
        fs::copy_file(ZORVANE_WEB_STAND_IN, contents / "Library/Helpers/OrvixWeb");
        fs::copy_file(ORVIX_BOOT_EXECUTABLE, contents / "Library/Helpers/OrvixBoot");
        fs::copy_file(ORVIX_DNS_PROXY_EXECUTABLE,
                      contents / "Library/Helpers/org.zorvane.dnscrypt");
        writeFile(home_.path() / "Library/Application Support/Zorvane/settings.json",
                  "{\"groups\":[]}");
        chownTree(home_.path(), account_->uid, account_->gid);
    }

    fs::path resources() const { return bundle_.path() / "Zorvane.app/Contents/Resources"; }
    fs::path helpers() const { return bundle_.path() / "Zorvane.app/Contents/Library/Helpers"; }
    fs::path library() const { return root_.path() / "Library"; }
    fs::path units() const { return units_.path(); }
    fs::path standInLog() const { return bundle_.path() / "web.log"; }
    std::string uid() const { return std::to_string(account_->uid); }

    struct Result {
        int status = -1;
        std::string output;
    };

    // Runs `command` with bash in the sandbox, as pkexec would for `pkexecUID`.
    Result run(const std::string &command, const std::optional<std::string> &pkexecUID,
               const std::vector<std::string> &extraEnvironment = {}) {
        const fs::path output = bundle_.path() / "output.txt";
        fs::remove(output);
        const pid_t child = fork();
        if (child == 0) {
            const int log = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (log < 0 || !enterSandbox()) _exit(200);
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
            std::vector<std::string> environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                                    "ZORVANE_STANDIN_LOG=" + standInLog().string()};
            if (pkexecUID) environment.push_back("PKEXEC_UID=" + *pkexecUID);
            environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
            std::vector<char *> envp;
            for (auto &item : environment) envp.push_back(item.data());
            envp.push_back(nullptr);
            execle("/bin/bash", "bash", "-c", command.c_str(), nullptr, envp.data());
            _exit(201);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 255, readFile(output)};
    }

    std::string setup() const { return (resources() / "ZorvaneSetup.pkg").string(); }
    std::string removal() const { return (resources() / "ZorvaneRemove.pkg").string(); }

    // What the sandbox shows as /Library and /etc/systemd/system.
    Snapshot installed() const {
        Snapshot result;
        for (const auto &[path, entry] : snapshot(library())) result["/Library/" + path] = entry;
        for (const auto &[path, entry] : snapshot(units())) result["units/" + path] = entry;
        return result;
    }

    std::optional<TestAccount> account_;

private:
    bool enterSandbox() {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return false;
        const fs::path root = root_.path();
        for (const auto &item : fs::directory_iterator("/")) {
            const std::string name = item.path().filename().string();
            // The sandbox's own /Library is a plain directory of the temporary root, never the
            // machine's.
            if (name == "Library") continue;
            const fs::path target = root / name;
            std::error_code error;
            if (item.is_symlink()) {
                if (!fs::exists(fs::symlink_status(target)))
                    fs::create_symlink(fs::read_symlink(item.path()), target);
                continue;
            }
            if (!item.is_directory(error)) continue;
            fs::create_directory(target, error);
            // No systemd in here: /run is empty.
            if (name == "run") {
                if (mount("tmpfs", target.c_str(), "tmpfs", 0, "mode=0755") != 0) return false;
                continue;
            }
            const unsigned long flags = name == "tmp" ? MS_BIND : MS_BIND | MS_REC;
            if (mount(item.path().c_str(), target.c_str(), nullptr, flags, nullptr) != 0)
                return false;
        }
        return mount(units_.path().c_str(), (root / "etc/systemd/system").c_str(), nullptr, MS_BIND,
                     nullptr) == 0 &&
               mount(home_.path().c_str(), (root / account_->home.relative_path()).c_str(), nullptr,
                     MS_BIND, nullptr) == 0 &&
               chroot(root.c_str()) == 0 && chdir("/") == 0;
    }

    TemporaryDirectory root_{"zorvane-root"};
    TemporaryDirectory units_{"zorvane-units"};
    TemporaryDirectory home_{"zorvane-home"};
    TemporaryDirectory bundle_{"zorvane-bundle"};

protected:
    fs::path settings() const {
        return home_.path() / "Library/Application Support/Zorvane/settings.json";
    }
};

std::string bootUnit(const std::string &uid) {
    return "[Unit]\nDescription=Zorvane boot enforcer for user " + uid +
           "\n\n[Service]\nExecStart=/Library/PrivilegedHelperTools/org.zorvane.boot\nUser=" + uid +
           "\nRestart=always\nRestartSec=1\n\n[Install]\nWantedBy=multi-user.target\n";
}

const std::string webUnit =
    "[Unit]\nDescription=Zorvane website protection\nAfter=network.target\n\n[Service]\n"
    "ExecStart=/Library/PrivilegedHelperTools/org.zorvane.web\nRestart=always\nRestartSec=1\n"
    "KillSignal=SIGTERM\nTimeoutStopSec=30\n\n[Install]\nWantedBy=multi-user.target\n";

TEST_F(Packages, SetupLeavesExactlyTheInstalledStateAndASecondRunChangesNothing) {
    const auto result = run(setup(), uid());
    ASSERT_EQ(result.status, 0) << result.output;

    const std::string boot = "org.zorvane.boot." + uid() + ".service";
    const std::map<std::string, std::tuple<std::string, mode_t, std::string>> expected = {
        {"/Library/", {"d", 0755, ""}},
        {"/Library/Application Support", {"d", 0755, ""}},
        {"/Library/Application Support/ZorvaneWeb", {"d", 0755, ""}},
        {"/Library/Application Support/ZorvaneWeb/owner.json",
         {"f", 0644, "{\"uid\":" + uid() + "}"}},
        {"/Library/PrivilegedHelperTools", {"d", 0755, ""}},
        {"/Library/PrivilegedHelperTools/org.zorvane.web",
         {"f", 0755, readFile(helpers() / "OrvixWeb")}},
        {"/Library/PrivilegedHelperTools/org.zorvane.dnscrypt",
         {"f", 0755, readFile(helpers() / "org.zorvane.dnscrypt")}},
        {"/Library/PrivilegedHelperTools/org.zorvane.boot",
         {"f", 0755, readFile(helpers() / "OrvixBoot")}},
        {"units/", {"d", 0700, ""}},
        {"units/" + boot, {"f", 0644, bootUnit(uid())}},
        {"units/org.zorvane.web.service", {"f", 0644, webUnit}},
        {"units/multi-user.target.wants", {"d", 0755, ""}},
        {"units/multi-user.target.wants/" + boot, {"l", 0777, "../" + boot}},
        {"units/multi-user.target.wants/org.zorvane.web.service",
         {"l", 0777, "../org.zorvane.web.service"}},
    };
    const Snapshot first = installed();
    std::map<std::string, std::tuple<std::string, mode_t, std::string>> actual;
    for (const auto &[path, entry] : first) {
        actual[path] = {entry.type, entry.mode, entry.content};
        EXPECT_EQ(entry.uid, 0u) << path;
        EXPECT_EQ(entry.gid, 0u) << path;
    }
    for (const auto &[path, want] : expected) {
        const auto found = actual.find(path);
        if (found == actual.end()) {
            ADD_FAILURE() << "missing " << path;
            continue;
        }
        EXPECT_EQ(std::get<0>(found->second), std::get<0>(want)) << path;
        EXPECT_EQ(std::get<1>(found->second), std::get<1>(want)) << path;
        EXPECT_TRUE(std::get<2>(found->second) == std::get<2>(want)) << path;
    }
    for (const auto &[path, entry] : actual)
        EXPECT_TRUE(expected.count(path)) << "unexpected " << path;

    const auto again = run(setup(), uid());
    ASSERT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(installed(), first);
}

TEST_F(Packages, SetupTakesBackDirectoriesOthersCouldWriteAndReplacesOldExecutables) {
    for (const auto *directory :
         {"", "Application Support", "Application Support/ZorvaneWeb", "PrivilegedHelperTools"}) {
        fs::create_directories(library() / directory);
        ASSERT_EQ(chown((library() / directory).c_str(), account_->uid, account_->gid), 0);
        fs::permissions(library() / directory, fs::perms::all);
    }
    writeFile(library() / "PrivilegedHelperTools/org.zorvane.web", "old");
    ASSERT_EQ(chown((library() / "PrivilegedHelperTools/org.zorvane.web").c_str(), account_->uid,
                    account_->gid),
              0);
    fs::permissions(library() / "PrivilegedHelperTools/org.zorvane.web", fs::perms::all);

    const auto result = run(setup(), uid());
    ASSERT_EQ(result.status, 0) << result.output;
    for (const auto &[path, entry] : installed()) {
        if (path.rfind("/Library", 0) != 0) continue;
        EXPECT_EQ(entry.uid, 0u) << path;
        EXPECT_EQ(entry.mode & 022, 0u) << path;
    }
    EXPECT_EQ(readFile(library() / "PrivilegedHelperTools/org.zorvane.web"),
              readFile(helpers() / "OrvixWeb"));
}

TEST_F(Packages, RemovalStopsTheRunningServiceWithSIGTERMAndLeavesOnlyTheUsersSettings) {
    ASSERT_EQ(run(setup(), uid()).status, 0);
    const std::string settingsBefore = readFile(settings());
    const auto result = run(
        "/Library/PrivilegedHelperTools/org.zorvane.web &\n"
        "for _ in $(seq 200); do grep -q started \"$ZORVANE_STANDIN_LOG\" 2>/dev/null && break; "
        "sleep 0.05; done\n" +
            removal(),
        uid());
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(readFile(standInLog()), "started\nterminated\n");
    EXPECT_EQ(installed(), (Snapshot{{"units/", snapshot(units()).at("")}}));
    EXPECT_FALSE(fs::exists(library()));
    EXPECT_EQ(readFile(settings()), settingsBefore);
}

TEST_F(Packages, RemovalRestoresDNSWhenTheServiceIsNotRunningAndASecondRunChangesNothing) {
    ASSERT_EQ(run(setup(), uid()).status, 0);
    const auto result = run(removal(), uid());
    ASSERT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(readFile(standInLog()), "restore\n");
    const Snapshot after = installed();
    EXPECT_EQ(after.size(), 1u) << after;
    EXPECT_TRUE(fs::exists(settings()));

    const auto again = run(removal(), uid());
    ASSERT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(installed(), after);
    EXPECT_EQ(readFile(standInLog()), "restore\n");
}

TEST_F(Packages, RemovalKeepsEverythingWhenDNSCannotBePutBack) {
    ASSERT_EQ(run(setup(), uid()).status, 0);
    const Snapshot before = installed();
    const auto result = run(removal(), uid(), {"ZORVANE_STANDIN_FAIL=1"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("could not put the DNS settings back"), std::string::npos)
        << result.output;
    EXPECT_EQ(installed(), before);
}

TEST_F(Packages, BothRefuseUsersOf500AndBelowAndStartsOutsidePkexec) {
    ASSERT_EQ(run(setup(), uid()).status, 0);
    const Snapshot before = installed();
    for (const auto &program : {setup(), removal()}) {
        for (const std::optional<std::string> &caller :
             std::vector<std::optional<std::string>>{"500", "0", "1", "abc", "", std::nullopt}) {
            SCOPED_TRACE(program + " " + caller.value_or("(no PKEXEC_UID)"));
            const auto result = run(program, caller);
            EXPECT_EQ(result.status, 1);
            EXPECT_FALSE(result.output.empty());
            EXPECT_EQ(installed(), before);
        }
    }
    const auto fresh = run(setup(), "500");
    EXPECT_NE(fresh.output.find("needs a user id above 500"), std::string::npos) << fresh.output;
}

TEST_F(Packages, SetupRefusesAnAccountThatDoesNotExist) {
    const auto result = run(setup(), "4000000000");
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(fs::exists(library()));
}

}  // namespace
}  // namespace orvix::testing
