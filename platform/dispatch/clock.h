#pragma once

#include <atomic>
#include <memory>

namespace platform::dispatch {

// Two clocks: wall time (seconds since 1970) for everything stored or sent,
// and time since boot (monotonic, never negative) for durations.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() const = 0;
    virtual double uptime() const = 0;
    // Whether its wall time is its own, moved by hand (a test's, the
    // headless runner's), rather than the system's that every process on
    // the machine reads.
    virtual bool isManual() const { return false; }
};

class SystemClock : public Clock {
public:
    double now() const override;
    double uptime() const override;
};

// A clock that moves only when told to; both readings move together.
class ManualClock : public Clock {
public:
    explicit ManualClock(double now = 1700000000.0, double uptime = 1000.0) : now_(now), uptime_(uptime) {}
    double now() const override { return now_.load(); }
    double uptime() const override { return uptime_.load(); }
    bool isManual() const override { return true; }
    void advance(double seconds);
    // Sets the wall time alone, as when the user changes the device's clock.
    void setNow(double now) { now_.store(now); }

private:
    std::atomic<double> now_;
    std::atomic<double> uptime_;
};

// The process clock: the system clock unless a test installed another.
std::shared_ptr<Clock> currentClock();
// nullptr restores the system clock.
void setClock(std::shared_ptr<Clock> clock);

}  // namespace platform::dispatch
