#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform::ui {

// The platform's console: warnings it logs (a refused presentation, say).
// The latest kConsoleCapacity are kept in memory so that tests can read
// them; echoed to standard error when echo is on (the headless runner turns
// it on).
inline constexpr std::size_t kConsoleCapacity = 1000;

void logMessage(const std::string& message);
std::vector<std::string> loggedMessages();
void clearLoggedMessages();
void setConsoleEcho(bool echo);

}  // namespace platform::ui
