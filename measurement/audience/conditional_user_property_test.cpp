// Tests of conditional user properties: the state machine, its events in order, validation, rollback and queries.
#include <doctest/doctest.h>

#include <thread>

#include "measurement/audience/conditional_user_property_controller.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/scheduler.h"
#include "platform/dispatch/timer.h"
#include "testsupport/temp_dir.h"
#include "testsupport/test_hooks.h"

using namespace measurement;

namespace {

// The engine as the controller sees it: the full write path processes the
// event first and writes what it triggers after it, as the engine does.
struct EngineStandIn : APMConditionalUserPropertyHost {
    std::shared_ptr<platform::dispatch::Queue> worker;
    APMDatabase* db = nullptr;
    bool enabled = true;
    std::weak_ptr<APMConditionalUserPropertyController> controller;
    std::vector<APMEvent> written;

    void scheduleOnWorkerQueue(const std::string&, std::function<void()> block) override { worker->async(std::move(block)); }
    bool isOnWorkerQueue() const override { return worker->isCurrent(); }
    APMDatabase* database() override { return db; }
    bool isAnalyticsEnabled() const override { return enabled; }
    void writeEventOnWorkerQueue(const APMEvent& event) override {
        const auto extra = controller.lock()->processEventOnWorkerQueue(event);
        written.push_back(event);
        if (extra) written.insert(written.end(), extra->begin(), extra->end());
    }
    void writeFilteredEventOnWorkerQueue(const APMEvent& event) override { written.push_back(event); }
};

class Fixture {
public:
    Fixture() {
        engine->worker = scheduler.workerQueue();
        onWorker([&] {
            database = APMDatabase::makeWithPath((dir.path() / "measurement.sql").string(), nullptr);
            REQUIRE(database);
        });
        engine->db = database.get();
        controller = std::make_shared<APMConditionalUserPropertyController>(engine);
        engine->controller = controller;
    }
    ~Fixture() {
        time.settle();
        onWorker([&] { database.reset(); });
    }

    void onWorker(const std::function<void()>& block) { scheduler.workerQueue()->sync(block); }
    // An event logged now through the full write path.
    void log(const std::string& name) {
        onWorker([&] { engine->writeEventOnWorkerQueue(APMEvent("app", true, name, time.now(), 0, APMParameters{})); });
    }
    void set(const APMConditionalUserProperty& property) {
        controller->setConditionalUserProperty(property, property.name());
        time.settle();
    }
    std::vector<std::string> writtenNames() const {
        std::vector<std::string> names;
        for (const auto& event : engine->written) names.push_back(event.name());
        return names;
    }
    std::optional<APMConditionalUserProperty> stored(const std::string& name) {
        std::optional<APMConditionalUserProperty> property;
        onWorker([&] { property = database->conditionalUserPropertyWithName(name, nullptr); });
        return property;
    }
    std::optional<APMUserAttribute> userProperty(const std::string& name) {
        std::optional<APMUserAttribute> attribute;
        onWorker([&] { attribute = database->userAttributeWithName(name, nullptr); });
        return attribute;
    }
    void execute(const std::string& sql) {
        auto store = APMSqliteStore::makeWithDatabasePath((dir.path() / "measurement.sql").string(), nullptr);
        REQUIRE(store);
        REQUIRE(store->executeStatement(sql, {}, nullptr).has_value());
    }

    platform::dispatch::ManualTime time;
    testsupport::TempDir dir;
    APMScheduler scheduler;
    std::unique_ptr<APMDatabase> database;
    std::shared_ptr<EngineStandIn> engine = std::make_shared<EngineStandIn>();
    std::shared_ptr<APMConditionalUserPropertyController> controller;
    APMMonitorCapture capture;
};

APMEvent supplied(const std::string& name, APMParameters parameters = {}) {
    return APMEvent("", false, name, 0, 0, std::move(parameters));
}

APMConditionalUserProperty property(const std::string& name, const std::optional<std::string>& value,
                                    const std::string& trigger, double timeout = 60, double timeToLive = 100) {
    APMConditionalUserProperty p;
    p.setName(name);
    p.setOrigin("partner");
    if (value) p.setValue(APMValue(*value));
    p.setTriggerEventName(trigger);
    p.setTriggerTimeout(timeout);
    p.setTimeToLive(timeToLive);
    p.setTriggeredEvent(supplied(name + "_on", {{"why", APMValue("trigger")}}));
    p.setTimedOutEvent(supplied(name + "_missed"));
    p.setExpiredEvent(supplied(name + "_off"));
    return p;
}

std::string refuse(const std::string& when) {
    return "CREATE TRIGGER refuse BEFORE " + when + " BEGIN SELECT RAISE(ABORT, 'injected'); END";
}

}  // namespace

