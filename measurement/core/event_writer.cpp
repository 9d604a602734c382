// The engine's event and user-property writes, all on the worker queue.
#include <initializer_list>

#include "measurement/core/facade.h"
#include "measurement/core/codes.h"
#include "measurement/core/measurement.h"
#include "measurement/core/raw_event_metadata.h"
#include "measurement/foundation/counters.h"
#include "measurement/foundation/event_parameters.h"
#include "measurement/foundation/names.h"
#include "measurement/upload/uploader.h"

namespace measurement {

namespace {

void logEntry(int level, long code, const std::string& message, const platform::Value& context) {
    APMMonitor::shared().logWithLevel(level, code, message, context);
}

platform::Value nameContext(const APMEvent& event) { return platform::Value(APMEventNameForLog(event.name())); }

// Whether writing the attribute gives the user another ID.
bool changesUserID(APMDatabase* database, const APMUserAttribute& attribute) {
    if (attribute.name() != kAPMUserIDProperty || !database) return false;
    const auto stored = database->userAttributeWithName(attribute.name(), nullptr);
    return !stored || !(stored->value() == attribute.value());
}

// An error in words for a person: its description and its context.
std::string readable(const std::optional<APMError>& error) {
    if (!error) return {};
    std::string text = ": " + error->localizedDescription();
    const auto context = error->monitorContext();
    if (context.isString() && !context.asString().empty()) text += " (" + context.asString() + ")";
    return text;
}

// The most events one write group holds: bounds the work a failed commit
// repeats and the time another process waits for the file.
constexpr std::size_t kMaxGroupedEvents = 500;

}  // namespace

void APMMeasurement::logEvent(const std::string& origin, bool isPublic, const std::string& name, double timestamp,
                              const platform::Value::Dictionary& parameters) {
    auto self = shared_from_this();
    scheduleOnWorkerQueue(nextBlockID(), [self, origin, isPublic, name, timestamp, parameters] {
        APMEventParameterLimits limits;
        const auto maxLength = self->config()->maxPublicEventParameterValueLength();
        limits.maxValueLength = maxLength > 0 ? static_cast<std::size_t>(maxLength) : limits.maxValueLength;
        const auto sanitized = APMSanitizedEventParameters(parameters, name, isPublic, true, limits);
        self->handleInternalEventOnWorkerQueue(APMEvent(origin, isPublic, name, timestamp, 0, sanitized));
    });
}

void APMMeasurement::handleInternalEventOnWorkerQueue(const APMEvent& event) {
    handleEventOnWorkerQueue(event);
    APMAnalytics::notifyEventListeners(event);
}

void APMMeasurement::handleEventOnWorkerQueue(const APMEvent& event) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("handleEventOnWorkerQueue:");
    processSessionFromEvent(event);
    const auto editing = config()->eventEditing();
    if (!editing) {
        writeEventOnWorkerQueue(event);
        withUploader(&APMUploader::updateSchedule);
        return;
    }
    std::optional<APMError> error;
    const auto result = editing->handleEvent(event.editEvent(), &error);
    if (!result) {
        writeEventOnWorkerQueue(event);
        logEntry(kAPMMonitorLevelError, kAPMEventEditingFailedCode, "Event editing failed. Event name",
                 nameContext(event));
    } else {
        writeEventOnWorkerQueue(result->hasEdits ? APMEvent::eventFromEditEvent(result->outputEvent) : event);
        if (result->hasCreatedEvents) {
            for (const auto& created : result->eventsToLog) writeEventOnWorkerQueue(APMEvent::eventFromEditEvent(created));
        }
    }
    withUploader(&APMUploader::updateSchedule);
}

