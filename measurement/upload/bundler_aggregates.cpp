// What a bundle changes of the engine's lasting state besides its raw
// events: engagement time, the session-scoped counts, the analytics-storage
// transitions and the per-event aggregates.
#include <limits>
#include <map>

#include "measurement/foundation/names.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/foundation/bundle_tags.h"
#include "measurement/upload/bundle_redaction.h"
#include "measurement/upload/bundler.h"
#include "measurement/upload/bundler_internal.h"

namespace measurement {

using namespace bundler_detail;
using namespace bundle_tag;

namespace {

constexpr const char* kSessionStartEventName = "_s";
constexpr const char* kEngagementTimeParameter = "_et";
constexpr const char* kFromRedundantParameter = "_fr";
constexpr const char* kLifetimeEngagementProperty = "_lte";
constexpr const char* kSessionEngagementProperty = "_se";

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

std::int64_t engagementTimeOf(const std::vector<APMRawEventData>& rawEvents) {
    std::int64_t total = 0;
    for (const auto& raw : rawEvents) {
        const auto* time = raw.event().parameter(kEngagementTimeParameter);
        if (!time || !time->isInt64() || raw.event().parameter(kFromRedundantParameter)) continue;
        total = saturatingAdd(total, time->int64Value());
    }
    return total;
}

// Writes the property's new value and set time into the bundle's entry of
// that name, or appends the property when the bundle has none.
void putUserAttributeIntoBundle(APMPBMeasurementBundle& bundle, const APMUserAttribute& attribute) {
    const int index = bundleFieldIndex(kUserAttributes);
    auto attributes = NANOGetArray<APMPBUserAttribute>(bundle, index);
    bool found = false;
    for (auto& entry : attributes) {
        if (NANOGetString(entry, user_attribute_field::kName) != attribute.name()) continue;
        NANOSetInt64(entry, user_attribute_field::kIntValue, attribute.value().int64Value());
        NANOSetInt64(entry, user_attribute_field::kSetTimestamp,
                     APMMillisecondsFromSeconds(attribute.lastSetTimestamp()));
        found = true;
    }
    if (!found) attributes.push_back(attribute.protoUserAttribute());
    NANOSetArray(bundle, index, attributes);
}

}  // namespace

void APMBundler::evaluationTimeFromRawEvents(const std::vector<APMRawEventData>& rawEvents,
                                             APMPBMeasurementBundle& bundle) {
    const bool sessionStart = std::any_of(rawEvents.begin(), rawEvents.end(), [](const APMRawEventData& raw) {
        return raw.event().name() == kSessionStartEventName;
    });
    if (sessionStart && !clearSessionState(bundle)) return;
    const std::int64_t engagementTime = engagementTimeOf(rawEvents);
    if (!updateUserEngagement(engagementTime, bundle, false) || !sessionStart) return;
    std::optional<APMError> error;
    if (!database_.deleteUserAttributeWithName(kSessionEngagementProperty, &error)) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingSessionEngagementDeleteFailedCode,
                               "Unable to delete session engagement property on session start. Error",
                               errorContext(error));
        return;
    }
    updateUserEngagement(engagementTime, bundle, true);
}

// A session started within the run: the session-scoped audience results
// and event counts start again.
bool APMBundler::clearSessionState(APMPBMeasurementBundle& bundle) {
    const auto audiences = audience();
    audiences->clearEvaluationResultsForSessionScopedFilters();
    for (const auto& property : NANOGetArray<APMPBUserAttribute>(bundle, bundleFieldIndex(kUserAttributes))) {
        if (!audiences->evaluateFiltersForNanoUserProperty(property, nullptr, std::nullopt)) return false;
    }
    std::optional<APMError> error;
    if (!database_.clearCurrentSessionCounts(&error)) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingClearSessionCountsFailedCode,
                               "Failed to clear event session counts. Error", errorContext(error));
        return false;
    }
    return true;
}

