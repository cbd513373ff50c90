#include "ApplicationDeletionGuard.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>
#include <system_error>

#include "DeletionGuardPaths.hpp"

namespace orvix {

namespace fs = std::filesystem;

namespace {

const char *const placementMessage =
    "Install the complete Zorvane.app directly in /Applications before starting protection.";
const char *const cannotInspectMessage = "Cannot inspect the application bundle before locking it.";
const char *const unsafePathMessage = "Unsafe file-lock recovery path";
const char *const symbolicLinkMessage =
    "A bundle path was replaced by a symbolic link; automatic flag changes stopped.";
const char *const hardLinkMessage =
    "A bundle file has hard links. Reinstall a separate copy of the app before using file-lock "
    "protection.";
const char *const mismatchMessage =
    "The file-lock recovery record does not match this app. It has been preserved. Use the "
    "original installation or administrator recovery to remove its locks.";

[[noreturn]] void fail(const char *operation, const fs::path &path, int error = errno) {
    throw fs::filesystem_error(operation, path, std::error_code(error, std::generic_category()));
}

struct stat attributes(const fs::path &path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) fail("lstat", path);
    return info;
}

// Ordinary users cannot set the user-immutable flag here. An item without any write
// permission bit stands for a flagged one: nobody but root can then delete, rename or write
// it or anything directly inside it. Clearing gives the owner back the write bit.
bool hasImmutableFlag(const struct stat &info) {
    return (info.st_mode & 0222) == 0;
}

void setImmutableFlag(const fs::path &path, bool immutable) {
    const mode_t mode = attributes(path).st_mode & 07777;
    const mode_t changed = immutable ? (mode & ~mode_t{0222}) : (mode | S_IWUSR);
    if (::fchmodat(AT_FDCWD, path.c_str(), changed, AT_SYMLINK_NOFOLLOW) != 0) fail("chmod", path);
}

// Characters, not bytes, so a name in any script sorts by its visible length.
std::size_t characterCount(const std::string &text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char byte) {
        return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
    }));
}

fs::path canonicalOrSame(const fs::path &bundle) {
    try {
        return DeletionGuardPaths::canonicalURL(bundle);
    } catch (const std::exception &) {
        return bundle;
    }
}

}  // namespace

ApplicationDeletionGuard::ApplicationDeletionGuard(const fs::path &bundle,
                                                   const fs::path &directory,
                                                   fs::path applicationsDirectory,
                                                   bool requiresApplications)
    : root_(canonicalOrSame(bundle)),
      requiresApplications_(requiresApplications),
      recordURL_(directory / Locations::deletionGuardFile),
      applicationsDirectory_(std::move(applicationsDirectory)) {}

std::vector<std::string> ApplicationDeletionGuard::lockOrder(std::vector<std::string> paths) {
    std::stable_sort(paths.begin(), paths.end(), [](const std::string &a, const std::string &b) {
        return characterCount(a) > characterCount(b);
    });
    return paths;
}

std::vector<std::string> ApplicationDeletionGuard::unlockOrder(std::vector<std::string> paths) {
    std::stable_sort(paths.begin(), paths.end(), [](const std::string &a, const std::string &b) {
        return characterCount(a) < characterCount(b);
    });
    return paths;
}

fs::path ApplicationDeletionGuard::item(const std::string &relativePath) const {
    if (!DeletionGuardRecord::isSafeRelativePath(relativePath)) throw GuardError(unsafePathMessage);
    fs::path url = relativePath.empty() ? root_ : root_ / relativePath;

    struct stat info {};
    if (::stat(url.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return url;
        fail("stat", url);
    }
    const auto canonical = DeletionGuardPaths::canonicalURL(url);
    if (canonical.native() != url.native()) throw GuardError(symbolicLinkMessage);
    const std::string &rootPath = root_.native();
    if (canonical.native() != rootPath && !canonical.native().starts_with(rootPath + "/"))
        throw GuardError(symbolicLinkMessage);

    // A second name for a file lets it be changed from outside the bundle; the flag could
    // not stop that.
    const struct stat own = attributes(url);
    if (S_ISREG(own.st_mode) && own.st_nlink >= 2) throw GuardError(hardLinkMessage);
    return url;
}

std::optional<DeletionGuardRecord> ApplicationDeletionGuard::load() const {
    struct stat info {};
    if (::lstat(recordURL_.c_str(), &info) != 0) {
        if (errno == ENOENT) return std::nullopt;
        fail("lstat", recordURL_);
    }
    auto record = DeletionGuardRecord::fromJSON(BootFiles::readBytes(recordURL_));
    // Left on disk untouched: an administrator may still need it for the other installation.
    if (DeletionGuardPaths::canonicalURL(record.bundlePath).native() != root_.native())
        throw GuardError(mismatchMessage);
    for (const auto &path : record.relativePaths)
        if (!DeletionGuardRecord::isSafeRelativePath(path)) throw GuardError(mismatchMessage);
    return record;
}

void ApplicationDeletionGuard::write(const DeletionGuardRecord &record) const {
    const std::string bytes = record.toJSON();
    // A record too large to be read back would leave its flags without a way to clear them.
    if (bytes.size() > BootFiles::maximumFileSize) fail("write", recordURL_, EFBIG);
    BootFiles::writeBytes(recordURL_, bytes);
}

void ApplicationDeletionGuard::activate() {
    const auto canonicalRoot = DeletionGuardPaths::canonicalURL(root_);
    if (requiresApplications_) {
        const auto applications = DeletionGuardPaths::canonicalURL(applicationsDirectory_);
        if (root_.extension().native() != ".app" || root_.native() != canonicalRoot.native() ||
            root_.parent_path().native() != applications.native())
            throw GuardError(placementMessage);
    }

    const auto existing = load();
    DeletionGuardRecord record{existing ? existing->bundlePath : root_.string(), {}};
    // Paths recorded earlier stay recorded and are locked again.
    std::set<std::string> paths;
    if (existing) paths.insert(existing->relativePaths.begin(), existing->relativePaths.end());

    std::vector<fs::path> items{root_};
    std::error_code error;
    fs::recursive_directory_iterator walk(root_, error);
    if (error) throw GuardError(cannotInspectMessage);
    while (walk != fs::recursive_directory_iterator()) {
        items.push_back(walk->path());
        walk.increment(error);
        if (error) throw fs::filesystem_error("enumerate", root_, error);
    }

    for (const auto &entry : items) {
        const struct stat info = attributes(entry);
        if (S_ISLNK(info.st_mode)) continue;
        const auto relative = DeletionGuardPaths::relativePath(entry, root_);
        item(relative);
        // A flag the guard did not set is never recorded, so release() leaves it alone.
        if (!hasImmutableFlag(info)) paths.insert(relative);
    }

    record.relativePaths.assign(paths.begin(), paths.end());
    write(record);

    try {
        for (const auto &path : lockOrder(record.relativePaths)) setImmutableFlag(item(path), true);
    } catch (const std::exception &) {
        try {
            release();
        } catch (const std::exception &releaseError) {
            throw GuardError(
                "File locking failed and some locks could not be removed. Recovery record: " +
                recordURL_.string() + ". " + releaseError.what());
        }
        throw;
    }
}

void ApplicationDeletionGuard::release() {
    const auto record = load();
    if (!record) return;
    auto remaining = record->relativePaths;
    for (const auto &path : unlockOrder(record->relativePaths)) {
        const auto url = item(path);
        struct stat info {};
        if (::lstat(url.c_str(), &info) == 0) {
            if (!S_ISLNK(info.st_mode)) setImmutableFlag(url, false);
        } else if (errno != ENOENT && errno != ENOTDIR) {
            fail("lstat", url);
        }
        std::erase(remaining, path);
        write({record->bundlePath, remaining});
    }
    if (::unlink(recordURL_.c_str()) != 0) fail("unlink", recordURL_);
}

}  // namespace orvix
