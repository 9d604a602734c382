// Ad-unit begins and ends, and the cutting of open exposure periods.
#include "measurement/audience/ad_exposure_reporter.h"

#include <algorithm>
#include <cmath>

#include "measurement/audience/reporter_codes.h"
#include "measurement/audience/session_reporter.h"
#include "measurement/foundation/monitor.h"
#include "platform/dispatch/clock.h"

namespace measurement {

namespace {

void logEntry(int level, long code, const std::string& message) {
    APMMonitor::shared().logWithLevel(level, code, message);
}

void logEntry(int level, long code, const std::string& message, const std::string& adUnitID) {
    APMMonitor::shared().logWithLevel(level, code, message, platform::Value(adUnitID));
}

std::int64_t millisecondsBetween(double start, double end) {
    const double milliseconds = (end - start) * 1000.0;
    if (!std::isfinite(milliseconds)) return 0;
    return static_cast<std::int64_t>(std::clamp(milliseconds, -9.2e18, 9.2e18));
}

}  // namespace

std::shared_ptr<APMAdExposureReporter> APMAdExposureReporter::make(std::shared_ptr<APMReporterHost> host) {
    std::shared_ptr<APMAdExposureReporter> reporter(new APMAdExposureReporter(std::move(host)));
    std::weak_ptr<APMAdExposureReporter> weak = reporter;
    reporter->engagementObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        kAPMSessionReporterEngagementTimerDidFire, nullptr, [weak](const platform::Notification&) {
            if (auto self = weak.lock()) self->handleEngagementTimer();
        });
    return reporter;
}

APMAdExposureReporter::APMAdExposureReporter(std::shared_ptr<APMReporterHost> host)
    : host_(std::move(host)),
      queue_(platform::dispatch::makeSerialQueue("APMAdExposureReporter")),
      adExposureStartTime_(currentTime()) {}

APMAdExposureReporter::~APMAdExposureReporter() { engagementObserver_.remove(); }

double APMAdExposureReporter::currentTime() { return platform::dispatch::currentClock()->uptime(); }

std::size_t APMAdExposureReporter::maxValueLength() const {
    return static_cast<std::size_t>(host_->remoteConfig()->maxPublicEventParameterValueLength());
}

void APMAdExposureReporter::log(const Events& events) const {
    for (const auto& event : events) host_->logInternalEvent("am", event.name, event.parameters);
}

std::map<std::string, int> APMAdExposureReporter::activeAdUnits() const {
    std::map<std::string, int> counts;
    queue_->sync([&] { counts = adUnitCounts_; });
    return counts;
}

// ---- Begin and end -------------------------------------------------------------

