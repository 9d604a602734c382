// The fetch schedule on the manual clock: first fetch, success interval, retry ladder and its end, back-off, postponement.
#include <doctest/doctest.h>

#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/experiments_test_support.h"

using namespace measurement;
using namespace measurement::experiments_test;

namespace {

constexpr double kHour = 3600;
constexpr double kDay = 86400;

ScriptedService::Answer answer(int status) { return {status, {}}; }

}  // namespace

TEST_CASE("the fetch schedule: first fetch, the interval after success, the retry ladder and its end") {
    ExperimentsFixture f;
    // A success at +10 s, then nothing but failures (the script runs out).
    f.service->script.push_back(answer(204));
    f.launch();
    f.registerSDK(kSDK);
    REQUIRE(f.taskManager->scheduledFetchTimestamp());
    CHECK(*f.taskManager->scheduledFetchTimestamp() == kStart + 10);

    f.time.advance(30 * kDay);
    // 10 s; the success interval; then the base (success + 4 h) plus 1800 s
    // doubled each time, six times.
    const double base = 10 + 14400;
    const std::vector<double> expected = {10,          base,         base + 1800,  base + 5400,
                                          base + 12600, base + 27000, base + 55800, base + 113400};
    CHECK(f.requestTimes() == expected);
    CHECK(f.capture.count(kAPMEFetchFailedCode) == 7);
    CHECK(f.capture.hasCode(kAPMERetriesExhaustedCode));
    CHECK_FALSE(f.taskManager->scheduledFetchTimestamp());
    CHECK(f.timestamp(kAPMEFetchSuccessTimestampKey) == 0);
    CHECK(f.timestamp(kAPMEFetchFailureTimestampKey) == kStart + base + 113400);

    SUBCASE("the next launch fetches 10 s after its start and climbs from its own start") {
        const double relaunch = f.time.now();
        f.launch();
        f.registerSDK(kSDK);
        f.time.advance(kHour);
        REQUIRE(f.requestTimes().size() == 10);
        CHECK(f.requestTimes()[8] == relaunch - kStart + 10);
        // No success is recorded: the ladder starts at the launch time.
        CHECK(f.requestTimes()[9] == relaunch - kStart + 1800);
    }
}

TEST_CASE("without a service address nothing is asked, the log says so once and names no failure") {
    ExperimentsFixture f;
    testsupport::ScopedLaunchOptions none([](platform::LaunchOptions& o) { o.experimentsServiceURL.reset(); });
    f.service->script.push_back(answer(204));
    f.launch();
    f.registerSDK(kSDK);
    f.time.advance(30 * kDay);
    // A reset schedules a fetch again, which finds no address either.
    f.taskManager->reset();
    f.time.advance(kDay);
    CHECK(f.requestTimes().empty());
    CHECK(f.capture.count(kAPMENoServiceAddressCode) == 1);
    CHECK(f.capture.count(kAPMEFetchFailedCode) == 0);
    CHECK_FALSE(f.capture.hasCode(kAPMERetriesExhaustedCode));
    CHECK_FALSE(f.taskManager->scheduledFetchTimestamp());
    CHECK(f.timestamp(kAPMEFetchFailureTimestampKey) == 0);
}

TEST_CASE("a fetch due without a network waits for it, failing nothing, and goes once the network returns") {
    ExperimentsFixture f;
    f.service->reachability = std::make_shared<platform::Reachability>(false);
    f.service->script.push_back(answer(204));
    f.launch();
    f.registerSDK(kSDK);
    f.time.advance(kDay);
    CHECK(f.requestTimes().empty());
    CHECK(f.capture.count(kAPMEHeldForNetworkCode) == 1);
    CHECK(f.capture.count(kAPMEFetchFailedCode) == 0);
    CHECK(f.timestamp(kAPMEFetchFailureTimestampKey) == 0);
    f.service->reachability->setReachable(true);
    f.settle();
    CHECK(f.requestTimes() == std::vector<double>{kDay});
    CHECK(f.timestamp(kAPMEFetchSuccessTimestampKey) == kStart + kDay);
}

