#pragma once

// The upload side on a temporary data folder for tests: manual time and
// queues, a real measurement database, persisted settings and server
// configuration, the real bundler, and a loopback measurement service.
// Network completions come from real threads: completeRequest() waits for
// one to reach the worker queue and then runs it, so tests never sleep.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/upload/bundler.h"
#include "measurement/upload/uploader.h"
#include "platform/dispatch/timer.h"
#include "testsupport/loopback_server.h"
#include "testsupport/temp_dir.h"

namespace upload_test {

using namespace measurement;

inline constexpr const char* kServiceAppID = "velmora-bernoulli-ios";
inline constexpr const char* kBundleAppID = "com.velmora.bernoulli";

// The host engine around the upload, with its own network and timer, that
// keeps what the upload asks of it beyond those.
class UploadHostStandIn : public APMUploadHost {
public:
    using APMUploadHost::APMUploadHost;

    bool deepLinkAfterFetch = false;
    int backgroundTasksEnded = 0;
    // The time the process still runs, as its driver would grant it.
    double timeRemaining = std::numeric_limits<double>::infinity();

    void terminateBackgroundTask() override { ++backgroundTasksEnded; }
    double backgroundTimeRemaining() const override { return timeRemaining; }
    bool shouldRequestDeferredDeepLinkAfterConfigFetch() const override { return deepLinkAfterFetch; }
    void setShouldRequestDeferredDeepLinkAfterConfigFetch(bool value) override { deepLinkAfterFetch = value; }
};

// The components after an upload or a fetch, keeping what they are told.
struct UploadPeersStandIn : APMUploadPeers {
    bool postponedPSMRequest = false;
    int skanRetryResets = 0;
    int skanFetchesScheduled = 0;
    int psmResponsesRetrieved = 0;
    int deepLinkRequests = 0;
    std::vector<bool> dmaRegions;

    void resetSKANRetryCount() override { ++skanRetryResets; }
    void scheduleSKANCVFetchAfterDataUpload() override { ++skanFetchesScheduled; }
    bool takePostponedPSMRequest() override { return std::exchange(postponedPSMRequest, false); }
    void retrievePSMResponse() override { ++psmResponsesRetrieved; }
    void requestDeferredDeepLink() override { ++deepLinkRequests; }
    void setIsDMARegion(bool region) override { dmaRegions.push_back(region); }
};

class UploadFixture {
public:
    // withService: the server configuration knows the loopback service's
    // address (or the one given); without it there is no address at all.
    explicit UploadFixture(bool withService = true, std::string serviceURL = {});
    ~UploadFixture();
    UploadFixture(const UploadFixture&) = delete;
    UploadFixture& operator=(const UploadFixture&) = delete;

    // Runs the block on the worker queue, as the engine does, and settles.
    void onWorker(const std::function<void()>& block);
    // Stores one raw event at that time under a header of the given
    // application, then updates the schedule as the engine does after a
    // write.
    void storeEvent(const std::string& name, double timestamp, const std::string& appID = kBundleAppID,
                    bool realtime = false);
    // Queues a bundle of one event directly, as bundling would have.
    std::int64_t queueBundle(const std::string& eventName, double endTimestamp, const std::string& appID = kBundleAppID,
                             const std::function<void(APMPBMeasurementBundle&)>& edit = {});
    // Waits (real time, bounded) for the next network completion to reach
    // the worker queue, then runs every queue. False when none came.
    bool completeRequest(double timeoutSeconds = 20);

    // The batches the service received, decoded.
    std::vector<APMPBMeasurementBatch> batches() const;
    std::vector<testsupport::RecordedRequest> requestsTo(const std::string& path) const;
    std::vector<APMQueuedBundle> queued();
    std::optional<double> alarmTime();
    // Runs a statement on the database file through a connection of its
    // own, as another writer would.
    void executeSQL(const std::string& sql);
    // Restarts the uploader and its components on the same files, as a new
    // process would.
    void restart();

    platform::dispatch::ManualTime time;
    testsupport::TempDir folder;
    testsupport::LoopbackServer server;
    APMMonitorCapture capture;
    std::shared_ptr<platform::Reachability> reachability = std::make_shared<platform::Reachability>(true);
    std::shared_ptr<UploadPeersStandIn> peers = std::make_shared<UploadPeersStandIn>();
    std::shared_ptr<UploadHostStandIn> host;
    std::shared_ptr<APMDatabase> database;
    std::shared_ptr<APMDatabaseConfigStorage> storage;
    std::shared_ptr<APMPersistedConfig> persisted;
    std::shared_ptr<APMRemoteConfig> remoteConfig;
    std::unique_ptr<APMBundler> bundler;
    std::shared_ptr<APMUploader> uploader;

private:
    void open();
    void close();
    bool withService_;
    std::string serviceURL_;
};

// The service's answer; held: not sent before the server's release().
testsupport::ScriptedResponse reply(int status, const testsupport::HeaderList& headers = {},
                                    const std::string& body = {}, bool held = false);

// Waits (real time, bounded) until work from another thread (a network
// completion) reaches the manual queue, then runs every queue. True at once
// when `done` already holds (the work came and ran during an earlier drain);
// false when nothing came.
bool runArrivingWork(const std::shared_ptr<platform::dispatch::Queue>& queue, platform::dispatch::ManualTime& time,
                     double timeoutSeconds = 20, const std::function<bool()>& done = {});

// The events of a bundle by name, in order.
std::vector<std::string> eventNames(const APMPBMeasurementBundle& bundle);
std::vector<APMPBMeasurementBundle> bundlesOf(const APMPBMeasurementBatch& batch);
std::int64_t bundleInt(const APMPBMeasurementBundle& bundle, int tag);
std::string bundleText(const APMPBMeasurementBundle& bundle, int tag);

}  // namespace upload_test
