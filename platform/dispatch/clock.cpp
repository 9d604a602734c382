#include "platform/dispatch/clock.h"

#include <chrono>
#include <mutex>

namespace platform::dispatch {

double SystemClock::now() const {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

double SystemClock::uptime() const {
    using namespace std::chrono;
    // steady_clock counts from boot on Linux and never goes back.
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void ManualClock::advance(double seconds) {
    if (seconds <= 0) return;
    now_.store(now_.load() + seconds);
    uptime_.store(uptime_.load() + seconds);
}

namespace {
std::mutex gClockMutex;
std::shared_ptr<Clock>& installedClock() {
    static auto* clock = new std::shared_ptr<Clock>(std::make_shared<SystemClock>());
    return *clock;
}
}  // namespace

std::shared_ptr<Clock> currentClock() {
    std::lock_guard lock(gClockMutex);
    return installedClock();
}

void setClock(std::shared_ptr<Clock> clock) {
    std::lock_guard lock(gClockMutex);
    installedClock() = clock ? std::move(clock) : std::make_shared<SystemClock>();
}

}  // namespace platform::dispatch
