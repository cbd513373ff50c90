#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "BundleResolver.hpp"
#include "ProcessTable.hpp"

namespace orvix {

// One of the user's processes whose executable lies in an application bundle.
struct RunningApplication {
    std::int32_t pid = 0;
    ProcessIdentity identity;
    // The executable as the kernel reports it (links resolved), as valid UTF-8.
    std::string executablePath;
    // The innermost enclosing bundle: the application the process belongs to.
    std::filesystem::path bundleURL;
    std::optional<std::string> bundleIdentifier;
    // The identifiers of every enclosing bundle, so a helper nested in an application also
    // carries the application's identifier.
    std::set<std::string> bundleIDs;
    std::string name;
    // The process was gone (or its pid reused) by the time it had been read.
    bool terminated = false;
};

// The running applications of the current user, read from the process table. The boot
// enforcer and the restart guardian both see the user's applications through this one listing.
class RunningApplications {
public:
    static constexpr std::int32_t initialPIDCapacity = 4096;
    static constexpr std::int32_t maximumPIDCapacity = 65536;

    explicit RunningApplications(ProcessTable &processes) : processes_(processes) {}

    // Decides from a process's bundles alone whether the caller wants it listed.
    using Filter = std::function<bool(const BundleResolver::Resolution &)>;

    // Every process of the real user except this one whose executable lies in a bundle and
    // passes `wanted` (all of them when it is empty). When the table is fuller than the buffer,
    // the buffer doubles (up to the maximum) for the next listing; the processes beyond it
    // wait until then.
    std::vector<RunningApplication> list(const Filter &wanted = {});
    // Whether the latest listing failed outright.
    bool listingFailed() const { return listingFailed_; }

    // Kills the process only if it is still the one that was listed: 0 when killed, the error
    // number when the signal failed, 1 when a guard refused.
    std::int32_t forceTerminate(const RunningApplication &application);

    std::int32_t pidCapacity() const { return pidCapacity_; }
    const BundleResolver &resolver() const { return resolver_; }

private:
    ProcessTable &processes_;
    BundleResolver resolver_;
    std::int32_t pidCapacity_ = initialPIDCapacity;
    std::vector<std::int32_t> pids_;
    bool listingFailed_ = false;
};

}  // namespace orvix