void APMMeasurement::writeEventOnWorkerQueue(const APMEvent& event) {
    logEntry(kAPMMonitorLevelVerbose, kAPMWritingEventCode, "Writing event. Event", nameContext(event));
    const auto extra = conditionalUserPropertyController()->processEventOnWorkerQueue(event);
    if (!extra) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMConditionalUserPropertyFailedCode,
                                          "Unable to process conditional user property. Event name, origin",
                                          nameContext(event), platform::Value(event.origin()));
    }
    writeFilteredEventOnWorkerQueue(event);
    if (extra) {
        for (const auto& created : *extra) writeFilteredEventOnWorkerQueue(created);
    }
}

bool APMMeasurement::writeFilteredEventOnWorkerQueue(const APMEvent& event) {
    if (!isEnabled()) {
        logEntry(kAPMMonitorLevelDebug, kAPMEventNotWrittenDisabledCode, "Analytics is disabled. Event not written",
                 nameContext(event));
        eventWriteFinished(event, kAPMEventNotWrittenDisabledReason);
        return false;
    }
    if (!database_) {
        logEntry(kAPMMonitorLevelError, kAPMEventWriteFailedCode, "Event not written: no measurement database",
                 nameContext(event));
        eventWriteFinished(event, "the measurement database could not be opened" + readable(databaseError_));
        return false;
    }
    EventWrite write{event, currentDayIndex(), nullptr, 0};
    if (joinEventGroup()) {
        // Taken for the write and kept only when it succeeds; a failure
        // closes the group, which forgets it.
        auto state = std::move(groupState_);
        if (database_->performGroupedTransaction([&] { return storeEvent(write, &state, nullptr); }, nullptr)) {
            groupState_ = std::move(state);
            groupedEvents_.push_back(std::move(write));
            if (groupedEvents_.size() >= kMaxGroupedEvents) closeEventGroup();
            return true;
        }
        // The failure may be the group's rather than the event's: the
        // others commit, and this one is written again on its own.
        closeEventGroup();
    }
    return writeEventAlone(write);
}

// ---- write groups ----
//
// An event's write is a few small statements; its commit costs far more.
// Events that wait on the worker queue therefore share one transaction, a
// write group of the database: each event is a savepoint of its own in it,
// and the group commits when the worker queue has run what was waiting when
// it opened (a block posted then), after kMaxGroupedEvents events, before the
// engine lets its background task go, and before any other write to the
// database. An event counts as stored only when its group has committed; a
// group that fails to commit is written again event by event, each with the
// day and header worked out for it the first time, so that one bad event
// never takes the others with it and each is counted once.

bool APMMeasurement::joinEventGroup() {
    if (database_->isWriteGroupOpen()) return true;
    // Written inside someone else's transaction, the event is part of it.
    if (database_->isInTransaction()) return false;
    std::weak_ptr<APMMeasurement> weak = weak_from_this();
    auto closed = [weak](bool committed) {
        if (auto engine = weak.lock()) engine->eventGroupClosed(committed);
    };
    if (!database_->openWriteGroup(closed, nullptr)) return false;
    const auto group = ++eventGroup_;
    scheduleOnWorkerQueue("APMMeasurement:eventGroup", [weak, group] {
        auto engine = weak.lock();
        if (engine && engine->eventGroup_ == group) engine->closeEventGroup();
    });
    return true;
}

void APMMeasurement::closeEventGroup() {
    if (database_) database_->closeWriteGroup();
}

void APMMeasurement::eventGroupClosed(bool committed) {
    auto events = std::move(groupedEvents_);
    groupedEvents_.clear();
    groupState_ = {};
    for (auto& write : events) {
        if (committed) {
            eventWriteFinished(write.event, std::nullopt);
        } else {
            writeEventAlone(write);
        }
    }
}

bool APMMeasurement::writeEventAlone(EventWrite& write) {
    std::optional<APMError> error, transactionError;
    const bool written =
        database_->performTransaction([&] { return storeEvent(write, nullptr, &error); }, &transactionError);
    // The store's reason when the write itself went through (a commit
    // refused, a file that takes no write).
    if (!written && !error) error = transactionError;
    if (written) {
        eventWriteFinished(write.event, std::nullopt);
        return true;
    }
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMEventWriteFailedCode,
                                      "Failed to write event. Event name, error", nameContext(write.event),
                                      error ? error->asContext() : platform::Value());
    eventWriteFinished(write.event, "the measurement database refused it" + readable(error));
    return false;
}

