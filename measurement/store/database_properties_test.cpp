// Tests of user properties, conditional properties and purchases.
#include <doctest/doctest.h>

#include "measurement/store/database_test_support.h"

using namespace measurement;
using namespace measurement::testing;
using platform::Value;

namespace {

APMConditionalUserProperty makeProperty(const std::string& name, double created, const std::string& trigger = "",
                                        double timeout = 60, double timeToLive = 3600) {
    APMConditionalUserProperty property;
    property.setName(name);
    property.setOrigin("fiam");
    property.setValue(APMValue("on"));
    property.setCreationTimestamp(created);
    property.setTriggerEventName(trigger);
    property.setTriggerTimeout(timeout);
    property.setTimeToLive(timeToLive);
    return property;
}

std::vector<std::string> namesOf(const std::optional<std::vector<APMConditionalUserProperty>>& properties) {
    REQUIRE(properties);
    std::vector<std::string> names;
    for (const auto& property : *properties) names.push_back(property.name());
    return names;
}

}  // namespace

TEST_CASE("user properties") {
    DatabaseFixture fx;
    auto& db = fx.database();
    std::optional<APMError> error;
    fx.onWorker([&] {
        const APMUserAttribute text("app", "favourite", APMValue("tea"), 1700000000.5);
        const APMUserAttribute number("auto", "_lte", APMValue(std::int64_t{123456789012}), 1700000001);
        const APMUserAttribute real("app", "ratio", APMValue(0.125), 1700000002);
        for (const auto* attribute : {&text, &number, &real}) REQUIRE(db.updateUserAttribute(*attribute, &error));

        CHECK(db.userAttributeWithName("favourite", &error) == text);
        CHECK(db.userAttributeWithName("_lte", &error) == number);
        CHECK(db.userAttributeWithName("ratio", &error) == real);
        CHECK(db.userAttributeWithName("ratio", &error)->value().isDouble());
        CHECK_FALSE(db.userAttributeWithName("absent", &error));
        CHECK_FALSE(error);
        CHECK(db.containsUserAttributeWithName("_lte", &error));
        CHECK_FALSE(db.containsUserAttributeWithName("absent", &error));

        const APMUserAttribute replaced("auto", "_lte", APMValue(std::int64_t{5}), 1700000009);
        REQUIRE(db.updateUserAttribute(replaced, &error));
        CHECK(db.userAttributeWithName("_lte", &error) == replaced);
        auto all = db.allUserAttributes(&error);
        REQUIRE(all);
        CHECK(*all == std::vector<APMUserAttribute>{replaced, text, real});

        CHECK(db.deleteUserAttributeWithName("favourite", &error));
        CHECK_FALSE(db.containsUserAttributeWithName("favourite", &error));

        const APMUserAttribute list("app", "list", APMValue(std::vector<APMParameters>{}), 1);
        CHECK_FALSE(db.updateUserAttribute(list, &error));
        CHECK(error->code() == 1);
    });
}

