// The run of raw events behind one bundle, its screening, the reserved-name
// renaming and the daily conversion and real-time limits.
#include <set>

#include "measurement/foundation/names.h"
#include "measurement/upload/bundler.h"
#include "measurement/upload/bundler_internal.h"

namespace measurement {

using namespace bundler_detail;

namespace {

// Events that never count against the daily real-time limit.
const std::set<std::string>& neverCountedRealtimeEvents() {
    static const std::set<std::string> names{"_iap", "_f", "_dcu", "_fx"};
    return names;
}

constexpr const char* kDCUEventName = "_dcu";
constexpr const char* kEngagementEventName = "_e";
constexpr const char* kFromRedundantParameter = "_fr";

bool isPublicName(const std::string& name) { return !name.empty() && name.front() != '_'; }

platform::Value nameContext(const APMEvent& event) { return platform::Value(APMEventNameForLog(event.name())); }

// The real-time decisions are logged with the event's name and parameters.
void logRealtimeDecision(int level, long code, const std::string& message, const APMEvent& event) {
    monitor().logWithLevel(level, code, message, nameContext(event),
                           platform::Value(APMDescriptionOfParameters(event.parameters())));
}

// The filter that cuts the run: the first row always, then each next row
// while it has the next row ID, the same clock stamp and hour and fits the
// count and size limits (a bundle's times all come from one clock, whose
// stamp it keeps in the queue). It reads the row's columns only (the stored data is the encoded
// event, so its length is the event's encoded size) and leaves decoding to
// the database, which ends the run at a row that does not read as a raw event
// (data that does not decode, a value of the wrong type). Such a row
// has been taken into the run by then, so deleting the run drops it instead
// of leaving it to stall every later bundle.
class RunFilter {
public:
    RunFilter(std::int64_t maxEvents, std::int64_t maxSize) : maxEvents_(maxEvents), maxSize_(maxSize) {}

    bool offer(const APMRow& row, std::size_t position) {
        if (position > 0 && maxEvents_ <= static_cast<std::int64_t>(position)) return false;
        const auto rowID = column(row, "rowid");
        if (!rowID || !rowID->isInt()) return false;
        if (position > 0 && rowID->intValue() != lastRowID_ + 1) return false;
        const auto stamp = column(row, "clock");
        const platform::Value clock = stamp ? *stamp : platform::Value();
        if (position == 0) clock_ = clock;
        if (clock != clock_) return false;
        const auto timestamp = column(row, "timestamp");
        const auto data = column(row, "data");
        if (!timestamp || !timestamp->isNumber() || !data || !data->isData()) return take(rowID->intValue(), 0);
        const std::int64_t bucket = APMHourBucket(timestamp->realValue());
        if (position == 0) hourBucket_ = bucket;
        if (bucket != hourBucket_) return false;
        const auto size = static_cast<std::int64_t>(data->asData().bytes.size());
        if (position > 0 && accumulatedSize_ + size >= maxSize_) return false;
        return take(rowID->intValue(), size);
    }

    std::int64_t lastRowID() const { return lastRowID_; }
    std::size_t taken() const { return taken_; }
    std::optional<std::int64_t> clockStamp() const {
        return clock_.isInt() ? std::optional<std::int64_t>(clock_.intValue()) : std::nullopt;
    }

private:
    static const platform::Value* column(const APMRow& row, const char* name) {
        const auto found = row.find(name);
        return found == row.end() ? nullptr : &found->second;
    }
    bool take(std::int64_t rowID, std::int64_t size) {
        accumulatedSize_ += size;
        lastRowID_ = rowID;
        ++taken_;
        return true;
    }

