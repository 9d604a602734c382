// What the upload keeps and what it gives up: long outages, the service's
// refusals of single bundles, and stale data without a service address.
#include <doctest/doctest.h>

#include <algorithm>
#include <map>

#include "measurement/store/config_test_support.h"
#include "measurement/foundation/bundle_tags.h"
#include "measurement/upload/uploader_test_support.h"

using namespace measurement;
using namespace upload_test;

namespace {

constexpr double kT0 = 1700000000.0;
constexpr double kHour = 3600;
constexpr double kDay = 86400;

// Completes every request under way, including those that a completion
// starts at once.
void completeRequests(UploadFixture& fixture) {
    for (int i = 0; i < 1000 && fixture.host->isNetworkRequestPending(); ++i) REQUIRE(fixture.completeRequest());
    CHECK_FALSE(fixture.host->isNetworkRequestPending());
}

// Moves the manual clock to `until`, stopping at each armed upload time to
// let its request complete, as the process would live through it.
void liveUntil(UploadFixture& fixture, double until) {
    for (int i = 0; i < 10000; ++i) {
        const auto alarm = fixture.alarmTime();
        if (!alarm || *alarm > until) break;
        fixture.time.advance(std::max(0.0, *alarm - fixture.time.now()));
        completeRequests(fixture);
    }
    fixture.time.advance(std::max(0.0, until - fixture.time.now()));
    completeRequests(fixture);
}

// How often each event arrived in the batches from the index on.
std::map<std::string, int> arrivals(const std::vector<APMPBMeasurementBatch>& batches, std::size_t from) {
    std::map<std::string, int> counts;
    for (std::size_t i = from; i < batches.size(); ++i) {
        for (const auto& bundle : bundlesOf(batches[i])) {
            for (const auto& name : eventNames(bundle)) ++counts[name];
        }
    }
    return counts;
}

std::vector<std::vector<std::string>> batchContents(const std::vector<APMPBMeasurementBatch>& batches) {
    std::vector<std::vector<std::string>> contents;
    for (const auto& batch : batches) {
        std::vector<std::string> names;
        for (const auto& bundle : bundlesOf(batch)) {
            for (const auto& name : eventNames(bundle)) names.push_back(name);
        }
        contents.push_back(names);
    }
    return contents;
}

}  // namespace

TEST_CASE("Four days of service outage lose nothing: every bundle goes out once the service answers") {
    UploadFixture fixture;
    REQUIRE(fixture.time.now() == kT0);
    // Two days of "unavailable" (with its back-off), then two of errors.
    fixture.server.answer("/a", reply(503));
    std::vector<std::string> logged;
    for (int step = 0; step < 32; ++step) {
        if (step == 16) fixture.server.answer("/a", reply(500));
        const std::string name = "outage_" + std::to_string(step);
        fixture.storeEvent(name, fixture.time.now());
        logged.push_back(name);
        liveUntil(fixture, kT0 + (step + 1) * 3 * kHour);
    }
    const std::size_t failedRequests = fixture.server.requestCount();
    REQUIRE(failedRequests >= 20);
    const auto queued = fixture.queued();
    REQUIRE_FALSE(queued.empty());
    // The oldest bundles failed far more often than the retry count (6).
    CHECK(queued.front().retryCount > 6);
    CHECK(fixture.capture.count(kAPMDatabaseRefusedBundleDeletedCode) == 0);
    CHECK(fixture.host->backgroundTasksEnded >= static_cast<int>(failedRequests));

    fixture.server.answer("/a", reply(204));
    liveUntil(fixture, fixture.time.now() + 2 * kDay);
    CHECK(fixture.queued().empty());
    const auto received = arrivals(fixture.batches(), failedRequests);
    REQUIRE(received.size() == logged.size());
    for (const auto& name : logged) CHECK(received.at(name) == 1);
}

