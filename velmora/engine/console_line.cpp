#include "velmora/engine/console_line.h"

#include <iostream>
#include <mutex>

namespace velmora {

namespace {

std::mutex gConsoleMutex;
std::function<void(const std::string&)> gConsoleSink;

}  // namespace

void consoleLine(const std::string& line) {
    std::lock_guard lock(gConsoleMutex);
    if (gConsoleSink) {
        gConsoleSink(line);
    } else {
        std::cerr << line << '\n';
    }
}

void setConsoleSink(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(gConsoleMutex);
    gConsoleSink = std::move(sink);
}

}  // namespace velmora
