// The public side of conditional user properties: validation, hand-over to the worker queue and the waiting query.
#include "measurement/audience/conditional_user_property_controller.h"

#include <condition_variable>
#include <mutex>

#include "measurement/foundation/data_type_validator.h"
#include "measurement/foundation/first_use_queue.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/names.h"
#include "measurement/foundation/scheduler.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/timer.h"

namespace measurement {

namespace {

double now() { return platform::dispatch::currentClock()->now(); }

APMMonitor& monitor() { return APMMonitor::shared(); }

platform::Value nameOf(const std::string& name) { return platform::Value(APMUserPropertyNameForLog(name)); }

bool withinIntervalBounds(double seconds) { return seconds >= kAPMCUPMinInterval && seconds <= kAPMCUPMaxInterval; }

// The copy of a set request: named, stamped now, and neither active nor
// triggered, whatever the requester put there.
APMConditionalUserProperty acceptedRequest(APMConditionalUserProperty property, const std::string& name) {
    property.setName(name);
    property.setCreationTimestamp(now());
    property.setActive(false);
    property.setTriggeredTimestamp(0);
    return property;
}

// The result of a query once it is known, or the end of its wait.
struct QueryWait {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::optional<std::vector<APMConditionalUserProperty>> result;

    void finish(std::optional<std::vector<APMConditionalUserProperty>> value) {
        {
            std::lock_guard lock(mutex);
            if (finished) return;
            finished = true;
            result = std::move(value);
        }
        done.notify_all();
    }
};

}  // namespace

APMConditionalUserPropertyController::APMConditionalUserPropertyController(
    std::shared_ptr<APMConditionalUserPropertyHost> host)
    : host_(std::move(host)),
      queryTimeoutQueue_(APMMakeSerialQueueOnFirstUse("APMConditionalUserPropertyController.query")) {}

bool APMConditionalUserPropertyController::validateConditionalUserProperty(const APMConditionalUserProperty& property) {
    int failure = 0;
    if (!APMDataTypeValidator::isValidConditionalUserPropertyOrigin(property.origin(), &failure)) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMCUPInvalidOriginCode,
                               "Invalid conditional user property origin. Origin, code",
                               platform::Value(property.origin()), platform::Value(failure));
        return false;
    }
    if (!APMDataTypeValidator::isValidConditionalUserPropertyName(property.name(), &failure)) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMCUPInvalidNameCode,
                               "Invalid conditional user property name. Name, code", platform::Value(property.name()),
                               platform::Value(failure));
        return false;
    }
    if (property.value() &&
        !APMDataTypeValidator::isValidConditionalUserPropertyValue(property.value()->objectValue(), &failure)) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMCUPInvalidValueCode,
                               "Invalid conditional user property value. Name, code", nameOf(property.name()),
                               platform::Value(failure));
        return false;
    }
    if (!withinIntervalBounds(property.triggerTimeout())) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMCUPInvalidTriggerTimeoutCode,
                               "Invalid conditional user property trigger timeout",
                               platform::Value(property.triggerTimeout()));
        return false;
    }
    if (!withinIntervalBounds(property.timeToLive())) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMCUPInvalidTimeToLiveCode,
                               "Invalid conditional user property time to live", platform::Value(property.timeToLive()));
        return false;
    }
    return true;
}

// ---- Public side ----------------------------------------------------------------

void APMConditionalUserPropertyController::setConditionalUserProperty(
    const std::optional<APMConditionalUserProperty>& property, const std::string& name) {
    if (!property) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMCUPSetNilCode, "Cannot set nil conditional user property");
        return;
    }
    const auto request = acceptedRequest(*property, name);
    if (!validateConditionalUserProperty(request)) return;
    auto self = shared_from_this();
    host_->scheduleOnWorkerQueue("APMConditionalUserPropertyController:88", [self, request] {
        if (request.value()) {
            self->setConditionalUserPropertyOnWorkerQueue(request);
        } else {
            self->removeConditionalUserPropertyOnWorkerQueue(request);
        }
    });
}

void APMConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(
    const std::optional<APMEvent>& clearEvent, const std::string& name) {
    int failure = 0;
    if (!APMDataTypeValidator::isValidConditionalUserPropertyName(name, &failure)) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMCUPInvalidNameCode,
                               "Invalid conditional user property name. Name, code", platform::Value(name),
                               platform::Value(failure));
        return;
    }
    APMConditionalUserProperty request;
    request.setName(name);
    request.setExpiredEvent(clearEvent);
    auto self = shared_from_this();
    host_->scheduleOnWorkerQueue("APMConditionalUserPropertyController:113",
                                 [self, request] { self->removeConditionalUserPropertyOnWorkerQueue(request); });
}

std::optional<std::vector<APMConditionalUserProperty>>
APMConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(const platform::Value& prefix,
                                                                              const platform::Value& origin) {
    if (!prefix.isNull() && !prefix.isString()) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMCUPQueryPrefixNotStringCode,
                               "Cannot query for conditional user properties. Name prefix is not a string. Class",
                               platform::Value(platform::kindName(prefix.kind())));
        return std::nullopt;
    }
    if (!origin.isNull() && !origin.isString()) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMCUPQueryOriginNotStringCode,
                               "Cannot query for conditional user properties. Origin is not a string. Class",
                               platform::Value(platform::kindName(origin.kind())));
        return std::nullopt;
    }
    const auto prefixText = prefix.isString() ? std::optional<std::string>(prefix.asString()) : std::nullopt;
    const auto originText = origin.isString() ? std::optional<std::string>(origin.asString()) : std::nullopt;
    // Waiting on the worker queue for a block behind us on that same queue
    // would only ever end with the time-out.
    if (host_->isOnWorkerQueue()) return queryOnWorkerQueue(prefixText, originText);

    auto wait = std::make_shared<QueryWait>();
    auto timeout = platform::dispatch::timers()->schedule(queryTimeoutQueue_, kQueryTimeoutSeconds,
                                                          [wait] { wait->finish(std::nullopt); });
    auto self = shared_from_this();
    host_->scheduleOnWorkerQueue("APMConditionalUserPropertyController:161", [self, wait, prefixText, originText] {
        wait->finish(self->queryOnWorkerQueue(prefixText, originText));
    });
    std::unique_lock lock(wait->mutex);
    wait->done.wait(lock, [&] { return wait->finished; });
    timeout->cancel();
    return wait->result;
}

std::optional<std::vector<APMConditionalUserProperty>> APMConditionalUserPropertyController::queryOnWorkerQueue(
    const std::optional<std::string>& prefix, const std::optional<std::string>& origin) {
    if (!host_->isAnalyticsEnabled()) {
        monitor().logWithLevel(kAPMMonitorLevelWarning, kAPMCUPQueryDisabledCode,
                               "Cannot query for conditional user properties. Analytics is disabled");
        return std::nullopt;
    }
    auto* database = host_->database();
    std::optional<APMError> error;
    auto result = database ? database->conditionalUserPropertiesWithPrefix(prefix, origin, &error) : std::nullopt;
    if (!result) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMCUPQueryFailedCode,
                               "Cannot query for conditional user properties. Name prefix, origin, error",
                               {platform::Value(prefix.value_or("")), platform::Value(origin.value_or("")),
                                database ? errorContext(error) : platform::Value("no measurement database")});
    }
    return result;
}

}  // namespace measurement
