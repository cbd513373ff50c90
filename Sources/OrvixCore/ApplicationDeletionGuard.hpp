#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BootFiles.hpp"
#include "DeletionGuardRecord.hpp"
#include "Locations.hpp"

namespace orvix {

// A refusal or failure of the file locks; `what()` is the sentence shown to the user.
class GuardError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Makes the installed application bundle undeletable for the length of a blocking session:
// `activate()` sets the user-immutable flag on the bundle and everything inside it,
// `release()` clears exactly the flags the guard recorded. Every flag is written to the
// recovery record before it is set, so an interrupted run can always be undone, by the
// application or by an administrator who reads the record.
class ApplicationDeletionGuard {
public:
    // `bundle` is the running application's bundle and `directory` the user's support
    // directory, which holds "deletion-guard.json". Tests hand in a temporary applications
    // directory in place of "/Applications".
    explicit ApplicationDeletionGuard(
        const std::filesystem::path &bundle = Locations::applicationBundle,
        const std::filesystem::path &directory = BootFiles::userDirectory(),
        std::filesystem::path applicationsDirectory = Locations::applicationsDirectory,
        bool requiresApplications = true);

    // Locks the bundle. Refuses a bundle that is not directly in the applications directory,
    // a bundle file with hard links and a bundle path replaced by a symbolic link before
    // anything is changed; rolls back every recorded flag when locking fails half-way.
    // Throws GuardError, PathError or the system's errors.
    void activate();
    // Unlocks what the record lists, rewriting the record after every item, then deletes
    // it. Without a record there is nothing to do.
    void release();

    const std::filesystem::path &root() const { return root_; }
    const std::filesystem::path &recordURL() const { return recordURL_; }
    bool requiresApplications() const { return requiresApplications_; }

    // Longest path first, so every item is flagged before its directory; ties keep the
    // given order.
    static std::vector<std::string> lockOrder(std::vector<std::string> paths);
    // Shortest path first, so every directory is writable again before its contents; ties
    // keep the given order.
    static std::vector<std::string> unlockOrder(std::vector<std::string> paths);

private:
    std::filesystem::path item(const std::string &relativePath) const;
    std::optional<DeletionGuardRecord> load() const;
    void write(const DeletionGuardRecord &record) const;

    std::filesystem::path root_;
    bool requiresApplications_;
    std::filesystem::path recordURL_;
    std::filesystem::path applicationsDirectory_;
};

}  // namespace orvix
