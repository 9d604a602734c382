// Tests of evaluating events and user properties against stored filters.
#include <doctest/doctest.h>

#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_test_support.h"

using namespace measurement;
using namespace measurement::audience_test;

namespace {

const auto kEqualOne = numberFilter(kAPMComparisonEqual, "1");

// The event "kuvo_calculate" with the given lifetime and session counts.
bool calculate(AudienceFixture& f, double time, std::int32_t lifetime, std::int32_t session = 1,
               APMAudienceTimestampsCache* cache = nullptr, APMParameters parameters = {}) {
    bool done = false;
    f.onWorker([&] {
        const APMEventAggregates aggregates("kuvo_calculate", lifetime, 1, session, time);
        done = f.audience().evaluateFiltersForEventName("kuvo_calculate", parameters, aggregates, time, cache);
    });
    return done;
}

bool setProperty(AudienceFixture& f, const std::string& name, const APMValue& value, double time) {
    bool done = false;
    f.onWorker([&] {
        done = f.audience().evaluateFiltersForUserProperty(APMUserAttribute("app", name, value, time), nullptr, time);
    });
    return done;
}

Bits stored(AudienceFixture& f, std::int32_t audienceID) {
    const auto results = f.storedResults();
    const auto found = results.find(audienceID);
    REQUIRE(found != results.end());
    return bitsOf(found->second.currentResults());
}

}  // namespace

TEST_CASE("events against stored event filters") {
    AudienceFixture f;
    SUBCASE("an event without filters succeeds and writes nothing") {
        f.storeFilters({eventRecord(1, eventFilter(0, "kuvo_got_error"))}, {});
        CHECK(calculate(f, 100, 1));
        CHECK(f.storedResults().empty());
    }
    SUBCASE("two filters of one audience matched by one event: one result with both bits") {
        f.storeFilters({eventRecord(1, eventFilter(0, "kuvo_calculate")),
                        eventRecord(1, eventFilter(70, "kuvo_calculate", {}, numberFilter(kAPMComparisonEqual, "2"))),
                        eventRecord(2, eventFilter(1, "kuvo_calculate", {}, kEqualOne))},
                       {});
        CHECK(calculate(f, 100, 1));
        CHECK(f.storedResults().size() == 2);
        CHECK(stored(f, 1) == Bits{{0, 70}, {0}, {}, {}});
        CHECK(stored(f, 2) == Bits{{1}, {1}, {}, {}});
    }
    SUBCASE("a static filter that is true is not looked at again; once true it stays") {
        f.storeFilters({eventRecord(1, eventFilter(0, "kuvo_calculate", {}, kEqualOne))}, {});
        CHECK(calculate(f, 100, 2));
        CHECK(stored(f, 1) == Bits{{0}, {}, {}, {}});
        CHECK(calculate(f, 200, 1));
        CHECK(stored(f, 1) == Bits{{0}, {0}, {}, {}});
        const auto before = f.storedResults();
        CHECK(calculate(f, 300, 5));
        CHECK(f.storedResults() == before);
    }
    SUBCASE("a dynamic filter records newer matches and a non-match leaves it true") {
        f.storeFilters({eventRecord(1, eventFilter(0, "kuvo_calculate", {}, numberFilter(kAPMComparisonLessThan, "3"),
                                                   {.dynamic = true}))},
                       {});
        CHECK(calculate(f, 100.9, 1));
        CHECK(stored(f, 1) == Bits{{0}, {0}, {{0, 100}}, {}});
        CHECK(calculate(f, 200, 2));
        CHECK(stored(f, 1) == Bits{{0}, {0}, {{0, 200}}, {}});
        CHECK(calculate(f, 300, 7));
        CHECK(stored(f, 1) == Bits{{0}, {0}, {{0, 200}}, {}});
    }
    SUBCASE("a sequence filter keeps each whole second of a bundle once, across calls sharing its cache") {
        f.storeFilters({eventRecord(1, eventFilter(3, "kuvo_calculate", {}, std::nullopt, {.sequence = true}))}, {});
        APMAudienceTimestampsCache cache;
        CHECK(calculate(f, 100.2, 1, 1, &cache));
        CHECK(calculate(f, 100.7, 2, 2, &cache));
        CHECK(calculate(f, 101.0, 3, 3, &cache));
        CHECK(stored(f, 1) == Bits{{3}, {3}, {}, {{3, {100, 101}}}});
        // A later bundle starts from the stored last time.
        APMAudienceTimestampsCache next;
        CHECK(calculate(f, 150, 4, 4, &next));
        CHECK(stored(f, 1) == Bits{{3}, {3}, {}, {{3, {101, 150}}}});
    }
    SUBCASE("a filter whose data is damaged is skipped and the others go on") {
        APMMonitorCapture capture;
        f.storeFilters({APMEventFilter(1, 0, "kuvo_calculate", NANOBytes{0xff, 0xff}, false, false, false),
                        APMEventFilter(1, 2, "kuvo_calculate", NANOBytes{}, false, false, false),
                        eventRecord(1, eventFilter(1, "kuvo_calculate"))},
                       {});
        CHECK(calculate(f, 100, 1));
        CHECK(capture.count(kAPMAudienceEventFilterCorruptCode) == 2);
        CHECK(stored(f, 1) == Bits{{1}, {1}, {}, {}});
    }
    SUBCASE("a filter that cannot be decided leaves the audience untouched") {
        f.storeFilters({eventRecord(1, eventFilter(0, "kuvo_calculate", {valueFilter(kEqualOne, false, "missing")}))},
                       {});
        CHECK(calculate(f, 100, 1));
        CHECK(f.storedResults().empty());
    }
    SUBCASE("a filter ID beyond the result words, from a damaged row, is never written") {
        f.storeFilters({eventRecord(1, eventFilter(100000, "kuvo_calculate"))}, {});
        CHECK(calculate(f, 100, 1));
        CHECK(f.storedResults().empty());
    }
}

