#pragma once

#include <cstddef>
#include <memory>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"

namespace platform::dispatch {

// A one-shot timer. Once cancelled its block never runs, even when the
// firing was already on its way to the queue.
class Timer {
public:
    virtual ~Timer() = default;
    virtual void cancel() = 0;
    // Armed: neither fired nor cancelled.
    virtual bool isActive() const = 0;
    // The wall time it is armed for.
    virtual double fireDate() const = 0;
};

class TimerService {
public:
    virtual ~TimerService() = default;
    // Runs the block on the queue once the wall clock reaches now + delay;
    // a delay of zero or less fires at once.
    virtual std::shared_ptr<Timer> schedule(std::shared_ptr<Queue> queue, double delaySeconds, Block block) = 0;
};

// The process timer service: real wall-clock timers unless a test installed
// another. nullptr restores the real one.
std::shared_ptr<TimerService> timers();
void setTimerService(std::shared_ptr<TimerService> service);

// Timers on a ManualClock: nothing fires until the test moves time.
class ManualTimerService : public TimerService {
public:
    explicit ManualTimerService(std::shared_ptr<ManualClock> clock);
    ~ManualTimerService() override;

    std::shared_ptr<Timer> schedule(std::shared_ptr<Queue> queue, double delaySeconds, Block block) override;

    // Fires the earliest armed timer due at or before `until`, first moving
    // the clock to its fire date; answers false when none is due.
    bool fireNext(double until);
    std::size_t activeCount() const;
    // The earliest armed fire date, or a negative number when none is armed.
    double nextFireDate() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// A test fixture: installs a manual clock, manual timers and (unless asked
// not to) manual queues for its lifetime, and restores the real ones after.
// advance() moves time in steps, firing every timer in fire-date order and
// draining every queue after each firing, so whole chains of timed work run
// deterministically on the test thread.
class ManualTime {
public:
    explicit ManualTime(bool manualQueues = true, double now = 1700000000.0);
    ~ManualTime();
    ManualTime(const ManualTime&) = delete;
    ManualTime& operator=(const ManualTime&) = delete;

    void advance(double seconds);
    // Fires what is due now and drains every queue.
    void settle() { advance(0); }
    std::size_t drain();

    ManualClock& clock() { return *clock_; }
    ManualTimerService& timers() { return *timers_; }
    double now() const { return clock_->now(); }

private:
    std::shared_ptr<ManualClock> clock_;
    std::shared_ptr<ManualTimerService> timers_;
    std::shared_ptr<ManualQueueFactory> queues_;
};

}  // namespace platform::dispatch
