// The manager: registration, flag precedence, activation, status, experiment IDs, resets, restarts and its queues.
#include <doctest/doctest.h>

#include <future>
#include <stdexcept>

#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/experiments_test_support.h"
#include "measurement/experiments/library_version.h"

using namespace measurement;
using namespace measurement::experiments_test;
using platform::Value;

namespace {

constexpr double kDay = 86400;

// Fetches the snapshot for the SDK at the next due fetch and lets every
// queue run (the main queue included).
void fetchSnapshot(ExperimentsFixture& f, const APMPBSnapshot& snapshot) {
    f.service->script.push_back(okReply({snapshot}));
    f.time.advance(*f.taskManager->scheduledFetchTimestamp() - f.time.now());
}

}  // namespace

TEST_CASE("registration: default flags of every kind, refusals, and registering again") {
    ExperimentsFixture f;
    f.launch();
    auto client = f.registerSDK(kSDK, {{"count", 3}, {"ratio", 0.25}, {"on", true}, {"name", "x"}});
    REQUIRE(client);
    struct Case {
        std::string flag;
        std::optional<Value> value;
    };
    for (const auto& c : std::vector<Case>{{"count", Value(3)}, {"ratio", Value(0.25)}, {"on", Value(1)},
                                           {"name", Value("x")}, {"missing", std::nullopt}}) {
        CAPTURE(c.flag);
        CHECK(client->valueForFlag(c.flag) == c.value);
        CHECK(client->objectForKeyedSubscript(Value(c.flag)) == c.value);
    }
    CHECK(f.capture.hasCode(kAPMEFlagNoDefaultValueCode));
    CHECK(f.manager->clientForSDKName(Value(kSDK)) == client);

    SUBCASE("refusals") {
        f.capture.clear();
        CHECK_FALSE(f.manager->registerSDKProperty(nullptr, {}));
        CHECK_FALSE(f.manager->registerSDKProperty(std::make_shared<APMESDKProperty>(""), {}));
        CHECK_FALSE(f.manager->registerSDKProperty(std::make_shared<APMESDKProperty>("other"),
                                                   {{"good", 1}, {"bad", Value::Array{}}}));
        CHECK_FALSE(APMESDKProperty::initWithName(Value(7)));
        CHECK_FALSE(client->valueForFlag(std::string()));
        CHECK_FALSE(client->objectForKeyedSubscript(Value(7)));
        CHECK_FALSE(f.manager->clientForSDKName(Value(7)));
        CHECK_FALSE(f.manager->clientForSDKName(Value("")));
        CHECK_FALSE(f.manager->flagValueForFlagName(Value("x"), Value(7)));
        CHECK_FALSE(f.manager->flagValueForFlagName(Value(7), Value(kSDK)));
        CHECK_FALSE(f.manager->flagValueForFlagName(Value("x"), Value("")));
        CHECK_FALSE(f.manager->flagValueForFlagName(Value(""), Value(kSDK)));
        CHECK_FALSE(f.manager->flagValueForFlagName(Value("x"), Value("never")));
        f.settle();
        CHECK(f.capture.codes() == std::vector<long>{800000, 800001, 850002, 800002, 860000, 830002, 830003, 800006,
                                                     800007, 800008, 800009, 800010, 800011, 800012});
        CHECK_FALSE(f.manager->clientForSDKName(Value("other")));
    }
    SUBCASE("registering again replaces the defaults, also for the earlier client") {
        auto again = f.registerSDK(kSDK, {{"count", 4}});
        CHECK(f.capture.hasCode(kAPMERegisterAgainCode));
        CHECK(client->valueForFlag(std::string("count")) == Value(4));
        CHECK_FALSE(client->valueForFlag(std::string("name")));
        CHECK(f.manager->clientForSDKName(Value(kSDK)) == again);
    }
}