TEST_CASE("user properties against stored property filters") {
    AudienceFixture f;
    const auto gold = valueFilter(stringFilter(kAPMMatchExact, "gold"));
    f.storeFilters({}, {propertyRecord(1, propertyFilter(0, "tier", gold, {.dynamic = true})),
                        propertyRecord(1, propertyFilter(1, "tier", gold)),
                        propertyRecord(1, propertyFilter(2, "tier", gold, {.dynamic = true, .sessionScoped = true}))});
    CHECK(setProperty(f, "tier", APMValue(std::string("silver")), 50));
    CHECK(stored(f, 1) == Bits{{0, 1, 2}, {}, {}, {}});
    CHECK(setProperty(f, "tier", APMValue(std::string("Gold")), 100));
    CHECK(stored(f, 1) == Bits{{0, 1, 2}, {0, 1, 2}, {{0, 100}, {2, 100}}, {}});
    // Dynamic turns false; static and session-scoped stay true.
    CHECK(setProperty(f, "tier", APMValue(std::string("bronze")), 200));
    CHECK(stored(f, 1) == Bits{{0, 1, 2}, {1, 2}, {{0, 100}, {2, 100}}, {}});

    SUBCASE("a session start clears the session-scoped bit and its time; the rest stays") {
        const auto before = f.storedResults().at(1).currentResults();
        f.onWorker([&] { CHECK(f.audience().clearEvaluationResultsForSessionScopedFilters()); });
        const auto after = f.storedResults().at(1);
        CHECK(bitsOf(after.currentResults()) == Bits{{0, 1}, {1}, {{0, 100}}, {}});
        CHECK(after.previousResults() == before);
    }
    SUBCASE("a property stored in a bundle: its set time is the evaluation time") {
        bool done = false;
        f.onWorker([&] {
            done = f.audience().evaluateFiltersForNanoUserProperty(nanoProperty("tier", APMValue(std::string("gold")), 300.5),
                                                                  nullptr, std::nullopt);
        });
        CHECK(done);
        CHECK(stored(f, 1) == Bits{{0, 1, 2}, {0, 1, 2}, {{0, 300}, {2, 300}}, {}});
    }
}

