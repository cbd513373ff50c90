// The real OrvixWeb executable, as root, with the test account as the installed user and the
// stand-in proxy at the proxy location. Each test process moves into a private mount and
// network namespace whose root is a copy-on-write overlay of the machine's, so the service's
// "/Library/…", "/etc/resolv.conf", "/run" lock and the account's home are the test's own and
// nothing on the machine changes; only [::1] of the private namespace is ever contacted.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <thread>

#include "BootFiles.hpp"
#include "DNSCryptConfiguration.hpp"
#include "DNSDictionary.hpp"
#include "NetworkDNS.hpp"
#include "TestSupport.hpp"
#include "WebController.hpp"
#include "WebDNSJournal.hpp"
#include "WebRootFiles.hpp"
#include "WebServiceStatus.hpp"

using namespace orvix;
using namespace orvix::testing;
using Phase = WebServiceStatus::Phase;
using Steady = std::chrono::steady_clock;

namespace {

const std::filesystem::path staging = "/opt/zorvane-e2e";
const std::filesystem::path service = "/Library/PrivilegedHelperTools/org.zorvane.web";
const std::filesystem::path proxyPath = "/Library/PrivilegedHelperTools/org.zorvane.dnscrypt";
const std::filesystem::path webDirectory = "/Library/Application Support/ZorvaneWeb";
const std::filesystem::path resolvConf = "/etc/resolv.conf";
const std::string automaticResolvConf =
    "# written by the test network\nsearch example.lan\noptions edns0 trust-ad\n";

bool check(int result, const char *what) {
    if (result != 0) std::cerr << what << ": " << std::strerror(errno) << "\n";
    return result == 0;
}

// Moves this process into its private world, once.
bool isolate() {
    static const bool done = [] {
        if (!check(::unshare(CLONE_NEWNS | CLONE_NEWNET), "unshare")) return false;
        if (!check(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), "private /"))
            return false;
        const std::filesystem::path base = "/mnt";
        if (!check(::mount("zorvane-e2e", base.c_str(), "tmpfs", 0, "mode=0755"), "tmpfs"))
            return false;
        for (const char *name : {"upper", "work", "root"})
            std::filesystem::create_directory(base / name);
        const std::string options = "lowerdir=/,upperdir=" + (base / "upper").string() +
                                    ",workdir=" + (base / "work").string();
        if (!check(::mount("overlay", (base / "root").c_str(), "overlay", 0, options.c_str()),
                   "overlay"))
            return false;
        for (const char *name : {"proc", "dev", "sys"}) {
            const auto target = base / "root" / name;
            if (!check(::mount((std::string("/") + name).c_str(), target.c_str(), nullptr,
                               MS_BIND | MS_REC, nullptr),
                       name))
                return false;
        }
        // The executables under test, copied in while the build tree is still in sight.
        std::filesystem::create_directories(base / "root" / staging.relative_path());
        std::filesystem::copy_file(ORVIX_WEB_EXECUTABLE,
                                   base / "root" / staging.relative_path() / "OrvixWeb");
        std::filesystem::copy_file(ORVIX_STANDIN_PROXY,
                                   base / "root" / staging.relative_path() / "proxy");
        if (!check(::chroot((base / "root").c_str()), "chroot") || !check(::chdir("/"), "chdir"))
            return false;
        const bool up = orvix::testing::bringUpLoopback();
        // Only the overlay's own tools; a NetworkManager of the machine is out of reach anyway.
        ::setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
        return up;
    }();
    return done;
}

void placeRootFile(const std::filesystem::path &path, const std::string &bytes, mode_t mode) {
    writeFile(path, bytes);
    ::chown(path.c_str(), 0, 0);
    ::chmod(path.c_str(), mode);
}

struct Run {
    int exitCode = -1;
    std::string output;
};

// Runs a program to its end and returns its exit status and what it printed.
Run runToEnd(const std::vector<std::string> &arguments) {
    const auto log = std::filesystem::path("/tmp") / ("zorvane-run-" + std::to_string(::getpid()));
    std::filesystem::remove(log);
    const pid_t pid = spawn(arguments, std::nullopt, log);
    int status = 0;
    ::waitpid(pid, &status, 0);
    Run run;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.output = std::filesystem::exists(log) ? readFile(log) : "";
    std::filesystem::remove(log);
    return run;
}

class WebServiceEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        account = TestAccount::ensure();
        if (!account) GTEST_SKIP() << "needs root for the service, its namespaces and the account";
        ASSERT_TRUE(isolate());

        std::filesystem::remove_all("/Library");
        for (const auto &directory :
             {std::filesystem::path("/Library"),
              std::filesystem::path("/Library/Application Support"), webDirectory,
              std::filesystem::path("/Library/PrivilegedHelperTools")}) {
            std::filesystem::create_directories(directory);
            ::chmod(directory.c_str(), 0755);
        }
        std::filesystem::copy_file(staging / "OrvixWeb", service);
        std::filesystem::copy_file(staging / "proxy", proxyPath);
        ::chmod(service.c_str(), 0755);
        ::chmod(proxyPath.c_str(), 0755);
        placeRootFile(webDirectory / "owner.json", "{\"uid\":" + std::to_string(account->uid) + "}",
                      0644);
        placeRootFile(resolvConf, automaticResolvConf, 0644);
        std::filesystem::remove_all(account->home / "Library");
        std::filesystem::remove("/tmp/zorvane-proxy-starts");
        ::setenv("ZORVANE_STANDIN_LOG", "/tmp/zorvane-proxy-starts", 1);
        // Slow enough that the first tick finds the proxy not yet answering.
        ::setenv("ZORVANE_STANDIN_DELAY_MS", "600", 1);
        sessionEnd = Instant::now().advanced(3600);
    }

    void TearDown() override {
        if (HasFailure()) {
            std::cerr << "resolv.conf:\n"
                      << (std::filesystem::exists(resolvConf) ? readFile(resolvConf) : "(none)")
                      << "\n";
            if (std::filesystem::exists(webDirectory / "status.json"))
                std::cerr << "status: " << readFile(webDirectory / "status.json") << "\n";
            if (std::filesystem::exists(webDirectory / "journal.json"))
                std::cerr << "journal: " << readFile(webDirectory / "journal.json") << "\n";
            if (std::filesystem::exists("/tmp/zorvane-service.log"))
                std::cerr << "service output: " << readFile("/tmp/zorvane-service.log") << "\n";
        }
        for (pid_t pid : started) stop(pid);
        for (pid_t pid : proxies()) {
            ::kill(pid, SIGKILL);
            waitForExit(pid, 5);
        }
    }

    OrvixConfiguration settings(bool keepFamily = false) const {
        OrvixConfiguration configuration;
        configuration.timeZoneIdentifier = "UTC";
        configuration.blockingEnabled = true;
        configuration.sessionEndsAt = sessionEnd;
        configuration.websites = WebsiteProtection(true, {"example.com", "videos.example"});
        configuration.websites.keepFamilyBetweenSessions = keepFamily;
        return configuration;
    }

    std::filesystem::path settingsFile() const {
        return account->home / "Library/Application Support/Zorvane/settings.json";
    }

    // As the application writes it: owned by the account, replaced in one step.
    void writeSettings(const OrvixConfiguration &configuration) {
        const auto directory = settingsFile().parent_path();
        std::filesystem::create_directories(directory);
        chownTree(account->home / "Library", account->uid, account->gid);
        const auto temporary = directory / ".settings.json.test";
        writeFile(temporary, configuration.toJSON());
        ::chown(temporary.c_str(), account->uid, account->gid);
        ::chmod(temporary.c_str(), 0600);
        std::filesystem::rename(temporary, settingsFile());
    }

    pid_t startService() {
        std::filesystem::remove("/tmp/zorvane-service.log");
        const pid_t pid = spawn({service.string()}, std::nullopt, "/tmp/zorvane-service.log");
        started.push_back(pid);
        return pid;
    }

    std::optional<WebServiceStatus> status() const {
        try {
            return WebServiceStatus::fromJSON(readFile(webDirectory / "status.json"));
        } catch (const std::exception &) {
            return std::nullopt;
        }
    }

    WebDNSJournal journal() const {
        return WebDNSJournal::fromJSON(readFile(webDirectory / "journal.json"));
    }

    // Polls the status file until `condition` holds; every distinct status seen on the way is
    // passed to `each`.
    std::optional<WebServiceStatus> waitFor(
        const std::function<bool(const WebServiceStatus &)> &condition, double seconds,
        const std::function<void(const WebServiceStatus &)> &each = {}) {
        const auto deadline = Steady::now() + std::chrono::duration<double>(seconds);
        std::optional<WebServiceStatus> last;
        while (Steady::now() < deadline) {
            if (auto current = status()) {
                if (each && (!last || !(*last == *current))) each(*current);
                last = current;
                if (condition(*current)) return current;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return std::nullopt;
    }

    std::optional<WebServiceStatus> waitForPhase(Phase phase, double seconds = 8) {
        return waitFor([phase](const WebServiceStatus &s) { return s.phase == phase; }, seconds);
    }

    // The stand-in proxies that run now.
    static std::vector<pid_t> proxies() {
        std::vector<pid_t> result;
        for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
            const auto name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            std::error_code error;
            const auto executable = std::filesystem::read_symlink(entry.path() / "exe", error);
            if (!error && executable == proxyPath && isRunning(std::stoi(name)))
                result.push_back(std::stoi(name));
        }
        return result;
    }

    int proxyStarts() const {
        if (!std::filesystem::exists("/tmp/zorvane-proxy-starts")) return 0;
        const auto text = readFile("/tmp/zorvane-proxy-starts");
        return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
    }

    // The service runs the session of `settings()` and DNS points at its proxy.
    void expectActiveSession() {
        const WebSessionPlan plan(settings(), Instant::now());
        bool sawStarting = false;
        const auto active =
            waitFor([](const WebServiceStatus &s) { return s.phase == Phase::active; }, 10,
                    [&](const WebServiceStatus &s) {
                        if (s.phase == Phase::starting && s.plan == plan) sawStarting = true;
                    });
        ASSERT_TRUE(active) << "the service never became active";
        EXPECT_TRUE(sawStarting);
        EXPECT_TRUE(active->confirmsActivePlan(plan));
        EXPECT_TRUE(active->restorationPending);
        EXPECT_EQ(active->uid, account->uid);
        EXPECT_TRUE(active->isFresh(account->uid, BootFiles::bootID(), systemUptime()));
        EXPECT_EQ(readFile(resolvConf), automaticResolvConf + "nameserver ::1\n");
        const auto saved = journal();
        ASSERT_EQ(saved.backups.size(), 1u);
        EXPECT_EQ(saved.backups[0].serviceID, "/etc/resolv.conf");
        ASSERT_TRUE(saved.backups[0].original);
        const auto original = DNSDictionary::fromBinary(*saved.backups[0].original);
        ASSERT_TRUE(original);
        EXPECT_FALSE(original->hasServerAddresses());
        EXPECT_EQ(original->strings("SearchDomains"), std::vector<std::string>{"example.lan"});
        EXPECT_EQ(saved.plan, plan);
        struct stat info {};
        ASSERT_EQ(::stat((webDirectory / "journal.json").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        EXPECT_EQ(proxies().size(), 1u);
    }

    void expectRestored() {
        EXPECT_EQ(readFile(resolvConf), automaticResolvConf);
        EXPECT_EQ(readFile(webDirectory / "journal.json"), "{\"backups\":[]}");
        const auto idle = status();
        ASSERT_TRUE(idle);
        EXPECT_EQ(idle->phase, Phase::idle);
        EXPECT_FALSE(idle->restorationPending);
        EXPECT_FALSE(idle->plan);
        EXPECT_TRUE(waitForExitOfProxies());
    }

    bool waitForExitOfProxies() const {
        const auto deadline = Steady::now() + std::chrono::seconds(5);
        while (Steady::now() < deadline) {
            if (proxies().empty()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    std::optional<TestAccount> account;
    Instant sessionEnd;
    std::vector<pid_t> started;
};

TEST_F(WebServiceEndToEnd, SessionBecomesActiveAndItsEndRestoresDNS) {
    sessionEnd = Instant::now().advanced(5);
    writeSettings(settings());
    startService();
    expectActiveSession();
    ASSERT_TRUE(waitForPhase(Phase::idle, 10));
    expectRestored();
    EXPECT_EQ(proxyStarts(), 1);
}

TEST_F(WebServiceEndToEnd, BetweenSessionsTheProxyIsRestartedAndDNSStaysOnIt) {
    sessionEnd = Instant::now().advanced(5);
    writeSettings(settings(true));
    const pid_t pid = startService();
    expectActiveSession();
    bool leftLocalResolver = false;
    const auto between = waitFor(
        [](const WebServiceStatus &s) {
            return s.phase == Phase::active && s.plan && s.plan->isContinuous();
        },
        10,
        [&](const WebServiceStatus &s) {
            if (s.phase == Phase::idle || s.phase == Phase::restoring) leftLocalResolver = true;
            if (readFile(resolvConf).find("nameserver ::1\n") == std::string::npos)
                leftLocalResolver = true;
        });
    ASSERT_TRUE(between);
    EXPECT_FALSE(leftLocalResolver);
    EXPECT_TRUE(between->plan->domains.empty());
    EXPECT_FALSE(between->plan->filter);
    EXPECT_EQ(readFile(webDirectory / "blocked-names.txt"), "\n");
    EXPECT_EQ(proxyStarts(), 2);
    EXPECT_EQ(proxies().size(), 1u);
    EXPECT_EQ(journal().backups.size(), 1u);
    // Ending the service now still gives the machine its own DNS back.
    ::kill(pid, SIGTERM);
    int exitStatus = 0;
    ASSERT_EQ(::waitpid(pid, &exitStatus, 0), pid);
    started.clear();
    EXPECT_TRUE(WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0);
    expectRestored();
}

TEST_F(WebServiceEndToEnd, TerminationDuringASessionRestoresDNSAndExitsCleanly) {
    writeSettings(settings());
    const pid_t pid = startService();
    expectActiveSession();
    for (int signal : {SIGTERM}) ::kill(pid, signal);
    int exitStatus = 0;
    ASSERT_EQ(::waitpid(pid, &exitStatus, 0), pid);
    started.clear();
    EXPECT_TRUE(WIFEXITED(exitStatus));
    EXPECT_EQ(WEXITSTATUS(exitStatus), 0);
    expectRestored();
    EXPECT_EQ(readFile("/tmp/zorvane-service.log"), "");
}

TEST_F(WebServiceEndToEnd, InterruptDuringASessionRestoresDNSToo) {
    writeSettings(settings());
    const pid_t pid = startService();
    expectActiveSession();
    ::kill(pid, SIGINT);
    int exitStatus = 0;
    ASSERT_EQ(::waitpid(pid, &exitStatus, 0), pid);
    started.clear();
    EXPECT_TRUE(WIFEXITED(exitStatus) && WEXITSTATUS(exitStatus) == 0);
    expectRestored();
}

TEST_F(WebServiceEndToEnd, AfterAKillTheRestoreOptionPutsDNSBack) {
    writeSettings(settings());
    const pid_t pid = startService();
    expectActiveSession();
    stop(pid);
    started.clear();
    // The proxy ends with the service, and the machine is left on ::1 with the journal.
    EXPECT_TRUE(waitForExitOfProxies());
    EXPECT_EQ(readFile(resolvConf), automaticResolvConf + "nameserver ::1\n");
    EXPECT_EQ(journal().backups.size(), 1u);
    // The restore option works without the proxy executable.
    std::filesystem::remove(proxyPath);
    const auto run = runToEnd({service.string(), "--restore"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "");
    expectRestored();
}

TEST_F(WebServiceEndToEnd, AJournalFoundAtStartIsRestoredOnTheFirstTick) {
    writeSettings(settings());
    const pid_t pid = startService();
    expectActiveSession();
    stop(pid);
    started.clear();
    auto ended = settings();
    ended.blockingEnabled = false;
    ended.sessionEndsAt.reset();
    writeSettings(ended);
    startService();
    ASSERT_TRUE(waitForPhase(Phase::idle, 5));
    expectRestored();
}

TEST_F(WebServiceEndToEnd, AnotherResolverOnTheAddressIsLeftAloneAndRetried) {
    const int other = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(53);
    address.sin6_addr = in6addr_loopback;
    ASSERT_EQ(::bind(other, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    writeSettings(settings());
    startService();
    const auto first = waitForPhase(Phase::error);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->message, WebController::resolverOwnedMessage);
    const auto later =
        waitFor([&](const WebServiceStatus &s) { return s.uptime >= first->uptime + 0.9; }, 4);
    ASSERT_TRUE(later);
    EXPECT_EQ(later->phase, Phase::error);
    EXPECT_EQ(later->message, WebController::resolverOwnedMessage);
    EXPECT_EQ(readFile(resolvConf), automaticResolvConf);
    EXPECT_FALSE(std::filesystem::exists(webDirectory / "journal.json"));
    EXPECT_EQ(proxyStarts(), 0);
    ::close(other);
    // Once the address is free the next tick goes ahead.
    expectActiveSession();
}

TEST_F(WebServiceEndToEnd, AnUnrecognizedManualResolverStopsTheChange) {
    const std::string manual = "nameserver 192.0.2.53\nsearch office.example\n";
    placeRootFile(resolvConf, manual, 0644);
    writeSettings(settings());
    startService();
    const auto refused =
        waitFor([](const WebServiceStatus &s) { return s.phase == Phase::error; }, 8);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->message, std::string("resolv.conf") + NetworkDNS::unrecognizedSuffix);
    EXPECT_FALSE(refused->restorationPending);
    EXPECT_EQ(readFile(resolvConf), manual);
}

TEST_F(WebServiceEndToEnd, DeletedSettingsKeepTheSessionUntilItsEnd) {
    sessionEnd = Instant::now().advanced(6);
    writeSettings(settings());
    startService();
    expectActiveSession();
    const auto plan = journal().plan;
    std::filesystem::remove(settingsFile());
    const auto stillActive =
        waitFor([](const WebServiceStatus &s) { return s.uptime > systemUptime() - 0.1; }, 3);
    ASSERT_TRUE(stillActive);
    const double deletedAt = systemUptime();
    const auto later =
        waitFor([&](const WebServiceStatus &s) { return s.uptime > deletedAt + 1; }, 3);
    ASSERT_TRUE(later);
    if (Instant::now() < sessionEnd.advanced(-0.5)) {
        EXPECT_EQ(later->phase, Phase::active);
        EXPECT_EQ(later->plan, plan);
        EXPECT_EQ(readFile(resolvConf), automaticResolvConf + "nameserver ::1\n");
    }
    ASSERT_TRUE(waitForPhase(Phase::idle, 10));
    expectRestored();
}

TEST_F(WebServiceEndToEnd, RefusedSettingsFilesLeaveDNSAlone) {
    struct Case {
        const char *name;
        std::function<void()> place;
    };
    const std::string valid = settings().toJSON();
    const auto asAccount = [this](const std::filesystem::path &path, uid_t owner, mode_t mode) {
        ::lchown(path.c_str(), owner, account->gid);
        ::chmod(path.c_str(), mode);
    };
    writeSettings(settings());
    std::filesystem::remove(settingsFile());
    const std::vector<Case> cases = {
        {"owned by another user",
         [&] {
             writeFile(settingsFile(), valid);
             asAccount(settingsFile(), account->uid + 1, 0600);
         }},
        {"group-writable",
         [&] {
             writeFile(settingsFile(), valid);
             asAccount(settingsFile(), account->uid, 0660);
         }},
        {"a symbolic link",
         [&] {
             const auto real = settingsFile().parent_path() / "real.json";
             writeFile(real, valid);
             asAccount(real, account->uid, 0600);
             std::filesystem::create_symlink(real, settingsFile());
             asAccount(settingsFile(), account->uid, 0600);
         }},
        {"a directory",
         [&] {
             std::filesystem::create_directory(settingsFile());
             asAccount(settingsFile(), account->uid, 0700);
         }},
        {"over 1 MiB",
         [&] {
             std::string large = valid;
             large.resize(WebRootFiles::maximumFileSize + 1, ' ');
             writeFile(settingsFile(), large);
             asAccount(settingsFile(), account->uid, 0600);
         }},
    };
    startService();
    for (const auto &[name, place] : cases) {
        SCOPED_TRACE(name);
        std::filesystem::remove_all(settingsFile());
        place();
        // A whole tick after the file was placed, so the status is about this file.
        const double placedAt = systemUptime() + 1.05;
        const auto refused =
            waitFor([&](const WebServiceStatus &s) { return s.uptime > placedAt; }, 4);
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->phase, Phase::error);
        EXPECT_EQ(refused->message, WebController::settingsUnavailableMessage);
        EXPECT_EQ(readFile(resolvConf), automaticResolvConf);
    }
    EXPECT_EQ(proxyStarts(), 0);
    // The same place with a proper file is read: the refusals came from the files themselves.
    std::filesystem::remove_all(settingsFile());
    writeSettings(settings());
    expectActiveSession();
}

TEST_F(WebServiceEndToEnd, ACrashAtAnyPointLeavesARecoverableMachine) {
    writeSettings(settings());
    for (double delay : {0.05, 0.35, 0.5, 0.65, 0.8, 1.1, 1.4, 2.0}) {
        SCOPED_TRACE(delay);
        const pid_t pid = startService();
        std::this_thread::sleep_for(std::chrono::duration<double>(delay));
        stop(pid);
        started.clear();
        ASSERT_TRUE(waitForExitOfProxies());
        const auto text = readFile(resolvConf);
        const bool onLocalResolver = text == automaticResolvConf + "nameserver ::1\n";
        EXPECT_TRUE(onLocalResolver || text == automaticResolvConf) << text;
        if (onLocalResolver) {
            ASSERT_TRUE(std::filesystem::exists(webDirectory / "journal.json"));
            EXPECT_EQ(journal().backups.size(), 1u);
        }
        const auto run = runToEnd({service.string(), "--restore"});
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(readFile(resolvConf), automaticResolvConf);
        EXPECT_EQ(readFile(webDirectory / "journal.json"), "{\"backups\":[]}");
    }
}

TEST_F(WebServiceEndToEnd, CommandLineModesAndTheirExitCodes) {
    const auto family = runToEnd({service.string(), "--print-proxy-config", "/srv/dir"});
    EXPECT_EQ(family.exitCode, 0);
    EXPECT_EQ(family.output,
              DNSCryptConfiguration::text("/srv/dir", WebsiteContentFilter::family) + "\n");
    const auto adult = runToEnd({service.string(), "--print-proxy-config", "/srv/dir", "adult"});
    EXPECT_EQ(adult.exitCode, 0);
    EXPECT_EQ(adult.output,
              DNSCryptConfiguration::text("/srv/dir", WebsiteContentFilter::adult) + "\n");

    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        std::string output;
    };
    const std::string startFailed =
        "Zorvane website service could not start. Check its installation and saved DNS recovery "
        "files.\n";
    const std::vector<Case> cases = {
        {{"--print-proxy-config", "/srv/dir", "Adult"}, 2, "Invalid content filter.\n"},
        {{"--print-proxy-config", "/srv/dir", "family", "extra"}, 2, "Invalid content filter.\n"},
        {{"--print-proxy-config", "/srv/it's"}, 1, startFailed},
        // Restore with an empty journal succeeds and reports idle; "--restore" counts anywhere.
        {{"one", "--restore", "two"}, 0, ""},
    };
    for (const auto &[arguments, exitCode, output] : cases) {
        SCOPED_TRACE(arguments.back());
        std::vector<std::string> command{service.string()};
        command.insert(command.end(), arguments.begin(), arguments.end());
        const auto run = runToEnd(command);
        EXPECT_EQ(run.exitCode, exitCode);
        EXPECT_EQ(run.output, output);
    }
    ASSERT_TRUE(status());
    EXPECT_EQ(status()->phase, Phase::idle);

    std::filesystem::remove(webDirectory / "owner.json");
    for (const auto &arguments :
         {std::vector<std::string>{service.string()}, {service.string(), "--restore"}}) {
        const auto run = runToEnd(arguments);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.output, startFailed);
    }
    EXPECT_EQ(readFile(resolvConf), automaticResolvConf);
}

}  // namespace
