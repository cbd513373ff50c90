#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvix {

// Who a process is: its real user id and its start time in microseconds since the epoch.
struct ProcessIdentity {
    std::uint32_t uid = 0;
    std::uint64_t startMicroseconds = 0;
};

// The process table as the boot enforcer sees it. The real one asks the kernel; tests hand
// the enforcer a fake to play out crowded, failing or racing process tables.
class ProcessTable {
public:
    virtual ~ProcessTable() = default;

    // Fills up to `capacity` pids and returns how many processes exist; negative on failure.
    virtual std::int32_t listPIDs(std::int32_t *buffer, std::int32_t capacity) = 0;
    virtual std::optional<ProcessIdentity> identity(std::int32_t pid) = 0;
    // The raw bytes of the executable path; none when it cannot be read.
    virtual std::optional<std::string> executablePath(std::int32_t pid) = 0;
    // 0 when killed, the error number when the signal failed, 1 when a guard refused.
    virtual std::int32_t killIfOwned(std::int32_t pid, const ProcessIdentity &identity) = 0;

    virtual std::uint32_t realUserID() const = 0;
    virtual std::int32_t ownPID() const = 0;
};

// The kernel's process table, through the orvix_ primitives.
class SystemProcessTable final : public ProcessTable {
public:
    std::int32_t listPIDs(std::int32_t *buffer, std::int32_t capacity) override;
    std::optional<ProcessIdentity> identity(std::int32_t pid) override;
    std::optional<std::string> executablePath(std::int32_t pid) override;
    std::int32_t killIfOwned(std::int32_t pid, const ProcessIdentity &identity) override;
    std::uint32_t realUserID() const override;
    std::int32_t ownPID() const override;
};

}  // namespace orvix
