// One warm pass of the boot enforcer over N real processes of the current user, each inside an
// application bundle, while a session blocks an application that is not running: the pass
// lists, inspects and resolves every process and kills nothing.
//
//   build/release/Benchmarks/BootPassBenchmark
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BootEnforcer.hpp"
#include "BootFiles.hpp"

using namespace orvix;

namespace {

struct Fixture {
    std::filesystem::path root;
    std::vector<pid_t> children;

    explicit Fixture(int count) {
        char pattern[] = "/tmp/zorvane-bench-XXXXXX";
        root = ::mkdtemp(pattern);
        const auto bundle = root / "Idle.app";
        std::filesystem::create_directories(bundle / "Contents" / "MacOS");
        std::ofstream(bundle / "Contents" / "Info.plist")
            << R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
               R"(<key>CFBundleIdentifier</key><string>com.example.idle</string></dict></plist>)";
        const auto executable = bundle / "Contents" / "MacOS" / "Idle";
        std::filesystem::copy_file("/bin/sleep", executable);

        OrvixConfiguration settings;
        settings.timeZoneIdentifier = "UTC";
        settings.blockingEnabled = true;
        settings.groups.emplace_back("G", "G",
                                     std::vector<BlockedApp>{{"com.example.absent", "Absent"}},
                                     Allowance(0, 0, "d"), 2);
        BootFiles::writeBytes(root / "support" / "settings.json", settings.toJSON());

        for (int index = 0; index < count; index++) {
            pid_t pid = ::fork();
            if (pid == 0) {
                ::execl(executable.c_str(), executable.c_str(), "infinity", nullptr);
                ::_exit(127);
            }
            children.push_back(pid);
        }
    }

    ~Fixture() {
        for (pid_t pid : children) ::kill(pid, SIGKILL);
        for (pid_t pid : children) ::waitpid(pid, nullptr, 0);
        std::filesystem::remove_all(root);
    }
};

void warmPass(benchmark::State &state) {
    Fixture fixture(static_cast<int>(state.range(0)));
    SystemProcessTable processes;
    BootEnforcer enforcer(fixture.root / "support", BootFiles::bootID(), processes);
    double uptime = systemUptime();
    // The status is written on every fourth pass, as in the real loop.
    auto nextUptime = [&uptime] { return uptime += 0.25; };
    enforcer.pass(nextUptime, Instant::now());  // fills the bundle cache
    for (auto _ : state) enforcer.pass(nextUptime, Instant::now());
    state.counters["processes"] = static_cast<double>(state.range(0));
}

}  // namespace

BENCHMARK(warmPass)->Arg(100)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_MAIN();
