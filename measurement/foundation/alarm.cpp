// Named one-shot alarms on a dispatch queue.
#include "measurement/foundation/alarm.h"

#include <cmath>
#include <cstdint>
#include <mutex>

#include "measurement/foundation/monitor.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/timer.h"

namespace measurement {

struct APMAlarm::State {
    std::shared_ptr<platform::dispatch::Queue> queue;
    std::string name;
    mutable std::mutex mutex;
    std::shared_ptr<platform::dispatch::Timer> timer;
    std::optional<double> scheduledTimestamp;
    // Tells the firing of the current arming from a stale one.
    std::uint64_t generation = 0;
};

namespace {

void log(int level, long code, const std::string& message) {
    APMMonitor::shared().logWithLevel(level, code, message);
}

}  // namespace

APMAlarm::APMAlarm(std::shared_ptr<platform::dispatch::Queue> queue, std::string name)
    : state_(std::make_shared<State>()) {
    state_->queue = std::move(queue);
    state_->name = name.empty() ? "Timer" : std::move(name);
}

APMAlarm::~APMAlarm() {
    std::lock_guard lock(state_->mutex);
    if (state_->timer) state_->timer->cancel();
    ++state_->generation;
}

void APMAlarm::runAfterDelay(double delaySeconds, std::function<void()> block) {
    if (!block) {
        log(kAPMMonitorLevelError, kAPMAlarmEmptyBlockCode, state_->name + " tried to schedule an empty block");
        return;
    }
    // A delay that is not a number would arm the alarm for no time at all;
    // it fires at once, as a delay in the past does.
    if (std::isnan(delaySeconds)) delaySeconds = 0;
    cancel();
    std::weak_ptr<State> weak = state_;
    std::lock_guard lock(state_->mutex);
    const std::uint64_t generation = ++state_->generation;
    state_->scheduledTimestamp = platform::dispatch::currentClock()->now() + delaySeconds;
    state_->timer = platform::dispatch::timers()->schedule(
        state_->queue, delaySeconds, [weak, generation, block = std::move(block)] {
            auto state = weak.lock();
            if (!state) return;
            {
                std::lock_guard fired(state->mutex);
                if (state->generation != generation) return;
                // The alarm has fired: it is no longer armed.
                state->timer.reset();
                state->scheduledTimestamp.reset();
            }
            log(kAPMMonitorLevelDebug, kAPMAlarmFiredCode, state->name + " fired");
            block();
        });
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelDebug, kAPMAlarmScheduledCode,
                                      state_->name + " scheduled to fire in approx. (s)",
                                      platform::Value(delaySeconds));
}

void APMAlarm::cancel() {
    std::shared_ptr<platform::dispatch::Timer> timer;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->scheduledTimestamp) return;
        timer = std::move(state_->timer);
        state_->scheduledTimestamp.reset();
        ++state_->generation;
    }
    log(kAPMMonitorLevelDebug, kAPMAlarmCanceledCode, state_->name + " canceled");
    if (!timer || !timer->isActive()) {
        log(kAPMMonitorLevelSampledWarning, kAPMAlarmNotActiveCode, state_->name + " is not active");
    }
    if (timer) timer->cancel();
}

std::optional<double> APMAlarm::scheduledTimestamp() const {
    std::lock_guard lock(state_->mutex);
    return state_->scheduledTimestamp;
}

const std::string& APMAlarm::name() const { return state_->name; }

const std::shared_ptr<platform::dispatch::Queue>& APMAlarm::queue() const { return state_->queue; }

}  // namespace measurement
