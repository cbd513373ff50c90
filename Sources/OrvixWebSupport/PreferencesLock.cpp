#include "PreferencesLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace orvix {

PreferencesLock::PreferencesLock(std::filesystem::path file) : file_(std::move(file)) {}

PreferencesLock::~PreferencesLock() {
    release();
}

bool PreferencesLock::acquire() {
    if (descriptor_ >= 0) return true;
    // No final symbolic link: the lock file must not let anyone redirect a root open.
    const int fd = ::open(file_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    descriptor_ = fd;
    return true;
}

void PreferencesLock::release() {
    if (descriptor_ < 0) return;
    ::close(descriptor_);
    descriptor_ = -1;
}

}  // namespace orvix
