#pragma once

// APMAlarm: a named one-shot timer on a dispatch queue.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/queue.h"

namespace measurement {

// Monitor codes of the alarms.
enum : long {
    kAPMAlarmEmptyBlockCode = 2000,
    kAPMAlarmFiredCode = 2001,
    kAPMAlarmScheduledCode = 2002,
    kAPMAlarmCanceledCode = 2003,
    kAPMAlarmNotActiveCode = 2004,
};

// A named one-shot timer on a dispatch queue. It takes its clock and timers
// from platform::dispatch, so tests drive it with ManualTime. Safe to use
// from any queue; the block runs on the alarm's queue.
class APMAlarm {
public:
    // An empty name becomes "Timer".
    APMAlarm(std::shared_ptr<platform::dispatch::Queue> queue, std::string name);
    // Cancels a pending firing.
    ~APMAlarm();
    APMAlarm(const APMAlarm&) = delete;
    APMAlarm& operator=(const APMAlarm&) = delete;

    // Replaces a pending firing: the block runs once, `delaySeconds` from
    // now (at once for a delay in the past). An empty block is refused and
    // arms nothing.
    void runAfterDelay(double delaySeconds, std::function<void()> block);
    // Nothing when the alarm is not armed.
    void cancel();
    // The wall-clock time the alarm is armed for; none when it is not (also
    // once it has fired).
    std::optional<double> scheduledTimestamp() const;

    const std::string& name() const;
    const std::shared_ptr<platform::dispatch::Queue>& queue() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace measurement