TEST_CASE("a waiting property is triggered, then expires, with its events around the events that cause them") {
    Fixture f;
    const double created = f.time.now();
    f.set(property("plan", "gold", "purchase"));
    REQUIRE(f.stored("plan"));
    CHECK_FALSE(f.stored("plan")->isActive());
    CHECK(f.stored("plan")->creationTimestamp() == created);
    CHECK_FALSE(f.userProperty("plan"));

    f.time.advance(10);
    f.log("purchase");
    CHECK(f.writtenNames() == std::vector<std::string>{"purchase", "plan_on"});
    const auto& triggered = f.engine->written[1];
    CHECK(triggered.origin() == "partner");
    CHECK(triggered.timestamp() == created + 10);
    CHECK(triggered.parameter("why")->stringValue() == "trigger");
    CHECK_FALSE(triggered.isPublic());
    const auto attribute = f.userProperty("plan");
    REQUIRE(attribute);
    CHECK(attribute->value() == APMValue("gold"));
    CHECK(attribute->origin() == "partner");
    CHECK(attribute->lastSetTimestamp() == created + 10);
    CHECK(f.stored("plan")->triggeredTimestamp() == created + 10);

    SUBCASE("within its time to live it stays") {
        f.time.advance(100);
        f.log("other");
        CHECK(f.writtenNames() == std::vector<std::string>{"purchase", "plan_on", "other"});
        CHECK(f.userProperty("plan"));
    }
    SUBCASE("past its time to live the next event removes it, its expired event written first") {
        f.time.advance(100.5);
        f.log("other");
        CHECK(f.writtenNames() == std::vector<std::string>{"purchase", "plan_on", "plan_off", "other"});
        CHECK(f.engine->written[2].timestamp() == created + 110.5);
        CHECK_FALSE(f.userProperty("plan"));
        CHECK_FALSE(f.stored("plan"));
        CHECK(f.capture.hasCode(kAPMCUPExpiredCode));
    }
}

TEST_CASE("the trigger timeout: the trigger at creation + timeout still activates, a moment later it times out") {
    struct Case {
        const char* label;
        double after;
        std::vector<std::string> written;
        bool userProperty;
    };
    const std::vector<Case> cases = {
        {"at the timeout", 60, {"purchase", "plan_on"}, true},
        {"just after", 60.25, {"plan_missed", "purchase"}, false},
        {"long after, another event", 500, {"plan_missed", "purchase"}, false},
    };
    for (const auto& c : cases) {
        SUBCASE(c.label) {
            Fixture f;
            f.set(property("plan", "gold", "purchase"));
            f.time.advance(c.after);
            f.log("purchase");
            CHECK(f.writtenNames() == c.written);
            CHECK(f.userProperty("plan").has_value() == c.userProperty);
            CHECK(f.stored("plan").has_value() == c.userProperty);
        }
    }
}

TEST_CASE("without a trigger event a property is active at once, its triggered event written after the transaction") {
    Fixture f;
    const double created = f.time.now();
    f.set(property("tier", "silver", ""));
    CHECK(f.writtenNames() == std::vector<std::string>{"tier_on"});
    CHECK(f.engine->written[0].timestamp() == created);
    const auto attribute = f.userProperty("tier");
    REQUIRE(attribute);
    CHECK(attribute->lastSetTimestamp() == created);
    REQUIRE(f.stored("tier"));
    CHECK(f.stored("tier")->isActive());
    CHECK(f.stored("tier")->triggeredTimestamp() == created);
}

