#include "platform/frameworks/app_core/background_task.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <optional>

namespace platform {

struct BackgroundTasks::State {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    BackgroundTaskIdentifier next = 1;
    std::vector<Record> records;
    std::optional<std::chrono::steady_clock::time_point> end;

    std::size_t active() const {
        std::size_t count = 0;
        for (const auto& record : records) count += record.ended ? 0 : 1;
        return count;
    }
};

BackgroundTasks::BackgroundTasks() : state_(std::make_shared<State>()) {}

BackgroundTasks& BackgroundTasks::shared() {
    // Lives for the whole process: a task holder destroyed at exit after the
    // function statics (the measurement engine) still ends its task here.
    static auto* instance = new BackgroundTasks();
    return *instance;
}

BackgroundTaskIdentifier BackgroundTasks::beginBackgroundTask(const std::string& name,
                                                              std::function<void()> /*expirationHandler*/) {
    std::lock_guard lock(state_->mutex);
    const auto identifier = state_->next++;
    state_->records.push_back(Record{identifier, name, false});
    return identifier;
}

// Notified under the lock: a waiter that wakes may let the process end at
// once, and must not find the notification still under way.
void BackgroundTasks::endBackgroundTask(BackgroundTaskIdentifier identifier) {
    std::lock_guard lock(state_->mutex);
    for (auto& record : state_->records) {
        if (record.identifier == identifier) record.ended = true;
    }
    state_->changed.notify_all();
}

std::vector<BackgroundTasks::Record> BackgroundTasks::records() const {
    std::lock_guard lock(state_->mutex);
    return state_->records;
}

std::size_t BackgroundTasks::activeTaskCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->active();
}

bool BackgroundTasks::waitUntilNoActiveTask(double timeoutSeconds) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                                    [&] { return state_->active() == 0; });
}

void BackgroundTasks::grantBackgroundTime(double seconds) {
    if (std::isinf(seconds) && seconds > 0) {
        std::lock_guard lock(state_->mutex);
        state_->end.reset();
        return;
    }
    const double bounded = std::isnan(seconds) ? 0 : std::clamp(seconds, 0.0, 1e9);
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(bounded));
    std::lock_guard lock(state_->mutex);
    state_->end = end;
}

double BackgroundTasks::backgroundTimeRemaining() const {
    std::lock_guard lock(state_->mutex);
    if (!state_->end) return std::numeric_limits<double>::infinity();
    const std::chrono::duration<double> left = *state_->end - std::chrono::steady_clock::now();
    return std::max(left.count(), 0.0);
}

void BackgroundTasks::reset() {
    std::lock_guard lock(state_->mutex);
    state_->records.clear();
    state_->end.reset();
    state_->changed.notify_all();
}

}  // namespace platform
