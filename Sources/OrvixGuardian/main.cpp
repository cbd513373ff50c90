// OrvixGuardian: the restart guardian, a login agent inside the application bundle
// (Contents/MacOS/OrvixGuardian). While a session is on, it reopens the application hidden
// whenever it is not running. It takes no options.
#include <cstdio>
#include <cstring>
#include <exception>

#include "BootFiles.hpp"
#include "Guardian.hpp"
#include "Locations.hpp"
#include "SystemWorkspace.hpp"

int main(int argc, char *argv[]) {
    using namespace orvix;
    if (argc < 1 || argv[0] == nullptr || argv[0][0] == '\0') {
        std::fputs("OrvixGuardian cannot tell where it was started from.\n", stderr);
        return 1;
    }
    // A bare name was found through PATH and says nothing about the bundle; the kernel knows.
    const std::filesystem::path own = std::strchr(argv[0], '/') != nullptr
                                          ? std::filesystem::path(argv[0])
                                          : std::filesystem::path("/proc/self/exe");

    std::filesystem::path settings;
    try {
        settings = BootFiles::userDirectory() / Locations::settingsFile;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "OrvixGuardian cannot find the user's support directory: %s\n",
                     error.what());
        return 1;
    }

    SystemWorkspace workspace;
    SystemClock clock;
    Guardian guardian(own, settings, workspace, clock);
    guardian.run();
}
