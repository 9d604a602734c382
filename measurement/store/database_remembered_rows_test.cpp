// Tests that what the database remembers of its rows between writes always
// answers as a fresh read of the file would.
#include <doctest/doctest.h>

#include <algorithm>

#include "measurement/store/database_test_support.h"

using namespace measurement;
using namespace measurement::testing;

namespace {

struct TableTruth {
    bool empty = true;
    double latest = 0;
    bool realtime = false;
    bool operator==(const TableTruth&) const = default;
};

// The facts read from the file through a connection of its own.
TableTruth truthOf(const std::filesystem::path& path, const std::string& table, const std::string& timeColumn) {
    TableTruth truth;
    for (const auto& row : tableRows(path, table)) {
        const double time = row.at(timeColumn).realValue();
        truth.latest = truth.empty ? time : std::max(truth.latest, time);
        truth.empty = false;
        truth.realtime = truth.realtime || row.at("is_realtime").intValue() != 0;
    }
    return truth;
}

TableTruth rawEventAnswers(APMDatabase& db) {
    return {db.isRawEventsTableEmpty(nullptr).value(), db.queryLatestRawEventTime(nullptr).value(),
            db.containsRealtimeRawEventsWithError(nullptr).value()};
}

TableTruth bundleAnswers(APMDatabase& db) {
    return {db.isQueuedBundleTableEmpty(nullptr).value(), db.queryLatestBundleTime(nullptr).value(),
            db.containsRealtimeBundlesWithError(nullptr).value()};
}

APMEvent eventAt(double timestamp, bool realtime) {
    APMEvent event("app", true, "tap", timestamp, 0, APMParameters{});
    event.setRealtime(realtime);
    return event;
}

}  // namespace

TEST_CASE("the upload schedule's answers follow every write, rollback and delete") {
    DatabaseFixture fx;
    auto& db = fx.database();
    std::int64_t firstRow = 0;
    std::int64_t secondRow = 0;
    std::int64_t firstBundle = 0;
    // Times in seconds after a moment a little before the clock's now.
    constexpr double kBase = 1700000000.0 - 5000;
    auto insert = [&](double time, bool realtime) {
        return db.insertRawEvent(eventAt(kBase + time, realtime), 1, nullptr);
    };
    auto bundleEnding = [&](double time) {
        return makeBundle("velmora-bernoulli-ios", static_cast<std::int64_t>((kBase + time) * 1000));
    };
    const std::vector<std::pair<const char*, std::function<void()>>> steps = {
        {"nothing stored", [] {}},
        {"a first event", [&] { firstRow = insert(100, false).value(); }},
        {"an older real-time event", [&] { secondRow = insert(50, true).value(); }},
        {"a newer event rolled back",
         [&] { CHECK_FALSE(db.performTransaction([&] { return insert(900, true).has_value() && false; })); }},
        {"a newer event committed", [&] { CHECK(db.performTransaction([&] { return insert(300, false).has_value(); })); }},
        {"grouped events, one undone",
         [&] {
             REQUIRE(db.openWriteGroup(nullptr, nullptr));
             CHECK_FALSE(db.performGroupedTransaction([&] { return insert(1000, false).has_value() && false; }, nullptr));
             CHECK(db.performGroupedTransaction([&] { return insert(350, false).has_value(); }, nullptr));
             CHECK(db.closeWriteGroup());
         }},
        {"the oldest rows bundled away", [&] { CHECK(db.deleteRawEventsWithMaxRowID(secondRow, nullptr)); }},
        {"a real-time bundle", [&] { CHECK(db.insertBundle(bundleEnding(500), true, nullptr)); }},
        {"a later bundle",
         [&] {
             firstBundle = db.queryBundlesWithCountLimit(1, 1 << 20, nullptr).value().front().rowID;
             CHECK(db.insertBundle(bundleEnding(900), false, nullptr));
         }},
        {"the real-time bundle sent", [&] { CHECK(db.deleteBundlesWithRowIDs({firstBundle}, nullptr)); }},
        {"every raw event bundled away", [&] { CHECK(db.deleteRawEventsWithMaxRowID(1 << 30, nullptr)); }},
        {"an event into the emptied table", [&] { insert(20, false); }},
    };
    for (const auto& row : steps) {
        const char* name = row.first;
        const auto& step = row.second;
        CAPTURE(name);
        fx.onWorker(step);
        fx.onWorker([&] {
            CHECK(rawEventAnswers(db) == truthOf(fx.path(), "raw_events", "timestamp"));
            CHECK(bundleAnswers(db) == truthOf(fx.path(), "queue", "bundle_end_timestamp"));
        });
    }
    CHECK(firstRow > 0);
}

