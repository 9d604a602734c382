// The platform logger's memory of recent lines.
#include "platform/frameworks/utilities/os_log.h"

#include <atomic>
#include <deque>
#include <iostream>
#include <mutex>

namespace platform {

namespace {

std::mutex logMutex;
std::deque<RULOSLogLine> lines;
std::atomic<bool> echoOn{false};

void write(RULOSLogLevel level, const std::string& service, const std::string& messageCode,
           const std::string& message) {
    RULOSLogLine line{level, service, messageCode, message};
    std::lock_guard lock(logMutex);
    if (echoOn) std::cerr << line.text() << '\n';
    if (lines.size() == kRULOSLogCapacity) lines.pop_front();
    lines.push_back(std::move(line));
}

}  // namespace

std::string RULOSLogLine::text() const { return service + "[" + messageCode + "] " + message; }

void RULOSLogInfo(const std::string& service, const std::string& messageCode, const std::string& message) {
    write(RULOSLogLevel::info, service, messageCode, message);
}

void RULOSLogWarning(const std::string& service, const std::string& messageCode, const std::string& message) {
    write(RULOSLogLevel::warning, service, messageCode, message);
}

std::vector<RULOSLogLine> RULOSLoggedLines() {
    std::lock_guard lock(logMutex);
    return {lines.begin(), lines.end()};
}

void RULOSClearLoggedLines() {
    std::lock_guard lock(logMutex);
    lines.clear();
}

void RULOSSetLogEcho(bool echo) { echoOn = echo; }

}  // namespace platform
