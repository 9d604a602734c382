// When the experiments client fetches next: the success interval, the first fetch, the retry ladder and the back-off.
#include <algorithm>
#include <cmath>

#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/experiments_monitor.h"
#include "measurement/experiments/task_manager.h"
#include "measurement/foundation/scheduler.h"
#include "platform/dispatch/clock.h"

namespace measurement {

namespace {

double currentTime() { return platform::dispatch::currentClock()->now(); }

bool isZero(double value) { return std::fabs(value) < kAPMEDoubleEpsilon; }

}  // namespace

double APMETaskManager::fetchTimeFromLastSuccessfulTimestamp(double lastSuccessfulTimestamp,
                                                            double lastFailedTimestamp) {
    const double now = currentTime();
    // The last success, or now less its distance from a success in the
    // future (a clock set back).
    const double lastSuccess = now - std::fabs(lastSuccessfulTimestamp - now);
    const double afterInterval = lastSuccess + kAPMEFetchInterval;
    {
        std::lock_guard lock(mutex_);
        if (!hasMadeInitialFetch_) {
            hasMadeInitialFetch_ = true;
            return std::max(afterInterval, now + kAPMEFirstFetchDelay);
        }
    }
    if (lastFailedTimestamp <= 0) return afterInterval;
    double candidate = lastSuccess == 0 ? initializationTimestamp() : afterInterval;
    for (int step = 0; step < kAPMERetrySteps; ++step) {
        candidate += kAPMERetryStep * static_cast<double>(1 << step);
        if (candidate > lastFailedTimestamp) return candidate;
    }
    return 0;
}

void APMETaskManager::scheduleFetchingExperimentsOnWorkerQueue() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("scheduleFetchingExperimentsOnWorkerQueue");
    double next = fetchTimeFromLastSuccessfulTimestamp(persistedStorage_.doubleForKey(kAPMEFetchSuccessTimestampKey),
                                                       persistedStorage_.doubleForKey(kAPMEFetchFailureTimestampKey));
    if (isZero(next)) {
        persistedStorage_.removeObjectForKey(kAPMEFetchSuccessTimestampKey);
        APMEMonitor::shared().logWithLevel(kAPMMonitorLevelSilentError, kAPMERetriesExhaustedCode,
                                           "Network attempted too many times. Will not schedule new network.");
        return;
    }
    const double now = currentTime();
    const double armed = alarm_->scheduledTimestamp().value_or(0);
    if (armed != 0 && armed <= next) {
        APMEMonitor::shared().logWithLevel(
            kAPMMonitorLevelVerbose, kAPMEFetchAlreadyScheduledCode,
            "Do not schedule a fetch task. Task already exists. Will be executed in seconds",
            platform::Value(armed - now));
        return;
    }
    const double backoff = persistedStorage_.doubleForKey(kAPMEFetchBackoffTimestampKey);
    if (!isZero(backoff) && now - backoff < kAPMEBackoffInterval) next = std::max(next, backoff + kAPMEBackoffInterval);
    const double delay = isZero(next - now) || next < now ? kAPMEImmediateDelay : next - now;
    std::weak_ptr<APMETaskManager> weak = weak_from_this();
    alarm_->runAfterDelay(delay, [weak] {
        if (auto self = weak.lock()) self->alarmFired();
    });
}

void APMETaskManager::alarmFired() {
    if (!network_->isNetworkConnected()) {
        holdForNetwork();
        return;
    }
    auto delegate = this->delegate();
    if (delegate && !delegate->taskManagerShouldFetchExperiments(*this)) {
        postponeFetchExperiments();
    } else {
        fetchExperiments();
    }
}

void APMETaskManager::holdForNetwork() {
    APMEMonitor::shared().logWithLevel(kAPMMonitorLevelVerbose, kAPMEHeldForNetworkCode,
                                       "No network. Experiments will be fetched when it returns");
    if (heldForNetwork_) return;
    std::weak_ptr<APMETaskManager> weak = weak_from_this();
    heldForNetwork_ = network_->whenReachable([weak] {
        auto self = weak.lock();
        if (!self) return;
        self->dispatchAsyncOnWorkerQueue([weak] {
            auto later = weak.lock();
            if (!later || !later->heldForNetwork_) return;
            later->heldForNetwork_.reset();
            later->alarmFired();
        });
    });
}

void APMETaskManager::postponeFetchExperiments() {
    recordFetchSuccess(currentTime());
    scheduleFetchingExperimentsOnWorkerQueue();
}

void APMETaskManager::recordFetchSuccess(double now) {
    persistedStorage_.setDouble(now, kAPMEFetchSuccessTimestampKey);
    persistedStorage_.removeObjectForKey(kAPMEFetchFailureTimestampKey);
    persistedStorage_.removeObjectForKey(kAPMEFetchBackoffTimestampKey);
}

}  // namespace measurement
