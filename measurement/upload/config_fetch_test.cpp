// Tests of the configuration fetch.
#include <doctest/doctest.h>

#include "measurement/store/config_test_support.h"
#include "measurement/upload/uploader.h"
#include "measurement/upload/uploader_test_support.h"
#include "testsupport/test_hooks.h"

using namespace measurement;
using namespace upload_test;

namespace {

constexpr double kNow = 1700000000.0;
const std::string kConfigPath = std::string("/config/app/") + kServiceAppID;

std::string bytesOf(const config_test::ConfigBuilder& builder) {
    const auto bytes = builder.bytes();
    return std::string(bytes.begin(), bytes.end());
}

// Fetches once, answered as given, and runs the completion.
void fetch(UploadFixture& fixture, testsupport::ScriptedResponse response) {
    const std::size_t before = fixture.server.requestCount();
    fixture.server.enqueue(std::move(response));
    fixture.onWorker([&] { fixture.uploader->fetchRemoteConfig(); });
    REQUIRE(fixture.server.waitForRequests(before + 1, 20));
    REQUIRE(fixture.completeRequest());
}

double configUpdateTime(UploadFixture& fixture) {
    double time = -1;
    fixture.onWorker([&] { time = fixture.database->remoteConfigSuccessfulTimestamp(nullptr).value_or(-1); });
    return time;
}

}  // namespace

TEST_CASE("The configuration is fetched with a conditional GET") {
    UploadFixture fixture;
    const testsupport::HeaderList validators{{"ETag", "\"v1\""}, {"Last-Modified", "Tue, 14 Nov 2023 22:13:20 GMT"}};
    const auto config = config_test::ConfigBuilder().version(7).setting("measurement.upload.interval", "600");

    fetch(fixture, reply(200, validators, bytesOf(config)));
    const auto first = fixture.server.requests().at(0);
    CHECK(first.method == "GET");
    CHECK(first.path == kConfigPath);
    CHECK(first.query == "platform=ios&ruz_version=110500&runtime_version=0");
    CHECK_FALSE(first.header("If-None-Match"));
    CHECK_FALSE(first.header("If-Modified-Since"));

    CHECK(fixture.remoteConfig->version() == 7);
    CHECK(fixture.remoteConfig->uploadingInterval() == 600);
    CHECK(fixture.persisted->remoteConfigETag() == "\"v1\"");
    CHECK(fixture.persisted->remoteConfigLastModified() == "Tue, 14 Nov 2023 22:13:20 GMT");
    CHECK(configUpdateTime(fixture) == kNow);
    CHECK(fixture.capture.hasCode(kAPMConfigFetchSucceededCode));

    SUBCASE("the next fetch is conditional; 304 keeps everything") {
        fixture.time.advance(100);
        fetch(fixture, reply(304));
        const auto second = fixture.server.requests().at(1);
        CHECK(second.header("If-None-Match") == "\"v1\"");
        CHECK(second.header("If-Modified-Since") == "Tue, 14 Nov 2023 22:13:20 GMT");
        CHECK(fixture.remoteConfig->version() == 7);
        CHECK(fixture.persisted->remoteConfigETag() == "\"v1\"");
        CHECK(configUpdateTime(fixture) == kNow + 100);
        CHECK(fixture.capture.hasCode(kAPMConfigNotModifiedCode));
    }

    SUBCASE("404 keeps the stored configuration and refreshes its time") {
        fixture.time.advance(100);
        fetch(fixture, reply(404));
        CHECK(fixture.remoteConfig->version() == 7);
        CHECK(configUpdateTime(fixture) == kNow + 100);
        CHECK(fixture.capture.hasCode(kAPMConfigNotFoundCode));
    }

    SUBCASE("200 with an empty body refreshes the time and keeps the validators") {
        fixture.time.advance(100);
        fetch(fixture, reply(200, {{"ETag", "\"v2\""}}));
        CHECK(fixture.persisted->remoteConfigETag() == "\"v1\"");
        CHECK(fixture.remoteConfig->version() == 7);
        CHECK(configUpdateTime(fixture) == kNow + 100);
    }

    SUBCASE("a configuration for another application stores nothing and keeps the validators") {
        fetch(fixture, reply(200, {{"ETag", "\"other\""}}, bytesOf(config_test::ConfigBuilder("another-app").version(9))));
        CHECK(fixture.capture.hasCode(kAPMConfigWrongAppIDCode));
        CHECK(fixture.remoteConfig->version() == 7);
        CHECK(fixture.persisted->remoteConfigETag() == "\"v1\"");
    }

    SUBCASE("a body that does not decode stores nothing") {
        fetch(fixture, reply(200, {{"ETag", "\"junk\""}}, std::string("\xff\xff\xff\x07", 4)));
        CHECK(fixture.capture.hasCode(kAPMConfigInvalidDataCode));
        CHECK(fixture.remoteConfig->version() == 7);
        CHECK(fixture.persisted->remoteConfigETag() == "\"v1\"");
    }

    SUBCASE("a new configuration without validators clears the old ones") {
        fetch(fixture, reply(200, {}, bytesOf(config_test::ConfigBuilder().version(8))));
        CHECK(fixture.remoteConfig->version() == 8);
        CHECK_FALSE(fixture.persisted->remoteConfigETag());
        CHECK_FALSE(fixture.persisted->remoteConfigLastModified());
    }
}

