#pragma once

// When dynamic, session-scoped and sequence filters last matched, collected
// across every evaluation of one upload bundle (or of one call), so that
// each rewritten audience result carries those times.

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "measurement/foundation/messages.h"
#include "measurement/store/audience_records.h"

namespace measurement {

// The match times of the sequence filters of one audience.
class APMSequenceTimestampsCache {
public:
    explicit APMSequenceTimestampsCache(std::int32_t audienceID) : audienceID_(audienceID) {}

    std::int32_t audienceID() const { return audienceID_; }
    // The filter's times in the order added; none when it has none.
    std::optional<std::vector<double>> sequenceTimestampsForFilterID(std::int32_t filterID) const;
    // Appends an event filter's match, unless it falls in the same whole
    // second as the last one (a time before the last one is logged and
    // still added).
    void addEventFilterTimestamp(double timestamp, std::int32_t filterID);
    // A property filter keeps only its latest time.
    void setUserPropertyTimestamp(double timestamp, std::int32_t filterID);
    // One entry per filter, ascending by filter ID, with its times as whole
    // seconds, ascending and each second once.
    std::vector<APMPBSequenceFilterResultTimestamp> sequenceFilterResultTimestamps() const;

private:
    std::int32_t audienceID_;
    std::map<std::int32_t, std::vector<double>> allSequenceTimestampsByFilterID_;
};

class APMAudienceTimestampsCache {
public:
    // Loads the audience's stored times once per cache: its dynamic times,
    // and the last time of each stored sequence entry. Later loads change
    // nothing, so times recorded earlier in the bundle win.
    void populateCachedTimestamps(const APMFilterResult* result, std::int32_t audienceID);
    // Records a match of a sequence, dynamic or session-scoped filter.
    void addEvaluationTimestamp(double timestamp, const APMEventFilter& filter);
    void addEvaluationTimestamp(double timestamp, const APMPropertyFilter& filter);

    // Ascending by filter ID; empty when the audience has none.
    std::vector<APMPBDynamicFilterResultTimestamp> dynamicTimestampsForAudienceID(std::int32_t audienceID) const;
    // None when the cache holds no sequence times for the audience.
    std::optional<std::vector<APMPBSequenceFilterResultTimestamp>> sequenceTimestampsForAudienceID(
        std::int32_t audienceID) const;

private:
    template <class Filter>
    void addDynamicTimestamp(double timestamp, const Filter& filter);
    APMSequenceTimestampsCache& sequenceCache(std::int32_t audienceID);

    std::map<std::int32_t, std::map<std::int32_t, double>> cachedDynamicFilterEvaluationTimestamps_;
    std::map<std::int32_t, APMSequenceTimestampsCache> cachedSequenceEvaluationTimestamps_;
};

// Seconds since 1970 as stored in a result: whole, truncated toward zero.
std::int64_t APMWholeSeconds(double seconds);

}  // namespace measurement
