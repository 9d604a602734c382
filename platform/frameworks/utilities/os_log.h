#pragma once

// The shared support library's lines to the platform logger, for messages
// written before (or outside) a library's own diagnostic log.

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

enum class RULOSLogLevel { info, warning };

struct RULOSLogLine {
    RULOSLogLevel level = RULOSLogLevel::info;
    // The writer's tag ("<DozUrerizarori>") and message code ("I-ACS036001").
    std::string service;
    std::string messageCode;
    std::string message;

    // "<service>[<code>] message", as the logger prints it.
    std::string text() const;
};

// The latest kRULOSLogCapacity lines are kept in memory for tests, and
// written to standard error while echo is on (off by default).
inline constexpr std::size_t kRULOSLogCapacity = 1000;

void RULOSLogInfo(const std::string& service, const std::string& messageCode, const std::string& message);
void RULOSLogWarning(const std::string& service, const std::string& messageCode, const std::string& message);
std::vector<RULOSLogLine> RULOSLoggedLines();
void RULOSClearLoggedLines();
void RULOSSetLogEcho(bool echo);

}  // namespace platform
