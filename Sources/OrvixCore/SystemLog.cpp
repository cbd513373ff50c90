#include "SystemLog.hpp"

#include <syslog.h>

#include <mutex>

#include "TextRepair.hpp"

namespace orvix {

void SystemLog::notice(std::string_view message) const {
    write(LOG_NOTICE, message);
}

void SystemLog::error(std::string_view message) const {
    write(LOG_ERR, message);
}

void SystemLog::write(int priority, std::string_view message) const {
    static std::once_flag opened;
    std::call_once(opened, [] { ::openlog(ident, LOG_PID, LOG_USER); });
    // Passed as an argument, never as the format: messages carry outside text.
    const std::string line = category_ + ": " + repairedUTF8(message);
    ::syslog(priority, "%s", line.c_str());
}

}  // namespace orvix
