// Session starts, engagement and the app-backgrounded event.
#include "measurement/audience/session_reporter.h"

#include <algorithm>
#include <cmath>

#include "measurement/audience/reporter_codes.h"
#include "measurement/foundation/monitor.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/notification_center.h"

namespace measurement {

namespace {

constexpr double kMaxEngagementSeconds = 3600.0;

void logDebug(long code, const std::string& message) {
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelDebug, code, message);
}

std::int64_t wholeSeconds(double seconds) {
    if (!std::isfinite(seconds)) return 0;
    return static_cast<std::int64_t>(std::clamp(seconds, -9.2e18, 9.2e18));
}

std::int64_t millisecondsOf(double seconds) { return wholeSeconds(seconds * 1000.0); }

}  // namespace

APMEvent APMSessionStartEvent(std::int64_t sessionNumber, bool appInBackground, double timestamp,
                              const platform::Value::Dictionary& screenParameters) {
    APMParameters parameters{{"_sid", APMValue(wholeSeconds(timestamp))}, {"_sno", APMValue(sessionNumber)}};
    if (appInBackground) {
        parameters.insert_or_assign("_aib", APMValue(std::int64_t{1}));
    } else {
        for (const auto& [name, object] : screenParameters) {
            if (auto value = APMValue::valueFromObject(object)) parameters.insert_or_assign(name, *value);
        }
    }
    return APMEvent("auto", false, "_s", timestamp, 0, std::move(parameters));
}

APMSessionReporter::APMSessionReporter(std::shared_ptr<APMPersistedConfig> persistedConfig,
                                       std::shared_ptr<APMReporterHost> host)
    : persistedConfig_(std::move(persistedConfig)),
      host_(std::move(host)),
      timer_(platform::dispatch::mainQueuePointer(), "Engagement timer"),
      timeoutSessionInterval_(host_->remoteConfig()->sessionDefaultTimeoutInterval()) {
    engagementStartUptime_ = freerideEngagementStartUptime_ = currentUptime();
}

APMSessionReporter::~APMSessionReporter() { timer_.cancel(); }

double APMSessionReporter::currentUptime() { return platform::dispatch::currentClock()->uptime(); }

double APMSessionReporter::currentClockTime() { return platform::dispatch::currentClock()->now(); }

APMSessionReporter::Flags APMSessionReporter::flags() const {
    const auto config = host_->remoteConfig();
    return {config->efficientEngagementReportingEnabled(), config->redundantEngagementRemovalEnabled(),
            config->appBackgroundedEventEnabled()};
}

// ---- Settings ----------------------------------------------------------------

bool APMSessionReporter::reportingEnabled() const {
    std::lock_guard lock(mutex_);
    return reportingEnabled_;
}

void APMSessionReporter::setReportingEnabled(bool enabled) {
    {
        std::lock_guard lock(mutex_);
        reportingEnabled_ = enabled;
    }
    if (!enabled) {
        timer_.cancel();
    } else if (host_->isAppActive() && !timer_.scheduledTimestamp()) {
        rescheduleUserEngagementTimer();
    }
}

double APMSessionReporter::timeoutSessionInterval() const {
    std::lock_guard lock(mutex_);
    return timeoutSessionInterval_;
}

void APMSessionReporter::setTimeoutSessionInterval(double seconds) {
    // NaN is as meaningless as a negative duration.
    if (!(seconds >= 0)) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMNegativeSessionTimeoutCode,
                                          "Received negative timeout session duration. Setting to 0.0 instead.");
        seconds = 0.0;
    }
    std::lock_guard lock(mutex_);
    timeoutSessionInterval_ = seconds;
}

// ---- Sessions ----------------------------------------------------------------

bool APMSessionReporter::isSessionExpiredLocked(double now) const {
    return std::fabs(now - persistedConfig_->lastSessionActivityClockTime()) > timeoutSessionInterval_;
}

bool APMSessionReporter::isSessionExpired() const {
    std::lock_guard lock(mutex_);
    return isSessionExpiredLocked(currentClockTime());
}

bool APMSessionReporter::shouldStartNewSession() const { return host_->isAppActive() && isSessionExpired(); }

bool APMSessionReporter::extendSession() {
    std::lock_guard lock(mutex_);
    const double now = currentClockTime();
    if (isSessionExpiredLocked(now)) return false;
    persistedConfig_->setLastSessionActivityClockTime(now);
    return true;
}

