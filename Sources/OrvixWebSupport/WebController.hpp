#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Clock.hpp"
#include "NetworkPreferences.hpp"
#include "WebDNSJournal.hpp"
#include "WebRootFiles.hpp"
#include "WebServiceStatus.hpp"
#include "WebSessionPlan.hpp"

namespace orvix {

// The heart of the website service. Once a second it reads the installed user's settings,
// works out the plan to enforce now, makes the DNS proxy run exactly that plan, checks that the
// proxy answers, points the machine's DNS at it and reports in its status file. With nothing
// left to enforce it puts the saved DNS back and stops the proxy. It never falls back to an
// unfiltered resolver: while the proxy does not answer, DNS stays on it and the status says
// the service is waiting.
class WebController {
public:
    static constexpr const char *resolverOwnedMessage =
        "Another resolver owns ::1 port 53. Zorvane will not stop or replace it.";
    static constexpr const char *waitingMessage =
        "Waiting for encrypted CleanBrowsing DNS. No fallback resolver is used.";
    static constexpr const char *settingsUnavailableMessage =
        "Saved settings are unavailable. Open Zorvane to create or repair its settings.";
    static constexpr const char *restorationMessage =
        "DNS restoration needs attention. Use Remove protection again; saved DNS has been "
        "retained.";
    // While everything works the proxy is asked at most this often whether it still answers.
    static constexpr double probeInterval = 5.0;

    // What the service works with; the defaults are the machine itself, tests hand in a
    // temporary root, a fake network configuration store and a clock they move.
    struct Environment {
        WebRootFiles files;
        std::function<std::unique_ptr<NetworkPreferences>()> preferences =
            NetworkPreferences::system;
        std::function<std::filesystem::path(std::uint32_t)> settingsURL = WebRootFiles::settingsURL;
        std::vector<std::filesystem::path> familyProxyConfigurations;
        // The stand-ins for a system DNS cache flush; each is skipped when it is not installed.
        std::vector<std::vector<std::string>> cacheFlushCommands = {
            {"/usr/bin/resolvectl", "flush-caches"}, {"/usr/sbin/nscd", "--invalidate=hosts"}};
        std::shared_ptr<const Clock> clock = std::make_shared<SystemClock>();

        Environment();
    };

    // Checks the installation (the proxy is not needed when the service only restores), reads
    // the installed user and the journal; throws when any of that fails.
    explicit WebController(bool restoreOnly, Environment environment = Environment());
    ~WebController();
    WebController(const WebController &) = delete;
    WebController &operator=(const WebController &) = delete;

    // One enforcement step; never throws, every failure ends in the status file.
    void tick();
    // Puts back the saved DNS and stops the proxy; throws when DNS could not be put back, and
    // then keeps the journal and the proxy.
    void restore();

    std::uint32_t uid() const { return uid_; }
    const WebDNSJournal &journal() const { return journal_; }
    // The running proxy's process id, for tests; 0 when none runs.
    pid_t proxyProcess() const { return proxy_; }

private:
    std::optional<WebSessionPlan> desiredPlan(Instant now) const;
    void status(WebServiceStatus::Phase phase, const std::optional<WebSessionPlan> &plan,
                const std::optional<std::string> &message);
    void errorStatus(const std::string &message);
    void save(const WebDNSJournal &journal);
    bool proxyRunning();
    void startProxy();
    void stopProxy();
    void flushCaches();
    std::unique_ptr<NetworkPreferences> preferences() const;

    Environment environment_;
    std::uint32_t uid_ = 0;
    std::string bootID_;
    std::optional<std::filesystem::path> settingsURL_;
    WebDNSJournal journal_;
    pid_t proxy_ = 0;
    std::optional<WebSessionPlan> proxyPlan_;
    bool needsFlush_ = false;
    double lastProbe_ = -std::numeric_limits<double>::infinity();
    std::optional<std::string> lastJournalData_;
};

}  // namespace orvix