TEST_CASE("validation: origin, name, value, and trigger timeout and time to live from 1 ms to 180 days") {
    struct Case {
        const char* label;
        std::function<void(APMConditionalUserProperty&)> change;
        long refusal;  // 0: accepted
    };
    const std::vector<Case> cases = {
        {"timeout of half a millisecond", [](auto& p) { p.setTriggerTimeout(0.0005); }, kAPMCUPInvalidTriggerTimeoutCode},
        {"timeout of 1 ms", [](auto& p) { p.setTriggerTimeout(0.001); }, 0},
        {"timeout of 180 days", [](auto& p) { p.setTriggerTimeout(15552000); }, 0},
        {"timeout a second longer", [](auto& p) { p.setTriggerTimeout(15552001); }, kAPMCUPInvalidTriggerTimeoutCode},
        {"time to live of half a millisecond", [](auto& p) { p.setTimeToLive(0.0005); }, kAPMCUPInvalidTimeToLiveCode},
        {"time to live of 1 ms", [](auto& p) { p.setTimeToLive(0.001); }, 0},
        {"time to live of 180 days", [](auto& p) { p.setTimeToLive(15552000); }, 0},
        {"time to live a second longer", [](auto& p) { p.setTimeToLive(15552001); }, kAPMCUPInvalidTimeToLiveCode},
        {"origin not an internal name", [](auto& p) { p.setOrigin("9 lives"); }, kAPMCUPInvalidOriginCode},
        {"origin of 33 characters", [](auto& p) { p.setOrigin(std::string(33, 'o')); }, kAPMCUPInvalidOriginCode},
        {"value of 37 characters", [](auto& p) { p.setValue(APMValue(std::string(37, 'v'))); }, kAPMCUPInvalidValueCode},
        {"empty value", [](auto& p) { p.setValue(APMValue(std::string())); }, kAPMCUPInvalidValueCode},
        {"value of 36 characters", [](auto& p) { p.setValue(APMValue(std::string(36, 'v'))); }, 0},
    };
    for (const auto& c : cases) {
        SUBCASE(c.label) {
            Fixture f;
            auto p = property("plan", "gold", "purchase");
            c.change(p);
            f.set(p);
            CHECK(f.stored("plan").has_value() == (c.refusal == 0));
            if (c.refusal != 0) CHECK(f.capture.hasCode(c.refusal));
        }
    }
    SUBCASE("a name of 25 characters") {
        Fixture f;
        f.set(property(std::string(25, 'n'), "gold", "purchase"));
        CHECK(f.capture.hasCode(kAPMCUPInvalidNameCode));
    }
    SUBCASE("no record") {
        Fixture f;
        f.controller->setConditionalUserProperty(std::nullopt, "plan");
        CHECK(f.capture.hasCode(kAPMCUPSetNilCode));
    }
}

TEST_CASE("\"ad_impression\" triggers properties waiting for \"_ai\" when none waits for its own name") {
    Fixture f;
    f.set(property("viewer", "yes", "_ai"));
    f.log("ad_impression");
    CHECK(f.writtenNames() == std::vector<std::string>{"ad_impression", "viewer_on"});
    CHECK(f.stored("viewer")->isActive());
}

TEST_CASE("removal: a set without value and a clear remove the property and write their own expired event") {
    Fixture f;
    f.set(property("plan", "gold", ""));
    REQUIRE(f.userProperty("plan"));
    f.engine->written.clear();

    SUBCASE("a set without value writes the request's expired event") {
        auto removal = property("plan", std::nullopt, "");
        removal.setExpiredEvent(supplied("plan_removed"));
        f.set(removal);
        CHECK(f.writtenNames() == std::vector<std::string>{"plan_removed"});
        CHECK(f.engine->written[0].origin() == "partner");
    }
    SUBCASE("a clear writes the clear event") {
        f.controller->clearConditionalUserPropertyWithClearEvent(supplied("plan_cleared"), "plan");
        f.time.settle();
        CHECK(f.writtenNames() == std::vector<std::string>{"plan_cleared"});
    }
    CHECK_FALSE(f.stored("plan"));
    CHECK_FALSE(f.userProperty("plan"));

    f.engine->written.clear();
    f.controller->clearConditionalUserPropertyWithClearEvent(supplied("again"), "plan");
    f.time.settle();
    CHECK(f.engine->written.empty());
    CHECK(f.capture.hasCode(kAPMCUPRemoveNonexistentCode));
}

