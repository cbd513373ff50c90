// A stand-in for the application's executable in guardian tests: it appends its pid and its
// arguments (tab-separated) to Contents/Resources/launches.txt of its bundle, then waits to be
// killed, like an application that keeps running.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

int main(int argc, char *argv[]) {
    char self[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return 1;
    const auto log =
        std::filesystem::path(self).parent_path().parent_path() / "Resources" / "launches.txt";
    std::string line = std::to_string(::getpid());
    for (int index = 1; index < argc; index++) line += std::string("\t") + argv[index];
    line += "\n";
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return 1;
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    if (!written) return 1;
    for (;;) ::pause();
}
