// The engine with the upload it makes, against a loopback service: one
// server configuration, one set of persisted settings and one day of
// counts, shared by the engine's writes, bundling, the upload and the
// configuration fetch.
#include <doctest/doctest.h>

#include <cstdlib>

#include "measurement/core/facade.h"
#include "measurement/core/arurerudo.h"
#include "measurement/core/codes.h"
#include "measurement/core/core_test_support.h"
#include "measurement/core/measurement.h"
#include "measurement/foundation/environment.h"
#include "measurement/store/config_test_support.h"
#include "measurement/foundation/bundle_tags.h"
#include "measurement/script/editing/editing_test_support.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/upload/uploader.h"
#include "measurement/upload/uploader_test_support.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/process_info.h"
#include "platform/frameworks/app_core/application_state.h"
#include "platform/frameworks/app_core/background_task.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/timer.h"
#include "testsupport/loopback_server.h"
#include "testsupport/scoped_launch_options.h"
#include "testsupport/test_hooks.h"

using namespace measurement;
using config_test::ConfigBuilder;

namespace {

// One audience: one event filter on "kuvo_calculate".
std::vector<APMPBAudience> oneAudience() {
    APMPBEventFilter filter;
    NANOSetInt32(filter, APMPBFieldIndexForTag(nano_APMPBEventFilter_filter_id_tag), 0);
    NANOSetString(filter, APMPBFieldIndexForTag(nano_APMPBEventFilter_event_name_tag), std::string("kuvo_calculate"));
    APMPBAudience audience;
    NANOSetInt32(audience, APMPBFieldIndexForTag(nano_APMPBAudience_audience_id_tag), 1);
    NANOSetArray(audience, APMPBFieldIndexForTag(nano_APMPBAudience_event_filters_tag), std::vector{filter});
    return {audience};
}

testsupport::ScriptedResponse reply(int status, const std::string& body = {}) {
    testsupport::ScriptedResponse response;
    response.status = status;
    response.body = body;
    return response;
}

std::string bytesOf(const ConfigBuilder& builder) {
    const auto bytes = builder.bytes();
    return std::string(bytes.begin(), bytes.end());
}

// The engine on a temporary folder, with the service on the loopback
// interface. Network completions come
// from real threads; each exchange waits for its completion to reach the
// worker queue and then runs every queue.
struct EngineWithService {
    testsupport::LoopbackServer server;
    testsupport::ScopedLaunchOptions address{[&](platform::LaunchOptions& o) { o.measurementServiceURL = server.url(""); }};
    testing::EngineFixture engine;

    // The engine starts at the given time (seconds since 1970), or at the
    // manual clock's.
    explicit EngineWithService(std::optional<double> startTime = std::nullopt) {
        if (startTime) engine.time().clock().setNow(*startTime);
        engine.configure();
    }

    static std::shared_ptr<APMMeasurement> measurement() { return APMMeasurement::sharedInstance(); }

    void completeExchange(std::size_t requests) {
        REQUIRE(server.waitForRequests(requests, 20));
        // The completion may already have run while an earlier step drained
        // the queues; then no request is in flight any more.
        REQUIRE(upload_test::runArrivingWork(measurement()->scheduler().workerQueue(), engine.time(), 20,
                                             [] { return !measurement()->isNetworkRequestPending(); }));
        engine.settle();
    }

    // A completed fetch uploads at once what is stored (the first open after
    // the start); the service confirms that upload too.
    void fetch(testsupport::ScriptedResponse response, bool uploadsAfter = true) {
        const auto before = server.requestCount();
        server.enqueue(std::move(response));
        if (uploadsAfter) server.enqueue(reply(204));
        measurement()->scheduleOnWorkerQueue("test:fetch", [] { measurement()->uploader()->fetchRemoteConfig(); });
        engine.settle();
        completeExchange(before + 1);
        if (!uploadsAfter) return;
        completeExchange(before + 2);
        REQUIRE(server.requests().back().path == "/a");
    }

    // Resigns active, which stores what was logged and uploads it; the
    // service confirms the batch.
    void resignAndUpload() {
        const auto before = server.requestCount();
        server.enqueue(reply(204));
        platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
        engine.settle();
        completeExchange(before + 1);
        CHECK(platform::BackgroundTasks::shared().activeTaskCount() == 0);
    }

    std::vector<APMPBMeasurementBundle> lastBatch() {
        const auto request = server.requests().back();
        REQUIRE(request.path == "/a");
        auto batch = APMPBMeasurementBatch::initWithBuffer(request.body);
        REQUIRE(batch);
        return upload_test::bundlesOf(*batch);
    }