TEST_CASE("an update never arrives active, and an update of an active property writes its new value") {
    Fixture f;
    SUBCASE("a request marked active and triggered waits for its trigger all the same") {
        auto p = property("plan", "gold", "purchase");
        p.setActive(true);
        p.setTriggeredTimestamp(5);
        f.set(p);
        REQUIRE(f.stored("plan"));
        CHECK_FALSE(f.stored("plan")->isActive());
        CHECK(f.stored("plan")->triggeredTimestamp() == 0);
        CHECK_FALSE(f.userProperty("plan"));
    }
    SUBCASE("an update keeps trigger settings and activation time, and writes the value") {
        f.set(property("plan", "gold", "purchase"));
        f.log("purchase");
        const double triggeredAt = f.time.now();
        f.time.advance(30);
        auto update = property("plan", "platinum", "other_trigger", 5, 1000);
        update.setOrigin("someone_else");
        f.set(update);
        const auto stored = f.stored("plan");
        REQUIRE(stored);
        CHECK(stored->isActive());
        CHECK(stored->triggeredTimestamp() == triggeredAt);
        CHECK(stored->triggerEventName() == "purchase");
        CHECK(stored->origin() == "partner");
        CHECK(stored->timeToLive() == 1000);
        CHECK(stored->value() == APMValue("platinum"));
        CHECK(f.userProperty("plan")->value() == APMValue("platinum"));
        CHECK(f.capture.hasCode(kAPMCUPDifferentOriginCode));
        CHECK(f.writtenNames() == std::vector<std::string>{"purchase", "plan_on"});
    }
}

TEST_CASE("an injected database failure rolls a whole step back and writes none of its events") {
    // The failures are made by dropping or renaming a table behind the
    // database's back, not examined as another program's layout change.
    const test_hooks::LayoutChangesUnexamined unexamined;
    // The failure is made with a trigger of the test's own.
    const test_hooks::FileTriggersRun triggersRun;

    struct Case {
        const char* label;
        std::string breaking;
        long code;
    };
    const std::vector<Case> processing = {
        {"storing the second triggered row", refuse("INSERT ON conditional_properties WHEN NEW.name = 'b'"),
         kAPMCUPTriggeredStoreFailedCode},
        {"deleting the expired user property", refuse("DELETE ON user_attributes"),
         kAPMCUPExpiredUserPropertyDeleteFailedCode},
        {"deleting the timed-out row", refuse("DELETE ON conditional_properties WHEN OLD.name = 'late'"),
         kAPMCUPTimedOutDeleteFailedCode},
    };
    for (const auto& c : processing) {
        SUBCASE(c.label) {
            Fixture f;
            f.set(property("gone", "x", "", 60, 5));
            f.set(property("late", "x", "never", 5));
            f.set(property("a", "x", "purchase"));
            f.set(property("b", "x", "purchase"));
            f.engine->written.clear();
            f.time.advance(10);
            f.execute(c.breaking);
            f.log("purchase");
            CHECK(f.capture.hasCode(c.code));
            // Only the event itself; the step's changes are all undone.
            CHECK(f.writtenNames() == std::vector<std::string>{"purchase"});
            CHECK(f.stored("gone"));
            CHECK(f.userProperty("gone"));
            CHECK(f.stored("late"));
            CHECK_FALSE(f.stored("a")->isActive());
            CHECK_FALSE(f.stored("b")->isActive());
            CHECK_FALSE(f.userProperty("a"));
        }
    }
    SUBCASE("removing, when the user property cannot be deleted") {
        Fixture f;
        f.set(property("plan", "gold", ""));
        f.engine->written.clear();
        f.execute(refuse("DELETE ON user_attributes"));
        f.controller->clearConditionalUserPropertyWithClearEvent(supplied("cleared"), "plan");
        f.time.settle();
        CHECK(f.capture.hasCode(kAPMCUPRemoveUserPropertyFailedCode));
        CHECK(f.stored("plan"));
        CHECK(f.userProperty("plan"));
        CHECK(f.engine->written.empty());
    }
    SUBCASE("setting, when the table cannot be read") {
        Fixture f;
        f.execute("DROP TABLE conditional_properties");
        f.set(property("plan", "gold", ""));
        CHECK(f.capture.hasCode(kAPMCUPSetLookupFailedCode));
        CHECK_FALSE(f.userProperty("plan"));
        CHECK(f.engine->written.empty());
    }
}