TEST_CASE("the first fetch after a launch waits for the success interval, whatever failed meanwhile") {
    struct Case {
        const char* name;
        double success;  // relative to the start; none: 0 stored
        double failure;
        double firstFetch;  // relative to the start
    };
    const std::vector<Case> cases = {
        {"nothing stored", 0, 0, 10},
        {"success an hour ago", -kHour, 0, 3 * kHour},
        {"success an hour ago, failure since", -kHour, -100, 3 * kHour},
        {"success five hours ago", -5 * kHour, 0, 10},
        {"success in the future (clock set back): its distance counts back from now", 2 * kHour, 0, 2 * kHour},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        ExperimentsFixture f;
        APMUserDefaults suite(kAPMEExperimentSuiteName);
        if (c.success != 0) suite.setDouble(kStart + c.success, kAPMEFetchSuccessTimestampKey);
        if (c.failure != 0) suite.setDouble(kStart + c.failure, kAPMEFetchFailureTimestampKey);
        f.launch();
        REQUIRE(f.taskManager->scheduledFetchTimestamp());
        CHECK(*f.taskManager->scheduledFetchTimestamp() - kStart == doctest::Approx(c.firstFetch));
    }
}

TEST_CASE("fetch times computed after the first, from success and failure") {
    ExperimentsFixture f;
    f.launch(false);
    f.taskManager->setHasMadeInitialFetch(true);
    f.taskManager->setInitializationTimestamp(kStart - 1000);
    struct Case {
        double success, failure, next;  // seconds since 1970; next 0: exhausted
    };
    const double s = kStart - 100;
    const std::vector<Case> cases = {
        {s, 0, s + 14400},
        {s, s + 14400 + 1799, s + 14400 + 1800},
        {s, s + 14400 + 1800, s + 14400 + 5400},
        {s, s + 14400 + 113399, s + 14400 + 113400},
        {s, s + 14400 + 113400, 0},
        // Without a success the ladder starts at the task manager's creation.
        {0, kStart, kStart - 1000 + 1800},
        {0, kStart + 2000, kStart - 1000 + 5400},
    };
    for (const auto& c : cases) {
        CAPTURE(c.success);
        CAPTURE(c.failure);
        CHECK(f.taskManager->fetchTimeFromLastSuccessfulTimestamp(c.success, c.failure) == c.next);
    }
}

TEST_CASE("a 503 or 429 answer pushes the next attempt twelve hours out; other failures climb the ladder") {
    struct Case {
        int status;
        double retry;  // after the failed fetch at +10 s
    };
    for (const auto& c : std::vector<Case>{{503, 43200}, {429, 43200}, {500, 1800 - 10}, {404, 1800 - 10}}) {
        CAPTURE(c.status);
        ExperimentsFixture f;
        f.service->script.push_back(answer(c.status));
        f.service->script.push_back(answer(204));
        f.launch();
        f.registerSDK(kSDK);
        f.time.advance(10);
        REQUIRE(f.service->requests.size() == 1);
        const bool backsOff = c.status == 503 || c.status == 429;
        CHECK(f.timestamp(kAPMEFetchBackoffTimestampKey) == (backsOff ? kStart + 10 : 0));
        f.time.advance(c.retry - 1);
        CHECK(f.service->requests.size() == 1);
        f.time.advance(1);
        REQUIRE(f.service->requests.size() == 2);
        CHECK(f.requestTimes()[1] == doctest::Approx(10 + c.retry));
        // The success clears the failure and the back-off.
        CHECK(f.timestamp(kAPMEFetchBackoffTimestampKey) == 0);
        CHECK(f.timestamp(kAPMEFetchFailureTimestampKey) == 0);
    }
}

TEST_CASE("a back-off holds across a launch") {
    ExperimentsFixture f;
    APMUserDefaults suite(kAPMEExperimentSuiteName);
    suite.setDouble(kStart - kHour, kAPMEFetchBackoffTimestampKey);
    suite.setDouble(kStart - kHour, kAPMEFetchFailureTimestampKey);
    f.launch();
    REQUIRE(f.taskManager->scheduledFetchTimestamp());
    CHECK(*f.taskManager->scheduledFetchTimestamp() == kStart - kHour + 43200);
}

TEST_CASE("scheduling again keeps an armed fetch that is due no later") {
    ExperimentsFixture f;
    f.service->script.push_back(answer(204));
    f.launch();
    f.registerSDK(kSDK);
    f.time.advance(10);
    REQUIRE(*f.taskManager->scheduledFetchTimestamp() == kStart + 10 + 14400);
    f.time.advance(kHour);
    f.onWorker([&] { f.taskManager->scheduleFetchingExperimentsOnWorkerQueue(); });
    CHECK(f.capture.count(kAPMEFetchAlreadyScheduledCode) == 1);
    CHECK(*f.taskManager->scheduledFetchTimestamp() == kStart + 10 + 14400);
    f.time.advance(2 * kDay);
    CHECK(f.requestTimes().at(1) == 10 + 14400);
}

