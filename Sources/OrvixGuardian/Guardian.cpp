#include "Guardian.hpp"

#include <unistd.h>

#include <chrono>
#include <exception>

#include "AppGroups.hpp"
#include "BootFiles.hpp"
#include "GuardianProcessPolicy.hpp"

namespace orvix {

namespace {

std::filesystem::path resolved(const std::filesystem::path &path) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(path, error);
    if (error) return path.lexically_normal();
    auto canonical = std::filesystem::weakly_canonical(absolute, error);
    return (error ? absolute : canonical).lexically_normal();
}

bool isExecutableFile(const std::filesystem::path &path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

Guardian::Guardian(const std::filesystem::path &ownExecutable, std::filesystem::path settingsURL,
                   Workspace &workspace, const Clock &clock)
    : ownExecutable_(resolved(ownExecutable)),
      appURL_(ownExecutable_.parent_path().parent_path().parent_path()),
      executableURL_((appURL_ / "Contents" / "MacOS" / "Zorvane").lexically_normal()),
      settingsURL_(std::move(settingsURL)),
      workspace_(workspace),
      clock_(clock) {}

Guardian::~Guardian() = default;

void Guardian::check() {
    if (opening_) return;
    const Instant now = clock_.now();
    const double sinceAttempt = now.secondsSinceReference - lastAttempt_.secondsSinceReference;
    // A clock set back before the last attempt must not hold launches off until it catches up.
    if (sinceAttempt >= 0 && sinceAttempt < launchSpacing) return;
    if (appURL_.extension() != ".app") return;
    if (!isExecutableFile(executableURL_)) return;

    try {
        if (!OrvixConfiguration::fromJSON(BootFiles::readBytes(settingsURL_)).blockingEnabled)
            return;
    } catch (const std::exception &) {
        return;
    }

    for (const auto &application : workspace_.runningApplications())
        if (isRunning(application)) return;

    log_.notice(launchMessage);
    lastAttempt_ = now;
    opening_ = true;
    std::weak_ptr<Mailbox> mailbox = mailbox_;
    workspace_.openApplication(
        appURL_, {supervisedArgument}, [this, mailbox](std::optional<std::string> error) {
            auto box = mailbox.lock();
            if (!box) return;
            {
                std::lock_guard lock(box->mutex);
                // Only ever run by this guardian's own performPendingWork, so `this` is alive.
                box->work.push_back([this, error = std::move(error)] { launchFinished(error); });
            }
            box->arrived.notify_one();
        });
}

bool Guardian::isRunning(const RunningApplication &application) const {
    // Another guardian lives in the same bundle and carries its identifier, but it is not the
    // application; counting it would stop every relaunch for good.
    if (!application.terminated && resolved(application.executablePath) == ownExecutable_)
        return false;
    return GuardianProcessPolicy::isZorvane(application.bundleIdentifier,
                                            std::filesystem::path(application.executablePath),
                                            executableURL_, application.terminated);
}

void Guardian::launchFinished(const std::optional<std::string> &error) {
    opening_ = false;
    if (error) log_.error(failurePrefix + *error);
}

std::size_t Guardian::performPendingWork() {
    std::deque<std::function<void()>> work;
    {
        std::lock_guard lock(mailbox_->mutex);
        work.swap(mailbox_->work);
    }
    for (auto &item : work) item();
    return work.size();
}

void Guardian::run() {
    using Steady = std::chrono::steady_clock;
    const auto interval =
        std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(checkInterval));
    check();
    auto next = Steady::now() + interval;
    for (;;) {
        {
            std::unique_lock lock(mailbox_->mutex);
            mailbox_->arrived.wait_until(lock, next, [&] { return !mailbox_->work.empty(); });
        }
        performPendingWork();
        const auto now = Steady::now();
        if (now >= next) {
            check();
            next += interval;
            // After a stall the timer fires once, not once per missed interval.
            if (next <= now) next = now + interval;
        }
    }
}

}  // namespace orvix
