#pragma once

#include <filesystem>

namespace orvix {

// The network settings lock shared by every editor of ours: an exclusive flock on a file under
// /run, never waited for. The kernel drops it when the holder dies, so a crash cannot leave
// the network settings locked.
class PreferencesLock {
public:
    explicit PreferencesLock(std::filesystem::path file);
    ~PreferencesLock();
    PreferencesLock(const PreferencesLock &) = delete;
    PreferencesLock &operator=(const PreferencesLock &) = delete;

    // False when another process holds the lock or the lock file cannot be opened.
    bool acquire();
    void release();

private:
    std::filesystem::path file_;
    int descriptor_ = -1;
};

}  // namespace orvix
