// Tests of the audiences' failing database steps.
#include <doctest/doctest.h>

#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_test_support.h"
#include "testsupport/test_hooks.h"

using namespace measurement;
using namespace measurement::audience_test;

namespace {

std::string refuse(const std::string& when) {
    return "CREATE TRIGGER refuse BEFORE " + when + " BEGIN SELECT RAISE(ABORT, 'injected'); END";
}

// Stored state that every case can fail on: a session-scoped event filter
// and a property filter of audience 1, with a result for audience 1 and
// for audience 2 whose definitions are gone.
void seed(AudienceFixture& f) {
    f.storeFilters({eventRecord(1, eventFilter(0, "kuvo_calculate", {}, std::nullopt, {.sessionScoped = true}))},
                   {propertyRecord(1, propertyFilter(1, "tier", valueFilter(stringFilter(5, "gold")), {.dynamic = true}))});
    f.onWorker([&] {
        const APMAudienceTimestampsCache cache;
        REQUIRE(f.database().updateFilterResults(
            {APMAudience::updatedFilterResultWithFilterID(0, 1, std::nullopt, true, cache),
             APMAudience::updatedFilterResultWithFilterID(3, 2, std::nullopt, true, cache)},
            nullptr));
    });
}

using Operation = std::function<bool(APMAudience&)>;

const Operation kEvent = [](APMAudience& audience) {
    return audience.evaluateFiltersForEventName("kuvo_calculate", {}, APMEventAggregates("kuvo_calculate", 1, 1, 1, 5),
                                                5, nullptr);
};
const Operation kProperty = [](APMAudience& audience) {
    return audience.evaluateFiltersForUserProperty(APMUserAttribute("app", "tier", APMValue(std::string("gold")), 5),
                                                   nullptr, 5);
};
const Operation kBundling = [](APMAudience& audience) {
    std::vector<APMPBAudienceLeafFilterResult> results;
    return audience.resultsForBundling(&results);
};
const Operation kSessionStart = [](APMAudience& audience) {
    return audience.clearEvaluationResultsForSessionScopedFilters();
};
const Operation kDefinitions = [](APMAudience& audience) {
    return audience.updateAudiences({audience_test::audience(
        7, {eventFilter(0, "kuvo_calculate")}, {propertyFilter(1, "tier", valueFilter(stringFilter(5, "gold")))})});
};

}  // namespace

TEST_CASE("every failing database step is logged, answers false and is rolled back by the caller") {
    // The failures are made by dropping or renaming a table behind the
    // database's back, not examined as another program's layout change.
    const test_hooks::LayoutChangesUnexamined unexamined;
    // The failure is made with a trigger of the test's own.
    const test_hooks::FileTriggersRun triggersRun;

    struct Case {
        const char* label;
        std::string breaking;
        Operation operation;
        long code;
        std::int64_t maxResults = 200;
    };
    const std::vector<Case> cases = {
        {"event filters unreadable", "DROP TABLE event_filters", kEvent, kAPMAudienceEventFiltersQueryFailedCode},
        {"event result unreadable", "DROP TABLE audience_filter_values", kEvent,
         kAPMAudienceEventResultQueryFailedCode},
        {"event result refused", refuse("INSERT ON audience_filter_values"), kEvent,
         kAPMAudienceEventResultsSaveFailedCode},
        {"property filters unreadable", "DROP TABLE property_filters", kProperty,
         kAPMAudiencePropertyFiltersQueryFailedCode},
        {"property result unreadable", "DROP TABLE audience_filter_values", kProperty,
         kAPMAudiencePropertyResultQueryFailedCode},
        {"property result refused", refuse("INSERT ON audience_filter_values"), kProperty,
         kAPMAudiencePropertyResultsSaveFailedCode},
        {"results unreadable for bundling", "DROP TABLE audience_filter_values", kBundling,
         kAPMAudienceBundlingQueryFailedCode},
        {"reported results refused", refuse("INSERT ON audience_filter_values"), kBundling,
         kAPMAudienceBundlingSaveFailedCode},
        {"session-scoped filters unreadable", "DROP TABLE event_filters", kSessionStart,
         kAPMAudienceSessionFiltersQueryFailedCode},
        {"results unreadable at a session start", "DROP TABLE audience_filter_values", kSessionStart,
         kAPMAudienceSessionResultsQueryFailedCode},
        {"cleared result refused", refuse("DELETE ON audience_filter_values"), kSessionStart,
         kAPMAudienceSessionDeleteFailedCode},
        {"results unreadable for pruning", "DROP TABLE audience_filter_values", kDefinitions,
         kAPMAudiencePruneQueryFailedCode},
        {"definitions unreadable for pruning", "DROP TABLE property_filters", kDefinitions,
         kAPMAudiencePruneIDsQueryFailedCode, 0},
        {"stale results refused", refuse("DELETE ON audience_filter_values"), kDefinitions,
         kAPMAudiencePruneDeleteFailedCode, 1},
        {"old event filters refused", refuse("DELETE ON event_filters"), kDefinitions,
         kAPMAudienceDeleteEventFiltersFailedCode},
        {"old property filters refused", refuse("DELETE ON property_filters"), kDefinitions,
         kAPMAudienceDeletePropertyFiltersFailedCode},
        {"new event filters refused", refuse("INSERT ON event_filters"), kDefinitions,
         kAPMAudienceSaveEventFiltersFailedCode},
        {"new property filters refused", refuse("INSERT ON property_filters"), kDefinitions,
         kAPMAudienceSavePropertyFiltersFailedCode},
    };
    for (const auto& c : cases) {
        CAPTURE(c.label);
        AudienceFixture f;
        f.limits.maxFilterResultCount = c.maxResults;
        seed(f);
        const auto resultsBefore = f.storedResults();
        f.execute(c.breaking);
        f.capture.clear();
        bool answered = true;
        const bool kept = f.inTransaction([&] {
            answered = c.operation(f.audience());
            return answered;
        });
        CHECK_FALSE(answered);
        CHECK_FALSE(kept);
        CHECK(f.capture.hasCode(c.code));
        if (c.breaking.starts_with("CREATE TRIGGER")) {
            CHECK(f.storedResults() == resultsBefore);
            f.onWorker([&] {
                CHECK(f.database().eventFiltersForEventName("kuvo_calculate", nullptr).value().size() == 1);
                CHECK(f.database().propertyFiltersForPropertyName("tier", nullptr).value().size() == 1);
            });
        }
    }
}

TEST_CASE("a refused update of a session-scoped result is logged") {
    // The failure is made with a trigger of the test's own.
    const test_hooks::FileTriggersRun triggersRun;

    AudienceFixture f;
    seed(f);
    // Audience 1 keeps a bit that is not session scoped, so its row is
    // rewritten rather than deleted.
    f.onWorker([&] {
        REQUIRE(f.audience().evaluateFiltersForUserProperty(
            APMUserAttribute("app", "tier", APMValue(std::string("gold")), 6), nullptr, 6));
    });
    f.execute(refuse("INSERT ON audience_filter_values"));
    f.capture.clear();
    bool answered = true;
    f.inTransaction([&] { return answered = f.audience().clearEvaluationResultsForSessionScopedFilters(); });
    CHECK_FALSE(answered);
    CHECK(f.capture.hasCode(kAPMAudienceSessionUpdateFailedCode));
}