APMSessionStart APMSessionReporter::startSessionLocked(double now) {
    const auto number = persistedConfig_->sessionNumber() + 1;
    persistedConfig_->setSessionNumber(number);
    persistedConfig_->setLastSessionActivityClockTime(now);
    return {number, wholeSeconds(now)};
}

void APMSessionReporter::updatePropertiesForNewSessionStart() {
    std::lock_guard lock(mutex_);
    startSessionLocked(currentClockTime());
}

std::optional<APMSessionStart> APMSessionReporter::startNewSessionIfExpired() {
    std::lock_guard lock(mutex_);
    const double now = currentClockTime();
    if (!isSessionExpiredLocked(now)) return std::nullopt;
    return startSessionLocked(now);
}

APMUserAttribute APMSessionReporter::sessionIDPropertyWithTimestamp(double timestamp) const {
    return APMUserAttribute("auto", "_sid", APMValue(wholeSeconds(timestamp)), timestamp);
}

APMUserAttribute APMSessionReporter::sessionNumberProperty() const {
    return APMUserAttribute("auto", "_sno", APMValue(persistedConfig_->sessionNumber()), currentClockTime());
}

void APMSessionReporter::setSessionID(std::optional<std::int64_t> sessionID,
                                      std::optional<std::int64_t> sessionNumber) {
    auto value = [](std::optional<std::int64_t> number) {
        return number ? std::optional<platform::Value>(static_cast<long long>(*number)) : std::nullopt;
    };
    host_->setInternalUserProperty(value(sessionID), "_sid", "auto");
    host_->setInternalUserProperty(value(sessionNumber), "_sno", "auto");
}

void APMSessionReporter::logStart(const APMSessionStart& start) {
    setSessionID(start.sessionID, start.sessionNumber);
    host_->logInternalEvent("auto", "_s",
                            {{"_sid", static_cast<long long>(start.sessionID)},
                             {"_sno", static_cast<long long>(start.sessionNumber)}});
}

void APMSessionReporter::logSessionStartEvent() {
    if (!host_->isAppActive()) {
        logDebug(kAPMSessionStartAppInactiveCode, "Session start event not logged. Application is not active");
        return;
    }
    std::optional<APMSessionStart> start;
    {
        std::lock_guard lock(mutex_);
        if (!reportingEnabled_) return;
        start = startSessionLocked(currentClockTime());
    }
    logStart(*start);
}

APMEvent APMSessionReporter::sessionStartEvent(std::int64_t sessionNumber, bool appInBackground,
                                               double timestamp) const {
    return APMSessionStartEvent(sessionNumber, appInBackground, timestamp,
                                appInBackground ? platform::Value::Dictionary{} : host_->screenParameters());
}

// ---- Engagement --------------------------------------------------------------

double APMSessionReporter::incurredEngagementTimeLocked(bool efficient, double uptime, bool& negative) const {
    const double incurred = uptime - (efficient ? freerideEngagementStartUptime_ : engagementStartUptime_);
    negative = !(incurred >= 0);
    return negative ? 0.0 : incurred;
}

double APMSessionReporter::incurredEngagementTime() {
    const bool efficient = flags().efficient;
    bool negative = false;
    double incurred = 0;
    {
        std::lock_guard lock(mutex_);
        incurred = incurredEngagementTimeLocked(efficient, currentUptime(), negative);
    }
    if (negative) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMNegativeEngagementTimeCode,
                                          "Incurred engagement time is negative. Setting to 0.0 instead");
    }
    return incurred;
}

std::int64_t APMSessionReporter::cutFreerideEngagementTimeMillis() {
    if (!flags().efficient) return 0;
    bool negative = false;
    double incurred = 0;
    {
        std::lock_guard lock(mutex_);
        const double uptime = currentUptime();
        incurred = incurredEngagementTimeLocked(true, uptime, negative);
        freerideEngagementStartUptime_ = uptime;
    }
    if (negative) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMNegativeEngagementTimeCode,
                                          "Incurred engagement time is negative. Setting to 0.0 instead");
    }
    return millisecondsOf(incurred);
}