bool APMBundler::updateUserEngagement(std::int64_t engagementTime, APMPBMeasurementBundle& bundle,
                                      bool sessionScoped) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("updateUserEngagement");
    if (engagementTime < 0) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMBundlingNegativeEngagementCode,
                               "User engagement time is negative.");
        return false;
    }
    if (engagementTime == 0) return true;
    const std::string name = sessionScoped ? kSessionEngagementProperty : kLifetimeEngagementProperty;
    std::optional<APMError> error;
    const auto stored = database_.userAttributeWithName(name, &error);
    if (!stored && error) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingEngagementReadFailedCode,
                               "Failed to query for user engagement user property. Name, error",
                               platform::Value(APMUserPropertyNameForLog(name)), errorContext(error));
        return false;
    }
    std::int64_t value = engagementTime;
    if (stored && stored->value().isInt64()) value = saturatingAdd(value, stored->value().int64Value());
    const APMUserAttribute attribute("auto", name, APMValue(value), now());
    if (!engine()->setUserPropertyInDatabaseOnWorkerQueue(database_, attribute)) return false;
    putUserAttributeIntoBundle(bundle, attribute);
    return true;
}

void APMBundler::handleAnalyticsStorageConsentTransitions(const APMPBMeasurementBundle& header) {
    const auto previous = persistedConfig_.previousBundledConsentSignals();
    const auto current = NANOGetString(header, bundleFieldIndex(kConsentSignals));
    if (previous == current) return;
    const bool wasDenied = signalsDenyAnalyticsStorage(previous.value_or(""));
    const bool isDenied = signalsDenyAnalyticsStorage(current.value_or(""));
    std::optional<APMError> error;
    if (!wasDenied && isDenied && !database_.createEventsSnapshotTable(&error)) {
        monitor().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMBundlingSnapshotFailedCode,
                               "Unable to create table snapshot. Error", errorContext(error));
    }
    if (wasDenied && !isDenied && !database_.restoreFromEventsSnapshotTable(&error)) {
        monitor().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMBundlingSnapshotRestoreFailedCode,
                               "Unable to restore from table snapshot. Error", errorContext(error));
    }
    if (pass_) {
        pass_->previousBundledConsentSignals = current;
    } else {
        persistedConfig_.setPreviousBundledConsentSignals(current);
    }
}

std::optional<std::vector<APMEvent>> APMBundler::eventsAfterUpdatingEventAggregates(
    const std::vector<APMEvent>& events, APMBundleAudienceCache* cache, bool allowEventFilterEvaluation) {
    // Each name's aggregates are read once and stored once for the whole
    // run: the same rows as one read and write per event, inside the same
    // transaction.
    std::map<std::string, APMEventAggregates> updated;
    std::vector<APMEvent> result;
    result.reserve(events.size());
    const auto audiences = audience();
    for (const auto& event : events) {
        auto found = updated.find(event.name());
        bool known = found != updated.end();
        if (!known) {
            std::optional<APMError> error;
            auto stored = database_.eventAggregatesWithName(event.name(), &error);
            if (!stored && error) {
                monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingAggregatesReadFailedCode,
                                       "Failed to query event aggregates. Name, error",
                                       platform::Value(APMEventNameForLog(event.name())), errorContext(error));
                return std::nullopt;
            }
            known = stored.has_value();
            // A name never bundled starts at 1 and keeps the event as it is.
            if (!stored) stored.emplace(event.name(), 1, 1, 1, event.timestamp());
            found = updated.emplace(event.name(), std::move(*stored)).first;
        }
        APMEventAggregates& aggregates = found->second;
        APMEvent bundled = event;
        if (known) {
            bundled = event.copyWithPreviousTimestamp(aggregates.lastFireTimestamp());
            aggregates.incrementCurrentBundleCount();
            aggregates.incrementLifetimeCount();
            aggregates.incrementCurrentSessionCount();
            aggregates.setLastFireTimestamp(event.timestamp());
        }
        if (allowEventFilterEvaluation && !audiences->evaluateFiltersForEvent(bundled, aggregates, cache)) {
            return std::nullopt;
        }
        result.push_back(std::move(bundled));
    }
    for (const auto& [name, aggregates] : updated) {
        std::optional<APMError> error;
        if (!database_.updateEventAggregates(aggregates, &error)) {
            monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingAggregatesWriteFailedCode,
                                   "Failed to update event aggregates. Error", errorContext(error));
            return std::nullopt;
        }
    }
    return result;
}

}  // namespace measurement
