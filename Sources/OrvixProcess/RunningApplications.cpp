#include "RunningApplications.hpp"

#include <algorithm>

#include "TextRepair.hpp"

namespace orvix {

std::vector<RunningApplication> RunningApplications::list(const Filter &wanted) {
    const std::int32_t capacity = pidCapacity_;
    pids_.assign(static_cast<std::size_t>(capacity), 0);
    const std::int32_t count = processes_.listPIDs(pids_.data(), capacity);
    listingFailed_ = count < 0;
    if (count >= capacity && capacity < maximumPIDCapacity) pidCapacity_ = capacity * 2;

    std::vector<RunningApplication> applications;
    const std::uint32_t user = processes_.realUserID();
    const std::int32_t self = processes_.ownPID();
    const std::int32_t examined = std::min(capacity, std::max(count, 0));
    for (std::int32_t index = 0; index < examined; index++) {
        const std::int32_t pid = pids_[static_cast<std::size_t>(index)];
        if (pid <= 1 || pid == self) continue;
        // The executable decides first: resolving it is one cached lookup, so every process
        // outside a bundle (or one the caller does not want) costs a single read. Owner and
        // start time are read only for the rest.
        const auto path = processes_.executablePath(pid);
        if (!path) continue;
        std::string executablePath = repairedUTF8(*path);
        const auto &resolution = resolver_.resolve(executablePath);
        if (!resolution.application || (wanted && !wanted(resolution))) continue;
        const auto identity = processes_.identity(pid);
        if (!identity || identity->uid != user) continue;
        // The pid may have passed to another process since its path was read. What is
        // reported (and later killed) is the process of this identity, so its path must be the
        // one resolved; otherwise the process counts as terminated.
        const auto confirmed = processes_.executablePath(pid);

        RunningApplication application;
        application.pid = pid;
        application.identity = *identity;
        application.executablePath = std::move(executablePath);
        application.bundleURL = resolution.application->url;
        application.bundleIdentifier = resolution.application->info.identifier;
        application.bundleIDs = resolution.bundleIDs;
        application.name = resolution.application->info.name;
        application.terminated = !confirmed || *confirmed != *path;
        applications.push_back(std::move(application));
    }
    return applications;
}

std::int32_t RunningApplications::forceTerminate(const RunningApplication &application) {
    return processes_.killIfOwned(application.pid, application.identity);
}

}  // namespace orvix
