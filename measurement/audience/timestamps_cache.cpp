// The per-bundle caches of dynamic and sequence filter match times.
#include "measurement/audience/timestamps_cache.h"

#include <algorithm>

#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_fields.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/parameter_value.h"

namespace measurement {

namespace {

using namespace audience_field;

std::optional<APMPBResultData> decodedCurrentResults(const APMFilterResult* result) {
    if (!result) return std::nullopt;
    return APMPBResultData::initWithBuffer(result->currentResults());
}

std::map<std::int32_t, double> storedDynamicTimestamps(const std::optional<APMPBResultData>& data) {
    std::map<std::int32_t, double> times;
    if (!data) return times;
    for (const auto& entry : NANOGetArray<APMPBDynamicFilterResultTimestamp>(*data, kResultDynamicTimestamps)) {
        times[NANOGetInt32(entry, kDynamicTimestampFilterID)] =
            static_cast<double>(NANOGetInt64(entry, kDynamicTimestampSeconds));
    }
    return times;
}

}  // namespace

std::int64_t APMWholeSeconds(double seconds) { return APMSaturatingInt64(seconds); }

// ---- one audience's sequence times ----

std::optional<std::vector<double>> APMSequenceTimestampsCache::sequenceTimestampsForFilterID(
    std::int32_t filterID) const {
    const auto found = allSequenceTimestampsByFilterID_.find(filterID);
    if (found == allSequenceTimestampsByFilterID_.end()) return std::nullopt;
    return found->second;
}

void APMSequenceTimestampsCache::addEventFilterTimestamp(double timestamp, std::int32_t filterID) {
    auto& times = allSequenceTimestampsByFilterID_[filterID];
    if (!times.empty() && times.back() > timestamp) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelSilentWarning, kAPMSequenceTimestampOutOfOrderCode,
                                          "Adding a sequence timestamp less than the last added timestamp",
                                          platform::Value(times.back()), platform::Value(timestamp));
    }
    if (!times.empty() && APMWholeSeconds(times.back()) == APMWholeSeconds(timestamp)) return;
    times.push_back(timestamp);
}

void APMSequenceTimestampsCache::setUserPropertyTimestamp(double timestamp, std::int32_t filterID) {
    auto& times = allSequenceTimestampsByFilterID_[filterID];
    if (!times.empty() && times.back() > timestamp) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelSilentWarning, kAPMSequenceTimestampSetOutOfOrderCode,
                                          "Setting a sequence timestamp less than the last set timestamp",
                                          platform::Value(times.back()), platform::Value(timestamp));
    }
    times.assign(1, timestamp);
}

std::vector<APMPBSequenceFilterResultTimestamp> APMSequenceTimestampsCache::sequenceFilterResultTimestamps() const {
    std::vector<APMPBSequenceFilterResultTimestamp> entries;
    for (const auto& [filterID, times] : allSequenceTimestampsByFilterID_) {
        // A time added out of order may share its whole second with another:
        // each second is written once.
        std::vector<std::int64_t> seconds;
        for (const double time : times) seconds.push_back(APMWholeSeconds(time));
        std::sort(seconds.begin(), seconds.end());
        seconds.erase(std::unique(seconds.begin(), seconds.end()), seconds.end());
        APMPBSequenceFilterResultTimestamp entry;
        NANOSetInt32(entry, kSequenceTimestampFilterID, filterID);
        NANOSetArray(entry, kSequenceTimestampSeconds, seconds);
        entries.push_back(std::move(entry));
    }
    return entries;
}

// ---- the bundle's cache ----

void APMAudienceTimestampsCache::populateCachedTimestamps(const APMFilterResult* result, std::int32_t audienceID) {
    const bool needsDynamic = !cachedDynamicFilterEvaluationTimestamps_.contains(audienceID);
    const bool needsSequence = !cachedSequenceEvaluationTimestamps_.contains(audienceID);
    if (!needsDynamic && !needsSequence) return;
    const auto data = decodedCurrentResults(result);
    if (needsDynamic) cachedDynamicFilterEvaluationTimestamps_[audienceID] = storedDynamicTimestamps(data);
    if (!needsSequence) return;
    APMSequenceTimestampsCache sequences(audienceID);
    if (data) {
        for (const auto& entry : NANOGetArray<APMPBSequenceFilterResultTimestamp>(*data, kResultSequenceTimestamps)) {
            const auto times = NANOGetArray<std::int64_t>(entry, kSequenceTimestampSeconds);
            if (times.empty()) continue;
            sequences.addEventFilterTimestamp(static_cast<double>(times.back()),
                                              NANOGetInt32(entry, kSequenceTimestampFilterID));
        }
    }
    cachedSequenceEvaluationTimestamps_.emplace(audienceID, std::move(sequences));
}

APMSequenceTimestampsCache& APMAudienceTimestampsCache::sequenceCache(std::int32_t audienceID) {
    return cachedSequenceEvaluationTimestamps_.try_emplace(audienceID, audienceID).first->second;
}

template <class Filter>
void APMAudienceTimestampsCache::addDynamicTimestamp(double timestamp, const Filter& filter) {
    if (!filter.isDynamic() && !filter.isSessionScoped()) return;
    const auto audience = cachedDynamicFilterEvaluationTimestamps_.find(filter.audienceID());
    if (audience == cachedDynamicFilterEvaluationTimestamps_.end()) return;  // never loaded
    auto& times = audience->second;
    const auto held = times.find(filter.filterID());
    const double heldTime = held == times.end() ? 0 : held->second;
    if (heldTime < timestamp) {
        times[filter.filterID()] = timestamp;
        return;
    }
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelSilentWarning, kAPMAudienceEarlierTimestampCode,
                                      "Candidate evaluation timestamp is earlier than cached evaluation timestamp",
                                      platform::Value(timestamp), platform::Value(heldTime));
}

void APMAudienceTimestampsCache::addEvaluationTimestamp(double timestamp, const APMEventFilter& filter) {
    if (filter.isSequence()) {
        sequenceCache(filter.audienceID()).addEventFilterTimestamp(timestamp, filter.filterID());
        return;
    }
    addDynamicTimestamp(timestamp, filter);
}

void APMAudienceTimestampsCache::addEvaluationTimestamp(double timestamp, const APMPropertyFilter& filter) {
    if (filter.isSequence()) {
        sequenceCache(filter.audienceID()).setUserPropertyTimestamp(timestamp, filter.filterID());
        return;
    }
    addDynamicTimestamp(timestamp, filter);
}

std::vector<APMPBDynamicFilterResultTimestamp> APMAudienceTimestampsCache::dynamicTimestampsForAudienceID(
    std::int32_t audienceID) const {
    std::vector<APMPBDynamicFilterResultTimestamp> entries;
    const auto audience = cachedDynamicFilterEvaluationTimestamps_.find(audienceID);
    if (audience == cachedDynamicFilterEvaluationTimestamps_.end()) return entries;
    for (const auto& [filterID, time] : audience->second) {
        APMPBDynamicFilterResultTimestamp entry;
        NANOSetInt32(entry, kDynamicTimestampFilterID, filterID);
        NANOSetInt64(entry, kDynamicTimestampSeconds, APMWholeSeconds(time));
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::optional<std::vector<APMPBSequenceFilterResultTimestamp>> APMAudienceTimestampsCache::sequenceTimestampsForAudienceID(
    std::int32_t audienceID) const {
    const auto found = cachedSequenceEvaluationTimestamps_.find(audienceID);
    if (found == cachedSequenceEvaluationTimestamps_.end()) return std::nullopt;
    return found->second.sequenceFilterResultTimestamps();
}

}  // namespace measurement
