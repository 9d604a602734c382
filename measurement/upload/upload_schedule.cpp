// The upload schedule and its one-shot timer.
#include <algorithm>
#include <cmath>
#include <limits>

#include "measurement/foundation/scheduler.h"
#include "measurement/upload/upload_detail.h"
#include "measurement/upload/uploader.h"

namespace measurement {

using namespace upload_detail;

namespace {

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

bool isZero(double value) { return std::fabs(value) < kEpsilon; }

class RunOnReachabilityChange : public platform::RULReachabilityDelegate {
public:
    explicit RunOnReachabilityChange(std::function<void()> run) : run_(std::move(run)) {}
    void reachabilityDidChange() override { run_(); }

private:
    std::function<void()> run_;
};

}  // namespace

double APMNextUploadingTime(const APMUploadTimingInputs& inputs) {
    if (isZero(inputs.latestDataTime)) return 0;
    const double now = inputs.now;
    // Data stamped in the future (a clock set back) counts as that far in
    // the past.
    const double latest = now - std::fabs(inputs.latestDataTime - now);
    const double lastSuccess = inputs.lastSuccessfulUpload;
    double next = std::fabs(now - lastSuccess) < inputs.interval ? lastSuccess + inputs.interval
                                                                 : latest + inputs.initialDelay;
    const double lastFailure = inputs.lastFailedUpload;
    if (lastFailure >= latest) {
        for (std::int64_t step = 0; step < inputs.retryCount; ++step) {
            next += inputs.retryInterval * std::ldexp(1.0, static_cast<int>(std::min<std::int64_t>(step, 1000)));
            if (next > lastFailure) return next;
        }
        return 0;
    }
    if (inputs.debugMode) return std::min(next, latest + inputs.debugInterval);
    return next;
}

double APMUploader::latestDataTime() {
    auto& database = *components_.database;
    std::optional<APMError> error;
    auto rawTime = database.queryLatestRawEventTime(&error);
    if (!rawTime) {
        logEntry(kAPMMonitorLevelSilentWarning, kAPMLatestRawEventTimeFailedCode,
                 "Failed to query latest raw event time. Error", errorContext(error));
    }
    error.reset();
    auto bundleTime = database.queryLatestBundleTime(&error);
    if (!bundleTime) {
        logEntry(kAPMMonitorLevelSilentWarning, kAPMLatestBundleTimeFailedCode,
                 "Failed to query latest bundle time. Error", errorContext(error));
    }
    return std::max(rawTime.value_or(0), bundleTime.value_or(0));
}

// Real-time data and debug mode shorten the interval; so does the first
// conversion-value window.
double APMUploader::selectedUploadInterval() {
    auto& config = *components_.remoteConfig;
    if (APMMonitor::shared().isDebugModeEnabled()) return config.uploadingRealTimeInterval();
    auto& database = *components_.database;
    // A failing check counts as no real-time data.
    auto holdsRealtime = [](std::optional<bool> answer, std::optional<APMError>& error, long code, const char* message) {
        if (!answer) logEntry(kAPMMonitorLevelSilentWarning, code, message, errorContext(error));
        return answer.value_or(false);
    };
    std::optional<APMError> bundleError;
    std::optional<APMError> rawEventError;
    if (holdsRealtime(database.containsRealtimeBundlesWithError(&bundleError), bundleError,
                      kAPMRealtimeBundleCheckFailedCode, "Failed to query for real-time bundle indicator. Error") ||
        holdsRealtime(database.containsRealtimeRawEventsWithError(&rawEventError), rawEventError,
                      kAPMRealtimeRawEventCheckFailedCode, "Failed to query for real-time raw event indicator. Error")) {
        return config.uploadingRealTimeInterval();
    }
    if (config.SKANUpdateConversionValueEnabled() && components_.peers->isInFirstSKANPostbackWindow()) {
        return config.SKANFirstWindowUploadInterval();
    }
    return config.uploadingInterval();
}

double APMUploader::nextUploadingTime() {
    auto& persisted = *components_.persistedConfig;
    auto& config = *components_.remoteConfig;
    APMUploadTimingInputs inputs;
    inputs.lastSuccessfulUpload = persisted.lastSuccessfulUploadTimestamp();
    inputs.lastFailedUpload = persisted.lastFailedUploadTimestamp();
    inputs.latestDataTime = latestDataTime();
    if (isZero(inputs.latestDataTime)) return 0;
    inputs.interval = selectedUploadInterval();
    inputs.now = currentTime();
    inputs.initialDelay = config.uploadingInitialDelayInterval();
    inputs.retryInterval = config.uploadingRetryInterval();
    inputs.retryCount = config.uploadingRetryCount();
    inputs.debugMode = APMMonitor::shared().isDebugModeEnabled();
    inputs.debugInterval = config.uploadingDebugModeInterval();
    return APMNextUploadingTime(inputs);
}

void APMUploader::standDown(bool listenForNetwork) {
    auto& engine = *components_.host;
    engine.uploadAlarm().cancel();
    std::shared_ptr<platform::RULReachabilityDelegate> delegate;
    if (listenForNetwork) {
        delegate = engine.reachabilityDelegate();
        if (!delegate) {
            if (!ownReachabilityDelegate_) {
                ownReachabilityDelegate_ = std::make_shared<RunOnReachabilityChange>(
                    laterOnWorkerQueue("APMMeasurement:1045", &APMUploader::updateSchedule));
            }
            delegate = ownReachabilityDelegate_;
        }
    }
    engine.network().setReachabilityDelegate(delegate);
    engine.terminateBackgroundTask();
}

void APMUploader::updateSchedule() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("updateSchedule");
    if (const double remaining = suspensionRemaining(); remaining > 0) {
        logEntry(kAPMMonitorLevelWarning, kAPMUploadSuspendedCode,
                 "Upload has been suspended. Will update scheduling later. Seconds", platform::Value(remaining));
        standDown(false);
        return;
    }
    suspensionTimestamp_.reset();
    if (!hasDataToUpload()) {
        components_.remoteConfig->activateNewSnapshot();
        logEntry(kAPMMonitorLevelVerbose, kAPMScheduleNoDataCode, "No data to upload. Upload task will not be scheduled");
        standDown(false);
        return;
    }
    double next = nextUploadingTime();
    if (isZero(next)) {
        logEntry(kAPMMonitorLevelVerbose, kAPMScheduleNoNextTimeCode,
                 "No next uploading time. Upload task will not be scheduled");
        standDown(false);
        return;
    }
    auto& engine = *components_.host;
    if (!engine.network().isNetworkConnected()) {
        logEntry(kAPMMonitorLevelVerbose, kAPMScheduleNoNetworkCode, "No network. Upload task will not be scheduled");
        standDown(true);
        return;
    }
    engine.network().setReachabilityDelegate(nullptr);
    const double now = currentTime();
    const double backoff = components_.persistedConfig->lastBackoffTimestamp();
    const double backoffPeriod = components_.remoteConfig->uploadingBackoffInterval();
    if (!isZero(backoff) && now - backoff < backoffPeriod) next = std::max(next, backoff + backoffPeriod);

