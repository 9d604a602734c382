// Tests of the audience tables.
#include <doctest/doctest.h>

#include <algorithm>

#include "measurement/store/database_test_support.h"

using namespace measurement;
using namespace measurement::testing;
using platform::Value;

namespace {

// An encoded event filter with the given flags set in its own tags.
NANOBytes eventFilterData(std::int32_t filterID, const std::string& name, bool sessionScoped, bool dynamic,
                          bool sequence) {
    APMPBEventFilter filter;
    NANOSetInt32(filter, 0, filterID);
    NANOSetString(filter, 1, name);
    if (dynamic) NANOSetBool(filter, 5, true);     // tag 6
    if (sequence) NANOSetBool(filter, 6, true);    // tag 7
    if (sessionScoped) NANOSetBool(filter, 7, true);  // tag 8
    return filter.protoBuffer();
}

NANOBytes propertyFilterData(std::int32_t filterID, const std::string& name, bool sessionScoped, bool dynamic,
                             bool sequence) {
    APMPBPropertyFilter filter;
    NANOSetInt32(filter, 0, filterID);
    NANOSetString(filter, 1, name);
    if (dynamic) NANOSetBool(filter, 3, true);        // tag 4
    if (sequence) NANOSetBool(filter, 4, true);       // tag 5
    if (sessionScoped) NANOSetBool(filter, 5, true);  // tag 6
    return filter.protoBuffer();
}

APMEventFilter eventFilter(std::int32_t audience, std::int32_t filter, const std::string& name, bool sessionScoped,
                           bool dynamic = false, bool sequence = false) {
    return APMEventFilter(audience, filter, name, eventFilterData(filter, name, sessionScoped, dynamic, sequence),
                          sessionScoped, dynamic, sequence);
}

APMPropertyFilter propertyFilter(std::int32_t audience, std::int32_t filter, const std::string& name,
                                 bool sessionScoped, bool dynamic = false, bool sequence = false) {
    return APMPropertyFilter(audience, filter, name,
                             propertyFilterData(filter, name, sessionScoped, dynamic, sequence), sessionScoped,
                             dynamic, sequence);
}

NANOBytes resultData(std::uint64_t status, std::uint64_t result) {
    APMPBResultData data;
    NANOSetArray(data, 0, std::vector<std::uint64_t>{status});
    NANOSetArray(data, 1, std::vector<std::uint64_t>{result});
    return data.protoBuffer();
}

}  // namespace

TEST_CASE("audience filters are stored with their flags read from their definitions") {
    DatabaseFixture fx;
    auto& db = fx.database();
    std::optional<APMError> error;

    SUBCASE("event filters by event name") {
        const auto dynamic = eventFilter(1, 0, "_e", false, true, false);
        const auto sequence = eventFilter(1, 1, "_e", true, false, true);
        const auto other = eventFilter(2, 0, "purchase", false);
        fx.onWorker([&] {
            REQUIRE(db.updateEventFilters({dynamic, sequence, other}, &error));
            CHECK(db.eventFiltersForEventName("_e", &error) == std::vector<APMEventFilter>{dynamic, sequence});
            CHECK(db.eventFiltersForEventName("none", &error)->empty());
            CHECK_FALSE(db.eventFiltersForEventName("", &error));
            CHECK(error->localizedDescription() == "Received empty event name for getting event filters");
        });
    }
    SUBCASE("property filters take their flags from their own tags") {
        const auto scoped = propertyFilter(3, 4, "_fot", true, false, false);
        const auto dynamic = propertyFilter(3, 5, "_fot", false, true, true);
        fx.onWorker([&] {
            REQUIRE(db.updatePropertyFilters({scoped, dynamic}, &error));
            CHECK(db.propertyFiltersForPropertyName("_fot", &error) ==
                  std::vector<APMPropertyFilter>{scoped, dynamic});
            CHECK_FALSE(db.propertyFiltersForPropertyName("", &error));
            CHECK(error->localizedDescription() == "Received empty property name for getting property filters");
        });
    }
    SUBCASE("flags of a record say nothing; those of its definition count") {
        fx.onWorker([&] {
            // Record flags that disagree with the data, and data that does not decode.
            const APMEventFilter misleading(1, 0, "a", eventFilterData(0, "a", false, false, false), true, true, true);
            const APMEventFilter garbage(1, 1, "a", NANOBytes{0xff, 0xff}, true, true, true);
            REQUIRE(db.updateEventFilters({misleading, garbage}, &error));
            auto read = db.eventFiltersForEventName("a", &error);
            REQUIRE(read->size() == 2);
            for (const auto& filter : *read) {
                CHECK_FALSE(filter.isSessionScoped());
                CHECK_FALSE(filter.isDynamic());
                CHECK_FALSE(filter.isSequence());
            }
        });
    }
    SUBCASE("a filter of the same audience and ID replaces the stored one") {
        fx.onWorker([&] {
            REQUIRE(db.updateEventFilters({eventFilter(1, 0, "a", false)}, &error));
            REQUIRE(db.updateEventFilters({eventFilter(1, 0, "b", true)}, &error));
            CHECK(db.eventFiltersForEventName("a", &error)->empty());
            CHECK(db.eventFiltersForEventName("b", &error)->size() == 1);
        });
    }
    SUBCASE("audience IDs, session-scoped filters and deleting all") {
        fx.onWorker([&] {
            REQUIRE(db.updateEventFilters({eventFilter(1, 0, "a", true), eventFilter(1, 1, "b", false),
                                           eventFilter(2, 0, "a", false)},
                                          &error));
            REQUIRE(db.updatePropertyFilters({propertyFilter(1, 2, "p", true), propertyFilter(7, 0, "p", true)},
                                             &error));
            auto ids = *db.allAudienceIDs(&error);
            std::sort(ids.begin(), ids.end());
            CHECK(ids == std::vector<std::int32_t>{1, 2, 7});
            auto scoped = *db.allSessionScopedFilters(&error);
            for (auto& [audience, filters] : scoped) std::sort(filters.begin(), filters.end());
            CHECK(scoped == std::map<std::int32_t, std::vector<std::int32_t>>{{1, {0, 2}}, {7, {0}}});

            CHECK(db.deleteAllEventFilters(&error));
            CHECK(*db.allAudienceIDs(&error) == std::vector<std::int32_t>{1, 7});
            CHECK(db.deleteAllPropertyFilters(&error));
            CHECK(db.allAudienceIDs(&error)->empty());
        });
    }
    SUBCASE("empty lists are refused") {
        fx.onWorker([&] {
            CHECK_FALSE(db.updateEventFilters({}, &error));
            CHECK(error->localizedDescription() == "Received empty event filters to update");
            CHECK_FALSE(db.updatePropertyFilters({}, &error));
            CHECK(error->localizedDescription() == "Received empty property filters to update");
        });
    }
}

