#pragma once

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>

#include "Clock.hpp"
#include "Instant.hpp"
#include "SystemLog.hpp"
#include "Workspace.hpp"

namespace orvix {

// The restart guardian: while a blocking session is on, it reopens the application, hidden
// and marked as supervised, whenever no copy of it runs. It never blocks anything and never
// writes a file. Everything runs on the thread that calls run(); launch completions arriving
// on other threads are handed over to it.
class Guardian {
public:
    static constexpr double checkInterval = 3.0;
    static constexpr double launchSpacing = 10.0;
    static constexpr const char *supervisedArgument = "--supervised";
    static constexpr const char *launchMessage =
        "No running Zorvane instance was found; requesting a supervised launch.";
    static constexpr const char *failurePrefix = "Could not reopen Zorvane: ";

    // `ownExecutable` is the guardian's own executable (its first program argument); the
    // application bundle is found three levels up from it, after resolving links.
    Guardian(const std::filesystem::path &ownExecutable, std::filesystem::path settingsURL,
             Workspace &workspace, const Clock &clock);
    ~Guardian();
    Guardian(const Guardian &) = delete;
    Guardian &operator=(const Guardian &) = delete;

    // One supervision step.
    void check();
    // Runs the launch completions that have arrived; returns how many.
    std::size_t performPendingWork();
    // check() at once and then every three seconds, completions in between; never returns.
    [[noreturn]] void run();

    const std::filesystem::path &appURL() const { return appURL_; }
    const std::filesystem::path &executableURL() const { return executableURL_; }
    const std::filesystem::path &settingsURL() const { return settingsURL_; }
    bool opening() const { return opening_; }
    Instant lastAttempt() const { return lastAttempt_; }

private:
    // Completions are posted here from any thread; only a weak reference travels with them,
    // so a completion that outlives the guardian finds nothing to post to.
    struct Mailbox {
        std::mutex mutex;
        std::condition_variable arrived;
        std::deque<std::function<void()>> work;
    };

    bool isRunning(const RunningApplication &application) const;
    void launchFinished(const std::optional<std::string> &error);

    SystemLog log_{"guardian"};
    std::filesystem::path ownExecutable_;
    std::filesystem::path appURL_;
    std::filesystem::path executableURL_;
    std::filesystem::path settingsURL_;
    Workspace &workspace_;
    const Clock &clock_;
    bool opening_ = false;
    Instant lastAttempt_{-std::numeric_limits<double>::infinity()};
    std::shared_ptr<Mailbox> mailbox_ = std::make_shared<Mailbox>();
};

}  // namespace orvix