    // While set, the engine's audiences cannot store definitions, so they
    // refuse a configuration that has some.
    void refuseAudiences(bool refuse) {
        auto store = APMSqliteStore::makeWithDatabasePath(measurement()->database()->databasePath(), nullptr);
        REQUIRE(store);
        const std::string statement = refuse ? "CREATE TRIGGER refuse_audiences BEFORE INSERT ON event_filters "
                                               "BEGIN SELECT RAISE(ABORT, 'refused'); END"
                                             : "DROP TRIGGER refuse_audiences";
        REQUIRE(store->executeStatement(statement, {}, nullptr));
    }

    std::optional<NANOBytes> storedConfiguration() {
        std::optional<NANOBytes> data;
        measurement()->scheduler().workerQueue()->sync(
            [&] { data = measurement()->configStorage()->measurementConfigData(nullptr); });
        return data;
    }
};

}  // namespace

TEST_CASE("a fetched configuration is the engine's: its writes, bundling and the upload read it") {
    EngineWithService service;
    service.fetch(reply(200, bytesOf(ConfigBuilder()
                                         .version(3)
                                         .setting("measurement.upload.max_event_parameter_value_length", "100")
                                         .event("tapped_blocked", true, std::nullopt, std::nullopt)
                                         .event("tapped_buy", std::nullopt, true, std::nullopt))));
    CHECK(APMMeasurement::remoteConfig()->version() == 3);

    VEZArurerudo::logEventWithName("tapped_blocked");
    VEZArurerudo::logEventWithName("tapped_buy", {{"text", std::string(300, 'z')}});
    service.resignAndUpload();

    const auto bundles = service.lastBatch();
    REQUIRE(bundles.size() == 1);
    CHECK(upload_test::eventNames(bundles[0]) == std::vector<std::string>{"tapped_buy"});
    CHECK(NANOGetInt64(bundles[0], bundleFieldIndex(bundle_tag::kConfigVersion)) == 3);
    const auto events = NANOGetArray<APMPBEvent>(bundles[0], bundleFieldIndex(bundle_tag::kEvents));
    std::optional<std::string> text;
    for (const auto& parameter : NANOGetArray<APMPBEventParam>(events.front(), event_field::kParams)) {
        if (NANOGetString(parameter, param_field::kName) == "text") {
            text = NANOGetString(parameter, param_field::kStringValue);
        }
    }
    CHECK(text == std::string(100, 'z'));

    // Written once each, the blocked one too; its conversion counted once,
    // when bundled.
    const auto counts = service.engine.dailyCounts();
    CHECK(counts.allEventsCount() == 3);
    CHECK(counts.publicEventsCount() == 2);
    CHECK(counts.conversionsCount() == 1);

    SUBCASE("the upload's and the core's settings are one file") {
        const double uploaded = service.engine.time().now();
        CHECK(EngineWithService::measurement()->persistedConfig()->lastSuccessfulUploadTimestamp() == uploaded);
        service.engine.restart();
        const auto folder = service.engine.folder() / "Application Support" / "Rozeda" / "Measurement";
        const auto bytes = platform::readFile(folder / APMPersistedConfig::kFileName);
        REQUIRE(bytes);
        const auto settings = platform::parsePropertyList(*bytes);
        REQUIRE(settings);
        REQUIRE(settings->isDictionary());
        const auto& values = settings->asDictionary();
        CHECK(values.count(persisted_key::kFirstOpenTimestampMs) == 1);
        CHECK(values.at(persisted_key::kLastSuccessfulUpload) == platform::Value(uploaded));
    }
}

TEST_CASE("a fetched configuration that its transaction rolls back never reaches the engine") {
    // The failure is made with a trigger of the test's own.
    const test_hooks::FileTriggersRun triggersRun;

    EngineWithService service;
    service.refuseAudiences(true);
    service.fetch(reply(200, bytesOf(ConfigBuilder().version(5).audiences(oneAudience()))));
    CHECK(service.engine.monitor().hasCode(kAPMConfigAudiencesRefusedCode));
    CHECK(APMMeasurement::remoteConfig()->version() == -1);
    CHECK(service.storedConfiguration() == NANOBytes());

    service.refuseAudiences(false);
    service.fetch(reply(200, bytesOf(ConfigBuilder().version(6).audiences(oneAudience()))), false);
    CHECK(APMMeasurement::remoteConfig()->version() == 6);
    CHECK_FALSE(service.storedConfiguration()->empty());
}

