#pragma once

// Sessions: when a new one begins, the persisted session number and last
// activity, engagement time, and the events "_s", "_e" and "_ab" with the
// user properties "_sid" and "_sno".

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/audience/reporter_host.h"
#include "measurement/audience/screen.h"
#include "measurement/foundation/alarm.h"
#include "measurement/foundation/event.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/store/persisted_config.h"

namespace measurement {

// Posted (object none) on the default notification centre, from the main
// queue, each time the engagement timer fires.
inline constexpr const char* kAPMSessionReporterEngagementTimerDidFire = "kAPMSessionReporterEngagementTimerDidFire";

// The session that begins: its number and its ID (the start's clock time
// in whole seconds).
struct APMSessionStart {
    std::int64_t sessionNumber = 0;
    std::int64_t sessionID = 0;
};

// The "_s" event built for the worker queue: "_sid" the timestamp in whole
// seconds, "_sno" the session number, and "_aib" = 1 for a session started
// by background work or else the current screen's parameters.
APMEvent APMSessionStartEvent(std::int64_t sessionNumber, bool appInBackground, double timestamp,
                              const platform::Value::Dictionary& screenParameters);

// Activation, resignation and screen changes arrive from the screen-view
// reporter (main thread and its queue), the expiry questions and session
// starts of the engine from the worker queue, the engagement timer on the
// main queue. One lock guards the fields in memory, and deciding that a
// session has expired and starting the new one are a single step under it,
// so two threads never start two sessions. Nothing is logged while the lock
// is held.
class APMSessionReporter : public std::enable_shared_from_this<APMSessionReporter> {
public:
    APMSessionReporter(std::shared_ptr<APMPersistedConfig> persistedConfig, std::shared_ptr<APMReporterHost> host);
    // Cancels the engagement timer.
    ~APMSessionReporter();
    APMSessionReporter(const APMSessionReporter&) = delete;
    APMSessionReporter& operator=(const APMSessionReporter&) = delete;

    // Off until the engine switches it on. On while the application is
    // active arms the timer when it is not armed; off cancels it.
    bool reportingEnabled() const;
    void setReportingEnabled(bool enabled);
    // A negative interval is stored as 0 (code 33001).
    double timeoutSessionInterval() const;
    void setTimeoutSessionInterval(double seconds);

    // |clock time - last activity| is more than the timeout.
    bool isSessionExpired() const;
    // The application is active and the session has expired.
    bool shouldStartNewSession() const;
    // Within a current session: records the activity now and answers true.
    bool extendSession();
    // Session number + 1, last activity now.
    void updatePropertiesForNewSessionStart();
    // The expiry check and the start of the new session in one step: none
    // when the session is current.
    std::optional<APMSessionStart> startNewSessionIfExpired();

    APMUserAttribute sessionIDPropertyWithTimestamp(double timestamp) const;
    APMUserAttribute sessionNumberProperty() const;
    // Sets (or, with none, clears) "_sid" and then "_sno" through the
    // facade.
    void setSessionID(std::optional<std::int64_t> sessionID, std::optional<std::int64_t> sessionNumber);
    // "_s" for the session starting now, with its number, ID and properties.
    void logSessionStartEvent();
    void logUserEngagementEvent();
    // "_e" for the time engaged, credited to the screen given; answers the
    // milliseconds (0 when not logged).
    std::int64_t logEngagementEventAndReturnTimeWithScreen(const APMScreenRef& screen, bool isRedundant);
    void logAppBackgroundEvent(std::int64_t milliseconds);

    // From the screen-view reporter.
    void handleAppDidBecomeActive();
    void handleAppWillResignActiveWithScreen(const APMScreenRef& screen);
    void handleScreenDidChangeFromScreen(const APMScreenRef& previous, const APMScreenRef& next);

    void rescheduleUserEngagementTimer();
    double incurredEngagementTime();
    std::int64_t cutFreerideEngagementTimeMillis();
    static double currentUptime();
    static double currentClockTime();

    // The "_s" of a worker-queue start, with the current screen of the host.
    APMEvent sessionStartEvent(std::int64_t sessionNumber, bool appInBackground, double timestamp) const;
    APMAlarm& userEngagementTimer() { return timer_; }

private:
    struct Flags {
        bool efficient = false;
        bool redundantRemoval = false;
        bool appBackgrounded = false;
    };
    Flags flags() const;
    bool isSessionExpiredLocked(double now) const;
    APMSessionStart startSessionLocked(double now);
    // The incurred time and the monitor entry it needs, measured under the
    // lock and reported after it.
    double incurredEngagementTimeLocked(bool efficient, double uptime, bool& negative) const;
    void logStart(const APMSessionStart& start);

    std::shared_ptr<APMPersistedConfig> persistedConfig_;
    std::shared_ptr<APMReporterHost> host_;
    APMAlarm timer_;
    mutable std::mutex mutex_;  // the four fields below
    double engagementStartUptime_ = 0;
    double freerideEngagementStartUptime_ = 0;
    bool reportingEnabled_ = false;
    double timeoutSessionInterval_ = 0;
};

}  // namespace measurement