TEST_CASE("A refused batch is retried bundle by bundle; only the bundle refused on its own is given up") {
    UploadFixture fixture;
    fixture.onWorker([&] {
        REQUIRE(fixture.remoteConfig->updateMeasurementConfig(
            config_test::ConfigBuilder().setting("measurement.upload.retry_count", "2").config(), nullptr));
    });
    fixture.queueBundle("good_1", kT0);
    const std::int64_t badRow = fixture.queueBundle("bad", kT0 + 1);
    fixture.queueBundle("good_2", kT0 + 2);
    auto upload = [&] {
        fixture.onWorker([&] { fixture.uploader->uploadData(); });
        completeRequests(fixture);
    };

    // Refused whole; at the next attempt the head goes alone and passes,
    // and the upload that follows at once sends the bad bundle alone.
    for (int status : {400, 204, 400}) fixture.server.enqueue(reply(status));
    upload();
    CHECK(fixture.queued().size() == 3);
    upload();
    CHECK(batchContents(fixture.batches()) ==
          std::vector<std::vector<std::string>>{{"good_1", "bad", "good_2"}, {"good_1"}, {"bad"}});
    REQUIRE(fixture.queued().size() == 2);
    CHECK(fixture.queued()[0].refusalCount == 1);
    CHECK(fixture.queued()[1].refusalCount == 0);

    fixture.server.enqueue(reply(422));
    upload();
    CHECK(fixture.queued().size() == 2);
    CHECK(fixture.capture.count(kAPMDatabaseRefusedBundleDeletedCode) == 0);

    // The next attempt gives the bad bundle up, logged with the refusing
    // status, and sends the last one (marked by the first refusal) alone.
    fixture.server.enqueue(reply(204));
    upload();
    const auto drops = fixture.capture.entriesWithCode(kAPMDatabaseRefusedBundleDeletedCode);
    REQUIRE(drops.size() == 1);
    CHECK(drops[0].contexts ==
          std::vector<platform::Value>{platform::Value(badRow), platform::Value(422), platform::Value(2)});
    CHECK(batchContents(fixture.batches()).back() == std::vector<std::string>{"good_2"});
    CHECK(fixture.queued().empty());
}

TEST_CASE("Failures that say nothing against the bundles never count as refusals") {
    auto limitRefusalsToOne = [](UploadFixture& fixture) {
        fixture.onWorker([&] {
            REQUIRE(fixture.remoteConfig->updateMeasurementConfig(
                config_test::ConfigBuilder().setting("measurement.upload.retry_count", "1").config(), nullptr));
        });
    };
    auto checkKept = [](UploadFixture& fixture) {
        fixture.onWorker([&] { fixture.uploader->uploadData(); });
        completeRequests(fixture);
        const auto queued = fixture.queued();
        REQUIRE(queued.size() == 1);
        CHECK(queued[0].refusalCount == 0);
        CHECK(queued[0].refusalStatus == 0);
        CHECK(fixture.capture.count(kAPMDatabaseRefusedBundleDeletedCode) == 0);
    };
    SUBCASE("time-outs, too many requests and server errors") {
        UploadFixture fixture;
        limitRefusalsToOne(fixture);
        fixture.queueBundle("kept", kT0);
        for (int status : {408, 429, 500, 503, 408}) {
            CAPTURE(status);
            fixture.server.enqueue(reply(status));
            checkKept(fixture);
        }
        CHECK(fixture.queued()[0].retryCount == 5);
    }
    SUBCASE("a service nobody listens for") {
        UploadFixture fixture(true, "http://127.0.0.1:9");
        limitRefusalsToOne(fixture);
        fixture.queueBundle("kept", kT0);
        checkKept(fixture);
        checkKept(fixture);
    }
}

TEST_CASE("Without a service address stale raw events and bundles are still given up") {
    UploadFixture fixture(false);
    fixture.storeEvent("ancient", kT0 - 29 * kDay);
    fixture.queueBundle("ancient_bundle", kT0 - 30 * kDay);
    fixture.storeEvent("recent", kT0 - kHour);
    fixture.onWorker([&] { fixture.uploader->uploadData(); });
    CHECK(fixture.server.requestCount() == 0);
    CHECK(fixture.capture.count(kAPMDatabaseStaleRawEventsDeletedCode) == 1);
    CHECK(fixture.capture.count(kAPMDatabaseStaleBundlesDeletedCode) == 1);
    CHECK(fixture.queued().empty());
    std::vector<std::string> left;
    fixture.onWorker([&] {
        const auto fingerprint = fixture.database->nextMetadataFingerprintToProcess(nullptr);
        REQUIRE(fingerprint);
        const auto run = fixture.database->rawEventsWithMetadataFingerprint(*fingerprint, nullptr, nullptr);
        REQUIRE(run);
        for (const auto& raw : *run) left.push_back(raw.event().name());
    });
    CHECK(left == std::vector<std::string>{"recent"});
}
