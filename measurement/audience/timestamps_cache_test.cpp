// Tests of the audience timestamp caches.
#include <doctest/doctest.h>

#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_test_support.h"
#include "measurement/audience/timestamps_cache.h"

using namespace measurement;
using namespace measurement::audience_test;
using namespace measurement::audience_field;

namespace {

APMEventFilter eventRecordWith(std::int32_t filterID, Flags flags) {
    return eventRecord(1, eventFilter(filterID, "e", {}, std::nullopt, flags));
}

APMPropertyFilter propertyRecordWith(std::int32_t filterID, Flags flags) {
    return propertyRecord(1, propertyFilter(filterID, "p", std::nullopt, flags));
}

// The sequence times the cache would write for audience 1.
std::map<std::int32_t, std::vector<std::int64_t>> sequenceTimes(const APMAudienceTimestampsCache& cache) {
    APMPBResultData data;
    if (auto entries = cache.sequenceTimestampsForAudienceID(1)) NANOSetArray(data, kResultSequenceTimestamps, *entries);
    return bitsOf(data).sequenceTimes;
}

std::map<std::int32_t, std::int64_t> dynamicTimes(const APMAudienceTimestampsCache& cache) {
    APMPBResultData data;
    NANOSetArray(data, kResultDynamicTimestamps, cache.dynamicTimestampsForAudienceID(1));
    return bitsOf(data).dynamicTimes;
}

// A stored result for audience 1 with the given times.
APMFilterResult storedResult(std::map<std::int32_t, std::int64_t> dynamic,
                             std::map<std::int32_t, std::vector<std::int64_t>> sequences) {
    APMPBResultData data;
    std::vector<APMPBDynamicFilterResultTimestamp> dynamicEntries;
    for (auto [filterID, time] : dynamic) {
        APMPBDynamicFilterResultTimestamp entry;
        NANOSetInt32(entry, kDynamicTimestampFilterID, filterID);
        NANOSetInt64(entry, kDynamicTimestampSeconds, time);
        dynamicEntries.push_back(entry);
    }
    std::vector<APMPBSequenceFilterResultTimestamp> sequenceEntries;
    for (const auto& [filterID, times] : sequences) {
        APMPBSequenceFilterResultTimestamp entry;
        NANOSetInt32(entry, kSequenceTimestampFilterID, filterID);
        NANOSetArray(entry, kSequenceTimestampSeconds, times);
        sequenceEntries.push_back(entry);
    }
    NANOSetArray(data, kResultDynamicTimestamps, dynamicEntries);
    NANOSetArray(data, kResultSequenceTimestamps, sequenceEntries);
    return APMFilterResult(1, data.protoBuffer(), std::nullopt);
}

}  // namespace

TEST_CASE("dynamic and session-scoped match times keep the latest") {
    APMAudienceTimestampsCache cache;
    const auto dynamic = eventRecordWith(2, {.dynamic = true});
    SUBCASE("nothing is recorded for an audience never loaded") {
        cache.addEvaluationTimestamp(100.0, dynamic);
        CHECK(dynamicTimes(cache).empty());
    }
    SUBCASE("a later time replaces, an earlier or equal one is logged and kept") {
        cache.populateCachedTimestamps(nullptr, 1);
        APMMonitorCapture capture;
        cache.addEvaluationTimestamp(100.0, dynamic);
        cache.addEvaluationTimestamp(99.0, dynamic);
        CHECK(capture.count(kAPMAudienceEarlierTimestampCode) == 1);
        cache.addEvaluationTimestamp(100.0, dynamic);
        CHECK(capture.count(kAPMAudienceEarlierTimestampCode) == 2);
        cache.addEvaluationTimestamp(250.9, propertyRecordWith(7, {.sessionScoped = true}));
        cache.addEvaluationTimestamp(300.0, eventRecordWith(3, {}));  // static: nothing
        CHECK(dynamicTimes(cache) == std::map<std::int32_t, std::int64_t>{{2, 100}, {7, 250}});
    }
    SUBCASE("stored times load once; times recorded in the bundle win") {
        const auto stored = storedResult({{2, 500}, {4, 80}}, {});
        cache.populateCachedTimestamps(&stored, 1);
        cache.addEvaluationTimestamp(600.0, dynamic);
        cache.populateCachedTimestamps(&stored, 1);
        CHECK(dynamicTimes(cache) == std::map<std::int32_t, std::int64_t>{{2, 600}, {4, 80}});
    }
    SUBCASE("data that does not decode loads nothing") {
        const APMFilterResult broken(1, NANOBytes{0xff, 0xff}, std::nullopt);
        cache.populateCachedTimestamps(&broken, 1);
        cache.addEvaluationTimestamp(10.0, dynamic);
        CHECK(dynamicTimes(cache) == std::map<std::int32_t, std::int64_t>{{2, 10}});
        CHECK(sequenceTimes(cache).empty());
    }
}

