// Stands in for OrvixWeb in the package tests: it records in $ZORVANE_STANDIN_LOG whether it
// was started as the service, stopped with SIGTERM, or run with --restore (which fails when
// $ZORVANE_STANDIN_FAIL is set).
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

volatile sig_atomic_t terminated = 0;

void record(const char *line) {
    const char *path = std::getenv("ZORVANE_STANDIN_LOG");
    if (path == nullptr) return;
    std::ofstream(path, std::ios::app) << line << '\n';
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "--restore") == 0) {
        record("restore");
        return std::getenv("ZORVANE_STANDIN_FAIL") ? 1 : 0;
    }
    struct sigaction action {};
    action.sa_handler = [](int) { terminated = 1; };
    sigaction(SIGTERM, &action, nullptr);
    record("started");
    while (!terminated) pause();
    record("terminated");
    return 0;
}
