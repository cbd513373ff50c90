#include "WebRootFiles.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "JSONCoding.hpp"
#include "Locations.hpp"

namespace orvix {

namespace {

// Closes a descriptor when it goes out of scope; an error while closing is of no interest.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

[[noreturn]] void systemError(const std::filesystem::path &path) {
    throw std::system_error(errno, std::generic_category(), path.string());
}

struct stat attributes(const std::filesystem::path &path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) systemError(path);
    return info;
}

bool protectedRootItem(const struct stat &info) {
    return info.st_uid == 0 && (info.st_mode & 022) == 0;
}

}  // namespace

std::string WebRootFiles::Owner::toJSON() const {
    nlohmann::ordered_json object;
    object["uid"] = uid;
    return JSONWrite::compact(object);
}

WebRootFiles::Owner WebRootFiles::Owner::fromJSON(std::string_view bytes) {
    using namespace JSONRead;
    const auto root = JSONRead::object(bytes);
    const auto uid = integer(require(root, "uid"), "uid");
    if (uid < 0 || uid > UINT32_MAX) throw DecodingError("uid", "Invalid user id");
    return Owner{static_cast<std::uint32_t>(uid)};
}

WebRootFiles::WebRootFiles(std::filesystem::path root) : root_(std::move(root)) {}

std::filesystem::path WebRootFiles::place(const char *absolute) const {
    return root_ / std::filesystem::path(absolute).relative_path();
}

std::filesystem::path WebRootFiles::directory() const {
    return place(Locations::webServiceDirectory);
}
std::filesystem::path WebRootFiles::binary() const {
    return place(Locations::webServiceExecutable);
}
std::filesystem::path WebRootFiles::proxy() const {
    return place(Locations::proxyExecutable);
}
std::filesystem::path WebRootFiles::statusURL() const {
    return directory() / Locations::webStatusFile;
}

void WebRootFiles::validateInstallation(bool requireProxy) const {
    if (::getuid() != 0) throw WebRootError(notInstalledMessage);
    const std::filesystem::path library = place("/Library");
    for (const auto &path : {library, library / "Application Support", directory(),
                             place(Locations::privilegedHelperTools)}) {
        const auto info = attributes(path);
        if (!S_ISDIR(info.st_mode) || !protectedRootItem(info))
            throw WebRootError(directoriesMessage);
    }
    std::vector<std::filesystem::path> executables{binary()};
    if (requireProxy) executables.push_back(proxy());
    for (const auto &path : executables) {
        const auto info = attributes(path);
        if (!S_ISREG(info.st_mode) || !protectedRootItem(info))
            throw WebRootError(executablesMessage);
    }
}

std::filesystem::path WebRootFiles::settingsURL(std::uint32_t uid) {
    if (uid <= 500) throw WebRootError(accountMessage);
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        entry.pw_dir == nullptr || entry.pw_dir[0] == '\0')
        throw WebRootError(accountMessage);
    return std::filesystem::path(entry.pw_dir) / Locations::userSupportDirectory /
           Locations::settingsFile;
}

std::string WebRootFiles::readBytes(const std::filesystem::path &url, std::uint32_t owner) {
    // Non-blocking, so a FIFO in place of the file cannot stall the service; no final
    // symbolic link, so a user cannot point the service at a file of root's.
    Descriptor file{::open(url.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (file.fd < 0) throw WebRootError(unavailableMessage);
    struct stat info {};
    if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != owner ||
        (info.st_mode & 022) != 0 || info.st_size > static_cast<off_t>(maximumFileSize))
        throw WebRootError(unexpectedFileMessage);

    std::string bytes;
    std::vector<char> chunk(64 * 1024);
    while (bytes.size() <= maximumFileSize) {
        const std::size_t wanted = std::min(chunk.size(), maximumFileSize + 1 - bytes.size());
        const ssize_t got = ::read(file.fd, chunk.data(), wanted);
        if (got < 0) {
            if (errno == EINTR) continue;
            systemError(url);
        }
        if (got == 0) break;
        bytes.append(chunk.data(), static_cast<std::size_t>(got));
    }
    if (bytes.size() > maximumFileSize) throw WebRootError(tooLargeMessage);
    return bytes;
}

void WebRootFiles::writeData(std::string_view data, const std::string &name, bool publicRead,
                             bool durable) const {
    if (::getuid() != 0 || data.size() > maximumFileSize || name.empty() ||
        name.find('/') != std::string::npos || name == "." || name == "..")
        throw WebRootError(invalidOperationMessage);

    const auto target = directory() / name;
    std::string temporary = (directory() / ("." + name + ".XXXXXX")).string();
    Descriptor file{::mkostemp(temporary.data(), O_CLOEXEC)};
    if (file.fd < 0) systemError(target);
    try {
        while (!data.empty()) {
            const ssize_t written = ::write(file.fd, data.data(), data.size());
            if (written < 0) {
                if (errno == EINTR) continue;
                systemError(target);
            }
            data.remove_prefix(static_cast<std::size_t>(written));
        }
        if (::fchmod(file.fd, publicRead ? 0644 : 0600) != 0) systemError(target);
        // The bytes reach the disk before the name does, so a power loss never leaves an
        // empty journal where the old one was.
        if (durable && ::fsync(file.fd) != 0) throw WebRootError(fileSyncMessage);
        if (::rename(temporary.c_str(), target.c_str()) != 0) systemError(target);
    } catch (...) {
        ::unlink(temporary.c_str());
        throw;
    }
    if (!durable) return;

    Descriptor written{::open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    if (written.fd < 0 || ::fsync(written.fd) != 0) throw WebRootError(fileSyncMessage);
    Descriptor folder{::open(directory().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (folder.fd < 0 || ::fsync(folder.fd) != 0) throw WebRootError(directorySyncMessage);
}

}  // namespace orvix
