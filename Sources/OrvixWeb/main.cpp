// OrvixWeb: the website-protection service, run as root by its system unit. With no arguments
// it enforces the installed user's website protection once a second until SIGTERM or SIGINT,
// which put the saved DNS back; "--restore" only puts the saved DNS back;
// "--print-proxy-config <directory> [family|adult]" prints the proxy configuration.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DNSCryptConfiguration.hpp"
#include "WebController.hpp"

namespace {

constexpr const char *invalidFilter = "Invalid content filter.\n";
constexpr const char *startFailed =
    "Zorvane website service could not start. Check its installation and saved DNS recovery "
    "files.\n";
constexpr const char *restorationFailed =
    "Zorvane DNS restoration needs recovery; the saved journal was retained.\n";

int printProxyConfiguration(const std::vector<std::string> &arguments) {
    if (arguments.size() > 4) {
        std::fputs(invalidFilter, stderr);
        return 2;
    }
    const std::string filterText = arguments.size() == 4 ? arguments[3] : "family";
    std::optional<orvix::WebsiteContentFilter> filter;
    if (filterText == "family") filter = orvix::WebsiteContentFilter::family;
    if (filterText == "adult") filter = orvix::WebsiteContentFilter::adult;
    if (!filter) {
        std::fputs(invalidFilter, stderr);
        return 2;
    }
    try {
        const auto text = orvix::DNSCryptConfiguration::text(arguments[2], *filter);
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fputc('\n', stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    } catch (const std::exception &) {
        std::fputs(startFailed, stderr);
        return 1;
    }
}

double monotonicSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The one thread of the service: a tick every second, and the termination signals taken on
// the same thread between ticks, so a restoration never overlaps a tick.
[[noreturn]] void serve(orvix::WebController &controller, int signals) {
    double deadline = monotonicSeconds();
    for (;;) {
        const double wait = deadline - monotonicSeconds();
        pollfd entry{signals, POLLIN, 0};
        const int ready = ::poll(&entry, 1, wait > 0 ? static_cast<int>(wait * 1000.0 + 0.5) : 0);
        if (ready > 0) {
            signalfd_siginfo info{};
            if (::read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                try {
                    controller.restore();
                } catch (const std::exception &) {
                    std::fputs(restorationFailed, stderr);
                    std::exit(1);
                }
                std::exit(0);
            }
            continue;
        }
        if (monotonicSeconds() < deadline) continue;
        controller.tick();
        // A tick that ran long is not caught up on: the next one comes a second after the
        // deadline it missed, or at once.
        deadline += 1.0;
        if (deadline < monotonicSeconds()) deadline = monotonicSeconds();
    }
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    if (arguments.size() >= 3 && arguments[1] == "--print-proxy-config")
        return printProxyConfiguration(arguments);

    bool restoreOnly = false;
    for (const auto &argument : arguments)
        if (argument == "--restore") restoreOnly = true;

    // The signals are held for the signal descriptor from the start, so one that arrives while
    // the controller is being made is handled as soon as the loop runs.
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGTERM);
    sigaddset(&termination, SIGINT);
    if (!restoreOnly) ::sigprocmask(SIG_BLOCK, &termination, nullptr);

    std::unique_ptr<orvix::WebController> controller;
    try {
        controller = std::make_unique<orvix::WebController>(restoreOnly);
    } catch (const std::exception &) {
        std::fputs(startFailed, stderr);
        return 1;
    }

    if (restoreOnly) {
        try {
            controller->restore();
        } catch (const std::exception &) {
            std::fputs(startFailed, stderr);
            return 1;
        }
        return 0;
    }

    const int signals = ::signalfd(-1, &termination, SFD_CLOEXEC);
    if (signals < 0) {
        std::fputs(startFailed, stderr);
        return 1;
    }
    serve(*controller, signals);
}