TEST_CASE("flag precedence: activated, then launched, then default") {
    ExperimentsFixture f;
    f.launch();
    auto client = f.registerSDK(kSDK, {{"a", "default"}, {"b", "default"}, {"c", "default"}});
    APMPBFlag valueless;
    NANOSetString(valueless, APMPBFieldIndexForTag(nano_APMPBFlag_name_tag), std::string("b"));
    fetchSnapshot(f, snapshotMessage(kSDK, {experimentMessage(0, {flag("a", "launched"), flag("b", "launched")}),
                                            experimentMessage(12, {flag("a", "activated"), valueless}),
                                            experimentMessage(30, {flag("d", 2.5)})}));
    // Pending only: nothing changes until the SDK activates.
    CHECK(f.observer->newSnapshots == std::vector<std::string>{kSDK});
    CHECK(client->valueForFlag(std::string("a")) == Value("default"));
    REQUIRE(client->activateLatestSnapshot(nullptr));
    struct Case {
        std::string flag;
        Value value;
    };
    for (const auto& c : std::vector<Case>{{"a", Value("activated")},
                                           {"b", Value("launched")},
                                           {"c", Value("default")},
                                           {"d", Value(2.5)}}) {
        CAPTURE(c.flag);
        CHECK(client->valueForFlag(c.flag) == c.value);
    }
    CHECK(f.manager->experimentIDs() == ids({12, 30}));

    SUBCASE("what the database holds afterwards") {
        f.settle();
        const auto activated = f.stored(kAPMEActivatedSnapshotTable);
        const auto launched = f.stored(kAPMELaunchedSnapshotTable);
        REQUIRE(activated.size() == 1);
        REQUIRE(launched.size() == 1);
        CHECK(activated[0].experiments().size() == 2);
        CHECK(launched[0].experiments().at(0).experimentID() == 0);
        CHECK(f.stored(kAPMEPendingSnapshotTable).empty());
    }
    SUBCASE("a second activation without a pending snapshot answers false and no error") {
        std::optional<APMError> error;
        CHECK_FALSE(client->activateLatestSnapshot(&error));
        CHECK_FALSE(error);
        CHECK(f.capture.hasCode(kAPMENoPendingSnapshotCode));
    }
}

TEST_CASE("activation refusals") {
    ExperimentsFixture f;
    f.launch();
    struct Case {
        std::optional<std::string> name;
        long code;
        std::string description;
    };
    for (const auto& c : std::vector<Case>{{std::nullopt, kAPMEActivateNilSDKNameCode, "SDK name cannot be nil"},
                                           {std::string(), kAPMEActivateEmptySDKNameCode, "SDK name cannot be empty"}}) {
        std::optional<APMError> error;
        CHECK_FALSE(f.manager->activateSnapshotOfSDK(c.name, &error));
        REQUIRE(error);
        CHECK(error->code() == 1);
        CHECK(error->localizedDescription() == c.description);
        CHECK(f.capture.hasCode(c.code));
    }
}

TEST_CASE("a snapshot holding only the launched experiment empties the activated one, also across a restart") {
    ExperimentsFixture f;
    f.launch();
    auto client = f.registerSDK(kSDK);
    fetchSnapshot(f, snapshotMessage(kSDK, {experimentMessage(7, {flag("old", 1)})}));
    REQUIRE(client->activateLatestSnapshot(nullptr));
    REQUIRE(f.manager->experimentIDs() == ids({7}));

    fetchSnapshot(f, snapshotMessage(kSDK, {experimentMessage(0, {flag("new", 2)})}));
    REQUIRE(client->activateLatestSnapshot(nullptr));
    f.settle();
    CHECK(f.manager->experimentIDs().empty());
    CHECK_FALSE(client->valueForFlag(std::string("old")));
    CHECK(client->valueForFlag(std::string("new")) == Value(2));
    CHECK(f.manager->activatedSnapshotStatusOfSDKName(kSDK) == kAPMESnapshotStatusFresh);

    f.launch();
    client = f.registerSDK(kSDK);
    CHECK(f.manager->experimentIDs().empty());
    CHECK_FALSE(client->valueForFlag(std::string("old")));
    CHECK(client->valueForFlag(std::string("new")) == Value(2));
}