// Every event is counted here, as all, public or error event; the blocklist
// and the conversion and real-time limits are applied when the event is
// bundled, so that each is decided and counted once. The header is made
// from the user properties of the moment the event is first written. In a
// group, what the group's earlier events read or wrote is taken from the
// group's state instead of read again.
bool APMMeasurement::storeEvent(EventWrite& write, EventGroupState* group, APMErrorOut error) {
    const APMEvent& event = write.event;
    auto counts = group && group->counts ? group->counts : database_->dailyCounts(error);
    if (!counts) return false;
    counts->incrementCountsForCurrentDay(write.dayIndex, event.isPublic(), false);
    if (event.name() == kAPMErrorCodeParameter) {
        counts->setErrorEventsCount(APMIncrementedCount(counts->errorEventsCount()));
    }
    if (!database_->updateDailyCounts(*counts, error)) return false;
    if (!write.header && !makeEventHeader(write, error)) return false;
    const bool headerStored = group && group->storedFingerprint == write.fingerprint;
    if (!headerStored && !database_->insertRawEventMetadata(*write.header, write.fingerprint, error)) return false;
    if (!database_->insertRawEvent(event, write.fingerprint, error)) return false;
    if (group) {
        group->counts = std::move(counts);
        group->storedFingerprint = write.fingerprint;
    }
    return true;
}

// The header of the user properties and the process's state of now. While
// neither changed, the last header made is the same again: the database
// tells when the stored user properties may have changed.
bool APMMeasurement::makeEventHeader(EventWrite& write, APMErrorOut error) {
    const auto version = database_->userAttributesVersion();
    if (!lastHeader_.attributes || lastHeader_.attributesVersion != version) {
        auto attributes = database_->allUserAttributes(error);
        if (!attributes) return false;
        // A version that moved while the properties were read is not kept.
        const bool kept = database_->userAttributesVersion() == version;
        lastHeader_ = {std::move(attributes), kept ? version : 0, {}, nullptr, 0};
    }
    auto source = rawEventMetadataSource(*lastHeader_.attributes);
    if (!lastHeader_.header || !(lastHeader_.source == source)) {
        lastHeader_.header =
            std::make_shared<const APMPBMeasurementBundle>(APMMakeRawEventMetadata(source, *lastHeader_.attributes));
        lastHeader_.fingerprint = APMRawEventMetadataFingerprint(*lastHeader_.header);
        lastHeader_.source = std::move(source);
    }
    write.header = lastHeader_.header;
    write.fingerprint = lastHeader_.fingerprint;
    return true;
}

// Where those who wait for an event to be stored hear of it: once, when it
// is committed or has finally failed.
void APMMeasurement::eventWriteFinished(const APMEvent& event, const std::optional<std::string>& failure) {
    APMAnalytics::notifyEventWriteListeners(event, failure);
}

void APMMeasurement::setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute) {
    if (!isEnabled()) {
        logEntry(kAPMMonitorLevelDebug, kAPMUserPropertyNotWrittenDisabledCode,
                 "Analytics is disabled. User property not set", platform::Value(attribute.name()));
        return;
    }
    const bool userIDChanges = changesUserID(database_.get(), attribute);
    if (!setUserPropertyInDatabaseOnWorkerQueue(attribute)) return;
    // Another user: the session stitching token of the last one ends.
    if (userIDChanges) resetSessionStitchingTokenOfIdentity();
    // An "_npa" set by a caller speaks for the advertising-personalisation
    // consent; the engine's own (origin "auto") only mirrors that consent.
    if (attribute.name() == "_npa" && attribute.origin() != "auto") {
        updateAdPersonalizationConsentFromNPAValue(attribute.value());
    }
}

