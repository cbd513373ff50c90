#include "ApplicationLauncher.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "BundleResolver.hpp"

namespace orvix {

std::filesystem::path ApplicationLauncher::executable(const std::filesystem::path &bundle) {
    const auto info = BundleResolver::info(bundle);
    if (!info)
        throw std::system_error(ENOEXEC, std::generic_category(),
                                (bundle / "Contents" / "Info.plist").string());
    const std::string &name = info->executableName;
    // The Info.plist is the bundle's own data; it must not point the launch anywhere else.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
        throw std::system_error(ENOEXEC, std::generic_category(),
                                "CFBundleExecutable \"" + name + "\"");
    return bundle / "Contents" / "MacOS" / name;
}

namespace {

// The desktop hands an autostarted program its own start-up id; passed on, it would make the
// application believe it was the login item and register under the guardian's id.
bool isInherited(const char *variable) {
    return std::strncmp(variable, "DESKTOP_AUTOSTART_ID=", 21) != 0;
}

// Only async-signal-safe calls from here on: the caller may have other threads.
[[noreturn]] void runDetached(const char *path, char *const argv[], char *const envp[],
                              int report) {
    if (::setsid() < 0) {
        const int error = errno;
        (void)::write(report, &error, sizeof error);
        ::_exit(1);
    }
    const pid_t program = ::fork();
    if (program < 0) {
        const int error = errno;
        (void)::write(report, &error, sizeof error);
        ::_exit(1);
    }
    // The middle process ends at once, so the program is nobody's child and leaves no zombie.
    if (program > 0) ::_exit(0);

    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) ::close(null);
    }
    (void)::chdir("/");
    // Nothing of ours (settings files, sockets) leaks into the application.
    ::close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execve(path, argv, envp);
    const int error = errno;
    (void)::write(report, &error, sizeof error);
    ::_exit(127);
}

}  // namespace

void ApplicationLauncher::openHidden(const std::filesystem::path &bundle,
                                     const std::vector<std::string> &arguments) {
    const std::filesystem::path program = executable(bundle);
    const std::string path = program.string();
    std::vector<std::string> strings{path};
    strings.insert(strings.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    argv.reserve(strings.size() + 1);
    for (auto &argument : strings) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (char **variable = environ; *variable != nullptr; variable++)
        if (isInherited(*variable)) envp.push_back(*variable);
    envp.push_back(nullptr);

    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe");
    const pid_t middle = ::fork();
    if (middle < 0) {
        const int error = errno;
        ::close(pipe[0]);
        ::close(pipe[1]);
        throw std::system_error(error, std::generic_category(), "fork");
    }
    if (middle == 0) {
        ::close(pipe[0]);
        runDetached(path.c_str(), argv.data(), envp.data(), pipe[1]);
    }
    ::close(pipe[1]);
    while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    // The pipe closes without data when exec succeeded; otherwise it carries the error.
    int error = 0;
    ssize_t length;
    do {
        length = ::read(pipe[0], &error, sizeof error);
    } while (length < 0 && errno == EINTR);
    ::close(pipe[0]);
    if (length == static_cast<ssize_t>(sizeof error) && error != 0)
        throw std::system_error(error, std::generic_category(), path);
}

}  // namespace orvix
