// Tests of the upload schedule.
#include <doctest/doctest.h>

#include "measurement/store/config_test_support.h"
#include "measurement/upload/uploader.h"
#include "measurement/upload/uploader_test_support.h"

using namespace measurement;
using namespace upload_test;

namespace {

constexpr double kNow = 1700000000.0;

APMUploadTimingInputs defaults(double latest) {
    APMUploadTimingInputs inputs;
    inputs.now = kNow;
    inputs.latestDataTime = latest;
    return inputs;
}

}  // namespace

TEST_CASE("The next upload time") {
    SUBCASE("no data: none") { CHECK(APMNextUploadingTime(defaults(0)) == 0); }

    SUBCASE("only raw events, the last at X, nothing on record: X + 15") {
        CHECK(APMNextUploadingTime(defaults(kNow - 4)) == kNow - 4 + 15);
    }

    SUBCASE("a success ten minutes ago and new data now: success + interval") {
        auto inputs = defaults(kNow);
        inputs.lastSuccessfulUpload = kNow - 600;
        CHECK(APMNextUploadingTime(inputs) == kNow - 600 + 3600);
    }

    SUBCASE("a success longer ago than the interval: the initial delay after the data") {
        auto inputs = defaults(kNow - 10);
        inputs.lastSuccessfulUpload = kNow - 4000;
        CHECK(APMNextUploadingTime(inputs) == kNow - 10 + 15);
    }

    SUBCASE("debug mode without failure: at most a debug interval after the data") {
        auto inputs = defaults(kNow);
        inputs.lastSuccessfulUpload = kNow - 5;
        inputs.interval = 10;
        inputs.debugMode = true;
        CHECK(APMNextUploadingTime(inputs) == kNow + 1);
    }

    SUBCASE("data an hour in the future counts as an hour in the past") {
        CHECK(APMNextUploadingTime(defaults(kNow + 3600)) == kNow - 3600 + 15);
    }

    SUBCASE("failures stretch the gap by doubling retry intervals until the count is used up") {
        const double latest = kNow - 20000;
        auto inputs = defaults(latest);
        inputs.lastFailedUpload = latest + 5;
        const double first = latest + 15 + 1800;
        CHECK(APMNextUploadingTime(inputs) == first);
        inputs.lastFailedUpload = first;
        CHECK(APMNextUploadingTime(inputs) == first + 3600);
        inputs.lastFailedUpload = first + 3600;
        CHECK(APMNextUploadingTime(inputs) == first + 3600 + 7200);
        // 1800 x (1 + 2 + 4 + 8 + 16 + 32) after the initial delay: the last
        // step; a failure at it leaves no next time.
        const double last = latest + 15 + 1800.0 * 63;
        inputs.lastFailedUpload = last - 1;
        CHECK(APMNextUploadingTime(inputs) == last);
        inputs.lastFailedUpload = last;
        CHECK(APMNextUploadingTime(inputs) == 0);
    }

    SUBCASE("a failure older than the newest data does not delay it") {
        auto inputs = defaults(kNow);
        inputs.lastFailedUpload = kNow - 1;
        CHECK(APMNextUploadingTime(inputs) == kNow + 15);
    }
}

TEST_CASE("The upload timer") {
    UploadFixture fixture;

    SUBCASE("an armed timer is never moved later, only earlier") {
        fixture.storeEvent("first", kNow);
        REQUIRE(fixture.alarmTime() == kNow + 15);
        fixture.time.advance(5);
        fixture.storeEvent("second", kNow + 5);
        CHECK(fixture.alarmTime() == kNow + 15);
        CHECK(fixture.capture.hasCode(kAPMScheduleTaskExistsCode));

        APMMonitor::shared().setDebugModeEnabled(true);
        fixture.storeEvent("third", kNow + 5);
        APMMonitor::shared().setDebugModeEnabled(false);
        CHECK(fixture.alarmTime() == kNow + 6);
    }

    SUBCASE("a time in the past fires at once") {
        fixture.server.enqueue(reply(204));
        fixture.storeEvent("late", kNow - 100);
        fixture.time.settle();
        REQUIRE(fixture.server.waitForRequests(1, 20));
        REQUIRE(fixture.completeRequest());
        CHECK(fixture.queued().empty());
    }

    SUBCASE("real-time data waits the real-time interval after a success") {
        fixture.persisted->setLastSuccessfulUploadTimestamp(kNow - 2);
        fixture.storeEvent("now", kNow, kBundleAppID, true);
        CHECK(fixture.alarmTime() == kNow - 2 + 10);
    }

    SUBCASE("nothing is scheduled before the back-off period has passed") {
        fixture.persisted->setLastBackoffTimestamp(kNow - 3600);
        fixture.storeEvent("held", kNow);
        CHECK(fixture.alarmTime() == kNow - 3600 + 43200);
    }

    SUBCASE("no data cancels the timer") {
        fixture.storeEvent("first", kNow);
        REQUIRE(fixture.alarmTime());
        fixture.onWorker([&] {
            REQUIRE(fixture.database->deleteRawEventsWithMaxRowID(1000, nullptr));
            fixture.uploader->updateSchedule();
        });
        CHECK_FALSE(fixture.alarmTime());
        CHECK(fixture.capture.hasCode(kAPMScheduleNoDataCode));
    }

    SUBCASE("the retries used up: no timer until the data changes") {
        fixture.onWorker([&] {
            REQUIRE(fixture.remoteConfig->updateMeasurementConfig(
                config_test::ConfigBuilder().setting("measurement.upload.retry_count", "1").config(), nullptr));
        });
        fixture.storeEvent("first", kNow);
        fixture.persisted->setLastFailedUploadTimestamp(kNow + 15 + 1800);
        fixture.onWorker([&] { fixture.uploader->updateSchedule(); });
        CHECK_FALSE(fixture.alarmTime());
        CHECK(fixture.capture.hasCode(kAPMScheduleNoNextTimeCode));
    }

    SUBCASE("a configuration fetch or new data lets an upload ask for the timer") {
        bool hasData = true;
        fixture.onWorker([&] {
            fixture.uploader->uploadDataOrRegisterAlarm();
            hasData = fixture.uploader->hasDataToUpload();
        });
        CHECK_FALSE(hasData);
        CHECK(fixture.server.requestCount() == 0);
        fixture.queueBundle("queued", kNow);
        fixture.server.enqueue(reply(204));
        fixture.onWorker([&] { fixture.uploader->uploadDataOrRegisterAlarm(); });
        REQUIRE(fixture.server.waitForRequests(1, 20));
        REQUIRE(fixture.completeRequest());
        CHECK(fixture.queued().empty());
    }
}
