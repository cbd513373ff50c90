#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ProcessTable.hpp"

namespace orvix::testing {

// A process table held in memory: what the enforcer lists, inspects and kills.
class FakeProcessTable final : public ProcessTable {
public:
    struct Process {
        ProcessIdentity identity;
        std::optional<std::string> path;
    };

    std::map<std::int32_t, Process> processes;
    std::int32_t listResult = 0;  // used instead of the count when `failListing` is set
    bool failListing = false;
    std::int32_t extraListed = 0;  // pretend this many more processes exist than are known
    std::int32_t killResult = 0;
    std::uint32_t user = 1000;
    std::int32_t self = 4242;

    // Runs when the enforcer asks who a process is: lets a test hand the pid to another process.
    std::function<void(std::int32_t)> beforeIdentity;

    std::vector<std::int32_t> listedCapacities;
    std::vector<std::int32_t> killed;

    std::int32_t listPIDs(std::int32_t *buffer, std::int32_t capacity) override {
        listedCapacities.push_back(capacity);
        if (failListing) return listResult;
        std::int32_t count = 0;
        for (const auto &[pid, process] : processes) {
            if (count < capacity) buffer[count] = pid;
            count++;
        }
        for (std::int32_t extra = 0; extra < extraListed; extra++, count++)
            if (count < capacity) buffer[count] = 100000 + extra;
        return count;
    }

    std::optional<ProcessIdentity> identity(std::int32_t pid) override {
        if (beforeIdentity) beforeIdentity(pid);
        auto found = processes.find(pid);
        if (found == processes.end()) return std::nullopt;
        return found->second.identity;
    }

    std::optional<std::string> executablePath(std::int32_t pid) override {
        auto found = processes.find(pid);
        if (found == processes.end()) return std::nullopt;
        return found->second.path;
    }

    std::int32_t killIfOwned(std::int32_t pid, const ProcessIdentity &identity) override {
        auto found = processes.find(pid);
        if (found == processes.end() || found->second.identity.uid != identity.uid ||
            found->second.identity.startMicroseconds != identity.startMicroseconds)
            return 1;
        if (killResult == 0) {
            killed.push_back(pid);
            processes.erase(found);
        }
        return killResult;
    }

    std::uint32_t realUserID() const override { return user; }
    std::int32_t ownPID() const override { return self; }
};

}  // namespace orvix::testing