TEST_CASE("user properties as bundles carry them") {
    AudienceFixture f;
    f.storeFilters({}, {propertyRecord(1, propertyFilter(0, "level", valueFilter(numberFilter(2, "3")), {.dynamic = true}))});
    const auto evaluate = [&](const APMPBUserAttribute& property, std::optional<double> time) {
        bool done = false;
        f.onWorker([&] { done = f.audience().evaluateFiltersForNanoUserProperty(property, nullptr, time); });
        return done;
    };
    const auto index = [](int tag) { return NANOFieldIndexForTag<APMPBUserAttribute>(tag); };
    SUBCASE("a string value comes first, then a double, then an integer") {
        APMPBUserAttribute property;
        NANOSetString(property, index(nano_APMPBUserAttribute_name_tag), std::string("level"));
        NANOSetInt64(property, index(nano_APMPBUserAttribute_int_value_tag), 9);
        NANOSetDouble(property, index(nano_APMPBUserAttribute_double_value_tag), 1.0);
        CHECK(evaluate(property, 40.0));
        CHECK(stored(f, 1) == Bits{{0}, {}, {}, {}});
        NANOSetString(property, index(nano_APMPBUserAttribute_string_value_tag), std::string("4"));
        CHECK(evaluate(property, 41.0));
        CHECK(stored(f, 1) == Bits{{0}, {0}, {{0, 41}}, {}});
    }
    SUBCASE("a property without a value stops the bundle") {
        APMMonitorCapture capture;
        APMPBUserAttribute property;
        NANOSetString(property, index(nano_APMPBUserAttribute_name_tag), std::string("level"));
        CHECK_FALSE(evaluate(property, std::nullopt));
        CHECK(capture.hasCode(kAPMAudienceNanoPropertyUnconvertibleCode));
    }
}

TEST_CASE("the outcome written into a result") {
    APMAudienceTimestampsCache cache;
    cache.populateCachedTimestamps(nullptr, 4);
    cache.addEvaluationTimestamp(77.0, eventRecord(4, eventFilter(1, "e", {}, std::nullopt, {.dynamic = true})));
    const APMFilterResult current(4, APMFilterResult(4, {}, std::nullopt).currentResults(), NANOBytes{0x08, 0x01});
    const auto first = APMAudience::updatedFilterResultWithFilterID(1, 4, std::nullopt, true, cache);
    CHECK(bitsOf(first.currentResults()) == Bits{{1}, {1}, {{1, 77}}, {}});
    CHECK_FALSE(first.previousResults());
    const APMFilterResult withPrevious(4, first.currentResults(), NANOBytes{0x08, 0x01});
    const auto second = APMAudience::updatedFilterResultWithFilterID(64, 4, withPrevious, false, cache);
    CHECK(bitsOf(second.currentResults()) == Bits{{1, 64}, {1}, {{1, 77}}, {}});
    CHECK(second.previousResults() == NANOBytes{0x08, 0x01});
    const auto cleared = APMAudience::updatedFilterResultWithFilterID(1, 4, second, std::nullopt, cache);
    CHECK(bitsOf(cleared.currentResults()).evaluated == std::vector<std::int32_t>{64});

    SUBCASE("whether a filter is true") {
        APMMonitorCapture capture;
        CHECK(APMAudience::isFilterResult(second, 1));
        CHECK_FALSE(APMAudience::isFilterResult(second, 64));
        CHECK_FALSE(APMAudience::isFilterResult(second, 2));
        CHECK_FALSE(APMAudience::isFilterResult(std::nullopt, 1));
        CHECK_FALSE(APMAudience::isFilterResult(current, 1));
        CHECK(capture.codes().empty());
        // Times without words: logged, not true.
        APMPBResultData onlyTimes;
        NANOSetArray(onlyTimes, audience_field::kResultDynamicTimestamps, cache.dynamicTimestampsForAudienceID(4));
        CHECK_FALSE(APMAudience::isFilterResult(APMFilterResult(4, onlyTimes.protoBuffer(), std::nullopt), 1));
        CHECK(capture.codes() == std::vector<long>{kAPMAudienceResultMissingWordsCode});
    }
}