    std::int64_t maxEvents_;
    std::int64_t maxSize_;
    platform::Value clock_;
    std::int64_t hourBucket_ = -1;
    std::int64_t lastRowID_ = -1;
    std::int64_t accumulatedSize_ = 0;
    std::size_t taken_ = 0;
};

}  // namespace

std::optional<APMRawEventRun> APMBundler::rawEventsWithMetadataFingerprint(std::int64_t metadataFingerprint) {
    RunFilter filter(remoteConfig_.uploadMaxEventsPerBundle(), remoteConfig_.uploadMaxSizeLimitBytes());
    std::optional<APMError> error, unreadable;
    auto events = database_.rawEventsWithMetadataFingerprint(
        metadataFingerprint, &error, [&](const APMRow& row, std::size_t position) { return filter.offer(row, position); },
        &unreadable);
    if (!events) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingRawEventsQueryFailedCode,
                               "Inconsistent state, raw event is expected. Error", errorContext(error));
        return std::nullopt;
    }
    if (events->size() < filter.taken()) {
        // The database stopped at a row of the run that does not read as a
        // raw event: it goes with the run.
        monitor().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMBundlingRawEventUndecodableCode,
                               "Failed to filter raw event. Error", errorContext(unreadable));
        logUnbundlableRawEventDropped(filter.lastRowID(), unreadable);
    }
    APMRawEventRun run;
    run.events = std::move(*events);
    run.lastRowID = filter.lastRowID();
    run.clockStamp = filter.clockStamp();
    return run;
}

std::optional<std::vector<APMEvent>> APMBundler::processRawEvents(const APMRawEventRun& run,
                                                                  std::int64_t metadataFingerprint) {
    std::vector<APMRawEventData> kept;
    for (const auto& raw : run.events) {
        if (!shouldRejectRawEvent(raw)) kept.push_back(raw);
    }
    if (kept.empty()) {
        if (!deleteBundledRawEvents(run.lastRowID, metadataFingerprint)) return std::nullopt;
        if (!run.events.empty()) {
            monitor().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMBundlingAllEventsRejectedCode,
                                   "Rejected all events.");
        }
        return std::vector<APMEvent>{};
    }
    std::optional<APMError> error;
    auto counts = database_.dailyCounts(&error);
    if (!counts) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMBundlingDailyCountsReadFailedCode,
                               "Failed to query daily event counts. Error", errorContext(error));
        return std::nullopt;
    }
    std::vector<APMEvent> events;
    events.reserve(kept.size());
    bool countsChanged = false;
    for (const auto& raw : kept) {
        auto renamed = internalEventFromPublicEvent(raw);
        const bool conversionCounted = checkConversion(renamed, *counts);
        const bool realtimeCounted = checkRealtime(renamed, *counts);
        countsChanged = countsChanged || conversionCounted || realtimeCounted;
        events.push_back(std::move(renamed.event()));
    }
    if (countsChanged && !database_.updateDailyCounts(*counts, &error)) {
        monitor().logWithLevel(kAPMMonitorLevelSilentError, kAPMBundlingDailyCountsWriteFailedCode,
                               "Failed to update daily event counts. Name, error", nameContext(events.back()),
                               errorContext(error));
        return std::nullopt;
    }
    return events;
}

bool APMBundler::shouldRejectRawEvent(const APMRawEventData& rawEvent) const {
    const APMEvent& event = rawEvent.event();
    const auto internalName = APMInternalName(APMAllowedReservedEventNames(), event.name());
    if (internalName && remoteConfig_.blocklistInternal() && !remoteConfig_.blocklistPublic()) return false;
    if (remoteConfig_.isEventBlocklisted(event.name()) ||
        (internalName && remoteConfig_.isEventBlocklisted(*internalName))) {
        monitor().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMBundlingEventRejectedCode,
                               "Rejected event. Event name", nameContext(event));
        return true;
    }
    if (remoteConfig_.redundantEngagementRemovalEnabled() && event.name() == kEngagementEventName) {
        const auto* redundant = event.parameter(kFromRedundantParameter);
        if (redundant && redundant->isInt64() && redundant->int64Value() == 1) return true;
    }
    return false;
}

