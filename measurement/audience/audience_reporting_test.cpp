// Tests of the audience results carried in bundles.
#include <doctest/doctest.h>

#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_test_support.h"
#include "measurement/audience/result_words.h"

using namespace measurement;
using namespace measurement::audience_test;
using namespace measurement::audience_field;

namespace {

// One audience leaf as plain values.
struct Leaf {
    std::int32_t audienceID = 0;
    bool firstReport = false;
    Bits current;
    std::optional<Bits> previous;
    bool operator==(const Leaf&) const = default;
};

std::vector<Leaf> report(AudienceFixture& f) {
    std::vector<APMPBAudienceLeafFilterResult> results;
    bool done = false;
    f.onWorker([&] { done = f.audience().resultsForBundling(&results); });
    REQUIRE(done);
    std::vector<Leaf> leaves;
    for (const auto& result : results) {
        Leaf leaf;
        leaf.audienceID = NANOGetInt32(result, kLeafAudienceID);
        REQUIRE(NANOHasField(result, kLeafNewAudience));
        leaf.firstReport = NANOGetBool(result, kLeafNewAudience);
        leaf.current = bitsOf(*NANOGetMessage<APMPBResultData>(result, kLeafCurrentData));
        if (auto previous = NANOGetMessage<APMPBResultData>(result, kLeafPreviousData)) leaf.previous = bitsOf(*previous);
        leaves.push_back(leaf);
    }
    return leaves;
}

void storeResult(AudienceFixture& f, std::int32_t audienceID, const APMResultWords& words,
                 std::map<std::int32_t, std::vector<std::int64_t>> sequences = {},
                 std::optional<NANOBytes> previous = std::nullopt) {
    APMPBResultData data;
    words.writeInto(data);
    std::vector<APMPBSequenceFilterResultTimestamp> entries;
    for (const auto& [filterID, times] : sequences) {
        APMPBSequenceFilterResultTimestamp entry;
        NANOSetInt32(entry, kSequenceTimestampFilterID, filterID);
        NANOSetArray(entry, kSequenceTimestampSeconds, times);
        entries.push_back(entry);
    }
    NANOSetArray(data, kResultSequenceTimestamps, entries);
    f.onWorker([&] {
        REQUIRE(f.database().updateFilterResults({APMFilterResult(audienceID, data.protoBuffer(), previous)}, nullptr));
    });
}

bool calculate(AudienceFixture& f, double time) {
    bool done = false;
    f.onWorker([&] {
        done = f.audience().evaluateFiltersForEventName("kuvo_calculate", {},
                                                        APMEventAggregates("kuvo_calculate", 1, 1, 1, time), time,
                                                        nullptr);
    });
    return done;
}

}  // namespace

TEST_CASE("results for a bundle: first report, previous results, unchanged audiences") {
    AudienceFixture f;
    f.storeFilters({eventRecord(1, eventFilter(0, "kuvo_calculate")),
                    eventRecord(2, eventFilter(5, "kuvo_calculate", {}, std::nullopt, {.dynamic = true}))},
                   {});
    CHECK(report(f).empty());
    REQUIRE(calculate(f, 100));
    const Bits one{{0}, {0}, {}, {}};
    const Bits twoAt100{{5}, {5}, {{5, 100}}, {}};
    CHECK(report(f) == std::vector<Leaf>{{1, true, one, std::nullopt}, {2, true, twoAt100, std::nullopt}});
    CHECK(report(f) == std::vector<Leaf>{{1, false, one, std::nullopt}, {2, false, twoAt100, std::nullopt}});
    REQUIRE(calculate(f, 200));
    const Bits twoAt200{{5}, {5}, {{5, 200}}, {}};
    CHECK(report(f) == std::vector<Leaf>{{1, false, one, std::nullopt}, {2, false, twoAt200, twoAt100}});
    CHECK(report(f) == std::vector<Leaf>{{1, false, one, std::nullopt}, {2, false, twoAt200, std::nullopt}});

    SUBCASE("audiences without an evaluated filter, or whose data does not decode, are left out") {
        APMMonitorCapture capture;
        storeResult(f, 3, APMResultWords{{0}, {0}});
        f.onWorker([&] {
            REQUIRE(f.database().updateFilterResults({APMFilterResult(4, NANOBytes{0xff, 0xff}, std::nullopt)}, nullptr));
        });
        CHECK(report(f).size() == 2);
        CHECK(capture.codes() == std::vector<long>{kAPMAudienceBundlingZeroStatusCode, kAPMAudienceBundlingUndecodableCode});
    }
    SUBCASE("previous results that do not decode are not attached") {
        storeResult(f, 1, APMResultWords{{1}, {0}}, {}, NANOBytes{0xff});
        const auto leaves = report(f);
        REQUIRE(leaves.size() == 2);
        CHECK(leaves[0] == Leaf{1, false, Bits{{0}, {}, {}, {}}, std::nullopt});
    }
}