TEST_CASE("audience filter results") {
    DatabaseFixture fx;
    auto& db = fx.database();
    std::optional<APMError> error;
    const APMFilterResult first(1, resultData(0b11, 0b01), std::nullopt);
    const APMFilterResult second(2, resultData(0b1, 0b1), resultData(0b1, 0b0));

    SUBCASE("one row per audience, replaced by the next write") {
        fx.onWorker([&] {
            REQUIRE(db.updateFilterResults({first, second}, &error));
            CHECK(db.filterResultForAudienceID(1, &error) == first);
            CHECK(db.filterResultForAudienceID(2, &error) == second);
            CHECK_FALSE(db.filterResultForAudienceID(3, &error));
            CHECK_FALSE(error);
            const APMFilterResult updated(1, resultData(0b111, 0b111), resultData(0b11, 0b01));
            REQUIRE(db.updateFilterResults({updated}, &error));
            CHECK(*db.allFilterResults(&error) ==
                  std::map<std::int32_t, APMFilterResult>{{1, updated}, {2, second}});
        });
    }
    SUBCASE("an empty previous result is stored as NULL") {
        fx.onWorker([&] {
            REQUIRE(db.updateFilterResults({APMFilterResult(4, resultData(1, 1), NANOBytes{})}, &error));
            CHECK(db.filterResultForAudienceID(4, &error)->previousResults() == std::nullopt);
        });
        auto rows = tableRows(fx.path(), "audience_filter_values");
        REQUIRE(rows.size() == 1);
        CHECK_FALSE(rows[0].count("previous_results"));
    }
    SUBCASE("a result with empty current data is refused and nothing is written") {
        fx.onWorker([&] {
            CHECK_FALSE(db.updateFilterResults({first, APMFilterResult(5, NANOBytes{}, std::nullopt)}, &error));
            CHECK(error->code() == 3);
            CHECK(error->localizedDescription() ==
                  "Received filter result with empty data for getting dictionary representation");
            CHECK(db.allFilterResults(nullptr)->empty());
            CHECK_FALSE(db.updateFilterResults({}, &error));
            CHECK(error->localizedDescription() == "Received empty filter results to update");
        });
    }
    SUBCASE("results are deleted by their audience IDs") {
        fx.onWorker([&] {
            REQUIRE(db.updateFilterResults({first, second}, &error));
            CHECK(db.deleteFilterResults({APMFilterResult(2, {}, std::nullopt)}, &error));
            CHECK(*db.allFilterResults(&error) == std::map<std::int32_t, APMFilterResult>{{1, first}});
            CHECK_FALSE(db.deleteFilterResults({}, &error));
            CHECK(error->localizedDescription() == "Received empty filter results to delete");
        });
    }
    SUBCASE("a results column that is not bytes reads as none") {
        fx.onWorker([&] { REQUIRE(db.updateFilterResults({second}, &error)); });
        {
            auto store = APMSqliteStore::makeWithDatabasePath(fx.path().string(), nullptr);
            REQUIRE(store->executeStatement("UPDATE audience_filter_values SET previous_results = 'text'", {}, nullptr));
        }
        fx.onWorker([&] { CHECK(db.filterResultForAudienceID(2, &error)->previousResults() == std::nullopt); });
    }
}
