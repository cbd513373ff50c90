#include "BootFiles.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "Locations.hpp"

namespace orvix {

namespace {

[[noreturn]] void fail(int error, const std::string &what) {
    throw std::system_error(error, std::generic_category(), what);
}

// Closes a descriptor when it goes out of scope; a failing close is of no interest to a reader.
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

void makeDirectories(const std::filesystem::path &directory) {
    if (directory.empty() || directory == directory.root_path()) return;
    struct stat info {};
    if (::stat(directory.c_str(), &info) == 0) {
        if (!S_ISDIR(info.st_mode)) fail(ENOTDIR, directory.string());
        return;
    }
    makeDirectories(directory.parent_path());
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) fail(errno, directory.string());
}

void writeAll(int fd, std::string_view bytes, const std::filesystem::path &path) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            fail(errno, path.string());
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace

namespace BootFiles {

std::filesystem::path userDirectory() {
    const passwd *entry = ::getpwuid(::getuid());
    if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] == '\0')
        fail(ENOENT, "The user's home directory could not be found");
    return std::filesystem::path(entry->pw_dir) / Locations::userSupportDirectory;
}

std::string bootID() {
    Descriptor file{::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) return "";
    char buffer[128] = {};
    ssize_t length = ::read(file.fd, buffer, sizeof buffer);
    if (length <= 0) return "";
    std::string identity(buffer, static_cast<std::size_t>(length));
    identity = identity.substr(0, identity.find('\0'));
    while (!identity.empty() && identity.back() == '\n') identity.pop_back();
    return identity;
}

std::string readBytes(const std::filesystem::path &path) {
    // Non-blocking, so a FIFO put in place of a state file cannot stall the reader.
    Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)};
    if (file.fd < 0) fail(errno, path.string());
    struct stat info {};
    if (::fstat(file.fd, &info) != 0) fail(errno, path.string());
    if (!S_ISREG(info.st_mode)) fail(EINVAL, path.string() + " is not a regular file");

    std::string bytes;
    std::vector<char> chunk(std::size_t{64} * 1024);
    while (bytes.size() <= maximumFileSize) {
        std::size_t wanted = std::min(chunk.size(), maximumFileSize + 1 - bytes.size());
        ssize_t got = ::read(file.fd, chunk.data(), wanted);
        if (got < 0) {
            if (errno == EINTR) continue;
            fail(errno, path.string());
        }
        if (got == 0) break;
        bytes.append(chunk.data(), static_cast<std::size_t>(got));
    }
    if (bytes.size() > maximumFileSize) fail(EFBIG, path.string());
    return bytes;
}

void writeBytes(const std::filesystem::path &path, std::string_view bytes) {
    makeDirectories(path.parent_path());
    std::string hiddenName = path.filename().string();
    hiddenName.insert(0, 1, '.');
    hiddenName.append(".XXXXXX");
    std::string temporary = path.parent_path() / hiddenName;
    Descriptor file{::mkostemp(temporary.data(), O_CLOEXEC)};
    if (file.fd < 0) fail(errno, path.string());
    try {
        writeAll(file.fd, bytes, path);
        if (::fchmod(file.fd, 0600) != 0) fail(errno, path.string());
        if (::rename(temporary.c_str(), path.c_str()) != 0) fail(errno, path.string());
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
}

}  // namespace BootFiles

double systemUptime() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace orvix
