// The upload test fixture: real database, manual time and a loopback service.
#include "measurement/upload/uploader_test_support.h"

#include <doctest/doctest.h>

#include <sqlite3.h>

#include <chrono>
#include <thread>

#include "measurement/foundation/hashing.h"
#include "measurement/store/config_test_support.h"
#include "measurement/foundation/bundle_tags.h"

namespace upload_test {

namespace {

APMPBEvent protoEvent(const std::string& name, double timestamp) {
    APMPBEvent event;
    NANOSetString(event, event_field::kName, name);
    NANOSetInt64(event, event_field::kTimestamp, APMMillisecondsFromSeconds(timestamp));
    return event;
}

}  // namespace

UploadFixture::UploadFixture(bool withService, std::string serviceURL)
    : withService_(withService), serviceURL_(std::move(serviceURL)) {
    open();
}

UploadFixture::~UploadFixture() { close(); }

void UploadFixture::open() {
    host = std::make_shared<UploadHostStandIn>(reachability);
    onWorker([this] {
        std::optional<APMError> error;
        database = APMDatabase::makeWithPath((folder.path() / "measurement.sql").string(), &error);
        REQUIRE(database);
        storage = std::make_shared<APMDatabaseConfigStorage>(database);
        persisted = std::make_shared<APMPersistedConfig>(folder.path() / "settings.plist");
        auto environment = config_test::testEnvironment(
            withService_ ? std::optional<std::string>(serviceURL_.empty() ? server.url("") : serviceURL_)
                         : std::nullopt);
        remoteConfig = std::make_shared<APMRemoteConfig>(storage, environment);
        bundler = std::make_unique<APMBundler>(*database, *remoteConfig, *persisted);
        APMUploadComponents components;
        components.host = host;
        components.database = database;
        components.configStorage = storage;
        components.persistedConfig = persisted;
        components.remoteConfig = remoteConfig;
        components.bundleRawEvents = [this] { return bundler->bundleRawEvents(); };
        components.peers = peers;
        components.appID = kServiceAppID;
        components.libraryVersion = 110500;
        components.runtimeVersion = 0;
        uploader = std::make_shared<APMUploader>(std::move(components));
    });
}

void UploadFixture::close() {
    if (host) host->uploadAlarm().cancel();
    uploader.reset();
    bundler.reset();
    remoteConfig.reset();
    persisted.reset();
    storage.reset();
    database.reset();
    host.reset();
    time.drain();
}

void UploadFixture::restart() {
    close();
    open();
}

void UploadFixture::onWorker(const std::function<void()>& block) {
    host->workerQueue()->async(block);
    time.drain();
}

void UploadFixture::storeEvent(const std::string& name, double timestamp, const std::string& appID, bool realtime) {
    onWorker([&] {
        APMPBMeasurementBundle header;
        NANOSetString(header, bundleFieldIndex(bundle_tag::kAppID), appID);
        NANOSetString(header, bundleFieldIndex(bundle_tag::kConsentSignals), "G1--");
        const std::int64_t fingerprint = apm_64LSBMD5(header.protoBuffer());
        APMEvent event("app", true, name, timestamp, 0, APMParameters{});
        event.setRealtime(realtime);
        REQUIRE(database->insertRawEventMetadata(header, fingerprint, nullptr));
        REQUIRE(database->insertRawEvent(event, fingerprint, nullptr));
        uploader->updateSchedule();
    });
}

std::int64_t UploadFixture::queueBundle(const std::string& eventName, double endTimestamp, const std::string& appID,
                                        const std::function<void(APMPBMeasurementBundle&)>& edit) {
    std::int64_t rowID = 0;
    onWorker([&] {
        APMPBMeasurementBundle bundle;
        NANOSetArray(bundle, bundleFieldIndex(bundle_tag::kEvents),
                     std::vector<APMPBEvent>{protoEvent(eventName, endTimestamp)});
        NANOSetString(bundle, bundleFieldIndex(bundle_tag::kAppID), appID);
        NANOSetInt64(bundle, bundleFieldIndex(bundle_tag::kStartTimestamp), APMMillisecondsFromSeconds(endTimestamp));
        NANOSetInt64(bundle, bundleFieldIndex(bundle_tag::kEndTimestamp), APMMillisecondsFromSeconds(endTimestamp));
        if (edit) edit(bundle);
        REQUIRE(database->insertBundle(bundle, false, nullptr));
        auto rows = database->queryBundlesWithCountLimit(100000, 1 << 30, nullptr);
        REQUIRE(rows);
        rowID = rows->back().rowID;
    });
    return rowID;
}

testsupport::ScriptedResponse reply(int status, const testsupport::HeaderList& headers, const std::string& body,
                                    bool held) {
    testsupport::ScriptedResponse response;
    response.status = status;
    response.headers = headers;
    response.body = body;
    response.hold = held;
    return response;
}

bool runArrivingWork(const std::shared_ptr<platform::dispatch::Queue>& queue, platform::dispatch::ManualTime& time,
                     double timeoutSeconds, const std::function<bool()>& done) {
    auto* manual = dynamic_cast<platform::dispatch::ManualQueue*>(queue.get());
    REQUIRE(manual);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (manual->pendingCount() == 0) {
        if (done && done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    time.drain();
    return true;
}

bool UploadFixture::completeRequest(double timeoutSeconds) {
    // A completion that arrived while an earlier step drained the queues has
    // already run: then no request is in flight any more.
    return runArrivingWork(host->workerQueue(), time, timeoutSeconds,
                           [this] { return !host->isNetworkRequestPending(); });
}

std::vector<testsupport::RecordedRequest> UploadFixture::requestsTo(const std::string& path) const {
    std::vector<testsupport::RecordedRequest> matching;
    for (const auto& request : server.requests()) {
        if (request.path == path) matching.push_back(request);
    }
    return matching;
}

std::vector<APMPBMeasurementBatch> UploadFixture::batches() const {
    std::vector<APMPBMeasurementBatch> decoded;
    for (const auto& request : requestsTo("/a")) {
        auto batch = APMPBMeasurementBatch::initWithBuffer(request.body);
        REQUIRE(batch);
        decoded.push_back(*batch);
    }
    return decoded;
}

std::vector<APMQueuedBundle> UploadFixture::queued() {
    std::vector<APMQueuedBundle> rows;
    onWorker([&] {
        auto read = database->queryBundlesWithCountLimit(100000, 1 << 30, nullptr);
        REQUIRE(read);
        rows = *read;
    });
    return rows;
}

std::optional<double> UploadFixture::alarmTime() { return host->uploadAlarm().scheduledTimestamp(); }

void UploadFixture::executeSQL(const std::string& sql) {
    sqlite3* db = nullptr;
    REQUIRE(sqlite3_open((folder.path() / "measurement.sql").string().c_str(), &db) == SQLITE_OK);
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    sqlite3_free(message);
    sqlite3_close(db);
    REQUIRE(rc == SQLITE_OK);
}

std::vector<std::string> eventNames(const APMPBMeasurementBundle& bundle) {
    std::vector<std::string> names;
    for (const auto& event : NANOGetArray<APMPBEvent>(bundle, bundleFieldIndex(bundle_tag::kEvents))) {
        names.push_back(NANOGetString(event, event_field::kName).value_or(""));
    }
    return names;
}

std::vector<APMPBMeasurementBundle> bundlesOf(const APMPBMeasurementBatch& batch) {
    return NANOGetArray<APMPBMeasurementBundle>(batch, 0);
}

std::int64_t bundleInt(const APMPBMeasurementBundle& bundle, int tag) {
    return NANOGetInt64(bundle, bundleFieldIndex(tag));
}

std::string bundleText(const APMPBMeasurementBundle& bundle, int tag) {
    return NANOGetString(bundle, bundleFieldIndex(tag)).value_or("");
}

}  // namespace upload_test
