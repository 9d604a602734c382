// The worker-queue side of conditional user properties: the set, remove and event-processing transactions.
#include "measurement/audience/conditional_user_property_controller.h"

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/names.h"
#include "measurement/foundation/scheduler.h"
#include "platform/dispatch/clock.h"

namespace measurement {

namespace {

double now() { return platform::dispatch::currentClock()->now(); }

APMMonitor& monitor() { return APMMonitor::shared(); }

platform::Value nameOf(const std::string& name) { return platform::Value(APMUserPropertyNameForLog(name)); }

// An event a property causes: the supplied event's name and parameters
// under the property's origin, at the given time.
APMEvent causedEvent(const APMEvent& supplied, const std::string& origin, double timestamp) {
    APMParameters parameters = supplied.parameters();
    parameters.erase(kAPMOriginParameter);
    return APMEvent(origin, false, supplied.name(), timestamp, 0, std::move(parameters));
}

bool writeUserProperty(APMDatabase& database, const APMConditionalUserProperty& property, double setTime,
                       std::optional<APMError>* error) {
    if (!property.value()) return false;
    return database.updateUserAttribute(APMUserAttribute(property.origin(), property.name(), *property.value(), setTime),
                                        error);
}

}  // namespace

// ---- Set ---------------------------------------------------------------------------

void APMConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    const std::optional<APMConditionalUserProperty>& property) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("setConditionalUserPropertyOnWorkerQueue:");
    if (!host_->isAnalyticsEnabled()) {
        monitor().logWithLevel(kAPMMonitorLevelWarning, kAPMCUPSetDisabledCode,
                               "Cannot set conditional user property. Analytics is disabled");
        return;
    }
    if (!property) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMCUPSetNilOnWorkerQueueCode,
                               "Cannot set nil conditional user property on worker queue");
        return;
    }
    auto* database = host_->database();
    if (!database) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMCUPSetLookupFailedCode,
                               "Cannot query conditional user property. Name, origin, error", nameOf(property->name()),
                               platform::Value(property->origin()), platform::Value("no measurement database"));
        return;
    }
    std::optional<APMEvent> triggered;
    const bool committed =
        database->performTransaction([&] { return setInTransaction(*database, *property, &triggered); });
    if (committed && triggered) host_->writeEventOnWorkerQueue(*triggered);
}

bool APMConditionalUserPropertyController::setInTransaction(APMDatabase& database, APMConditionalUserProperty property,
                                                            std::optional<APMEvent>* triggeredEvent) {
    const auto name = nameOf(property.name());
    std::optional<APMError> error;
    const auto stored = database.conditionalUserPropertyWithName(property.name(), &error);
    if (!stored && error) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMCUPSetLookupFailedCode,
                               "Cannot query conditional user property. Name, origin, error", name,
                               platform::Value(property.origin()), errorContext(error));
        return false;
    }
    if (stored && stored->origin() != property.origin()) {
        monitor().logWithLevel(kAPMMonitorLevelSilentWarning, kAPMCUPDifferentOriginCode,
                               "Updating a conditional user property with different origin. Name, origin, saved origin",
                               name, platform::Value(property.origin()), platform::Value(stored->origin()));
    }
    bool activatedNow = false;
    double setTime = property.creationTimestamp();
    if (stored && stored->isActive()) {
        // An active property stays active: it keeps how and when it was
        // triggered, and takes the new value, time to live and events.
        property.setOrigin(stored->origin());
        property.setCreationTimestamp(stored->creationTimestamp());
        property.setTriggerEventName(stored->triggerEventName());
        property.setTriggeredEvent(stored->triggeredEvent());
        property.setTriggerTimeout(stored->triggerTimeout());
        property.setActive(true);
        property.setTriggeredTimestamp(stored->triggeredTimestamp());
    } else if (property.triggerEventName().empty()) {
        property.setActive(true);
        property.setTriggeredTimestamp(property.creationTimestamp());
        activatedNow = true;
        setTime = property.triggeredTimestamp();
    }
    if (property.isActive()) {
        // Also for an update of an active property: the user property must
        // hold the value the stored property now has.
        error.reset();
        if (writeUserProperty(database, property, setTime, &error)) {
            monitor().logWithLevel(kAPMMonitorLevelDebug, kAPMCUPSetUserPropertyUpdatedCode,
                                   "User property updated. Name, origin", name, platform::Value(property.origin()));
        } else {
            monitor().logWithLevel(kAPMMonitorLevelError, kAPMCUPSetUserPropertyFailedCode,
                                   "Cannot update user property from conditional user property. Name, origin, error",
                                   name, platform::Value(property.origin()), errorContext(error));
        }
        if (activatedNow && property.triggeredEvent()) {
            *triggeredEvent = causedEvent(*property.triggeredEvent(), property.origin(), property.triggeredTimestamp());
        }
    }
    error.reset();
    if (database.updateConditionalUserProperty(property, &error)) {
        monitor().logWithLevel(kAPMMonitorLevelDebug, kAPMCUPStoredCode, "Conditional user property added. Name, origin",
                               name, platform::Value(property.origin()));
    } else {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMCUPStoreFailedCode,
                               "Cannot insert user property from conditional user property. Name, origin, error", name,
                               platform::Value(property.origin()), errorContext(error));
    }
    return true;
}