TEST_CASE("an unchanged audience reports its first sequence entry cut, and the cut is what the next bundle compares") {
    AudienceFixture f;
    storeResult(f, 9, APMResultWords{{0x6}, {0x6}}, {{1, {100, 200, 300}}, {2, {50, 60}}});
    const Bits full{{1, 2}, {1, 2}, {}, {{1, {100, 200, 300}}, {2, {50, 60}}}};
    const Bits cut{{1, 2}, {1, 2}, {}, {{1, {300}}, {2, {50, 60}}}};
    CHECK(report(f) == std::vector<Leaf>{{9, true, full, std::nullopt}});
    CHECK(report(f) == std::vector<Leaf>{{9, false, cut, std::nullopt}});
    // Nothing changed: no previous results, no change that never happened.
    CHECK(report(f) == std::vector<Leaf>{{9, false, cut, std::nullopt}});
    const auto row = f.storedResults().at(9);
    CHECK(row.previousResults() == row.currentResults());
}

TEST_CASE("a session start clears session-scoped results") {
    AudienceFixture f;
    f.storeFilters({eventRecord(1, eventFilter(0, "kuvo_calculate", {}, std::nullopt, {.sessionScoped = true})),
                    eventRecord(2, eventFilter(0, "kuvo_calculate", {}, std::nullopt, {.sessionScoped = true})),
                    eventRecord(2, eventFilter(1, "kuvo_calculate")),
                    eventRecord(2, eventFilter(2, "kuvo_calculate", {}, std::nullopt,
                                               {.sequence = true, .sessionScoped = true}))},
                   {});
    REQUIRE(calculate(f, 100));
    storeResult(f, 3, APMResultWords{{1}, {1}});  // no session-scoped filter
    CHECK(bitsOf(f.storedResults().at(2).currentResults()) == Bits{{0, 1, 2}, {0, 1, 2}, {{0, 100}}, {{2, {100}}}});
    const auto before = f.storedResults().at(2).currentResults();
    bool done = false;
    f.onWorker([&] { done = f.audience().clearEvaluationResultsForSessionScopedFilters(); });
    CHECK(done);
    const auto after = f.storedResults();
    CHECK_FALSE(after.contains(1));
    CHECK(bitsOf(after.at(2).currentResults()) == Bits{{1}, {1}, {}, {}});
    CHECK(after.at(2).previousResults() == before);
    CHECK(bitsOf(after.at(3).currentResults()) == Bits{{0}, {0}, {}, {}});

    SUBCASE("a damaged result of an audience with session-scoped filters is deleted") {
        f.onWorker([&] {
            REQUIRE(f.database().updateFilterResults({APMFilterResult(1, NANOBytes{0xff}, std::nullopt)}, nullptr));
            CHECK(f.audience().clearEvaluationResultsForSessionScopedFilters());
        });
        CHECK_FALSE(f.storedResults().contains(1));
    }
}
