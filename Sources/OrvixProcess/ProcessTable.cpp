#include "ProcessTable.hpp"

#include <unistd.h>

#include "orvix_process.h"

namespace orvix {

std::int32_t SystemProcessTable::listPIDs(std::int32_t *buffer, std::int32_t capacity) {
    return orvix_list_pids(buffer, capacity);
}

std::optional<ProcessIdentity> SystemProcessTable::identity(std::int32_t pid) {
    ProcessIdentity identity;
    if (orvix_process_identity(pid, &identity.uid, &identity.startMicroseconds) != 0)
        return std::nullopt;
    return identity;
}

std::optional<std::string> SystemProcessTable::executablePath(std::int32_t pid) {
    char buffer[4096] = {};
    std::int32_t length = orvix_process_path(pid, buffer, sizeof buffer);
    if (length <= 0) return std::nullopt;
    return std::string(buffer);
}

std::int32_t SystemProcessTable::killIfOwned(std::int32_t pid, const ProcessIdentity &identity) {
    return orvix_kill_if_owned(pid, identity.uid, identity.startMicroseconds);
}

std::uint32_t SystemProcessTable::realUserID() const {
    return ::getuid();
}

std::int32_t SystemProcessTable::ownPID() const {
    return ::getpid();
}

}  // namespace orvix