TEST_CASE("a session property deleted once is deleted again after it comes back") {
    DatabaseFixture fx;
    auto& db = fx.database();
    const APMUserAttribute sessionID("auto", "_sid", APMValue(std::int64_t{1700000000}), 1700000000);
    auto stored = [&] { return db.containsUserAttributeWithName("_sid", nullptr); };
    // Each: what is done, then whether "_sid" is stored.
    const std::vector<std::tuple<const char*, std::function<void()>, bool>> steps = {
        {"set", [&] { CHECK(db.updateUserAttribute(sessionID, nullptr)); }, true},
        {"deleted", [&] { CHECK(db.deleteUserAttributeWithName("_sid", nullptr)); }, false},
        {"deleted again while absent", [&] { CHECK(db.deleteUserAttributeWithName("_sid", nullptr)); }, false},
        {"set again", [&] { CHECK(db.updateUserAttribute(sessionID, nullptr)); }, true},
        {"deleted after coming back", [&] { CHECK(db.deleteUserAttributeWithName("_sid", nullptr)); }, false},
        {"set in a transaction", [&] {
             CHECK(db.performTransaction([&] { return db.updateUserAttribute(sessionID, nullptr); }));
         }, true},
        {"deleted in a transaction rolled back", [&] {
             CHECK_FALSE(db.performTransaction([&] { return db.deleteUserAttributeWithName("_sid", nullptr) && false; }));
         }, true},
        {"deleted after the rollback", [&] { CHECK(db.deleteUserAttributeWithName("_sid", nullptr)); }, false},
    };
    for (const auto& row : steps) {
        const char* name = std::get<0>(row);
        const auto& step = std::get<1>(row);
        const auto& expected = std::get<2>(row);
        CAPTURE(name);
        fx.onWorker([&] {
            step();
            CHECK(stored() == expected);
        });
        CHECK(!tableRows(fx.path(), "user_attributes").empty() == expected);
    }
}

TEST_CASE("conditional property look-ups answer as the file after every write and rollback") {
    DatabaseFixture fx;
    auto& db = fx.database();
    APMConditionalUserProperty waiting;
    waiting.setName("plan");
    waiting.setOrigin("app");
    waiting.setValue(APMValue("gold"));
    waiting.setCreationTimestamp(1700000000.0 - 10);
    waiting.setTriggerEventName("tap");
    waiting.setTriggerTimeout(3600);
    waiting.setTimeToLive(3600);
    auto names = [](const std::optional<std::vector<APMConditionalUserProperty>>& found) {
        REQUIRE(found);
        std::vector<std::string> out;
        for (const auto& property : *found) out.push_back(property.name());
        return out;
    };
    using Names = std::vector<std::string>;
    // Each: what is done, then the names stored.
    const std::vector<std::tuple<const char*, std::function<void()>, Names>> steps = {
        {"none stored", [] {}, {}},
        {"one stored", [&] { CHECK(db.updateConditionalUserProperty(waiting, nullptr)); }, {"plan"}},
        {"deleted", [&] { CHECK(db.deleteConditionalUserPropertyWithName("plan", nullptr)); }, {}},
        {"stored in a transaction rolled back", [&] {
             CHECK_FALSE(db.performTransaction([&] { return db.updateConditionalUserProperty(waiting, nullptr) && false; }));
         }, {}},
        {"stored in a transaction committed", [&] {
             CHECK(db.performTransaction([&] { return db.updateConditionalUserProperty(waiting, nullptr); }));
         }, {"plan"}},
        {"deleted in a transaction rolled back", [&] {
             CHECK_FALSE(db.performTransaction(
                 [&] { return db.deleteConditionalUserPropertyWithName("plan", nullptr) && false; }));
         }, {"plan"}},
    };
    for (const auto& row : steps) {
        const char* name = std::get<0>(row);
        const auto& step = std::get<1>(row);
        const auto& expected = std::get<2>(row);
        CAPTURE(name);
        fx.onWorker([&] {
            step();
            CHECK(names(db.conditionalUserPropertiesWithPrefix(std::nullopt, std::nullopt, nullptr)) == expected);
            CHECK(names(db.triggeredConditionalUserPropertiesWithEventName("tap", nullptr)) == expected);
            CHECK(names(db.timedOutConditionalUserPropertiesWithError(nullptr)).empty());
        });
        CHECK(tableRows(fx.path(), "conditional_properties").size() == expected.size());
    }
}