// ---- Remove ------------------------------------------------------------------------

void APMConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    const std::optional<APMConditionalUserProperty>& property) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("removeConditionalUserPropertyOnWorkerQueue:");
    if (!host_->isAnalyticsEnabled()) {
        monitor().logWithLevel(kAPMMonitorLevelWarning, kAPMCUPRemoveDisabledCode,
                               "Cannot remove conditional user property. Analytics is disabled");
        return;
    }
    if (!property) {
        monitor().logWithLevel(0, kAPMCUPRemoveNilCode, "Cannot remove nil conditional user property on worker queue");
        return;
    }
    auto* database = host_->database();
    if (!database) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMCUPRemoveLookupFailedCode,
                               "Cannot query conditional user property to remove. Name, origin, error",
                               nameOf(property->name()), platform::Value(property->origin()),
                               platform::Value("no measurement database"));
        return;
    }
    std::optional<APMEvent> expired;
    const bool committed =
        database->performTransaction([&] { return removeInTransaction(*database, *property, &expired); });
    if (committed && expired) host_->writeEventOnWorkerQueue(*expired);
}

bool APMConditionalUserPropertyController::removeInTransaction(APMDatabase& database,
                                                               const APMConditionalUserProperty& request,
                                                               std::optional<APMEvent>* expiredEvent) {
    const auto name = nameOf(request.name());
    const platform::Value origin(request.origin());
    std::optional<APMError> error;
    const auto stored = database.conditionalUserPropertyWithName(request.name(), &error);
    if (!stored) {
        if (error) {
            monitor().logWithLevel(kAPMMonitorLevelError, kAPMCUPRemoveLookupFailedCode,
                                   "Cannot query conditional user property to remove. Name, origin, error", name, origin,
                                   errorContext(error));
            return false;
        }
        monitor().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMCUPRemoveNonexistentCode,
                               "Cannot remove nonexistent conditional user property. Name, origin", name, origin);
        return true;
    }
    if (!database.deleteConditionalUserPropertyWithName(request.name(), &error)) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMCUPRemoveDeleteFailedCode,
                               "Cannot delete conditional user property. Name, origin, error", name, origin,
                               errorContext(error));
        return false;
    }
    if (stored->isActive() && !database.deleteUserAttributeWithName(request.name(), &error)) {
        monitor().logWithLevel(
            kAPMMonitorLevelError, kAPMCUPRemoveUserPropertyFailedCode,
            "Cannot remove conditional user property. Failed to delete the user property. Name, origin, error", name,
            origin, errorContext(error));
        return false;
    }
    if (request.expiredEvent()) *expiredEvent = causedEvent(*request.expiredEvent(), stored->origin(), now());
    return true;
}

// ---- Event processing ----------------------------------------------------------------

std::optional<std::vector<APMEvent>> APMConditionalUserPropertyController::processEventOnWorkerQueue(
    const std::optional<APMEvent>& event) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("processEventOnWorkerQueue:");
    if (!event) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMCUPNilEventCode,
                               "Cannot process nil event for conditional user property");
        return std::nullopt;
    }
    auto* database = host_->database();
    if (!database) return std::nullopt;
    std::vector<APMEvent> timedOut;
    std::vector<APMEvent> expired;
    std::optional<std::vector<APMEvent>> triggered;
    const bool committed = database->performTransaction([&] {
        if (!removeTimedOutCUPWithTimedOutEvents(&timedOut) || !removeExpiredCUPWithExpiredEvents(&expired)) {
            return false;
        }
        triggered = updateConditionalUserPropertiesWithEventNameOnWorkerQueue(event->name());
        return triggered.has_value();
    });
    if (!committed) return std::nullopt;
    for (const auto& caused : timedOut) host_->writeFilteredEventOnWorkerQueue(caused);
    for (const auto& caused : expired) host_->writeFilteredEventOnWorkerQueue(caused);
    return triggered;
}