TEST_CASE("conditional user properties") {
    DatabaseFixture fx;
    auto& db = fx.database();
    std::optional<APMError> error;
    const double now = fx.time.now();

    SUBCASE("a record comes back with its events") {
        auto property = makeProperty("_ab_test", now - 5, "purchase", 120, 7200);
        property.setValue(APMValue(std::int64_t{3}));
        property.setActive(true);
        property.setTriggeredTimestamp(now - 2);
        property.setTriggeredEvent(APMEvent("fiam", false, "_cupt", 0, 0, APMParameters{{"x", APMValue("y")}}));
        property.setExpiredEvent(APMEvent("fiam", false, "_cupe", 0, 0, APMParameters{}));
        fx.onWorker([&] {
            REQUIRE(db.updateConditionalUserProperty(property, &error));
            auto read = db.conditionalUserPropertyWithName("_ab_test", &error);
            REQUIRE(read);
            CHECK(read->name() == "_ab_test");
            CHECK(read->origin() == "fiam");
            CHECK(read->value() == APMValue(std::int64_t{3}));
            CHECK(read->isActive());
            CHECK(read->creationTimestamp() == now - 5);
            CHECK(read->triggeredTimestamp() == now - 2);
            CHECK(read->triggerTimeout() == 120);
            CHECK(read->timeToLive() == 7200);
            CHECK(read->triggerEventName() == "purchase");
            REQUIRE(read->triggeredEvent());
            CHECK(read->triggeredEvent()->name() == "_cupt");
            CHECK(read->triggeredEvent()->origin() == "fiam");
            CHECK(read->triggeredEvent()->parameters() == property.triggeredEvent()->parameters());
            CHECK_FALSE(read->timedOutEvent());
            REQUIRE(read->expiredEvent());
            CHECK(read->expiredEvent()->name() == "_cupe");
            CHECK(db.deleteConditionalUserPropertyWithName("_ab_test", &error));
            CHECK_FALSE(db.conditionalUserPropertyWithName("_ab_test", &error));
            CHECK_FALSE(error);
        });
    }
    SUBCASE("a record without name, origin or value is refused") {
        fx.onWorker([&] {
            auto property = makeProperty("p", now);
            property.setValue(std::nullopt);
            CHECK_FALSE(db.updateConditionalUserProperty(property, &error));
            CHECK(error->code() == 1);
            property = makeProperty("p", now);
            property.setOrigin("");
            CHECK_FALSE(db.updateConditionalUserProperty(property, nullptr));
            CHECK_FALSE(db.updateConditionalUserProperty(makeProperty("", now), nullptr));
        });
        CHECK(tableRows(fx.path(), "conditional_properties").empty());
    }
    SUBCASE("time-outs, expiries and triggers against the clock") {
        fx.onWorker([&] {
            REQUIRE(db.updateConditionalUserProperty(makeProperty("waiting", now - 60, "open", 60), nullptr));
            REQUIRE(db.updateConditionalUserProperty(makeProperty("late", now - 61, "open", 60), nullptr));
            REQUIRE(db.updateConditionalUserProperty(makeProperty("other", now - 10, "close", 60), nullptr));
            auto active = makeProperty("active", now - 500, "", 60, 100);
            active.setActive(true);
            active.setTriggeredTimestamp(now - 100);
            REQUIRE(db.updateConditionalUserProperty(active, nullptr));
            auto expired = makeProperty("expired", now - 500, "", 60, 100);
            expired.setActive(true);
            expired.setTriggeredTimestamp(now - 101);
            REQUIRE(db.updateConditionalUserProperty(expired, nullptr));

            // Exactly at the timeout a trigger still counts; a moment later it has timed out.
            CHECK(namesOf(db.triggeredConditionalUserPropertiesWithEventName("open", &error)) ==
                  std::vector<std::string>{"waiting"});
            CHECK(namesOf(db.timedOutConditionalUserPropertiesWithError(&error)) == std::vector<std::string>{"late"});
            CHECK(namesOf(db.expiredConditionalUserPropertiesWithError(&error)) ==
                  std::vector<std::string>{"expired"});
            CHECK_FALSE(db.triggeredConditionalUserPropertiesWithEventName("", &error));
            CHECK(error->localizedDescription() ==
                  "Received nil/empty event name for querying triggered conditional user properties");
        });
        fx.time.advance(1);
        fx.onWorker([&] {
            CHECK(namesOf(db.triggeredConditionalUserPropertiesWithEventName("open", &error)).empty());
            CHECK(namesOf(db.timedOutConditionalUserPropertiesWithError(&error)) ==
                  std::vector<std::string>{"waiting", "late"});
            CHECK(namesOf(db.expiredConditionalUserPropertiesWithError(&error)) ==
                  std::vector<std::string>{"active", "expired"});
        });
    }
    SUBCASE("prefix queries compare the prefix exactly") {
        fx.onWorker([&] {
            for (const char* name : {"_abc", "xabc", "_a%", "_aX", "%x", "_Abc"}) {
                REQUIRE(db.updateConditionalUserProperty(makeProperty(name, now), nullptr));
            }
            auto other = makeProperty("_az", now);
            other.setOrigin("app");
            REQUIRE(db.updateConditionalUserProperty(other, nullptr));

            CHECK(namesOf(db.conditionalUserPropertiesWithPrefix("_a", std::nullopt, &error)) ==
                  std::vector<std::string>{"_abc", "_a%", "_aX", "_az"});
            CHECK(namesOf(db.conditionalUserPropertiesWithPrefix("_a%", std::nullopt, &error)) ==
                  std::vector<std::string>{"_a%"});
            CHECK(namesOf(db.conditionalUserPropertiesWithPrefix("%", std::nullopt, &error)) ==
                  std::vector<std::string>{"%x"});
            CHECK(namesOf(db.conditionalUserPropertiesWithPrefix("_A", std::nullopt, &error)) ==
                  std::vector<std::string>{"_Abc"});
            CHECK(namesOf(db.conditionalUserPropertiesWithPrefix("_", std::nullopt, &error)).size() == 5);
            CHECK(namesOf(db.conditionalUserPropertiesWithPrefix("_a", std::string("app"), &error)) ==
                  std::vector<std::string>{"_az"});
            CHECK(namesOf(db.conditionalUserPropertiesWithPrefix(std::nullopt, std::nullopt, &error)).size() == 7);
            CHECK(namesOf(db.conditionalUserPropertiesWithPrefix(std::nullopt, std::string("app"), &error)) ==
                  std::vector<std::string>{"_az"});
        });
    }
}

TEST_CASE("purchase fingerprints keep the newest 1000 for the duplicate check") {
    DatabaseFixture fx;
    auto& db = fx.database();
    std::optional<APMError> error;
    auto fingerprint = [](int i) { return "fp" + std::to_string(i); };
    fx.onWorker([&] {
        CHECK(db.insertIfNotDuplicatePurchaseFingerprint(fingerprint(0), &error) == true);
        CHECK(db.insertIfNotDuplicatePurchaseFingerprint(fingerprint(0), &error) == false);
        CHECK_FALSE(db.insertIfNotDuplicatePurchaseFingerprint("", &error));
        CHECK(error->code() == 1);
        REQUIRE(db.performTransaction([&] {
            for (int i = 1; i < 1000; ++i) {
                if (db.insertIfNotDuplicatePurchaseFingerprint(fingerprint(i), nullptr) != true) return false;
            }
            return true;
        }));
        // 1000 stored: the oldest is still known.
        CHECK(db.insertIfNotDuplicatePurchaseFingerprint(fingerprint(0), &error) == false);
        CHECK(db.insertIfNotDuplicatePurchaseFingerprint(fingerprint(1000), &error) == true);
        // The 1001st pushed the oldest out; the next oldest is still known.
        CHECK(db.insertIfNotDuplicatePurchaseFingerprint(fingerprint(1), &error) == false);
        CHECK(db.insertIfNotDuplicatePurchaseFingerprint(fingerprint(0), &error) == true);
        CHECK(db.insertIfNotDuplicatePurchaseFingerprint(fingerprint(1), &error) == true);
    });
    auto rows = tableRows(fx.path(), "purchase_transactions");
    CHECK(rows.size() == 1000);
    CHECK(rows.front().at("fingerprint") == Value(fingerprint(3)));
    CHECK(rows.back().at("fingerprint") == Value(fingerprint(1)));
}