std::int64_t APMSessionReporter::logEngagementEventAndReturnTimeWithScreen(const APMScreenRef& screen,
                                                                         bool isRedundant) {
    if (!host_->isAppActive()) {
        logDebug(kAPMEngagementAppInactiveCode, "User engagement event not logged. Application is not active");
        return 0;
    }
    const bool efficient = flags().efficient;
    const auto maxLength = static_cast<std::size_t>(host_->remoteConfig()->maxPublicEventParameterValueLength());
    std::optional<platform::Value::Dictionary> event;
    std::int64_t milliseconds = 0;
    bool negative = false;
    {
        std::lock_guard lock(mutex_);
        const double uptime = currentUptime();
        if (reportingEnabled_) {
            const double incurred = incurredEngagementTimeLocked(efficient, uptime, negative);
            milliseconds = millisecondsOf(std::min(incurred, kMaxEngagementSeconds));
            event = platform::Value::Dictionary{{"_et", static_cast<long long>(milliseconds)}};
            if (efficient && isRedundant) event->insert_or_assign("_fr", 1);
        }
        engagementStartUptime_ = uptime;
        if (efficient && !isRedundant) freerideEngagementStartUptime_ = uptime;
        persistedConfig_->setLastSessionActivityClockTime(currentClockTime());
    }
    if (negative) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMNegativeEngagementTimeCode,
                                          "Incurred engagement time is negative. Setting to 0.0 instead");
    }
    if (event) {
        if (screen) {
            for (auto& [name, value] : APMScreenEventParameters(*screen, maxLength)) event->insert_or_assign(name, value);
        }
        host_->logInternalEvent("auto", "_e", *event);
    }
    rescheduleUserEngagementTimer();
    return milliseconds;
}

void APMSessionReporter::logUserEngagementEvent() { logEngagementEventAndReturnTimeWithScreen(nullptr, false); }

void APMSessionReporter::logAppBackgroundEvent(std::int64_t milliseconds) {
    const auto current = flags();
    if (!reportingEnabled() || !current.appBackgrounded) return;
    if (!host_->isAppActive()) {
        logDebug(kAPMAppBackgroundedAppInactiveCode, "App backgrounded event not logged. Application is not active");
        return;
    }
    platform::Value::Dictionary parameters;
    if (milliseconds >= 1 && current.efficient) parameters.emplace("_et", static_cast<long long>(milliseconds));
    host_->logInternalEvent("auto", "_ab", parameters);
}

void APMSessionReporter::rescheduleUserEngagementTimer() {
    const double interval = host_->remoteConfig()->sessionEventUserEngagementInterval();
    // A timer of no interval would fire again each time it logs: the main
    // queue would do nothing else. Engagement is then reported at screen
    // changes and resignation only.
    if (!(interval > 0)) {
        timer_.cancel();
        return;
    }
    std::weak_ptr<APMSessionReporter> weak = weak_from_this();
    timer_.runAfterDelay(interval, [weak] {
        auto self = weak.lock();
        if (!self) return;
        platform::NotificationCenter::defaultCenter().post(kAPMSessionReporterEngagementTimerDidFire);
        self->logUserEngagementEvent();
    });
}

// ---- Lifecycle ---------------------------------------------------------------

void APMSessionReporter::handleAppDidBecomeActive() {
    {
        std::lock_guard lock(mutex_);
        engagementStartUptime_ = freerideEngagementStartUptime_ = currentUptime();
    }
    rescheduleUserEngagementTimer();
    if (!host_->isAppActive()) return;
    std::optional<APMSessionStart> start;
    {
        std::lock_guard lock(mutex_);
        if (reportingEnabled_) {
            const double now = currentClockTime();
            if (isSessionExpiredLocked(now)) start = startSessionLocked(now);
        }
    }
    if (!start) return;
    setSessionID(std::nullopt, std::nullopt);
    logStart(*start);
}

void APMSessionReporter::handleAppWillResignActiveWithScreen(const APMScreenRef& screen) {
    const auto current = flags();
    std::int64_t milliseconds = 0;
    if (current.appBackgrounded && current.redundantRemoval) {
        milliseconds = cutFreerideEngagementTimeMillis();
    } else {
        milliseconds = logEngagementEventAndReturnTimeWithScreen(screen, current.appBackgrounded);
    }
    logAppBackgroundEvent(milliseconds);
    timer_.cancel();
}

void APMSessionReporter::handleScreenDidChangeFromScreen(const APMScreenRef& previous, const APMScreenRef& /*next*/) {
    if (!previous || incurredEngagementTime() < 1.0) return;
    const auto current = flags();
    if (current.efficient && current.redundantRemoval) return;
    logEngagementEventAndReturnTimeWithScreen(previous, current.efficient);
}

}  // namespace measurement