TEST_CASE("the user properties' version moves with every change of them, and only then") {
    DatabaseFixture fx;
    auto& db = fx.database();
    const APMUserAttribute plan("app", "plan", APMValue("gold"), 1700000000);
    // Each: what is done, then whether the version must have moved.
    const std::vector<std::tuple<const char*, std::function<void()>, bool>> steps = {
        {"read", [&] { CHECK(db.allUserAttributes(nullptr)); }, false},
        {"set", [&] { CHECK(db.updateUserAttribute(plan, nullptr)); }, true},
        {"an event stored", [&] { CHECK(db.insertRawEvent(eventAt(1700000000, false), 1, nullptr)); }, false},
        {"deleted", [&] { CHECK(db.deleteUserAttributeWithName("plan", nullptr)); }, true},
        {"deleted while known absent", [&] { CHECK(db.deleteUserAttributeWithName("plan", nullptr)); }, false},
        {"set in a transaction rolled back",
         [&] { CHECK_FALSE(db.performTransaction([&] { return db.updateUserAttribute(plan, nullptr) && false; })); },
         true},
        {"another table's transaction rolled back",
         [&] {
             CHECK_FALSE(db.performTransaction(
                 [&] { return db.insertRawEvent(eventAt(1700000000, false), 1, nullptr).has_value() && false; }));
         },
         true},
    };
    std::uint64_t version = 0;
    fx.onWorker([&] { version = db.userAttributesVersion(); });
    for (const auto& row : steps) {
        const char* name = std::get<0>(row);
        const auto& step = std::get<1>(row);
        const auto& moves = std::get<2>(row);
        CAPTURE(name);
        fx.onWorker([&] {
            step();
            const auto now = db.userAttributesVersion();
            CHECK((now != version) == moves);
            version = now;
        });
    }
    fx.reopen();
    fx.onWorker([&] { CHECK(fx.database().userAttributesVersion() != version); });
}

TEST_CASE("what is remembered is read again after another process writes the file") {
    DatabaseFixture fx;
    auto& db = fx.database();
    std::unique_ptr<APMDatabase> other;
    fx.onWorker([&] { other = APMDatabase::makeWithPath(fx.path().string(), nullptr); });
    REQUIRE(other);
    const APMUserAttribute sessionID("auto", "_sid", APMValue(std::int64_t{1700000000}), 1700000000);
    const std::vector<std::pair<const char*, std::function<void()>>> steps = {
        {"ours: a first event", [&] { db.insertRawEvent(eventAt(1699990000, false), 1, nullptr); }},
        {"theirs: a newer real-time event", [&] { other->insertRawEvent(eventAt(1699995000, true), 1, nullptr); }},
        {"ours: the session property deleted while absent",
         [&] { CHECK(db.deleteUserAttributeWithName("_sid", nullptr)); }},
        {"theirs: the session property set", [&] { CHECK(other->updateUserAttribute(sessionID, nullptr)); }},
        {"ours: deleted again", [&] { CHECK(db.deleteUserAttributeWithName("_sid", nullptr)); }},
        {"theirs: every raw event bundled away", [&] { CHECK(other->deleteRawEventsWithMaxRowID(1 << 30, nullptr)); }},
    };
    for (const auto& row : steps) {
        const char* name = row.first;
        const auto& step = row.second;
        CAPTURE(name);
        fx.onWorker([&] {
            step();
            CHECK(rawEventAnswers(db) == truthOf(fx.path(), "raw_events", "timestamp"));
        });
    }
    CHECK(tableRows(fx.path(), "user_attributes").empty());
    fx.onWorker([&] { other.reset(); });
}
