#include "WebController.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "BootFiles.hpp"
#include "DNSCryptConfiguration.hpp"
#include "Locations.hpp"
#include "NetworkDNS.hpp"
#include "orvix_dns.h"

namespace orvix {

namespace {

using Phase = WebServiceStatus::Phase;

// Starts `arguments` with standard input, output and error on the null device, in
// `directory` when given. The child gets default signal handling back (the service ignores
// SIGTERM and SIGINT, and an ignored signal would survive exec). Throws std::system_error when
// the program cannot be started.
pid_t launch(const std::vector<std::string> &arguments,
             const std::optional<std::filesystem::path> &directory, bool endWithParent) {
    std::vector<char *> argv;
    for (const auto &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    // The child reports a failed exec through this pipe; a successful exec closes it.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        throw std::system_error(error, std::generic_category(), arguments.front());
    }
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGTERM, SIG_DFL);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGPIPE, SIG_DFL);
        // A proxy must not outlive a service that was killed outright: it would hold the
        // resolver address against the service's next start.
        if (endWithParent) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(127);
        }
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        int error = 0;
        if (directory && ::chdir(directory->c_str()) != 0) error = errno;
        if (error == 0) {
            ::execv(argv[0], argv.data());
            error = errno;
        }
        [[maybe_unused]] auto written = ::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(report[1]);
    int error = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof error)) {
        ::waitpid(pid, nullptr, 0);
        throw std::system_error(error, std::generic_category(), arguments.front());
    }
    return pid;
}

void waitFor(pid_t pid) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

WebController::Environment::Environment()
    : familyProxyConfigurations(NetworkDNS::familyProxyConfigurations()) {}

WebController::WebController(bool restoreOnly, Environment environment)
    : environment_(std::move(environment)), bootID_(BootFiles::bootID()) {
    const auto &files = environment_.files;
    files.validateInstallation(!restoreOnly);
    uid_ = WebRootFiles::read<WebRootFiles::Owner>(files.url(Locations::webOwnerFile), 0).uid;
    if (!restoreOnly) settingsURL_ = environment_.settingsURL(uid_);
    const auto journalURL = files.url(Locations::webJournalFile);
    struct stat info {};
    if (::lstat(journalURL.c_str(), &info) == 0)
        journal_ = WebRootFiles::read<WebDNSJournal>(journalURL, 0);
    else if (errno != ENOENT)
        throw std::system_error(errno, std::generic_category(), journalURL.string());
}

WebController::~WebController() {
    stopProxy();
}

std::unique_ptr<NetworkPreferences> WebController::preferences() const {
    return environment_.preferences();
}

std::optional<WebSessionPlan> WebController::desiredPlan(Instant now) const {
    if (!settingsURL_) return std::nullopt;
    const auto configuration = WebRootFiles::read<OrvixConfiguration>(*settingsURL_, uid_);
    return WebSessionPlan::desired(configuration, now);
}

void WebController::status(Phase phase, const std::optional<WebSessionPlan> &plan,
                           const std::optional<std::string> &message) {
    const WebServiceStatus record(uid_, bootID_, systemUptime(), phase, plan, message,
                                  !journal_.backups.empty());
    try {
        environment_.files.writeData(record.toJSON(), Locations::webStatusFile, true, false);
    } catch (const std::exception &) {
        // A status that cannot be written goes stale, which readers take as no answer.
    }
}

void WebController::errorStatus(const std::string &message) {
    status(Phase::error, journal_.plan, message);
}

void WebController::save(const WebDNSJournal &journal) {
    const auto bytes = journal.toJSON();
    if (bytes == lastJournalData_) return;
    environment_.files.writeData(bytes, Locations::webJournalFile, false, true);
    lastJournalData_ = bytes;
}

bool WebController::proxyRunning() {
    if (proxy_ <= 0) return false;
    const pid_t result = ::waitpid(proxy_, nullptr, WNOHANG);
    if (result == 0) return true;
    // It has ended (and is now reaped), or it is no child of ours any more.
    proxy_ = 0;
    return false;
}

void WebController::startProxy() {
    const auto &files = environment_.files;
    const auto configuration = files.url(Locations::proxyConfigurationFile);
    proxy_ = launch({files.proxy().string(), "-config", configuration.string()}, files.directory(),
                    true);
}

