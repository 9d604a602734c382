// Tests of storing audience definitions and pruning results of audiences that are gone.
#include <doctest/doctest.h>

#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_test_support.h"

using namespace measurement;
using namespace measurement::audience_test;
using namespace measurement::audience_field;

namespace {

bool update(AudienceFixture& f, const std::vector<APMPBAudience>& audiences) {
    bool done = false;
    f.onWorker([&] { done = f.audience().updateAudiences(audiences); });
    return done;
}

// The stored filters as "audience:filter:name" texts, in row order.
std::vector<std::string> storedFilters(AudienceFixture& f, const std::string& eventName,
                                       const std::string& propertyName) {
    std::vector<std::string> texts;
    f.onWorker([&] {
        const auto events = f.database().eventFiltersForEventName(eventName, nullptr);
        const auto properties = f.database().propertyFiltersForPropertyName(propertyName, nullptr);
        REQUIRE(events);
        REQUIRE(properties);
        for (const auto& filter : *events) {
            texts.push_back("e" + std::to_string(filter.audienceID()) + ":" + std::to_string(filter.filterID()));
        }
        for (const auto& filter : *properties) {
            texts.push_back("p" + std::to_string(filter.audienceID()) + ":" + std::to_string(filter.filterID()));
        }
    });
    return texts;
}

APMPBAudience simple(std::int32_t audienceID, const std::string& eventName = "kuvo_calculate") {
    return audience(audienceID, {eventFilter(0, eventName)});
}

void storeResults(AudienceFixture& f, std::initializer_list<std::int32_t> audienceIDs) {
    std::vector<APMFilterResult> results;
    for (auto audienceID : audienceIDs) results.emplace_back(audienceID, NANOBytes{0x08, 0x01, 0x10, 0x01}, std::nullopt);
    f.onWorker([&] { REQUIRE(f.database().updateFilterResults(results, nullptr)); });
}

std::vector<std::int32_t> resultIDs(AudienceFixture& f) {
    std::vector<std::int32_t> ids;
    for (const auto& [audienceID, result] : f.storedResults()) ids.push_back(audienceID);
    return ids;
}

}  // namespace

TEST_CASE("new definitions replace the stored ones") {
    AudienceFixture f;
    REQUIRE(update(f, {simple(1), simple(2)}));
    CHECK(storedFilters(f, "kuvo_calculate", "tier") == std::vector<std::string>{"e1:0", "e2:0"});

    SUBCASE("an invalid or repeated audience is skipped, the others are saved") {
        APMMonitorCapture capture;
        CHECK(update(f, {simple(5), audience(-3, {eventFilter(0, "kuvo_calculate")}), simple(5, "other"),
                         audience(6, {}, {propertyFilter(1, "tier", valueFilter(stringFilter(5, "gold")))})}));
        CHECK(capture.count(kAPMAudienceInvalidDefinitionCode) == 2);
        CHECK(storedFilters(f, "kuvo_calculate", "tier") == std::vector<std::string>{"e5:0", "p6:1"});
        CHECK(storedFilters(f, "other", "x").empty());
    }
    SUBCASE("more audiences than the maximum change nothing and succeed") {
        std::vector<APMPBAudience> many;
        for (int i = 0; i < 101; ++i) many.push_back(simple(100 + i));
        APMMonitorCapture capture;
        CHECK(update(f, many));
        CHECK(capture.hasCode(kAPMAudienceTooManyAudiencesCode));
        CHECK(storedFilters(f, "kuvo_calculate", "tier") == std::vector<std::string>{"e1:0", "e2:0"});
        many.pop_back();
        CHECK(update(f, many));
        CHECK(storedFilters(f, "kuvo_calculate", "tier").size() == 100);
    }
    SUBCASE("no audiences remove every definition and keep the results") {
        storeResults(f, {1});
        CHECK(update(f, {}));
        CHECK(storedFilters(f, "kuvo_calculate", "tier").empty());
        CHECK(resultIDs(f) == std::vector<std::int32_t>{1});
    }
    SUBCASE("public names are saved as the internal ones") {
        const auto engagement = valueFilter(numberFilter(2, "0"), false, std::string("engagement_time_msec"));
        const auto custom = valueFilter(numberFilter(2, "0"), false, std::string("value"));
        CHECK(update(f, {audience(8, {eventFilter(0, "ad_click", {engagement, custom})},
                                  {propertyFilter(1, "first_open_time", valueFilter(numberFilter(2, "0")))})}));
        CHECK(storedFilters(f, "_ac", "_fot") == std::vector<std::string>{"e8:0", "p8:1"});
        f.onWorker([&] {
            const auto saved = f.database().eventFiltersForEventName("_ac", nullptr).value().front();
            const auto definition = APMPBEventFilter::initWithBuffer(saved.data());
            REQUIRE(definition);
            CHECK(NANOGetString(*definition, kEventFilterEventName) == "_ac");
            const auto parameters = NANOGetArray<APMPBFilter>(*definition, kEventFilterParameterFilters);
            REQUIRE(parameters.size() == 2);
            CHECK(NANOGetString(parameters[0], kFilterParameterName) == "_et");
            CHECK(NANOGetString(parameters[1], kFilterParameterName) == "value");
            const auto property = f.database().propertyFiltersForPropertyName("_fot", nullptr).value().front();
            CHECK(NANOGetString(*APMPBPropertyFilter::initWithBuffer(property.data()), kPropertyFilterName) == "_fot");
        });
    }
    SUBCASE("a result row outlives its definition; a reused ID inherits its bits") {
        REQUIRE(update(f, {audience(1, {eventFilter(0, "kuvo_calculate")})}));
        f.onWorker([&] {
            REQUIRE(f.audience().evaluateFiltersForEventName("kuvo_calculate", {},
                                                             APMEventAggregates("kuvo_calculate", 1, 1, 1, 10), 10,
                                                             nullptr));
        });
        REQUIRE(update(f, {audience(1, {eventFilter(0, "kuvo_got_error")})}));
        CHECK(APMAudience::isFilterResult(f.storedResults().at(1), 0));
    }
}

TEST_CASE("pruning the results of audiences that are gone") {
    AudienceFixture f;
    f.limits.maxFilterResultCount = 2;
    REQUIRE(update(f, {simple(1), simple(2)}));
    SUBCASE("at the maximum nothing is pruned") {
        storeResults(f, {1, 9});
        CHECK(update(f, {simple(3)}));
        CHECK(resultIDs(f) == std::vector<std::int32_t>{1, 9});
    }
    SUBCASE("above it, results neither stored nor about to be are deleted") {
        storeResults(f, {1, 2, 3, 9});
        APMMonitorCapture capture;
        CHECK(update(f, {simple(3)}));
        CHECK(capture.hasCode(kAPMAudienceTooManyResultsCode));
        // 1 and 2 were still defined when pruning looked, 3 is being saved.
        CHECK(resultIDs(f) == std::vector<std::int32_t>{1, 2, 3});
        CHECK(storedFilters(f, "kuvo_calculate", "tier") == std::vector<std::string>{"e3:0"});
    }
    SUBCASE("above it with nothing stale, the new definitions are still saved") {
        storeResults(f, {1, 2, 3});
        CHECK(update(f, {simple(3), simple(4)}));
        CHECK(resultIDs(f) == std::vector<std::int32_t>{1, 2, 3});
        CHECK(storedFilters(f, "kuvo_calculate", "tier") == std::vector<std::string>{"e3:0", "e4:0"});
    }
}
