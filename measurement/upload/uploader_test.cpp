// Tests of the batch upload against a loopback service.
#include "measurement/upload/uploader.h"

#include <doctest/doctest.h>

#include <filesystem>

#include "measurement/foundation/hashing.h"
#include "measurement/store/config_test_support.h"
#include "measurement/foundation/bundle_tags.h"
#include "measurement/upload/uploader_test_support.h"
#include "testsupport/test_hooks.h"

using namespace measurement;
using namespace upload_test;

namespace {

constexpr double kT0 = 1700000000.0;

std::int64_t millis(double seconds) { return APMMillisecondsFromSeconds(seconds); }

}  // namespace

TEST_CASE("A stored event is uploaded on the timer as one batch") {
    UploadFixture fixture;
    fixture.storeEvent("kuvo_calculate", kT0);
    REQUIRE(fixture.alarmTime() == kT0 + 15);

    SUBCASE("nothing 14 s later, one POST a second after that, deleted after 204") {
        fixture.time.advance(14);
        CHECK(fixture.server.requestCount() == 0);
        CHECK_FALSE(fixture.host->isNetworkRequestPending());

        fixture.server.enqueue(reply(204));
        fixture.time.advance(1);
        REQUIRE(fixture.server.waitForRequests(1, 20));
        REQUIRE(fixture.completeRequest());

        const auto batches = fixture.batches();
        REQUIRE(batches.size() == 1);
        const auto bundles = bundlesOf(batches[0]);
        REQUIRE(bundles.size() == 1);
        CHECK(eventNames(bundles[0]) == std::vector<std::string>{"kuvo_calculate"});
        CHECK(bundleText(bundles[0], bundle_tag::kAppID) == kBundleAppID);
        CHECK(bundleInt(bundles[0], 4) == millis(kT0 + 15));
        CHECK(bundleInt(bundles[0], 18) == 110500);
        CHECK(bundleInt(bundles[0], bundle_tag::kEndTimestamp) == millis(kT0));
        CHECK_FALSE(NANOHasField(bundles[0], bundleFieldIndex(47)));

        CHECK(fixture.queued().empty());
        CHECK(fixture.persisted->lastSuccessfulUploadTimestamp() == kT0 + 15);
        CHECK(fixture.persisted->lastFailedUploadTimestamp() == 0);
        CHECK(fixture.persisted->lastUploadedEventTimestampMillis() == millis(kT0));
        CHECK(fixture.capture.hasCode(kAPMUploadSucceededCode));
        CHECK_FALSE(fixture.alarmTime());

        fixture.time.advance(7200);
        CHECK(fixture.server.requestCount() == 1);
    }

    SUBCASE("500 keeps the bundle with retry count 1; the next POST comes at the retry interval") {
        fixture.server.enqueue(reply(500));
        fixture.time.advance(15);
        REQUIRE(fixture.server.waitForRequests(1, 20));
        REQUIRE(fixture.completeRequest());

        const auto queued = fixture.queued();
        REQUIRE(queued.size() == 1);
        CHECK(queued[0].retryCount == 1);
        CHECK(fixture.persisted->lastFailedUploadTimestamp() == kT0 + 15);
        CHECK(fixture.persisted->lastBackoffTimestamp() == 0);
        CHECK(fixture.capture.hasCode(kAPMUploadFailedCode));
        CHECK(fixture.alarmTime() == kT0 + 15 + 1800);

        fixture.server.enqueue(reply(200));
        fixture.time.advance(1799);
        CHECK(fixture.server.requestCount() == 1);
        fixture.time.advance(1);
        REQUIRE(fixture.server.waitForRequests(2, 20));
        REQUIRE(fixture.completeRequest());
        const auto batches = fixture.batches();
        REQUIRE(batches.size() == 2);
        CHECK(eventNames(bundlesOf(batches[1])[0]) == std::vector<std::string>{"kuvo_calculate"});
        CHECK(fixture.queued().empty());
        CHECK(fixture.persisted->lastFailedUploadTimestamp() == 0);
    }
}