void APMAdExposureReporter::beginAdUnitExposure(const std::string& adUnitID) {
    if (adUnitID.empty()) {
        logEntry(kAPMMonitorLevelSilentWarning, kAPMAdBeginEmptyIDCode,
                 "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
        return;
    }
    const double time = currentTime();
    std::weak_ptr<APMAdExposureReporter> weak = weak_from_this();
    queue_->async([weak, adUnitID, time] {
        auto self = weak.lock();
        if (!self) return;
        const bool active = self->adUnitCounts_.count(adUnitID) > 0;
        // The limit holds new ad units off; a nested begin of one already
        // shown must count, or its ends would no longer balance.
        if (!active && self->adUnitCounts_.size() >= kMaxActiveAdUnits) {
            logEntry(kAPMMonitorLevelSilentWarning, kAPMAdUnitLimitCode,
                     "Reached limit on ad units. Ignoring ad unit with ID", adUnitID);
            return;
        }
        if (self->adUnitCounts_.empty()) self->adExposureStartTime_ = time;
        if (!active) self->adUnitStartTimes_[adUnitID] = time;
        ++self->adUnitCounts_[adUnitID];
    });
}

void APMAdExposureReporter::endAdUnitExposure(const std::string& adUnitID) {
    if (adUnitID.empty()) {
        logEntry(kAPMMonitorLevelSilentWarning, kAPMAdEndEmptyIDCode,
                 "Ignoring call to end ad unit exposure. Received empty ad unit ID");
        return;
    }
    const double time = currentTime();
    const auto parameters = host_->screenParameters();
    Events events;
    queue_->sync([&] {
        auto count = adUnitCounts_.find(adUnitID);
        if (count == adUnitCounts_.end()) {
            logEntry(kAPMMonitorLevelSilentWarning, kAPMAdUnknownUnitCode, "Unknown ad unit. Ignoring ad unit with ID",
                     adUnitID);
            return;
        }
        if (count->second >= 2) {
            --count->second;
            return;
        }
        logAdUnitExposureEventOnSerialQueue(adUnitID, time, parameters, events);
        adUnitCounts_.erase(count);
        adUnitStartTimes_.erase(adUnitID);
        if (adUnitCounts_.empty()) {
            logAdExposureEventOnSerialQueue(time, parameters, events);
            adExposureStartTime_ = time;
        }
    });
    log(events);
}

// ---- Events --------------------------------------------------------------------

void APMAdExposureReporter::logAdUnitExposureEventOnSerialQueue(const std::string& adUnitID, double endTime,
                                                                const platform::Value::Dictionary& parameters,
                                                                Events& out) {
    if (!isReportingEnabled()) {
        logEntry(kAPMMonitorLevelSilentWarning, kAPMAdUnitExposureDisabledCode,
                 "Ad unit exposure not logged. Reporting is disabled.");
        return;
    }
    if (adUnitID.empty()) {
        logEntry(kAPMMonitorLevelSilentWarning, kAPMAdUnitExposureEmptyIDCode,
                 "Ad unit exposure not logged. Received empty ad unit ID");
        return;
    }
    if (!host_->isAppActive()) {
        logEntry(kAPMMonitorLevelVerbose, kAPMAdUnitExposureInactiveCode,
                 "Ad unit exposure not logged. App is not active.");
        return;
    }
    const auto start = adUnitStartTimes_.find(adUnitID);
    const auto milliseconds = millisecondsBetween(start == adUnitStartTimes_.end() ? endTime : start->second, endTime);
    if (milliseconds <= 999) {
        logEntry(kAPMMonitorLevelVerbose, kAPMAdUnitExposureTooShortCode,
                 "Ad unit exposure not logged. Exposure time was less than 1 sec");
        return;
    }
    auto event = parameters;
    event.insert_or_assign("_ai", adUnitID);
    event.insert_or_assign("_xt", static_cast<long long>(milliseconds));
    out.push_back({"_xu", std::move(event)});
}

void APMAdExposureReporter::logAdExposureEventOnSerialQueue(double endTime,
                                                            const platform::Value::Dictionary& parameters,
                                                            Events& out) {
    if (!isReportingEnabled()) {
        logEntry(kAPMMonitorLevelSilentWarning, kAPMAdExposureDisabledCode,
                 "Ad exposure not logged. Reporting is disabled.");
        return;
    }
    if (!host_->isAppActive()) {
        logEntry(kAPMMonitorLevelVerbose, kAPMAdExposureInactiveCode, "Ad exposure not logged. App is not active.");
        return;
    }
    const auto milliseconds = millisecondsBetween(adExposureStartTime_, endTime);
    if (milliseconds <= 999) {
        logEntry(kAPMMonitorLevelVerbose, kAPMAdExposureTooShortCode,
                 "Ad exposure not logged. Exposure time was less than 1 sec");
        return;
    }
    auto event = parameters;
    event.insert_or_assign("_xt", static_cast<long long>(milliseconds));
    out.push_back({"_xa", std::move(event)});
}

// ---- Cutting the open periods ----------------------------------------------------

void APMAdExposureReporter::updateStartTimesOnSerialQueue(double time) {
    if (adUnitCounts_.empty()) return;
    for (auto& [adUnitID, start] : adUnitStartTimes_) start = time;
    adExposureStartTime_ = time;
}

void APMAdExposureReporter::logExposureEventsOnSerialQueue(double endTime,
                                                           const platform::Value::Dictionary& parameters,
                                                           Events& out) {
    for (const auto& [adUnitID, count] : adUnitCounts_) {
        logAdUnitExposureEventOnSerialQueue(adUnitID, endTime, parameters, out);
    }
    if (!adUnitCounts_.empty()) logAdExposureEventOnSerialQueue(endTime, parameters, out);
    updateStartTimesOnSerialQueue(endTime);
}

void APMAdExposureReporter::cut(double endTime, const platform::Value::Dictionary& parameters) {
    Events events;
    queue_->sync([&] { logExposureEventsOnSerialQueue(endTime, parameters, events); });
    log(events);
}

void APMAdExposureReporter::logExposureEventsWithScreenParameters(const platform::Value::Dictionary& parameters) {
    cut(currentTime(), parameters);
}

void APMAdExposureReporter::handleScreenDidChangeFromScreen(const APMScreenRef& previous, const APMScreenRef&) {
    if (!previous) return;
    logExposureEventsWithScreenParameters(APMScreenEventParameters(*previous, maxValueLength()));
}

void APMAdExposureReporter::handleEngagementTimer() { logExposureEventsWithScreenParameters(host_->screenParameters()); }

void APMAdExposureReporter::handleAppWillResignActiveWithScreen(const APMScreenRef& screen) {
    platform::Value::Dictionary parameters;
    if (screen) parameters = APMScreenEventParameters(*screen, maxValueLength());
    if (parameters.empty()) parameters = host_->screenParameters();
    logExposureEventsWithScreenParameters(parameters);
}

void APMAdExposureReporter::handleAppDidBecomeActive() {
    const double time = currentTime();
    queue_->sync([&] { updateStartTimesOnSerialQueue(time); });
}

}  // namespace measurement