bool APMConditionalUserPropertyController::removeTimedOutCUPWithTimedOutEvents(std::vector<APMEvent>* events) {
    auto& database = *host_->database();
    std::optional<APMError> error;
    const auto rows = database.timedOutConditionalUserPropertiesWithError(&error);
    if (!rows) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMCUPTimedOutFetchFailedCode,
                               "Cannot fetch timed out conditional user properties. Error", errorContext(error));
        return false;
    }
    for (const auto& row : *rows) {
        monitor().logWithLevel(kAPMMonitorLevelDebug, kAPMCUPTimedOutCode, "Conditional user property has timed out. Name",
                               nameOf(row.name()));
        if (!database.deleteConditionalUserPropertyWithName(row.name(), &error)) {
            monitor().logWithLevel(kAPMMonitorLevelError, kAPMCUPTimedOutDeleteFailedCode,
                                   "Cannot delete timed out condition user property. Name, error", nameOf(row.name()),
                                   errorContext(error));
            return false;
        }
        if (row.timedOutEvent()) events->push_back(causedEvent(*row.timedOutEvent(), row.origin(), now()));
    }
    return true;
}

bool APMConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(std::vector<APMEvent>* events) {
    auto& database = *host_->database();
    std::optional<APMError> error;
    const auto rows = database.expiredConditionalUserPropertiesWithError(&error);
    if (!rows) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMCUPExpiredFetchFailedCode,
                               "Cannot fetch expired conditional user properties. Error", errorContext(error));
        return false;
    }
    for (const auto& row : *rows) {
        monitor().logWithLevel(kAPMMonitorLevelDebug, kAPMCUPExpiredCode,
                               "Conditional user property has expired. Name, expired event", nameOf(row.name()),
                               platform::Value(row.expiredEvent() ? row.expiredEvent()->name() : std::string()));
        if (!database.deleteUserAttributeWithName(row.name(), &error)) {
            monitor().logWithLevel(
                kAPMMonitorLevelError, kAPMCUPExpiredUserPropertyDeleteFailedCode,
                "Cannot remove conditional user property. Failed to delete the user property. Name, origin, error",
                nameOf(row.name()), platform::Value(row.origin()), errorContext(error));
            return false;
        }
        if (!database.deleteConditionalUserPropertyWithName(row.name(), &error)) {
            monitor().logWithLevel(kAPMMonitorLevelError, kAPMCUPExpiredDeleteFailedCode,
                                   "Cannot delete expired condition user property. Name, error", nameOf(row.name()),
                                   errorContext(error));
            return false;
        }
        if (row.expiredEvent()) events->push_back(causedEvent(*row.expiredEvent(), row.origin(), now()));
    }
    return true;
}

std::optional<std::vector<APMEvent>>
APMConditionalUserPropertyController::updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
    const std::string& eventName) {
    auto* database = host_->database();
    if (!database) return std::nullopt;
    return triggerWaiting(*database, eventName);
}

std::optional<std::vector<APMEvent>> APMConditionalUserPropertyController::triggerWaiting(APMDatabase& database,
                                                                                           const std::string& eventName) {
    std::optional<APMError> error;
    auto rows = database.triggeredConditionalUserPropertiesWithEventName(eventName, &error);
    if (rows && rows->empty()) {
        const auto& allowed = APMAllowedReservedEventNames();
        if (auto mapped = allowed.find(eventName); mapped != allowed.end()) {
            rows = database.triggeredConditionalUserPropertiesWithEventName(mapped->second, &error);
        }
    }
    if (!rows) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMCUPTriggeringFetchFailedCode,
                               "Cannot fetch triggering conditional user properties. Event name, error",
                               platform::Value(APMEventNameForLog(eventName)), errorContext(error));
        return std::nullopt;
    }
    std::vector<APMEvent> triggered;
    for (auto row : *rows) {
        const double time = now();
        const auto name = nameOf(row.name());
        error.reset();
        if (writeUserProperty(database, row, time, &error)) {
            monitor().logWithLevel(kAPMMonitorLevelDebug, kAPMCUPTriggeredUserPropertyUpdatedCode,
                                   "User property updated. Name, origin, value", name, platform::Value(row.origin()),
                                   platform::Value(row.value() ? row.value()->description() : std::string()));
        } else {
            monitor().logWithLevel(kAPMMonitorLevelError, kAPMCUPTriggeredUserPropertyFailedCode,
                                   "Cannot update user property from conditional user property. Name, origin, error",
                                   name, platform::Value(row.origin()), errorContext(error));
        }
        if (row.triggeredEvent()) triggered.push_back(causedEvent(*row.triggeredEvent(), row.origin(), time));
        row.setActive(true);
        row.setTriggeredTimestamp(time);
        error.reset();
        if (!database.updateConditionalUserProperty(row, &error)) {
            monitor().logWithLevel(kAPMMonitorLevelError, kAPMCUPTriggeredStoreFailedCode,
                                   "Cannot update conditional user property. Name, origin, error", name,
                                   platform::Value(row.origin()), errorContext(error));
            return std::nullopt;
        }
    }
    return triggered;
}

}  // namespace measurement