APMRawEventData APMBundler::internalEventFromPublicEvent(const APMRawEventData& rawEvent) {
    const APMEvent& event = rawEvent.event();
    const auto internalName = APMInternalName(APMAllowedReservedEventNames(), event.name());
    if (!internalName) return rawEvent;
    APMEvent renamed(event.origin(), false, *internalName, event.timestamp(), event.previousTimestamp(),
                     event.parameters());
    // The flags belong to the stored row, not to the name.
    renamed.setRealtime(event.isRealtime());
    renamed.setConversion(event.isConversion());
    return APMRawEventData(std::move(renamed), rawEvent.rowID(), rawEvent.metadataFingerprint());
}

std::int64_t APMBundler::currentDayIndex() const { return APMDayIndex(now(), persistedConfig_.midnightOffset()); }

bool APMBundler::checkConversion(APMRawEventData& rawEvent, APMDailyCounts& dailyCounts) {
    APMEvent& event = rawEvent.event();
    if (remoteConfig_.isEventCustomConversion(event.name())) event.setConversion(true);
    if (!isPublicName(event.name()) || !event.isConversion()) return false;
    const std::int64_t day = currentDayIndex();
    // Counts of another day are those of a day gone by: today's are 0.
    const std::int64_t todays = dailyCounts.dayIndex() == day ? dailyCounts.conversionsCount() : 0;
    const std::int64_t limit = remoteConfig_.maxConversionsPerDay();
    if (todays >= limit) {
        event.setConversion(false);
        monitor().logWithLevel(kAPMMonitorLevelWarning, kAPMBundlingTooManyConversionsCode,
                               "Too many conversion events. Not logging event as conversion. Name, limit",
                               nameContext(event), platform::Value(limit));
        return false;
    }
    dailyCounts.incrementCountsForCurrentDay(day, false, true);
    dailyCounts.decrementAllEventsCount();
    return true;
}

bool APMBundler::checkRealtime(APMRawEventData& rawEvent, APMDailyCounts& dailyCounts) {
    APMEvent& event = rawEvent.event();
    if (!event.isRealtime() && !event.isConversion()) return false;
    const bool debug = monitor().isDebugModeEnabled();
    const std::int64_t day = currentDayIndex();
    const bool today = dailyCounts.dayIndex() == day;
    if (!debug && !neverCountedRealtimeEvents().contains(event.name())) {
        if ((today ? dailyCounts.realtimeCount() : 0) < remoteConfig_.maxRealtimeEventCountPerDay()) {
            dailyCounts.incrementRealtimeCountsForCurrentDay(day);
            event.setRealtime(true);
            logRealtimeDecision(kAPMMonitorLevelDebug, kAPMBundlingRealtimeUnderLimitCode,
                                "Event is under real-time event count daily limit. Marking the event as real-time. "
                                "Event name, parameters",
                                event);
            return true;
        }
        event.setRealtime(false);
        logRealtimeDecision(kAPMMonitorLevelSampledWarning, kAPMBundlingRealtimeOverLimitCode,
                            "Number of real-time events is over the real-time event count daily limit. Event is no "
                            "longer real-time. Event name, parameters",
                            event);
        return false;
    }
    if (!debug && event.name() == kDCUEventName) {
        if ((today ? dailyCounts.dcuRealtimeCount() : 0) >= remoteConfig_.maxRealtimeDCUEventCountPerDay()) {
            event.setRealtime(false);
            return false;
        }
        dailyCounts.incrementDCURealtimeCountsForCurrentDay(day);
        event.setRealtime(true);
        return true;
    }
    event.setRealtime(true);
    logRealtimeDecision(kAPMMonitorLevelDebug, kAPMBundlingRealtimeUnlimitedCode,
                        "Event is not subject to real-time event count daily limit. Marking an event as real-time. "
                        "Event name, parameters",
                        event);
    return false;
}

}  // namespace measurement