TEST_CASE("A failed configuration fetch counts as an upload failure") {
    for (const int code : {429, 503, 500}) {
        CAPTURE(code);
        UploadFixture fixture;
        fetch(fixture, reply(code));
        const bool backoff = code != 500;
        CHECK(fixture.persisted->lastFailedUploadTimestamp() == kNow);
        CHECK(fixture.persisted->lastBackoffTimestamp() == (backoff ? kNow : 0));
        CHECK(fixture.capture.hasCode(kAPMConfigRequestFailedCode));
        CHECK(configUpdateTime(fixture) == 0);
    }
}

TEST_CASE("A completed configuration fetch clears the upload failure and the back-off") {
    UploadFixture fixture;
    fixture.persisted->setLastFailedUploadTimestamp(kNow - 10);
    fixture.persisted->setLastBackoffTimestamp(kNow - 10);
    fetch(fixture, reply(304));
    CHECK(fixture.persisted->lastFailedUploadTimestamp() == 0);
    CHECK(fixture.persisted->lastBackoffTimestamp() == 0);
}

TEST_CASE("A fetched configuration changes the next upload") {
    UploadFixture fixture;
    for (int i = 0; i < 3; ++i) fixture.storeEvent("calc_" + std::to_string(i), kNow + i);
    fixture.server.answer("/a", reply(204));
    // The fetch completes and the upload follows at once.
    fetch(fixture, reply(200, {}, bytesOf(config_test::ConfigBuilder().setting(
                                   "measurement.upload.max_events_per_bundle", "2"))));
    REQUIRE(fixture.server.waitForRequests(2, 20));
    REQUIRE(fixture.completeRequest());

    const auto batches = fixture.batches();
    REQUIRE(batches.size() == 1);
    const auto bundles = bundlesOf(batches[0]);
    REQUIRE(bundles.size() == 2);
    CHECK(eventNames(bundles[0]) == std::vector<std::string>{"calc_0", "calc_1"});
    CHECK(eventNames(bundles[1]) == std::vector<std::string>{"calc_2"});
    CHECK(fixture.queued().empty());
}

TEST_CASE("An upload that finds an expired configuration fetches it first") {
    UploadFixture fixture;
    fetch(fixture, reply(200, {}, bytesOf(config_test::ConfigBuilder().version(1))));
    fixture.time.advance(3600);
    REQUIRE(fixture.remoteConfig->isExpired());
    fixture.storeEvent("waiting", fixture.time.now());

    // Expired: nothing is bundled, the configuration is fetched, then the
    // upload goes on.
    fixture.server.enqueue(reply(304));
    fixture.server.enqueue(reply(204));
    fixture.onWorker([&] { fixture.uploader->uploadData(); });
    REQUIRE(fixture.server.waitForRequests(2, 20));
    REQUIRE(fixture.completeRequest());
    REQUIRE(fixture.server.waitForRequests(3, 20));
    REQUIRE(fixture.completeRequest());
    const auto requests = fixture.server.requests();
    CHECK(requests[1].path == kConfigPath);
    CHECK(requests[2].path == "/a");
    CHECK(eventNames(bundlesOf(fixture.batches().at(0)).at(0)) == std::vector<std::string>{"waiting"});
}

