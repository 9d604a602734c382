// The engine core's side of the upload: adapters from the core's engine and
// seams to what the upload side reads, and the seam that routes the core's
// calls to the upload of the current engine. Nothing here names the server
// configuration, whose headers do not go together with the core's.
#include "measurement/upload/engine_upload.h"

#include <mutex>

#include "measurement/core/measurement.h"
#include "measurement/core/raw_event_metadata.h"
#include "measurement/store/files.h"
#include "measurement/upload/upload_service.h"

namespace measurement {

namespace {

// The engine as the upload side reads it. The upload side runs on the
// engine's worker queue, so the engine is there whenever it is called; it
// does not keep the engine alive, so that the engine goes when its owner
// lets it go (at a restart in tests, at exit).
class EngineUploadAdapter : public APMUploadEngine {
public:
    explicit EngineUploadAdapter(APMMeasurement& engine) : APMUploadEngine(NoParts{}), engine_(&engine) {}

    const std::shared_ptr<platform::dispatch::Queue>& workerQueue() const override {
        return engine_->scheduler().workerQueue();
    }
    void scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) override {
        engine_->scheduleOnWorkerQueue(blockID, std::move(block));
    }
    platform::RULNetwork& network() override { return *engine_->network(); }
    APMAlarm& uploadAlarm() override { return engine_->uploadAlarm(); }
    bool isNetworkRequestPending() const override { return engine_->isNetworkRequestPending(); }
    void setIsNetworkRequestPending(bool pending) override { engine_->setIsNetworkRequestPending(pending); }
    bool holdsBackgroundTask() const override {
        return engine_->backgroundTaskIdentifier() != platform::kInvalidBackgroundTask;
    }
    void terminateBackgroundTask() override { engine_->terminateBackgroundTask(); }
    std::shared_ptr<platform::RULReachabilityDelegate> reachabilityDelegate() override {
        return engine_->reachabilityDelegate();
    }
    void updateConsentSettingsUtilWithRemoteConfig() override { engine_->updateConsentSettingsUtilWithRemoteConfig(); }
    void tcfClientSetConsentFromData() override { engine_->tcfClientSetConsentFromData(); }
    bool shouldRequestDeferredDeepLinkAfterConfigFetch() const override {
        return engine_->shouldRequestDeferredDeepLinkAfterConfigFetch();
    }
    void setShouldRequestDeferredDeepLinkAfterConfigFetch(bool value) override {
        engine_->setShouldRequestDeferredDeepLinkAfterConfigFetch(value);
    }

private:
    APMMeasurement* engine_;
};

// The components after an upload or a fetch, through the core's seams where
// the core has one.
class EnginePeers : public APMUploadPeers {
public:
    void requestDeferredDeepLink() override { APMSeams::deepLinks()->requestDeferredDeepLink(); }
    void setIsDMARegion(bool region) override { APMSeams::tcfClient()->setIsDMARegion(region); }
};

// Bundling writes its user properties and the "_npa" update through the
// engine.
class EngineBundling : public APMBundlingEngineSeam {
public:
    explicit EngineBundling(std::weak_ptr<APMMeasurement> engine) : engine_(std::move(engine)) {}

    bool setUserPropertyInDatabaseOnWorkerQueue(APMDatabase& database, const APMUserAttribute& attribute) override {
        if (auto engine = engine_.lock()) return engine->setUserPropertyInDatabaseOnWorkerQueue(attribute);
        return APMBundlingEngineSeam::setUserPropertyInDatabaseOnWorkerQueue(database, attribute);
    }
    bool shouldUpdateNPAUserProperty() const override {
        auto engine = engine_.lock();
        return engine && engine->shouldUpdateNPAUserProperty();
    }
    void setShouldUpdateNPAUserProperty(bool value) override {
        if (auto engine = engine_.lock()) engine->setShouldUpdateNPAUserProperty(value);
    }
    void setPersonalizedAdsUserPropertyOnWorkerQueue() override {
        if (auto engine = engine_.lock()) engine->setPersonalizedAdsUserPropertyOnWorkerQueue();
    }

private:
    std::weak_ptr<APMMeasurement> engine_;
};

// The core's upload and fetch seams: each call goes to the upload side of
// the engine that makes it, assembled on its first call.
class UploadRouter : public APMUploadScheduleSeam, public APMConfigurationFetchSeam {
public:
    void updateSchedule() override {
        if (auto service = current()) service->updateSchedule();
    }
    void uploadData() override {
        if (auto service = current()) service->uploadData();
    }
    void fetchRemoteConfig() override {
        if (auto service = current()) service->fetchRemoteConfig();
    }

private:
    std::shared_ptr<APMUploadService> current() {
        auto engine = APMMeasurement::sharedInstance();
        if (!engine->didInitializeComponents() || !engine->database()) return nullptr;
        std::lock_guard lock(mutex_);
        if (service_ && engine_.lock() == engine) return service_;
        service_.reset();
        APMUploadServiceParts parts;
        parts.engine = std::make_shared<EngineUploadAdapter>(*engine);
        // Owned by the engine, which outlives every call that uses it.
        parts.database = std::shared_ptr<APMDatabase>(engine->database(), [](APMDatabase*) {});
        parts.peers = std::make_shared<EnginePeers>();
        parts.bundlingEngine = std::make_shared<EngineBundling>(engine);
        parts.libraryVersion = kAPMLibraryVersion;
        parts.settingsPath = APMApplicationSupportPath(kAPMUploadSettingsFileName);
        service_ = APMMakeUploadService(std::move(parts));
        engine_ = engine;
        return service_;
    }

    std::mutex mutex_;
    std::weak_ptr<APMMeasurement> engine_;
    std::shared_ptr<APMUploadService> service_;
};

}  // namespace

void APMInstallUploadComponents() {
    static const auto router = std::make_shared<UploadRouter>();
    APMSeams::setUploadSchedule(router);
    APMSeams::setConfigurationFetch(router);
}

}  // namespace measurement
