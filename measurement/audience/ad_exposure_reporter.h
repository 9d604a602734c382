#pragma once

// Ad exposure: how long ad units are on screen, reported as "_xu" per ad
// unit and "_xa" for any ad, cut at every screen change, engagement timer
// and resignation so that each event belongs to one screen.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "measurement/audience/reporter_host.h"
#include "measurement/audience/screen.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification_center.h"

namespace measurement {

// The maps and the start time live on the reporter's serial queue. The
// events an operation produces there are collected and logged once it has
// left the queue, so that the queue never waits for another (logging reads
// the current screen on the screen-view reporter's queue, which itself waits
// for this one at a screen change).
class APMAdExposureReporter : public std::enable_shared_from_this<APMAdExposureReporter> {
public:
    static constexpr std::size_t kMaxActiveAdUnits = 100;

    // Observes the engagement timer's notification.
    static std::shared_ptr<APMAdExposureReporter> make(std::shared_ptr<APMReporterHost> host);
    ~APMAdExposureReporter();
    APMAdExposureReporter(const APMAdExposureReporter&) = delete;
    APMAdExposureReporter& operator=(const APMAdExposureReporter&) = delete;

    // From any thread: an ad unit starts or stops being shown. Begins nest;
    // the end of the last open begin reports the unit.
    void beginAdUnitExposure(const std::string& adUnitID);
    void endAdUnitExposure(const std::string& adUnitID);

    // From the screen-view reporter and the session reporter's timer.
    void handleScreenDidChangeFromScreen(const APMScreenRef& previous, const APMScreenRef& next);
    void handleAppDidBecomeActive();
    void handleAppWillResignActiveWithScreen(const APMScreenRef& screen);
    void handleEngagementTimer();

    bool isReportingEnabled() const { return reportingEnabled_.load(); }
    void setReportingEnabled(bool enabled) { reportingEnabled_.store(enabled); }

    // Cuts the open periods now, crediting them to the given parameters.
    void logExposureEventsWithScreenParameters(const platform::Value::Dictionary& parameters);
    // The active ad units and their open begins, read on the queue.
    std::map<std::string, int> activeAdUnits() const;
    const std::shared_ptr<platform::dispatch::Queue>& queue() const { return queue_; }

private:
    struct Event {
        std::string name;
        platform::Value::Dictionary parameters;
    };
    using Events = std::vector<Event>;

    explicit APMAdExposureReporter(std::shared_ptr<APMReporterHost> host);
    static double currentTime();
    std::size_t maxValueLength() const;
    void log(const Events& events) const;

    // Queue side.
    void updateStartTimesOnSerialQueue(double time);
    void logExposureEventsOnSerialQueue(double endTime, const platform::Value::Dictionary& parameters, Events& out);
    void logAdExposureEventOnSerialQueue(double endTime, const platform::Value::Dictionary& parameters, Events& out);
    void logAdUnitExposureEventOnSerialQueue(const std::string& adUnitID, double endTime,
                                             const platform::Value::Dictionary& parameters, Events& out);
    // Cuts on the queue at the time given and logs after leaving it.
    void cut(double endTime, const platform::Value::Dictionary& parameters);

    std::shared_ptr<APMReporterHost> host_;
    std::shared_ptr<platform::dispatch::Queue> queue_;
    std::map<std::string, int> adUnitCounts_;
    std::map<std::string, double> adUnitStartTimes_;
    double adExposureStartTime_ = 0;
    std::atomic<bool> reportingEnabled_{true};
    platform::ObserverToken engagementObserver_;
};

}  // namespace measurement