TEST_CASE("experiment IDs: sorted, duplicates kept, SDKs with a diversion key of their own left out") {
    ExperimentsFixture f;
    f.launch();
    for (const auto& [name, key] : std::vector<std::pair<std::string, std::optional<std::string>>>{
             {"first", std::nullopt}, {"second", std::nullopt}, {"keyed", "k1234"}, {"emptykey", ""}}) {
        f.registerSDK(name, {}, key);
    }
    CHECK(f.manager->experimentIDs().empty());
    f.service->script.push_back(okReply({snapshotMessage("first", {experimentMessage(40, {}), experimentMessage(3, {})}),
                                         snapshotMessage("second", {experimentMessage(3, {flag("x", 1)})}),
                                         snapshotMessage("keyed", {experimentMessage(1, {})}),
                                         snapshotMessage("emptykey", {experimentMessage(2, {})})}));
    f.time.advance(10);
    for (const auto& client : f.clients) REQUIRE(client->activateLatestSnapshot(nullptr));
    // An experiment without flags counts as much as one with.
    CHECK(f.manager->experimentIDs() == ids({3, 3, 40}));
}

TEST_CASE("snapshot status: unregistered, none, fresh up to three days, then stale") {
    ExperimentsFixture f;
    f.launch();
    CHECK(f.manager->activatedSnapshotStatusOfSDKName("") == kAPMESnapshotStatusNoClient);
    CHECK(f.manager->activatedSnapshotStatusOfSDKName(kSDK) == kAPMESnapshotStatusNoClient);
    auto client = f.registerSDK(kSDK);
    CHECK(f.manager->activatedSnapshotStatusOfSDKName(kSDK) == kAPMESnapshotStatusNoSnapshot);
    fetchSnapshot(f, snapshotMessage(kSDK, {experimentMessage(5, {})}));
    REQUIRE(client->activateLatestSnapshot(nullptr));
    const double activatedAt = f.time.now();
    struct Case {
        double age;
        int status;
    };
    for (const auto& c : std::vector<Case>{{0, 0}, {kDay, 0}, {3 * kDay, 0}, {3 * kDay + 1, 1}}) {
        CAPTURE(c.age);
        f.time.clock().setNow(activatedAt + c.age);
        CHECK(f.manager->activatedSnapshotStatusOfSDKName(kSDK) == c.status);
        CHECK(client->hasStaleSnapshot() == (c.status == 1));
    }
    SUBCASE("after a restart the age still counts from the activation") {
        f.time.clock().setNow(activatedAt + 2 * kDay);
        f.launch();
        f.registerSDK(kSDK);
        f.time.clock().setNow(activatedAt + 3 * kDay + 1);
        CHECK(f.manager->activatedSnapshotStatusOfSDKName(kSDK) == kAPMESnapshotStatusStale);
    }
}

TEST_CASE("reset to defaults drops the activated snapshot in memory and in the database; the launched one stays") {
    ExperimentsFixture f;
    f.launch();
    auto client = f.registerSDK(kSDK, {{"a", "default"}});
    fetchSnapshot(f, snapshotMessage(kSDK, {experimentMessage(0, {flag("b", 1)}), experimentMessage(8, {flag("a", 2)})}));
    REQUIRE(client->activateLatestSnapshot(nullptr));
    client->resetToDefaults();
    f.settle();
    CHECK(client->valueForFlag(std::string("a")) == Value("default"));
    CHECK(client->valueForFlag(std::string("b")) == Value(1));
    CHECK(f.manager->experimentIDs().empty());
    CHECK(f.stored(kAPMEActivatedSnapshotTable).empty());
    CHECK(f.stored(kAPMELaunchedSnapshotTable).size() == 1);
    f.capture.clear();
    client->resetToDefaults();
    f.manager->resetToDefaultsOfSDKName("");
    CHECK(f.capture.codes() == std::vector<long>{kAPMEResetNoActivatedSnapshotCode, kAPMEResetEmptySDKNameCode});
}

