// The upload lock around each attempt, and the time a batch needs before its
// process ends.
#include <doctest/doctest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "measurement/store/config_test_support.h"
#include "measurement/store/file_lock.h"
#include "measurement/upload/uploader.h"
#include "measurement/upload/uploader_test_support.h"

using namespace measurement;
using namespace upload_test;

namespace {

constexpr double kT0 = 1700000000.0;

// Whether another process could take the upload lock now: every open of the
// lock file holds for itself, so a second one here stands for it.
bool uploadLockFree(UploadFixture& fixture) {
    std::error_code error;
    return APMFileLock::acquire(fixture.database->databasePath() + ".upload-lock", APMFileLock::Kind::exclusive,
                                false, &error) != nullptr;
}

std::vector<std::string> queuedEventNames(UploadFixture& fixture) {
    std::vector<std::string> names;
    for (const auto& entry : fixture.queued()) {
        for (auto& name : eventNames(entry.bundle)) names.push_back(std::move(name));
    }
    return names;
}

}  // namespace

TEST_CASE("The upload lock is held while a batch is out and given back once its attempt is over") {
    struct Case {
        const char* what;
        // The service's address; empty: the loopback service.
        std::string serviceURL;
        std::function<void(UploadFixture&)> prepare;
        // The service's answer to the batch; 0 when no batch goes out.
        int status;
    };
    auto queueOne = [](UploadFixture& fixture) { fixture.queueBundle("kept", kT0); };
    const Case cases[] = {
        {"nothing queued", "", [](UploadFixture&) {}, 0},
        {"the queue cannot be read", "",
         [&](UploadFixture& fixture) {
             queueOne(fixture);
             fixture.executeSQL("ALTER TABLE queue RENAME TO queue_away");
         },
         0},
        {"no time left for a batch", "",
         [&](UploadFixture& fixture) {
             queueOne(fixture);
             fixture.host->timeRemaining = 1;
         },
         0},
        {"no network session", "ftp://127.0.0.1:9", queueOne, 0},
        {"confirmed", "", queueOne, 204},
        {"refused by the service", "", queueOne, 400},
        {"failed at the service", "", queueOne, 500},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        UploadFixture fixture(true, entry.serviceURL);
        entry.prepare(fixture);
        if (entry.status != 0) fixture.server.enqueue(reply(entry.status, {}, {}, true));
        fixture.onWorker([&] { fixture.uploader->uploadData(); });
        if (entry.status != 0) {
            REQUIRE(fixture.server.waitForHeld(1, 20));
            // No other process may send the same bundles meanwhile.
            CHECK_FALSE(uploadLockFree(fixture));
            fixture.server.release();
            REQUIRE(fixture.completeRequest());
        }
        CHECK(fixture.server.requestCount() == (entry.status != 0 ? 1U : 0U));
        CHECK(uploadLockFree(fixture));
    }
}

TEST_CASE("A batch starts only while its answer can still come before the process ends") {
    // The request's own timeout: the default, and those the service sets,
    // from the shortest to the longest it may.
    struct Timeout {
        const char* setting;
        double seconds;
    };
    // A process about to end grants its upload this window in which batches
    // may start, whatever the timeout: a batch starts at its last second,
    // and none a second later.
    constexpr double kWindow = 10;
    for (const Timeout timeout : {Timeout{nullptr, 60}, Timeout{"30", 30}, Timeout{"45", 45}, Timeout{"120", 120},
                                  Timeout{"3600", 3600}}) {
        for (const bool enough : {false, true}) {
            CAPTURE(timeout.seconds);
            CAPTURE(enough);
            const double elapsed = enough ? kWindow : kWindow + 1;
            UploadFixture fixture;
            if (timeout.setting) {
                fixture.onWorker([&] {
                    REQUIRE(fixture.remoteConfig->updateMeasurementConfig(
                        config_test::ConfigBuilder().setting("measurement.network.network_timeout", timeout.setting)
                            .config(),
                        nullptr));
                });
            }
            fixture.queueBundle("kept", kT0);
            fixture.host->timeRemaining = APMUploadTimeBeforeExit(kWindow, timeout.seconds) - elapsed;
            fixture.server.enqueue(reply(204));
            fixture.onWorker([&] { fixture.uploader->uploadData(); });
            if (enough) {
                REQUIRE(fixture.server.waitForRequests(1, 20));
                REQUIRE(fixture.completeRequest());
                CHECK(fixture.queued().empty());
                CHECK_FALSE(fixture.capture.hasCode(kAPMUploadNoTimeLeftCode));
                continue;
            }
            // Nothing went out, and nothing counts as a failed upload: the
            // next run sends the bundle on the usual schedule.
            CHECK_FALSE(fixture.host->isNetworkRequestPending());
            CHECK(fixture.uploader->uploadList().empty());
            CHECK(fixture.capture.hasCode(kAPMUploadNoTimeLeftCode));
            CHECK(fixture.host->backgroundTasksEnded == 1);
            CHECK(fixture.persisted->lastFailedUploadTimestamp() == 0);
            CHECK(queuedEventNames(fixture) == std::vector<std::string>{"kept"});
            CHECK(fixture.server.requestCount() == 0);
        }
    }
}

TEST_CASE("A process whose time runs out while a batch is out takes its answer and starts no other") {
    UploadFixture fixture;
    // Two batches' worth: bundles of two applications never share one.
    fixture.queueBundle("first", kT0, "app.one");
    fixture.queueBundle("second", kT0, "app.two");
    fixture.server.enqueue(reply(204, {}, {}, true));
    fixture.onWorker([&] { fixture.uploader->uploadData(); });
    REQUIRE(fixture.server.waitForHeld(1, 20));

    fixture.host->timeRemaining = 30;
    fixture.server.release();
    REQUIRE(fixture.completeRequest());
    // The confirmed bundle is gone; the other waits for a later run.
    CHECK(queuedEventNames(fixture) == std::vector<std::string>{"second"});
    CHECK(fixture.server.requestCount() == 1);
    CHECK_FALSE(fixture.host->isNetworkRequestPending());
    CHECK(fixture.capture.hasCode(kAPMUploadNoTimeLeftCode));
    CHECK(fixture.host->backgroundTasksEnded >= 1);
    CHECK(uploadLockFree(fixture));

    // A run with time sends it.
    fixture.host->timeRemaining = std::numeric_limits<double>::infinity();
    fixture.server.enqueue(reply(204));
    fixture.onWorker([&] { fixture.uploader->uploadData(); });
    REQUIRE(fixture.server.waitForRequests(2, 20));
    REQUIRE(fixture.completeRequest());
    CHECK(fixture.queued().empty());
    const auto batches = fixture.batches();
    REQUIRE(batches.size() == 2);
    CHECK(eventNames(bundlesOf(batches[1]).at(0)) == std::vector<std::string>{"second"});
}