TEST_CASE("queries: by prefix and origin, at once on the worker queue, and not at all while collection is off") {
    Fixture f;
    f.set(property("p_one", "1", "t"));
    auto other = property("p_two", "2", "t");
    other.setOrigin("other");
    f.set(other);
    f.set(property("q_three", "3", "t"));

    const auto names = [](const std::optional<std::vector<APMConditionalUserProperty>>& result) {
        std::vector<std::string> out;
        if (result) {
            for (const auto& p : *result) out.push_back(p.name());
        }
        return out;
    };
    // On the worker queue the query runs inline instead of waiting for a
    // block queued behind itself.
    std::optional<std::vector<APMConditionalUserProperty>> result;
    f.onWorker([&] { result = f.controller->conditionalUserPropertiesWithNamePrefix("p_", platform::Value()); });
    CHECK(names(result) == std::vector<std::string>{"p_one", "p_two"});
    f.onWorker([&] { result = f.controller->conditionalUserPropertiesWithNamePrefix("p_", "partner"); });
    CHECK(names(result) == std::vector<std::string>{"p_one"});
    f.onWorker([&] { result = f.controller->conditionalUserPropertiesWithNamePrefix(platform::Value(), platform::Value()); });
    CHECK(names(result).size() == 3);

    CHECK_FALSE(f.controller->conditionalUserPropertiesWithNamePrefix(platform::Value(3), platform::Value()));
    CHECK(f.capture.hasCode(kAPMCUPQueryPrefixNotStringCode));
    CHECK_FALSE(f.controller->conditionalUserPropertiesWithNamePrefix("p_", platform::Value(true)));
    CHECK(f.capture.hasCode(kAPMCUPQueryOriginNotStringCode));

    f.engine->enabled = false;
    f.onWorker([&] { result = f.controller->conditionalUserPropertiesWithNamePrefix("p_", platform::Value()); });
    CHECK_FALSE(result);
    CHECK(f.capture.hasCode(kAPMCUPQueryDisabledCode));
}

TEST_CASE("a query from another thread waits for the worker queue, and gives up after 30 s") {
    Fixture f;
    f.set(property("p_one", "1", "t"));
    auto worker = std::static_pointer_cast<platform::dispatch::ManualQueue>(f.scheduler.workerQueue());
    const auto waitForQueuedQuery = [&] {
        while (worker->pendingCount() == 0) std::this_thread::yield();
    };

    SUBCASE("answered once the worker queue runs") {
        std::optional<std::vector<APMConditionalUserProperty>> result;
        std::thread caller([&] { result = f.controller->conditionalUserPropertiesWithNamePrefix("p_", platform::Value()); });
        waitForQueuedQuery();
        worker->drain();
        caller.join();
        REQUIRE(result);
        CHECK(result->size() == 1);
    }
    SUBCASE("none when the worker queue stays busy for 30 s") {
        worker->suspend();
        std::optional<std::vector<APMConditionalUserProperty>> result{std::vector<APMConditionalUserProperty>{}};
        std::thread caller([&] { result = f.controller->conditionalUserPropertiesWithNamePrefix("p_", platform::Value()); });
        waitForQueuedQuery();
        f.time.advance(30);
        caller.join();
        CHECK_FALSE(result);
        worker->resume();
        f.time.settle();
    }
}