TEST_CASE("the consent defaults of a fetched configuration reach the consent state") {
    // The failure is made with a trigger of the test's own.
    const test_hooks::FileTriggersRun triggersRun;

    EngineWithService service;
    const auto consent = EngineWithService::measurement()->consentState();
    CHECK_FALSE(consent->defaultSettings());
    // Types 1 and 2 are ad and analytics storage; statuses 1 granted, 2
    // denied.
    service.fetch(reply(200, bytesOf(ConfigBuilder().version(4).consent({{1, 2}, {2, 1}}, {}, {}))));
    const platform::Value::Dictionary expected{{"ad_storage", "denied"}, {"analytics_storage", "granted"}};
    CHECK(consent->defaultSettings() == expected);

    SUBCASE("not when the configuration is rolled back") {
        service.refuseAudiences(true);
        service.fetch(reply(200, bytesOf(ConfigBuilder().version(5).consent({{1, 1}}, {}, {}).audiences(oneAudience()))),
                      false);
        CHECK(consent->defaultSettings() == expected);
        CHECK(APMMeasurement::remoteConfig()->version() == 4);
    }
}

TEST_CASE("writing and bundling count in the same day, also near midnight") {
    // 23:50 UTC, with the account two hours ahead of it.
    EngineWithService service(19676 * 86400.0 - 600);
    service.fetch(reply(200, bytesOf(ConfigBuilder()
                                         .setting("measurement.account.time_zone_offset_minutes", "120")
                                         .event("tapped_buy", std::nullopt, true, std::nullopt))));
    VEZArurerudo::logEventWithName("tapped_buy");
    VEZArurerudo::logEventWithName("tapped_buy");
    service.resignAndUpload();

    const auto counts = service.engine.dailyCounts();
    CHECK(counts.dayIndex() == 19675);
    // The first open and the two purchases: none of them lost to a day that
    // one writer had started and the other took for another.
    CHECK(counts.allEventsCount() == 3);
    CHECK(counts.conversionsCount() == 2);
    CHECK(counts.realtimeCount() == 2);
}

TEST_CASE("the core's own messages and the upload's keep their codes apart") {
    EngineWithService service;
    VEZArurerudo::setAnalyticsCollectionEnabled(false);
    VEZArurerudo::logEventWithName("while_disabled");
    service.engine.settle();
    CHECK(service.engine.monitor().hasCode(kAPMEventNotWrittenDisabledCode));
    CHECK_FALSE(service.engine.monitor().hasCode(kAPMUploadEmptyBundleListCode));
    CHECK_FALSE(service.engine.monitor().hasCode(kAPMUploadOverlapCode));
    CHECK_FALSE(service.engine.monitor().hasCode(kAPMUploadDeleteFailedCode));
}

TEST_CASE("a completion that arrives after its engine has gone reaches nothing of it") {
    EngineWithService service;
    auto held = reply(204);
    held.hold = true;
    service.server.enqueue(held);
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    service.engine.settle();
    REQUIRE(service.server.waitForHeld(1, 20));
    REQUIRE(EngineWithService::measurement()->isNetworkRequestPending());
    const auto workerQueue = EngineWithService::measurement()->scheduler().workerQueue();

    // The engine goes as at a stop: its network cancels the request, and the
    // cancellation's completion reaches the worker queue after the engine.
    test_hooks::resetMeasurementEngine();
    REQUIRE(upload_test::runArrivingWork(workerQueue, service.engine.time(), 20, nullptr));

    CHECK_FALSE(service.engine.monitor().hasCode(kAPMUploadFailedCode));
    CHECK_FALSE(service.engine.monitor().hasCode(kAPMUploadSucceededCode));
    CHECK(service.server.requestCount() == 1);
}

TEST_CASE("an upload timer whose work arrives after its engine has gone reaches nothing of it") {
    testing::EngineFixture fixture;
    auto engine = std::make_shared<APMMeasurement>();
    engine->startWithAppID("velmora-bernoulli-ios", nullptr);
    // The start stores the first open and arms the upload timer.
    fixture.settle();
    const auto fireDate = engine->uploadAlarm().scheduledTimestamp();
    REQUIRE(fireDate);
    auto queue = std::dynamic_pointer_cast<platform::dispatch::ManualQueue>(engine->scheduler().workerQueue());
    REQUIRE(queue);

    // What is due before it (the settings' write) runs; then the timer fires
    // and posts the upload to the worker queue, which stops right after,
    // before the upload runs.
    fixture.time().advance(*fireDate - fixture.time().now() - 0.5);
    REQUIRE(engine->uploadAlarm().scheduledTimestamp() == fireDate);
    REQUIRE(fixture.time().timers().fireNext(*fireDate));
    queue->async([queue] { queue->suspend(); });
    queue->drain();
    REQUIRE(queue->pendingCount() == 1);

    std::weak_ptr<APMMeasurement> gone = engine;
    engine.reset();
    REQUIRE(gone.expired());
    queue->resume();
    queue->drain();
    CHECK_FALSE(fixture.monitor().hasCode(kAPMUploadStartingCode));
}