TEST_CASE("503 and 429 start the back-off period; other failures do not") {
    for (const int code : {503, 429, 500}) {
        CAPTURE(code);
        UploadFixture fixture;
        fixture.storeEvent("kuvo_calculate", kT0);
        fixture.server.enqueue(reply(code));
        fixture.time.advance(15);
        REQUIRE(fixture.server.waitForRequests(1, 20));
        REQUIRE(fixture.completeRequest());
        const bool backoff = code == 503 || code == 429;
        CHECK(fixture.persisted->lastFailedUploadTimestamp() == kT0 + 15);
        CHECK(fixture.persisted->lastBackoffTimestamp() == (backoff ? kT0 + 15 : 0));
        CHECK(fixture.alarmTime() == (backoff ? kT0 + 15 + 43200 : kT0 + 15 + 1800));
        REQUIRE(fixture.queued().size() == 1);
        CHECK(fixture.queued()[0].retryCount == 1);
    }
}

TEST_CASE("Without a network nothing is armed, and the network's return reschedules") {
    UploadFixture fixture;
    fixture.reachability->setReachable(false);
    fixture.storeEvent("kuvo_calculate", kT0);
    CHECK_FALSE(fixture.alarmTime());
    CHECK(fixture.capture.hasCode(kAPMScheduleNoNetworkCode));

    SUBCASE("an upload asked for while offline only reschedules") {
        fixture.onWorker([&] { fixture.uploader->uploadData(); });
        CHECK(fixture.capture.hasCode(kAPMUploadNotConnectedCode));
        CHECK_FALSE(fixture.host->isNetworkRequestPending());
        CHECK_FALSE(fixture.alarmTime());
    }

    SUBCASE("coming back online arms the timer for the same time") {
        fixture.time.advance(100);
        CHECK(fixture.server.requestCount() == 0);
        // The answer is ready before the upload can go out.
        fixture.server.enqueue(reply(204));
        fixture.reachability->setReachable(true);
        fixture.time.settle();
        // The data's initial delay has passed: the timer fires at once.
        REQUIRE(fixture.server.waitForRequests(1, 20));
        REQUIRE(fixture.completeRequest());
        CHECK(fixture.queued().empty());
    }
}

TEST_CASE("Bundles of two application identifiers go out as two POSTs") {
    UploadFixture fixture;
    fixture.queueBundle("first", kT0, "app.one");
    fixture.queueBundle("second", kT0, "app.two");
    fixture.onWorker([&] { fixture.uploader->updateSchedule(); });
    fixture.server.enqueue(reply(204));
    fixture.server.enqueue(reply(204));
    fixture.time.advance(15);
    REQUIRE(fixture.server.waitForRequests(1, 20));
    REQUIRE(fixture.completeRequest());
    // The success sees more data queued and uploads again at once.
    REQUIRE(fixture.server.waitForRequests(2, 20));
    REQUIRE(fixture.completeRequest());

    const auto batches = fixture.batches();
    REQUIRE(batches.size() == 2);
    REQUIRE(bundlesOf(batches[0]).size() == 1);
    REQUIRE(bundlesOf(batches[1]).size() == 1);
    CHECK(bundleText(bundlesOf(batches[0])[0], bundle_tag::kAppID) == "app.one");
    CHECK(bundleText(bundlesOf(batches[1])[0], bundle_tag::kAppID) == "app.two");
    CHECK(fixture.queued().empty());
}

