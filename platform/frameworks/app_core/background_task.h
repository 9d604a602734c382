#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

using BackgroundTaskIdentifier = std::uint64_t;
inline constexpr BackgroundTaskIdentifier kInvalidBackgroundTask = 0;

// The platform's grant of extra running time after the application resigns
// active. Headless nothing expires by itself: the registry records what was
// asked, so that tests and tools see which tasks were begun and ended and
// can wait for the running ones to end. How long the process still runs is
// what its driver says: a program about to end grants a time, which the
// work of the process reads as the time remaining (real time), and none
// granted is unlimited.
class BackgroundTasks {
public:
    struct Record {
        BackgroundTaskIdentifier identifier = kInvalidBackgroundTask;
        std::string name;
        bool ended = false;
    };

    static BackgroundTasks& shared();

    // A new identifier, never kInvalidBackgroundTask. Nothing expires here,
    // so the expiration handler is neither called nor kept (what it
    // captured is not held for the life of the process).
    BackgroundTaskIdentifier beginBackgroundTask(const std::string& name, std::function<void()> expirationHandler);
    // Ending an unknown or ended task does nothing.
    void endBackgroundTask(BackgroundTaskIdentifier identifier);

    std::vector<Record> records() const;
    std::size_t activeTaskCount() const;
    // Waits (real time) until no task is active; false when the limit
    // passed first.
    bool waitUntilNoActiveTask(double timeoutSeconds) const;
    // The process runs this much longer (seconds of real time from now);
    // replaces an earlier grant, and infinity takes the limit away. What it
    // runs is not stopped at the end: the driver ends the process, and work
    // reads the time it has left.
    void grantBackgroundTime(double seconds);
    // Seconds left of the grant, 0 once it has passed; infinity when none
    // was granted.
    double backgroundTimeRemaining() const;
    // Forgets every record and the grant.
    void reset();

private:
    BackgroundTasks();
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform
