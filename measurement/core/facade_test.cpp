// Tests of the facade: consent, event editing, resignation, purchases and the configuration refresh.
#include <doctest/doctest.h>

#include <cmath>
#include <thread>

#include "measurement/core/facade.h"
#include "measurement/core/arurerudo.h"
#include "measurement/core/codes.h"
#include "measurement/core/core_test_support.h"
#include "measurement/core/measurement.h"
#include "measurement/script/editing/editing_test_support.h"
#include "measurement/store/config_test_support.h"
#include "measurement/upload/conversion/conversion_codes.h"
#include "measurement/upload/uploader.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/user_defaults.h"
#include "platform/frameworks/app_core/app.h"
#include "platform/frameworks/app_core/application_state.h"
#include "platform/frameworks/app_core/background_task.h"
#include "platform/frameworks/utilities/reachability.h"

using namespace measurement;
using measurement::testing::EngineFixture;
using measurement::testing::intParameter;
using measurement::testing::stringParameter;
using config_test::ConfigBuilder;
using measurement::testing::programFromText;

namespace {

std::vector<std::string> namesOf(EngineFixture& engine, const std::string& name) {
    std::vector<std::string> names;
    for (const auto& event : engine.rawEvents()) {
        if (event.event().name() == name) names.push_back(name);
    }
    return names;
}

}  // namespace

namespace {

// Renames every event with "_edited" and adds "added" = 7; fails on
// "fail_me"; creates "created" (origin "script") after "create_more".
const char* const kEditingProgram = R"program(
(var "reg" "log")
(set "reg" ("require" "internal.registerCallback"))
(set "log" ("require" "internal.eventLogger"))
(function "edit" (array "e")
  (if (is (call $e "getEventName" (array)) "fail_me") (code (call undefined "x" (array))))
  (call $e "setEventName" (array (add (call $e "getEventName" (array)) "_edited")))
  (call $e "setParamValue" (array "added" 7))
  (return 0))
(function "make" (array "e")
  (if (is (call $e "getEventName" (array)) "create_more_edited")
      (code ("log" "created" (call $e "getTimestamp" (array)) (object "_o" "script")))))
(function "setup" (array "rule") ("reg" 0 $edit $rule))
("reg" 0 $make (object "type" "create"))
[activity "setup" (object "type" "edit")]
)program";

// Each schedule update ends in exactly one of these decisions.
std::size_t scheduleUpdates(EngineFixture& engine) {
    std::size_t count = 0;
    for (const long code : {kAPMUploadSuspendedCode, kAPMScheduleNoDataCode, kAPMScheduleNoNextTimeCode,
                            kAPMScheduleNoNetworkCode, kAPMScheduleTaskExistsCode, kAPMScheduleTaskScheduledCode}) {
        count += engine.monitor().count(code);
    }
    return count;
}

std::size_t uploadsStarted(EngineFixture& engine) { return engine.monitor().count(kAPMUploadStartingCode); }

}  // namespace

TEST_CASE("events pass the event-editing host of the server configuration") {
    EngineFixture engine;
    engine.configure();
    engine.takeConfiguration(ConfigBuilder().programs({programFromText(kEditingProgram)}).config());
    CHECK(engine.monitor().hasCode(kAPMRemoteConfigEventEditingLoadedCode));
    const auto schedulesAfterStart = scheduleUpdates(engine);
    const auto before = engine.rawEvents().size();

    SUBCASE("edits replace the event, created events are written after it") {
        VEZArurerudo::logEventWithName("create_more", {{"n", 2}});
        engine.settle();
        const auto events = engine.rawEvents();
        REQUIRE(events.size() == before + 2);
        const auto& edited = events[before].event();
        CHECK(edited.name() == "create_more_edited");
        CHECK(intParameter(edited, "n") == 2);
        REQUIRE(edited.parameter("added"));
        CHECK(edited.parameter("added")->isDouble());
        CHECK(edited.parameter("added")->doubleValue() == 7);
        CHECK(edited.origin() == "app");
        const auto& created = events[before + 1].event();
        CHECK(created.name() == "created");
        CHECK(created.origin() == "script");
        CHECK(created.timestamp() == std::floor(edited.timestamp()));
        CHECK(scheduleUpdates(engine) == schedulesAfterStart + 1);
    }
    SUBCASE("a failed program writes the unedited event, logs 23223 and creates nothing") {
        VEZArurerudo::logEventWithName("fail_me", {{"n", 2}});
        engine.settle();
        const auto events = engine.rawEvents();
        REQUIRE(events.size() == before + 1);
        CHECK(events[before].event().name() == "fail_me");
        CHECK_FALSE(events[before].event().parameter("added"));
        const auto failures = engine.monitor().entriesWithCode(kAPMEventEditingFailedCode);
        REQUIRE(failures.size() == 1);
        CHECK(failures[0].level == kAPMMonitorLevelError);
        CHECK(failures[0].contexts == std::vector<platform::Value>{platform::Value("fail_me")});
    }
}

TEST_CASE("resigning active stores what was accepted, uploads and ends its background task") {
    EngineFixture engine;
    engine.configure();
    VEZArurerudo::logEventWithName("before_resign");
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    auto& tasks = platform::BackgroundTasks::shared();
    CHECK(tasks.activeTaskCount() == 1);
    CHECK(APMMeasurement::sharedInstance()->backgroundTaskIdentifier() != platform::kInvalidBackgroundTask);
    engine.settle();
    CHECK(tasks.activeTaskCount() == 0);
    // Without a service address the upload stops at its URL and ends the
    // task.
    CHECK(uploadsStarted(engine) == 1);
    CHECK(engine.monitor().hasCode(kAPMUploadNoServiceAddressCode));
    CHECK(namesOf(engine, "before_resign").size() == 1);

    SUBCASE("an upload under way keeps the task until it ends it") {
        APMMeasurement::sharedInstance()->setIsNetworkRequestPending(true);
        platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
        engine.settle();
        CHECK(tasks.activeTaskCount() == 1);
        CHECK_FALSE(APMMeasurement::sharedInstance()->isNetworkReadyForRequest());
        CHECK(engine.monitor().hasCode(kAPMNetworkNotUploadingCode));
        APMMeasurement::sharedInstance()->terminateBackgroundTask();
        CHECK(tasks.activeTaskCount() == 0);
    }
}

// Without the on-device conversion library linked, each input that reaches
// the engine's component is refused with the code of its kind; input that
// does not reach it leaves no such code.
TEST_CASE("on-device conversion user data reaches the engine's component only when configured and enabled") {
    EngineFixture engine;
    const std::vector<long> refusals = {kAPMPSMNotLinkedCode, kAPMPSMPhoneUnsupportedCode,
                                        kAPMPSMEmptyHashedIdentifierCode};
    auto refusalCounts = [&] {
        std::vector<std::size_t> counts;
        for (long code : refusals) counts.push_back(engine.monitor().count(code));
        return counts;
    };
    VEZArurerudo::initiateOnDeviceConversionMeasurementWithEmailAddress("a@b.c");
    VEZArurerudo::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(platform::Data{{1, 2}});
    engine.settle();
    CHECK(engine.monitor().hasCode(25051));
    CHECK(engine.monitor().hasCode(25054));
    CHECK(refusalCounts() == std::vector<std::size_t>{0, 0, 0});

    engine.configure();
    VEZArurerudo::initiateOnDeviceConversionMeasurementWithEmailAddress("a@b.c");
    VEZArurerudo::initiateOnDeviceConversionMeasurementWithPhoneNumber("+4912345");
    VEZArurerudo::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(platform::Data{});
    engine.settle();
    CHECK(refusalCounts() == std::vector<std::size_t>{1, 1, 1});

    VEZArurerudo::setAnalyticsCollectionEnabled(false);
    engine.settle();
    VEZArurerudo::initiateOnDeviceConversionMeasurementWithEmailAddress("x@y.z");
    engine.settle();
    CHECK(refusalCounts() == std::vector<std::size_t>{1, 1, 1});
    CHECK(engine.monitor().hasCode(kAPMUserDataNotSetDisabledCode));
}