TEST_CASE("The leading run of compatible bundles") {
    auto entry = [](std::int64_t row, const std::string& app, const std::string& idfa, const std::string& idfv) {
        APMQueuedEntry queued;
        queued.rowID = row;
        NANOSetString(queued.bundle, bundleFieldIndex(bundle_tag::kAppID), app);
        if (!idfa.empty()) NANOSetString(queued.bundle, bundleFieldIndex(bundle_tag::kResettableDeviceID), idfa);
        if (!idfv.empty()) NANOSetString(queued.bundle, bundleFieldIndex(bundle_tag::kVendorDeviceID), idfv);
        return queued;
    };
    auto rows = [](const std::vector<APMQueuedEntry>& entries) {
        std::vector<std::int64_t> ids;
        for (const auto& e : entries) ids.push_back(e.rowID);
        return ids;
    };
    APMMonitorCapture capture;

    SUBCASE("another advertising identifier in the third bundle: the first two") {
        const std::vector<APMQueuedEntry> entries{entry(1, "a", "X", ""), entry(2, "a", "", ""),
                                                  entry(3, "a", "Y", ""), entry(4, "a", "X", "")};
        CHECK(rows(APMUploader::filteredBundlesWithCompatibleAppID("a", "X", std::nullopt, entries)) ==
              std::vector<std::int64_t>{1, 2});
    }
    SUBCASE("another application identifier ends the run even with the same device") {
        const std::vector<APMQueuedEntry> entries{entry(1, "a", "", "V"), entry(2, "b", "", "V"),
                                                  entry(3, "a", "", "V")};
        CHECK(rows(APMUploader::filteredBundlesWithCompatibleAppID("a", std::nullopt, "V", entries)) ==
              std::vector<std::int64_t>{1});
    }
    SUBCASE("vendor identifiers are compared when there is no advertising identifier") {
        const std::vector<APMQueuedEntry> entries{entry(1, "a", "", "V"), entry(2, "a", "Z", "V"),
                                                  entry(3, "a", "", "W")};
        CHECK(rows(APMUploader::filteredBundlesWithCompatibleAppID("a", std::nullopt, "V", entries)) ==
              std::vector<std::int64_t>{1, 2});
    }
    SUBCASE("both identifiers given: nothing, logged") {
        const std::vector<APMQueuedEntry> entries{entry(1, "a", "X", "V")};
        CHECK(APMUploader::filteredBundlesWithCompatibleAppID("a", "X", "V", entries).empty());
        CHECK(capture.hasCode(kAPMUploadFilterBothIDsCode));
    }
}

TEST_CASE("A bundle whose consent differs waits for the next batch and does not count as uploaded") {
    UploadFixture fixture;
    auto diagnostics = [](const std::string& value) {
        return [value](APMPBMeasurementBundle& bundle) {
            NANOSetString(bundle, bundleFieldIndex(bundle_tag::kConsentDiagnostics), value);
        };
    };
    fixture.queueBundle("first", kT0, kBundleAppID, diagnostics("19911"));
    fixture.queueBundle("second", kT0 + 30, kBundleAppID, diagnostics("19922"));
    // Both confirmations are held, so each batch is looked at while it is
    // still in flight.
    fixture.server.enqueue(reply(204, {}, {}, true));
    fixture.server.enqueue(reply(200, {}, {}, true));
    fixture.onWorker([&] { fixture.uploader->uploadData(); });
    REQUIRE(fixture.server.waitForHeld(1, 20));
    CHECK(fixture.uploader->lastEventEndMillis() == millis(kT0));
    fixture.server.release();
    REQUIRE(fixture.completeRequest());
    CHECK(fixture.persisted->lastUploadedEventTimestampMillis() == millis(kT0));

    // The second went out at once in a batch of its own; its confirmation
    // is still held.
    REQUIRE(fixture.server.waitForHeld(1, 20));
    const auto batches = fixture.batches();
    REQUIRE(batches.size() == 2);
    CHECK(eventNames(bundlesOf(batches[0])[0]) == std::vector<std::string>{"first"});
    REQUIRE(bundlesOf(batches[0]).size() == 1);
    CHECK(eventNames(bundlesOf(batches[1])[0]) == std::vector<std::string>{"second"});
    CHECK(fixture.persisted->lastUploadedEventTimestampMillis() == millis(kT0));
    fixture.server.release();
    REQUIRE(fixture.completeRequest());
    CHECK(fixture.persisted->lastUploadedEventTimestampMillis() == millis(kT0 + 30));
}

