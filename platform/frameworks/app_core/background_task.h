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
// active. Headless there is nothing to grant and nothing expires: the
// registry records what was asked, so that tests and tools see which tasks
// were begun and ended and can wait for the running ones to end.
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
    // Forgets every record.
    void reset();

private:
    BackgroundTasks();
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform
