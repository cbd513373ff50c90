#include "ApplicationInstaller.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "UUID.hpp"

namespace orvix {

namespace fs = std::filesystem;

InstallError::InstallError(Code code)
    : std::runtime_error(code == Code::invalidSource
                             ? "Open the complete Zorvane app before copying it."
                             : "Zorvane is already in Applications. End any active session and "
                               "replace it in Finder."),
      code_(code) {}

namespace {

[[noreturn]] void fail(const char *operation, const fs::path &path, int error = errno) {
    throw fs::filesystem_error(operation, path, std::error_code(error, std::generic_category()));
}

// What the bundle must hold to be a complete copy of the product.
struct LayoutEntry {
    const char *path;
    bool executable;
};
constexpr LayoutEntry bundleLayout[] = {
    {"Contents/MacOS/Zorvane", true},
    {"Contents/MacOS/OrvixGuardian", true},
    {"Contents/Info.plist", false},
    {"Contents/Resources/ZorvaneSetup.pkg", false},
    {"Contents/Resources/Blocked.html", false},
};

fs::path normalised(const fs::path &path) {
    std::error_code error;
    fs::path resolved = fs::weakly_canonical(path, error);
    return error ? path.lexically_normal() : resolved;
}

bool isCompleteBundle(const fs::path &source) {
    std::string extension = source.extension().string();
    for (auto &character : extension)
        if (character >= 'A' && character <= 'Z')
            character = static_cast<char>(character - 'A' + 'a');
    if (extension != ".app") return false;
    struct stat info {};
    if (::stat(source.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    for (const auto &entry : bundleLayout) {
        const auto path = source / entry.path;
        if (::stat(path.c_str(), &info) != 0) return false;
        if (entry.executable && (!S_ISREG(info.st_mode) || ::access(path.c_str(), X_OK) != 0))
            return false;
    }
    return true;
}

// Links are copied as links, like the bundle holds them. A directory gets its own mode only
// once its contents are in, so a read-only directory can still be filled.
void copyTree(const fs::path &from, const fs::path &to) {
    struct stat info {};
    if (::lstat(from.c_str(), &info) != 0) fail("lstat", from);
    if (S_ISLNK(info.st_mode)) {
        fs::copy_symlink(from, to);
    } else if (S_ISREG(info.st_mode)) {
        fs::copy_file(from, to);
    } else if (S_ISDIR(info.st_mode)) {
        if (::mkdir(to.c_str(), 0700) != 0) fail("mkdir", to);
        for (const auto &entry : fs::directory_iterator(from))
            copyTree(entry.path(), to / entry.path().filename());
        if (::chmod(to.c_str(), info.st_mode & 07777) != 0) fail("chmod", to);
    } else {
        fail("copy", from, ENOTSUP);
    }
}

// Best effort: a staging directory that survives keeps its hidden name and is never reused.
void removeTree(const fs::path &path) {
    std::error_code ignored;
    for (auto walk = fs::recursive_directory_iterator(path, ignored);
         walk != fs::recursive_directory_iterator(); walk.increment(ignored)) {
        if (walk->is_directory(ignored) && !walk->is_symlink(ignored))
            fs::permissions(walk->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path, ignored);
}

struct RemovedOnExit {
    fs::path path;
    ~RemovedOnExit() { removeTree(path); }
};

// The rename never replaces what is already there, also not an item that appeared since the
// destination was checked.
void moveWithoutReplacing(const fs::path &from, const fs::path &to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    if (errno != EINVAL && errno != ENOSYS) fail("rename", to);
    // A file system without the flag: the window between the check and the rename is small.
    struct stat info {};
    if (::lstat(to.c_str(), &info) == 0) fail("rename", to, EEXIST);
    if (::rename(from.c_str(), to.c_str()) != 0) fail("rename", to);
}

}  // namespace

namespace ApplicationInstaller {

fs::path copy(const fs::path &sourceURL, const fs::path &applicationsDirectory) {
    // A relative path names no file by itself.
    if (!sourceURL.is_absolute()) throw InstallError(InstallError::Code::invalidSource);
    const fs::path source = normalised(sourceURL);
    const fs::path target = normalised(applicationsDirectory);
    if (!isCompleteBundle(source)) throw InstallError(InstallError::Code::invalidSource);

    fs::path destination = target / "Zorvane.app";
    struct stat info {};
    if (::stat(destination.c_str(), &info) == 0)
        throw InstallError(InstallError::Code::existingInstallation);

    const fs::path staging = target / (".Zorvane-install-" + makeUUIDString());
    if (::mkdir(staging.c_str(), 0700) != 0) fail("mkdir", staging);
    RemovedOnExit cleanup{staging};

    const fs::path staged = staging / "Zorvane.app";
    copyTree(source, staged);
    moveWithoutReplacing(staged, destination);
    return destination;
}

}  // namespace ApplicationInstaller

}  // namespace orvix