TEST_CASE("A completed fetch hands over to the deferred deep link when one waits for it") {
    UploadFixture fixture;
    fixture.storeEvent("waiting", kNow);
    fixture.host->deepLinkAfterFetch = true;

    SUBCASE("with DMA consent on: the deep link is requested, and the upload waits for its timer") {
        fetch(fixture, reply(304));
        CHECK(fixture.peers->deepLinkRequests == 1);
        CHECK_FALSE(fixture.host->deepLinkAfterFetch);
        CHECK_FALSE(fixture.host->isNetworkRequestPending());
        CHECK(fixture.server.requestCount() == 1);
    }

    SUBCASE("with DMA consent off: the upload follows at once and the deep link still waits") {
        fixture.server.answer("/a", reply(204));
        fetch(fixture, reply(200, {}, bytesOf(config_test::ConfigBuilder().setting(
                                           "measurement.upload.dma_consent_enabled", "false"))));
        REQUIRE_FALSE(fixture.remoteConfig->DMAConsentEnabled());
        CHECK(fixture.peers->deepLinkRequests == 0);
        CHECK(fixture.host->deepLinkAfterFetch);
        REQUIRE(fixture.server.waitForRequests(2, 20));
        REQUIRE(fixture.completeRequest());
        CHECK(fixture.requestsTo("/a").size() == 1);
    }
}

TEST_CASE("A completed fetch tells the TCF client the configuration's region") {
    UploadFixture fixture;
    fetch(fixture, reply(200, {}, bytesOf(config_test::ConfigBuilder().dmaRegion(true))));
    fetch(fixture, reply(200, {}, bytesOf(config_test::ConfigBuilder().dmaRegion(false))));
    CHECK(fixture.peers->dmaRegions == std::vector<bool>{true, false});
    fetch(fixture, reply(500));
    CHECK(fixture.peers->dmaRegions.size() == 2);
}

TEST_CASE("A completed fetch whose update time cannot be recorded suspends uploads") {
    // The failure is made with a trigger of the test's own.
    const test_hooks::FileTriggersRun triggersRun;

    for (const int code : {304, 200}) {
        CAPTURE(code);
        UploadFixture fixture;
        fixture.storeEvent("waiting", kNow);
        REQUIRE(fixture.alarmTime());
        fixture.executeSQL(
            "CREATE TRIGGER keep_time BEFORE UPDATE OF remote_config_successful_timestamp ON app_metadata "
            "BEGIN SELECT RAISE(ABORT, 'kept'); END");
        fixture.executeSQL(
            "CREATE TRIGGER keep_new_time BEFORE INSERT ON app_metadata "
            "WHEN NEW.remote_config_successful_timestamp != 0 BEGIN SELECT RAISE(ABORT, 'kept'); END");
        fetch(fixture, reply(code, {}, code == 200 ? bytesOf(config_test::ConfigBuilder().version(2)) : ""));
        CHECK(fixture.capture.hasCode(code == 304 ? kAPMConfigTimestampFailedCode : kAPMConfigSetTimestampFailedCode));
        CHECK(fixture.uploader->suspensionTimestamp());
        CHECK(fixture.capture.hasCode(kAPMUploadSuspendedCode));
        CHECK_FALSE(fixture.alarmTime());
        CHECK(fixture.requestsTo("/a").empty());
        // What arrived is still taken.
        CHECK(fixture.remoteConfig->version() == (code == 200 ? 2 : -1));

        // A fetch that records its time lifts the suspension.
        fixture.executeSQL("DROP TRIGGER keep_time");
        fixture.executeSQL("DROP TRIGGER keep_new_time");
        fixture.server.answer("/a", reply(204));
        fetch(fixture, reply(304));
        CHECK_FALSE(fixture.uploader->suspensionTimestamp());
        REQUIRE(fixture.server.waitForRequests(3, 20));
        REQUIRE(fixture.completeRequest());
        CHECK(fixture.queued().empty());
    }
}

TEST_CASE("A fetch's failure is reported until the next fetch of the process ends, and not after it") {
    for (const int later : {200, 304, 404}) {
        CAPTURE(later);
        UploadFixture fixture;
        auto failure = [&fixture] {
            std::optional<std::string> reported;
            fixture.onWorker([&] { reported = fixture.uploader->lastConfigFetchFailure(); });
            return reported;
        };
        fetch(fixture, reply(503));
        CHECK(failure() == "the service answered 503");
        fetch(fixture, later == 200 ? reply(200, {}, bytesOf(config_test::ConfigBuilder().version(4))) : reply(later));
        CHECK_FALSE(failure());
    }
}