    const auto scheduled = engine.uploadAlarm().scheduledTimestamp();
    if (scheduled && !isZero(*scheduled) && *scheduled <= next) {
        logEntry(kAPMMonitorLevelVerbose, kAPMScheduleTaskExistsCode,
                 "Do not schedule an upload task. Task already exists. Will be executed in seconds",
                 platform::Value(*scheduled - now));
        return;
    }
    double delay = next - now;
    if (isZero(delay)) delay = 0.001;
    armAlarm(delay);
    logEntry(kAPMMonitorLevelVerbose, kAPMScheduleTaskScheduledCode, "Upload task scheduled to be executed in approx. (s)",
             platform::Value(delay));
}

void APMUploader::armAlarm(double delay) {
    components_.host->uploadAlarm().runAfterDelay(delay,
                                                     laterOnWorkerQueue("APMMeasurement:1773", &APMUploader::uploadData));
}

std::function<void()> APMUploader::laterOnWorkerQueue(std::string blockID, void (APMUploader::*step)()) {
    return [weak = weak_from_this(), blockID = std::move(blockID), step] {
        whileAlive(weak, [&](APMUploader& self) {
            self.components_.host->scheduleOnWorkerQueue(blockID, [weak, step] {
                whileAlive(weak, [step](APMUploader& later) { (later.*step)(); });
            });
        });
    };
}

void APMUploader::uploadDataOrRegisterAlarm() {
    if (components_.host->network().isNetworkConnected() && hasDataToUpload()) {
        uploadData();
    } else {
        updateSchedule();
    }
}

}  // namespace measurement