namespace {

// Edits "checkout" (moves "value" to "amount", drops "currency", adds
// "edited" and "source") and creates "checkout_copy" beside it; "undo_me"
// is renamed but undone, "strip" loses "secret", "fail_me" fails; other
// events pass without edits.
const char* const kUploadEditingProgram = R"program(
(var "reg" "log")
(set "reg" ("require" "internal.registerCallback"))
(set "log" ("require" "internal.eventLogger"))
(function "edit" (array "e")
  (var "name")
  (set "name" (call $e "getEventName" (array)))
  (if (is $name "fail_me") (code (call undefined "x" (array))))
  (if (is $name "undo_me") (code (call $e "setEventName" (array "undone")) (return 2)))
  (if (is $name "strip") (code (call $e "setParamValue" (array "secret" null)) (return 0)))
  (if (isnt $name "checkout") (code (return -1)))
  (call $e "setParamValue" (array "amount" (call $e "getParamValue" (array "value"))))
  (call $e "setParamValue" (array "value" null))
  (call $e "setParamValue" (array "currency" null))
  (call $e "setParamValue" (array "edited" 1))
  (call $e "setParamValue" (array "source" "program"))
  (return 0))
(function "make" (array "e")
  (if (is (call $e "getEventName" (array)) "checkout")
      (code ("log" "checkout_copy" 1700000000
                   (object "amount" (call $e "getParamValue" (array "amount")) "_o" "script")))))
(function "install" (array "rule") ("reg" 0 $edit $rule))
("reg" 0 $make (object "type" "create"))
[activity "install" (object "type" "edit" "priority" 1)]
)program";

// "name key=value ...": text quoted, integers as digits, doubles with a
// point.
std::vector<std::string> describedEvents(const APMPBMeasurementBundle& bundle) {
    std::vector<std::string> described;
    for (const auto& event : NANOGetArray<APMPBEvent>(bundle, bundleFieldIndex(bundle_tag::kEvents))) {
        std::string text = NANOGetString(event, event_field::kName).value_or("");
        for (const auto& parameter : NANOGetArray<APMPBEventParam>(event, event_field::kParams)) {
            const auto value = APMValueFromProtoEventParam(parameter);
            REQUIRE(value);
            text += " " + NANOGetString(parameter, param_field::kName).value_or("") + "=" +
                    measurement::testing::describePlain(value->objectValue());
        }
        described.push_back(text);
    }
    return described;
}

}  // namespace

TEST_CASE("a program of the fetched configuration edits and creates what the engine stores and uploads") {
    EngineWithService service;
    service.fetch(reply(200, bytesOf(ConfigBuilder().version(9).programs(
                                 {measurement::testing::programFromText(kUploadEditingProgram)}))));
    REQUIRE(APMMeasurement::remoteConfig()->eventEditing());

    VEZArurerudo::logEventWithName("checkout", {{"value", 12}, {"currency", "EUR"}, {"kept", "x"}});
    VEZArurerudo::logEventWithName("undo_me", {{"a", 1}});
    VEZArurerudo::logEventWithName("strip", {{"secret", "s"}, {"keep", 2}});
    VEZArurerudo::logEventWithName("fail_me", {{"a", 1}});
    VEZArurerudo::logEventWithName("plain", {{"n", 1.5}});
    service.resignAndUpload();

    const auto bundles = service.lastBatch();
    REQUIRE(bundles.size() == 1);
    CHECK(describedEvents(bundles[0]) == std::vector<std::string>{
                                             "checkout _o=\"app\" amount=12.0 edited=1.0 kept=\"x\" source=\"program\"",
                                             "checkout_copy _o=\"script\" amount=12.0",
                                             "undo_me _o=\"app\" a=1",
                                             "strip _o=\"app\" keep=2",
                                             "fail_me _o=\"app\" a=1",
                                             "plain _o=\"app\" n=1.5",
                                         });
    const auto events = NANOGetArray<APMPBEvent>(bundles[0], bundleFieldIndex(bundle_tag::kEvents));
    CHECK(NANOGetInt64(events[1], event_field::kTimestamp) == 1700000000000LL);
    const auto failures = service.engine.monitor().entriesWithCode(kAPMEventEditingFailedCode);
    REQUIRE(failures.size() == 1);
    CHECK(failures[0].contexts == std::vector<platform::Value>{platform::Value("fail_me")});
    // The stored events are all gone with the upload.
    CHECK(service.engine.rawEvents().empty());
}