TEST_CASE("sequence match times") {
    APMAudienceTimestampsCache cache;
    const auto sequenceEvent = eventRecordWith(5, {.sequence = true});
    const auto sequenceProperty = propertyRecordWith(6, {.sequence = true});
    CHECK_FALSE(cache.sequenceTimestampsForAudienceID(1));
    SUBCASE("two matches within one whole second keep one time; across seconds both") {
        cache.addEvaluationTimestamp(100.2, sequenceEvent);
        cache.addEvaluationTimestamp(100.7, sequenceEvent);
        CHECK(sequenceTimes(cache) == std::map<std::int32_t, std::vector<std::int64_t>>{{5, {100}}});
        cache.addEvaluationTimestamp(101.0, sequenceEvent);
        CHECK(sequenceTimes(cache) == std::map<std::int32_t, std::vector<std::int64_t>>{{5, {100, 101}}});
    }
    SUBCASE("a property filter keeps only its last time") {
        APMMonitorCapture capture;
        cache.addEvaluationTimestamp(10.0, sequenceProperty);
        cache.addEvaluationTimestamp(30.0, sequenceProperty);
        cache.addEvaluationTimestamp(20.0, sequenceProperty);
        CHECK(capture.count(kAPMSequenceTimestampSetOutOfOrderCode) == 1);
        CHECK(sequenceTimes(cache) == std::map<std::int32_t, std::vector<std::int64_t>>{{6, {20}}});
    }
    SUBCASE("a time out of order is logged, written in order, and never twice in one second") {
        APMMonitorCapture capture;
        cache.addEvaluationTimestamp(100.2, sequenceEvent);
        cache.addEvaluationTimestamp(101.5, sequenceEvent);
        cache.addEvaluationTimestamp(100.7, sequenceEvent);
        cache.addEvaluationTimestamp(99.0, sequenceEvent);
        CHECK(capture.count(kAPMSequenceTimestampOutOfOrderCode) == 2);
        CHECK(sequenceTimes(cache) == std::map<std::int32_t, std::vector<std::int64_t>>{{5, {99, 100, 101}}});
    }
    SUBCASE("a stored entry loads as its last time alone") {
        const auto stored = storedResult({}, {{5, {50, 60, 70}}, {8, {}}});
        cache.populateCachedTimestamps(&stored, 1);
        CHECK(sequenceTimes(cache) == std::map<std::int32_t, std::vector<std::int64_t>>{{5, {70}}});
        cache.addEvaluationTimestamp(80.0, sequenceEvent);
        CHECK(sequenceTimes(cache) == std::map<std::int32_t, std::vector<std::int64_t>>{{5, {70, 80}}});
    }
    SUBCASE("the per-audience cache on its own") {
        APMSequenceTimestampsCache sequences(42);
        CHECK(sequences.audienceID() == 42);
        CHECK_FALSE(sequences.sequenceTimestampsForFilterID(1));
        sequences.addEventFilterTimestamp(3.5, 9);
        sequences.addEventFilterTimestamp(1.5, 1);
        CHECK(sequences.sequenceTimestampsForFilterID(9) == std::vector<double>{3.5});
        const auto entries = sequences.sequenceFilterResultTimestamps();
        REQUIRE(entries.size() == 2);
        CHECK(NANOGetInt32(entries[0], kSequenceTimestampFilterID) == 1);
        CHECK(NANOGetInt32(entries[1], kSequenceTimestampFilterID) == 9);
    }
}

TEST_CASE("whole seconds truncate toward zero") {
    CHECK(APMWholeSeconds(100.99) == 100);
    CHECK(APMWholeSeconds(-1.5) == -1);
    CHECK(APMWholeSeconds(1e30) == std::numeric_limits<std::int64_t>::max());
}