TEST_CASE("The checksum covers the bundle as sent") {
    UploadFixture fixture;
    fixture.onWorker([&] {
        REQUIRE(fixture.remoteConfig->updateMeasurementConfig(
            config_test::ConfigBuilder().setting("measurement.quality.checksum", "true").config(), nullptr));
    });
    fixture.queueBundle("first", kT0);
    fixture.server.enqueue(reply(204));
    fixture.onWorker([&] { fixture.uploader->uploadData(); });
    REQUIRE(fixture.server.waitForRequests(1, 20));
    REQUIRE(fixture.completeRequest());
    auto sent = bundlesOf(fixture.batches().at(0)).at(0);
    const std::int64_t checksum = bundleInt(sent, 47);
    NANOClearField(sent, bundleFieldIndex(47));
    CHECK(checksum == apm_64LSBMD5(sent.protoBuffer()));
    CHECK(checksum != 0);
}

TEST_CASE("Without a service address nothing is sent, once logged, and the data stays") {
    UploadFixture fixture(false);
    fixture.storeEvent("kuvo_calculate", kT0);
    fixture.time.advance(15);
    fixture.storeEvent("kuvo_calculate", kT0 + 20);
    fixture.time.advance(60);
    CHECK(fixture.server.requestCount() == 0);
    CHECK(fixture.capture.count(kAPMUploadNoServiceAddressCode) == 1);
    CHECK_FALSE(fixture.host->isNetworkRequestPending());
    bool hasData = false;
    fixture.onWorker([&] { hasData = fixture.uploader->hasDataToUpload(); });
    CHECK(hasData);
    fixture.onWorker([&] { fixture.uploader->fetchRemoteConfig(); });
    CHECK(fixture.capture.hasCode(kAPMConfigInvalidURLCode));
    CHECK(fixture.server.requestCount() == 0);
}

TEST_CASE("Uploaded bundles that cannot be deleted suspend uploads for an hour") {
    // The failure is made with a trigger of the test's own.
    const test_hooks::FileTriggersRun triggersRun;

    UploadFixture fixture;
    fixture.storeEvent("kuvo_calculate", kT0);
    fixture.executeSQL("CREATE TRIGGER keep_queue BEFORE DELETE ON queue BEGIN SELECT RAISE(ABORT, 'kept'); END");
    fixture.server.enqueue(reply(204));
    fixture.time.advance(15);
    REQUIRE(fixture.server.waitForRequests(1, 20));
    REQUIRE(fixture.completeRequest());
    CHECK(fixture.capture.hasCode(kAPMUploadDeleteFailedCode));
    REQUIRE(fixture.uploader->suspensionTimestamp());
    CHECK_FALSE(fixture.alarmTime());
    CHECK(fixture.queued().size() == 1);

    // New data within the hour schedules nothing; the same bundle is not
    // sent again at once.
    fixture.time.advance(1800);
    fixture.storeEvent("kuvo_calculate", kT0 + 1815);
    CHECK(fixture.capture.hasCode(kAPMUploadSuspendedCode));
    CHECK_FALSE(fixture.alarmTime());
    fixture.onWorker([&] { fixture.uploader->uploadData(); });
    CHECK(fixture.server.requestCount() == 1);

    fixture.executeSQL("DROP TRIGGER keep_queue");
    fixture.time.advance(1800);
    fixture.storeEvent("kuvo_calculate", kT0 + 3615);
    CHECK_FALSE(fixture.uploader->suspensionTimestamp());
    REQUIRE(fixture.alarmTime());
    fixture.server.enqueue(reply(204));
    fixture.time.advance(*fixture.alarmTime() - fixture.time.now());
    REQUIRE(fixture.server.waitForRequests(2, 20));
    REQUIRE(fixture.completeRequest());
    CHECK(fixture.queued().empty());
}