void WebController::stopProxy() {
    if (proxyRunning()) {
        ::kill(proxy_, SIGTERM);
        // A proxy that ignores the request must not stall the service's one thread for good.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (::waitpid(proxy_, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(proxy_, SIGKILL);
                waitFor(proxy_);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    proxy_ = 0;
    proxyPlan_.reset();
}

void WebController::flushCaches() {
    for (const auto &command : environment_.cacheFlushCommands) {
        if (command.empty() || ::access(command.front().c_str(), X_OK) != 0) continue;
        try {
            waitFor(launch(command, std::nullopt, false));
        } catch (const std::exception &) {
            // A flush tool that cannot start is skipped.
        }
    }
}

void WebController::tick() {
    const auto now = environment_.clock->now();
    std::optional<WebSessionPlan> desired;
    try {
        desired = desiredPlan(now);
    } catch (const std::exception &) {
        // Damaged settings never end a session early: the journal's plan runs until its end.
        if (journal_.plan && journal_.plan->isCurrent(now)) {
            desired = journal_.plan;
        } else {
            if (!journal_.backups.empty()) {
                try {
                    restore();
                } catch (const std::exception &error) {
                    errorStatus(error.what());
                }
            } else {
                status(Phase::error, std::nullopt, settingsUnavailableMessage);
            }
            return;
        }
    }

    if (!desired) {
        if (journal_.backups.empty() && !proxyRunning() && !journal_.plan) {
            status(Phase::idle, std::nullopt, std::nullopt);
            return;
        }
        try {
            restore();
        } catch (const std::exception &error) {
            errorStatus(error.what());
        }
        return;
    }

    const WebSessionPlan plan = *desired;
    if (proxyPlan_ != plan || !proxyRunning()) {
        stopProxy();
        if (orvix_dns_ports_available() != 0) {
            errorStatus(resolverOwnedMessage);
            return;
        }
        try {
            const auto &files = environment_.files;
            files.writeData(
                DNSCryptConfiguration::text(files.directory().string(), plan.contentFilter()),
                Locations::proxyConfigurationFile, true, false);
            files.writeData(DNSCryptConfiguration::blockedNames(plan.domains),
                            Locations::blockListFile, true, false);
            startProxy();
        } catch (const std::exception &error) {
            errorStatus(error.what());
            return;
        }
        proxyPlan_ = plan;
        needsFlush_ = true;
        lastProbe_ = -std::numeric_limits<double>::infinity();
    }

    if (needsFlush_ || journal_.backups.empty()) status(Phase::starting, plan, std::nullopt);
    const double uptime = systemUptime();
    if (needsFlush_ || uptime - lastProbe_ >= probeInterval) {
        if (orvix_dns_probe() != 0 || !proxyRunning()) {
            status(Phase::starting, plan, waitingMessage);
            return;
        }
        lastProbe_ = uptime;
    }

    if (!plan.isCurrent(environment_.clock->now())) {
        try {
            restore();
        } catch (const std::exception &error) {
            errorStatus(error.what());
        }
        return;
    }

    journal_.plan = plan;
    bool changed = false;
    try {
        NetworkDNS dns(preferences(), environment_.familyProxyConfigurations);
        changed = dns.apply(journal_, [this](const WebDNSJournal &journal) { save(journal); });
    } catch (const std::exception &error) {
        errorStatus(error.what());
        return;
    }
    if (changed || needsFlush_) {
        flushCaches();
        needsFlush_ = false;
    }
    status(Phase::active, plan, std::nullopt);
}

void WebController::restore() {
    status(Phase::restoring, journal_.plan, std::nullopt);
    bool changed = false;
    try {
        if (journal_.backups.empty()) {
            WebDNSJournal emptied = journal_;
            emptied.restored();
            save(emptied);
            journal_ = std::move(emptied);
        } else {
            NetworkDNS dns(preferences(), environment_.familyProxyConfigurations);
            changed =
                dns.restore(journal_, [this](const WebDNSJournal &journal) { save(journal); });
        }
    } catch (const std::exception &) {
        status(Phase::error, journal_.plan, restorationMessage);
        throw;
    }
    if (changed) flushCaches();
    stopProxy();
    status(Phase::idle, std::nullopt, std::nullopt);
}

}  // namespace orvix
