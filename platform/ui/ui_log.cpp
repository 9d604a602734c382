#include "platform/ui/ui_log.h"

#include <atomic>
#include <deque>
#include <iostream>
#include <mutex>

namespace platform::ui {

namespace {
std::mutex consoleMutex;
std::deque<std::string> messages;
std::atomic<bool> echoOn{false};
}  // namespace

void logMessage(const std::string& message) {
    std::lock_guard lock(consoleMutex);
    if (messages.size() == kConsoleCapacity) messages.pop_front();
    messages.push_back(message);
    if (echoOn) std::cerr << message << '\n';
}

std::vector<std::string> loggedMessages() {
    std::lock_guard lock(consoleMutex);
    return {messages.begin(), messages.end()};
}

void clearLoggedMessages() {
    std::lock_guard lock(consoleMutex);
    messages.clear();
}

void setConsoleEcho(bool echo) { echoOn = echo; }

}  // namespace platform::ui