TEST_CASE("A bundle the service always refuses is given up after the retry limit") {
    UploadFixture fixture;
    fixture.onWorker([&] {
        REQUIRE(fixture.remoteConfig->updateMeasurementConfig(
            config_test::ConfigBuilder().setting("measurement.upload.retry_count", "2").config(), nullptr));
    });
    fixture.queueBundle("refused", kT0);
    for (int attempt = 1; attempt <= 2; ++attempt) {
        fixture.server.enqueue(reply(400));
        fixture.onWorker([&] { fixture.uploader->uploadData(); });
        REQUIRE(fixture.server.waitForRequests(static_cast<std::size_t>(attempt), 20));
        REQUIRE(fixture.completeRequest());
        REQUIRE(fixture.queued().size() == 1);
        CHECK(fixture.queued()[0].retryCount == attempt);
    }
    fixture.queueBundle("fresh", kT0 + 10);
    fixture.server.enqueue(reply(204));
    fixture.onWorker([&] { fixture.uploader->uploadData(); });
    REQUIRE(fixture.server.waitForRequests(3, 20));
    REQUIRE(fixture.completeRequest());
    const auto last = fixture.batches().back();
    REQUIRE(bundlesOf(last).size() == 1);
    CHECK(eventNames(bundlesOf(last)[0]) == std::vector<std::string>{"fresh"});
    CHECK(fixture.queued().empty());
}

TEST_CASE("A request that gets no network session does not block later uploads") {
    // The network object makes no session for an address it cannot serve;
    // it still completes the request, as a transport failure.
    UploadFixture fixture(true, "ftp://127.0.0.1:9");
    fixture.queueBundle("first", kT0);
    fixture.onWorker([&] { fixture.uploader->uploadData(); });
    CHECK(fixture.capture.hasCode(kAPMUploadNoSessionCode));
    CHECK(fixture.uploader->uploadList().empty());
    CHECK_FALSE(fixture.host->isNetworkRequestPending());
    CHECK(fixture.persisted->lastFailedUploadTimestamp() == kT0);
    CHECK(fixture.alarmTime() == kT0 + 15 + 1800);
    // Nothing was in flight: the retry count stays.
    CHECK(fixture.queued().at(0).retryCount == 0);
    bool ready = false;
    fixture.onWorker([&] { ready = fixture.uploader->isNetworkReadyForRequest(); });
    CHECK(ready);
}

TEST_CASE("After an upload the conversion components follow its outcome") {
    UploadFixture fixture;
    fixture.queueBundle("first", kT0);

    SUBCASE("a success resets the conversion-value retries and schedules their fetch") {
        fixture.server.enqueue(reply(204));
        fixture.onWorker([&] { fixture.uploader->uploadData(); });
        REQUIRE(fixture.server.waitForRequests(1, 20));
        REQUIRE(fixture.completeRequest());
        CHECK(fixture.peers->skanRetryResets == 1);
        CHECK(fixture.peers->skanFetchesScheduled == 1);
        CHECK(fixture.peers->psmResponsesRetrieved == 0);
    }

    SUBCASE("a success with an on-device conversion request waiting retrieves it instead") {
        fixture.peers->postponedPSMRequest = true;
        fixture.server.enqueue(reply(200));
        fixture.onWorker([&] { fixture.uploader->uploadData(); });
        REQUIRE(fixture.server.waitForRequests(1, 20));
        REQUIRE(fixture.completeRequest());
        CHECK(fixture.peers->skanRetryResets == 1);
        CHECK(fixture.peers->psmResponsesRetrieved == 1);
        CHECK_FALSE(fixture.peers->postponedPSMRequest);
        CHECK(fixture.peers->skanFetchesScheduled == 0);
    }

    SUBCASE("a failure leaves them alone") {
        fixture.server.enqueue(reply(500));
        fixture.onWorker([&] { fixture.uploader->uploadData(); });
        REQUIRE(fixture.server.waitForRequests(1, 20));
        REQUIRE(fixture.completeRequest());
        CHECK(fixture.peers->skanRetryResets == 0);
        CHECK(fixture.peers->skanFetchesScheduled == 0);
    }
}