TEST_CASE("across restarts: unmarked pending snapshots activate at start, marked ones are announced to their SDK") {
    ExperimentsFixture f;
    f.launch();
    f.registerSDK(kSDK);
    fetchSnapshot(f, snapshotMessage(kSDK, {experimentMessage(21, {flag("a", 1)})}));
    REQUIRE(f.observer->newSnapshots.size() == 1);
    const auto pending = f.stored(kAPMEPendingSnapshotTable);
    REQUIRE(pending.size() == 1);
    CHECK(pending[0].manuallyActivated());

    SUBCASE("the SDK registers before the stored snapshots are handed over: it hears of the waiting one") {
        f.launch(false);
        f.registerSDK(kSDK);
        f.taskManager->startTaskManager();
        f.settle();
        CHECK(f.observer->newSnapshots.size() == 2);
        REQUIRE(f.clients[0]->activateLatestSnapshot(nullptr));
        CHECK(f.manager->experimentIDs() == ids({21}));
    }
    SUBCASE("the SDK registers afterwards: the stored snapshot activates at once") {
        f.launch();
        f.registerSDK(kSDK);
        CHECK(f.observer->newSnapshots.size() == 1);
        REQUIRE(f.clients[0]->activateLatestSnapshot(nullptr));
        CHECK(f.manager->experimentIDs() == ids({21}));
    }
    SUBCASE("an SDK that does not listen has its snapshots activated by the next start") {
        f.observer->listensForSnapshots = false;
        fetchSnapshot(f, snapshotMessage("other", {experimentMessage(22, {})}));
        f.launch();
        f.registerSDK("other");
        CHECK(f.manager->experimentIDs() == ids({22}));
        CHECK(f.stored(kAPMEPendingSnapshotTable).size() == 1);
    }
}

TEST_CASE("the manager's queues: synchronous calls from its own queue, and blocks that throw") {
    SUBCASE("a synchronous call made on the serial queue runs there at once (real threads)") {
        testsupport::TempDir dir;
        platform::ScopedDataDirectory preferences(dir / "Preferences");
        auto queue = platform::dispatch::makeSerialQueue("APMExperimentWorkerQueue");
        auto taskManager = std::make_shared<APMETaskManager>(
            queue, std::make_unique<APMAlarm>(queue, "APMExperimentAlarm"), std::make_shared<ScriptedService>(),
            APMUserDefaults(kAPMEExperimentSuiteName), (dir / "e.sql").string(), 0,
            std::make_shared<APMEExperimentRequestBuilder>());
        auto manager = APMEManager::initWithTaskManager(taskManager);
        manager->registerSDKProperty(std::make_shared<APMESDKProperty>(kSDK), {{"a", 5}});
        std::promise<std::optional<Value>> answer;
        manager->dispatchAsyncOnSerialQueue(
            [&] { answer.set_value(manager->flagValueForFlagName(Value("a"), Value(kSDK))); });
        auto future = answer.get_future();
        REQUIRE(future.wait_for(std::chrono::seconds(20)) == std::future_status::ready);
        CHECK(future.get() == Value(5));
        manager->dispatchSyncOnSerialQueue([] {});
    }
    SUBCASE("exceptions are logged; on the worker queue a synchronous one goes on to the caller") {
        ExperimentsFixture f;
        f.launch();
        const auto fail = [] { throw std::runtime_error("boom"); };
        f.manager->dispatchAsyncOnSerialQueue(fail);
        f.settle();
        f.manager->dispatchSyncOnSerialQueue(fail);
        f.taskManager->dispatchAsyncOnWorkerQueue(fail);
        f.settle();
        CHECK_THROWS_AS(f.taskManager->dispatchSyncOnWorkerQueue(fail), std::runtime_error);
        for (long code : std::vector<long>{kAPMESerialAsyncExceptionCode, kAPMESerialSyncExceptionCode, kAPMEWorkerAsyncExceptionCode,
                          kAPMEWorkerSyncExceptionCode}) {
            CAPTURE(code);
            REQUIRE(f.capture.count(code) == 1);
            CHECK(f.capture.entriesWithCode(code)[0].contexts.at(0) == Value("boom"));
        }
    }
}

TEST_CASE("the version number drops the last three characters of the version string") {
    struct Case {
        const char* text;
        std::int64_t number;
    };
    for (const auto& c : std::vector<Case>{{"10000000", 10000}, {"1234", 1}, {"123", 0}, {"", 0}, {"x1000", 0}}) {
        CAPTURE(c.text);
        CHECK(APMEVersionNumber(c.text) == c.number);
    }
    CHECK(APMEManager::version() == 10000);
}
