// OrvixBoot: the boot enforcer. Started as the installed user from boot on, it closes blocked
// applications four times a second whether or not the application runs.
#include <unistd.h>

#include <cstdio>
#include <exception>

#include "BootEnforcer.hpp"
#include "BootFiles.hpp"

int main() {
    using namespace orvix;
    if (::getuid() <= BootEnforcer::highestSystemUserID) {
        std::fputs(BootEnforcer::rootRefused, stderr);
        return 1;
    }

    std::filesystem::path directory;
    try {
        directory = BootFiles::userDirectory();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "OrvixBoot cannot find the user's support directory: %s\n",
                     error.what());
        return 1;
    }

    SystemProcessTable processes;
    BootEnforcer enforcer(directory, BootFiles::bootID(), processes);
    for (;;) {
        enforcer.pass(systemUptime, Instant::now());
        // The pass time comes on top of the pause; there is no catching up.
        ::usleep(BootEnforcer::passPauseMicroseconds);
    }
}