TEST_CASE("setScreenName must come from the main thread") {
    EngineFixture engine;
    std::thread other([] { VEZArurerudo::setScreenName("History", "HistoryTableViewController"); });
    other.join();
    CHECK(engine.monitor().hasCode(kAPMScreenNameNotOnMainThreadCode));
}

namespace {

// Takes the process off the network for the scope: every schedule update
// and upload of the engine then finds no network and ends the background
// task at once, as early as it can.
class Offline {
public:
    Offline() { platform::Reachability::shared()->setReachable(false); }
    ~Offline() { platform::Reachability::shared()->setReachable(true); }
    Offline(const Offline&) = delete;
    Offline& operator=(const Offline&) = delete;
};

// Whether the background task was still held when the watched event was
// stored.
struct StoredUnderTask {
    std::string watched = "during_start";
    bool stored = false;
    bool taskHeld = false;
};

}  // namespace

TEST_CASE("a resignation during the engine's start keeps its task until what it accepted is stored") {
    EngineFixture engine;
    Offline offline;
    auto watch = std::make_shared<StoredUnderTask>();
    APMAnalytics::addEventListener([watch](const APMEvent& event) {
        if (event.name() != watch->watched) return;
        watch->stored = true;
        watch->taskHeld = platform::BackgroundTasks::shared().activeTaskCount() > 0;
    });
    auto& tasks = platform::BackgroundTasks::shared();

    // Configured, an event logged and the application resigned, all before
    // the worker queue has run the start.
    REQUIRE(platform::VEZApp::configure());
    VEZArurerudo::logEventWithName("during_start");
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    CHECK(tasks.activeTaskCount() == 1);

    SUBCASE("the start's and the event's schedules leave the task; the resignation's upload ends it") {
        engine.settle();
        CHECK(watch->stored);
        CHECK(watch->taskHeld);
        CHECK(engine.monitor().hasCode(kAPMScheduleNoNetworkCode));
        CHECK(uploadsStarted(engine) == 1);
        CHECK(tasks.activeTaskCount() == 0);
        CHECK(namesOf(engine, "during_start").size() == 1);
    }
    SUBCASE("two resignations: the task lasts until the second one's operations are stored") {
        watch->watched = "second_batch";
        VEZArurerudo::logEventWithName("second_batch");
        platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
        CHECK(tasks.activeTaskCount() == 1);
        engine.settle();
        CHECK(watch->stored);
        CHECK(watch->taskHeld);
        CHECK(uploadsStarted(engine) == 2);
        CHECK(tasks.activeTaskCount() == 0);
        CHECK(namesOf(engine, "second_batch").size() == 1);
    }
}

TEST_CASE("becoming active fetches the configuration a week after its last update") {
    EngineFixture engine;
    engine.configure();
    // Without a service address each fetch stops at its URL.
    auto fetches = [&] { return engine.monitor().count(kAPMConfigInvalidURLCode); };
    auto becomeActive = [&] {
        platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidBecomeActiveNotification);
        engine.settle();
    };

    // Never updated: due at once.
    becomeActive();
    CHECK(fetches() == 1);

    auto measurement = APMMeasurement::sharedInstance();
    const double updated = engine.time().now();
    measurement->scheduler().workerQueue()->sync(
        [&] { REQUIRE(measurement->database()->updateRemoteConfigSuccessfulTimestamp(updated, nullptr)); });
    engine.time().advance(604799);
    becomeActive();
    CHECK(fetches() == 1);
    engine.time().advance(1);
    becomeActive();
    CHECK(fetches() == 2);
}