void APMMeasurement::removeUserAttributeOnWorkerQueue(const std::string& name) {
    if (!isEnabled() || !database_) return;
    std::optional<APMError> error;
    const bool removesUserID =
        name == kAPMUserIDProperty && database_->containsUserAttributeWithName(name, nullptr);
    if (!database_->deleteUserAttributeWithName(name, &error)) {
        logEntry(kAPMMonitorLevelError, kAPMUserPropertyWriteFailedCode, "Failed to remove user property. Name",
                 platform::Value(name));
        return;
    }
    if (removesUserID) resetSessionStitchingTokenOfIdentity();
}

void APMMeasurement::resetSessionStitchingTokenOfIdentity() {
    if (const auto identity = this->identity()) identity->resetSessionStitchingToken();
}

bool APMMeasurement::setUserPropertyInDatabaseOnWorkerQueue(const APMUserAttribute& attribute) {
    std::optional<APMError> error;
    if (database_ && database_->updateUserAttribute(attribute, &error)) return true;
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMUserPropertyWriteFailedCode,
                                      "Failed to store user property. Name, error",
                                      platform::Value(APMUserPropertyNameForLog(attribute.name())),
                                      error ? error->asContext() : platform::Value());
    return false;
}

void APMMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {
    const auto personalization = consentState_->adPersonalization();
    if (!personalization) return;
    setUserAttributeOnWorkerQueue(
        APMUserAttribute("auto", "_npa", APMValue(std::int64_t{*personalization ? 0 : 1}), APMAnalytics::currentTimestamp()));
}

void APMMeasurement::processSessionFromEvent(const APMEvent& event) {
    const auto sessions = sessionReporter();
    if (!sessions) return;
    if (!APMIsAppActive()) {
        if (const auto* extend = event.parameter("extend_session")) {
            if (extend->isInt64() && extend->int64Value() == 1) {
                if (sessions->isSessionExpired()) {
                    reportSessionStartOnWorkerQueueWithTimestamp(event.timestamp(), true);
                } else {
                    sessions->extendSession();
                }
            } else {
                logEntry(kAPMMonitorLevelWarning, kAPMInvalidExtendSessionCode,
                         "Invalid value for extend_session. Value", platform::Value(extend->description()));
            }
        }
    }
    if (!sessions->isSessionExpired() || !database_) return;
    database_->performTransaction([&] {
        const std::pair<const char*, long> properties[] = {
            {"_sid", kAPMSessionIDDeleteFailedCode},
            {"_sno", kAPMSessionNumberDeleteFailedCode},
            {"_se", kAPMSessionEngagementDeleteFailedCode},
        };
        for (const auto& [name, code] : properties) {
            std::optional<APMError> error;
            if (!database_->deleteUserAttributeWithName(name, &error)) {
                logEntry(kAPMMonitorLevelSilentError, code, "Failed to delete session user property. Name",
                         platform::Value(name));
                return false;
            }
        }
        return true;
    });
}

void APMMeasurement::reportSessionStartOnWorkerQueueWithTimestamp(double timestamp, bool appInBackground) {
    const auto sessions = sessionReporter();
    if (!sessions) return;
    // Checked and started in one step: an activation on the main thread
    // cannot start the same session as well.
    const auto start = sessions->startNewSessionIfExpired();
    if (!start) return;
    setUserAttributeOnWorkerQueue(sessions->sessionIDPropertyWithTimestamp(timestamp));
    setUserAttributeOnWorkerQueue(
        APMUserAttribute("auto", "_sno", APMValue(start->sessionNumber), APMSessionReporter::currentClockTime()));
    const bool background = config()->appInBackgroundParameterEnabled() && appInBackground;
    handleInternalEventOnWorkerQueue(sessions->sessionStartEvent(start->sessionNumber, background, timestamp));
}

}  // namespace measurement