TEST_CASE("An upload asked for while a request is under way is ignored") {
    UploadFixture fixture;
    fixture.queueBundle("first", kT0);
    fixture.server.enqueue(reply(204, {}, {}, true));
    fixture.onWorker([&] { fixture.uploader->uploadData(); });
    REQUIRE(fixture.server.waitForHeld(1, 20));
    const auto inFlight = fixture.uploader->uploadList();
    REQUIRE(inFlight.size() == 1);

    fixture.onWorker([&] { fixture.uploader->uploadData(); });
    CHECK(fixture.capture.hasCode(kAPMUploadNetworkPendingCode));
    CHECK(fixture.uploader->uploadList() == inFlight);
    CHECK(fixture.server.requestCount() == 1);

    fixture.server.release();
    REQUIRE(fixture.completeRequest());
    CHECK(fixture.queued().empty());
    CHECK(fixture.server.requestCount() == 1);
}

TEST_CASE("An answer that comes after the database file was replaced deletes only the bundles sent that the new "
          "file holds as they were sent") {
    // The service's answers: success, then a refusal that would count
    // against the bundles sent. The new file: made anew (its first bundle
    // takes the row ID the one sent had), or carried from the old one (it
    // holds the one sent under its own row ID). With a bundle of another
    // application read along, left out of the batch, which the new file
    // holds too when carried, and which was not sent.
    for (const int status : {204, 500}) {
        for (const bool carried : {false, true}) {
            for (const bool otherApp : {false, true}) {
                CAPTURE(status);
                CAPTURE(carried);
                CAPTURE(otherApp);
                UploadFixture fixture;
                const std::int64_t sent = fixture.queueBundle("before_replacement", kT0);
                if (otherApp) fixture.queueBundle("another_app", kT0, "com.velmora.another");
                fixture.server.enqueue(reply(status, {}, {}, true));
                // A success goes on with what is left: that batch is held
                // out, so that the rows stay as the answer left them.
                if (status == 204) fixture.server.enqueue(reply(204, {}, {}, true));
                fixture.onWorker([&] { fixture.uploader->uploadData(); });
                REQUIRE(fixture.server.waitForHeld(1, 20));

                // Another program replaces the file while the request is out.
                const std::string path = fixture.database->databasePath();
                for (const std::string suffix : {"", "-wal"}) {
                    if (carried && std::filesystem::exists(path + suffix)) {
                        std::filesystem::copy_file(path + suffix, path + ".carry" + suffix);
                    }
                }
                for (const std::string suffix : {"", "-wal", "-shm"}) {
                    if (std::filesystem::exists(path + suffix)) {
                        std::filesystem::rename(path + suffix, path + ".moved" + suffix);
                    }
                    if (std::filesystem::exists(path + ".carry" + suffix)) {
                        std::filesystem::rename(path + ".carry" + suffix, path + suffix);
                    }
                }
                const std::int64_t added = fixture.queueBundle("after_replacement", kT0 + 1);
                REQUIRE((added == sent) == !carried);

                fixture.server.release();
                REQUIRE(fixture.completeRequest());
                if (status == 204) REQUIRE(fixture.server.waitForHeld(1, 20));
                const auto batches = fixture.batches();
                REQUIRE(batches.size() == (status == 204 ? 2u : 1u));
                CHECK(bundlesOf(batches[0]).size() == 1);
                std::vector<std::vector<std::string>> names;
                for (const auto& queued : fixture.queued()) {
                    names.push_back(eventNames(queued.bundle));
                    CHECK(queued.retryCount == 0);
                }
                std::vector<std::vector<std::string>> expected;
                if (carried && status != 204) expected.push_back({"before_replacement"});
                if (carried && otherApp) expected.push_back({"another_app"});
                expected.push_back({"after_replacement"});
                CHECK(names == expected);
                CHECK(fixture.capture.hasCode(kAPMUploadFileReplacedCode));
                CHECK(fixture.capture.hasCode(kAPMUploadCarriedBundlesDeletedCode) == (status == 204));
            }
        }
    }
}