TEST_CASE("a fetch no SDK wants is postponed as a success, with no request") {
    ExperimentsFixture f;
    f.launch();
    f.observer->decidesFetches = true;
    f.observer->allowsFetches = false;
    f.registerSDK(kSDK);
    APMUserDefaults(kAPMEExperimentSuiteName).setDouble(kStart - kHour, kAPMEFetchFailureTimestampKey);
    f.time.advance(10);
    CHECK(f.service->requests.empty());
    CHECK(f.observer->fetchQuestions == 1);
    CHECK(f.timestamp(kAPMEFetchSuccessTimestampKey) == kStart + 10);
    CHECK(f.timestamp(kAPMEFetchFailureTimestampKey) == 0);
    CHECK(*f.taskManager->scheduledFetchTimestamp() == kStart + 10 + 14400);

    SUBCASE("once the SDK allows it, the fetch at the end of the interval goes out") {
        f.observer->allowsFetches = true;
        f.time.advance(14400);
        CHECK(f.requestTimes() == std::vector<double>{10 + 14400});
    }
    SUBCASE("a client without a delegate lets every fetch go out") {
        f.clients.front()->setDelegate(nullptr);
        f.time.advance(14400);
        CHECK(f.requestTimes() == std::vector<double>{10 + 14400});
    }
}

TEST_CASE("reset empties the database and the timestamps and fetches at once; clearAndDelete stops fetching") {
    ExperimentsFixture f;
    f.service->script.push_back(okReply({snapshotMessage(kSDK, {experimentMessage(4, {flag("a", 1)})})}));
    f.service->script.push_back(answer(204));
    f.launch();
    f.registerSDK(kSDK);
    f.time.advance(10);
    REQUIRE(f.stored(kAPMEPendingSnapshotTable).size() == 1);
    REQUIRE(*f.taskManager->scheduledFetchTimestamp() == kStart + 10 + 14400);

    SUBCASE("reset") {
        f.manager->reset();
        f.time.advance(1);
        CHECK(f.stored(kAPMEPendingSnapshotTable).empty());
        REQUIRE(f.requestTimes().size() == 2);
        CHECK(f.requestTimes()[1] == doctest::Approx(10.001));
        CHECK(f.timestamp(kAPMEFetchSuccessTimestampKey) == doctest::Approx(kStart + 10.001));
    }
    SUBCASE("clearAndDelete") {
        f.manager->clearAndDelete();
        f.settle();
        CHECK_FALSE(std::filesystem::exists(f.databasePath));
        CHECK(f.timestamp(kAPMEFetchSuccessTimestampKey) == 0);
        f.time.advance(2 * kDay);
        CHECK(f.service->requests.size() == 1);
    }
    SUBCASE("clearAndDelete while a fetch is under way: its reply is dropped, a reset fetches again") {
        f.service->script.clear();
        f.service->script.push_back(okReply({snapshotMessage(kSDK, {experimentMessage(9, {flag("b", 2)})})}));
        f.service->script.push_back(answer(204));
        f.service->holdReplies = true;
        f.time.advance(14400);
        REQUIRE(f.service->requests.size() == 2);
        f.manager->clearAndDelete();
        f.settle();
        f.service->releaseReplies();
        f.settle();
        CHECK(f.timestamp(kAPMEFetchSuccessTimestampKey) == 0);
        CHECK_FALSE(f.taskManager->scheduledFetchTimestamp());
        CHECK(f.manager->activateSnapshotOfSDK(std::string(kSDK), nullptr) == false);
        f.time.advance(2 * kDay);
        CHECK(f.service->requests.size() == 2);

        f.service->holdReplies = false;
        f.manager->reset();
        f.time.advance(1);
        CHECK(f.service->requests.size() == 3);
        CHECK(f.timestamp(kAPMEFetchSuccessTimestampKey) == doctest::Approx(kStart + 10 + 14400 + 2 * kDay + 0.001));
    }
}

TEST_CASE("without any registered SDK every due fetch is postponed") {
    ExperimentsFixture f;
    f.launch();
    f.time.advance(3 * 14400 + 10);
    CHECK(f.service->requests.empty());
    CHECK(f.timestamp(kAPMEFetchSuccessTimestampKey) == kStart + 3 * 14400 + 10);
}