TEST_CASE("An upload that finds nothing queued sends nothing and ends the background task") {
    UploadFixture fixture;
    fixture.onWorker([&] { fixture.uploader->uploadData(); });
    CHECK(fixture.capture.hasCode(kAPMUploadNoDataCode));
    CHECK(fixture.host->backgroundTasksEnded == 1);
    CHECK_FALSE(fixture.host->isNetworkRequestPending());
    CHECK(fixture.server.requestCount() == 0);
}

TEST_CASE("A queue that cannot be read sends nothing and loses nothing") {
    // The failures are made by dropping or renaming a table behind the
    // database's back, not examined as another program's layout change.
    const test_hooks::LayoutChangesUnexamined unexamined;
    UploadFixture fixture;
    fixture.queueBundle("kept", kT0);
    fixture.onWorker([&] { fixture.uploader->updateSchedule(); });
    REQUIRE(fixture.alarmTime());
    fixture.executeSQL("ALTER TABLE queue RENAME TO queue_away");

    fixture.onWorker([&] { fixture.uploader->uploadData(); });
    CHECK(fixture.capture.hasCode(kAPMUploadQueryFailedCode));
    CHECK(fixture.host->backgroundTasksEnded == 1);
    CHECK_FALSE(fixture.host->isNetworkRequestPending());

    // Unreadable counts as nothing to send: the timer stops.
    fixture.onWorker([&] { fixture.uploader->updateSchedule(); });
    CHECK(fixture.capture.hasCode(kAPMQueueEmptyCheckFailedCode));
    CHECK(fixture.capture.hasCode(kAPMScheduleNoDataCode));
    CHECK_FALSE(fixture.alarmTime());
    CHECK(fixture.server.requestCount() == 0);

    fixture.executeSQL("ALTER TABLE queue_away RENAME TO queue");
    fixture.server.enqueue(reply(204));
    fixture.onWorker([&] { fixture.uploader->uploadData(); });
    REQUIRE(fixture.server.waitForRequests(1, 20));
    REQUIRE(fixture.completeRequest());
    REQUIRE(fixture.batches().size() == 1);
    CHECK(eventNames(bundlesOf(fixture.batches()[0]).at(0)) == std::vector<std::string>{"kept"});
    CHECK(fixture.queued().empty());
}

TEST_CASE("While the upload lock is held elsewhere or cannot be taken, nothing is sent and the data stays") {
    struct Case {
        const char* what;
        bool held;  // another holder; otherwise a folder stands where the lock file goes
        long code;
    };
    const Case cases[] = {
        {"another process uploads", true, kAPMUploadOtherProcessCode},
        {"no lock file can be made", false, kAPMUploadLockFailedCode},
    };
    for (const auto& entry : cases) {
        CAPTURE(entry.what);
        UploadFixture fixture;
        fixture.queueBundle("kept", kT0);
        const std::filesystem::path lockPath = fixture.database->databasePath() + ".upload-lock";
        std::unique_ptr<APMFileLock> other;
        if (entry.held) {
            other = APMFileLock::acquire(lockPath, APMFileLock::Kind::exclusive, false, nullptr);
            REQUIRE(other);
        } else {
            std::filesystem::create_directory(lockPath);
        }
        fixture.onWorker([&] { fixture.uploader->uploadData(); });
        CHECK(fixture.capture.hasCode(entry.code));
        CHECK(fixture.host->backgroundTasksEnded == 1);
        CHECK(fixture.server.requestCount() == 0);
        CHECK(fixture.queued().size() == 1);
        // Only the process that waits for another tries again on its own.
        const auto alarm = fixture.alarmTime();
        CHECK(alarm.has_value() == entry.held);
        if (alarm) CHECK(*alarm == doctest::Approx(fixture.time.now() + kAPMUploadLockRetrySeconds));

        // Once it is free, the upload goes out.
        other.reset();
        std::filesystem::remove(lockPath);
        fixture.server.enqueue(reply(204));
        fixture.onWorker([&] { fixture.uploader->uploadData(); });
        REQUIRE(fixture.completeRequest());
        CHECK(fixture.batches().size() == 1);
        CHECK(fixture.queued().empty());
    }
}
