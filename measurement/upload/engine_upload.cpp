// The engine core's side of the upload: adapters from the core's engine and
// seams to what the upload side reads, and the seam that routes the core's
// calls to the upload of the current engine.
#include "measurement/upload/engine_upload.h"

#include <mutex>

#include "measurement/core/measurement.h"
#include "measurement/core/raw_event_metadata.h"
#include "measurement/script/runtime.h"
#include "measurement/upload/bundler.h"
#include "measurement/upload/uploader.h"

namespace measurement {

namespace {

// The engine as the upload side reads it. It does not keep the engine
// alive, so that the engine goes when its owner lets it go (at a restart in
// tests, at exit): the core's calls reach the upload while the router holds
// the engine, and a late call (a network completion, the alarm) holds it
// through retainParts() or, once it has gone, is dropped. Between those the
// engine is there, and engine_ may be used directly.
class EngineUploadAdapter : public APMUploadEngine {
public:
    explicit EngineUploadAdapter(const std::shared_ptr<APMMeasurement>& engine)
        : APMUploadEngine(NoParts{}), owner_(engine), engine_(engine.get()) {}

    std::shared_ptr<const void> retainParts() override { return owner_.lock(); }

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
    std::weak_ptr<APMMeasurement> owner_;
    APMMeasurement* engine_;
};

// The components after an upload or a fetch: the engine's own where it has
// them, the core's seams for the rest.
class EnginePeers : public APMUploadPeers {
public:
    explicit EnginePeers(std::weak_ptr<APMMeasurement> engine) : engine_(std::move(engine)) {}

    void requestDeferredDeepLink() override { APMSeams::deepLinks()->requestDeferredDeepLink(); }
    void setIsDMARegion(bool region) override {
        const auto engine = engine_.lock();
        if (engine && engine->tcfClient()) engine->tcfClient()->setIsDMARegion(region);
    }
    bool updateAudiences(const std::vector<APMPBAudience>& audiences) override {
        return APMSeams::audience()->updateAudiences(audiences);
    }

private:
    std::weak_ptr<APMMeasurement> engine_;
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
    void updateSchedule() override { route(&APMUploader::updateSchedule); }
    void uploadData() override { route(&APMUploader::uploadData); }
    void fetchRemoteConfig() override { route(&APMUploader::fetchRemoteConfig); }

private:
    // The engine is held until the call returns.
    void route(void (APMUploader::*call)()) {
        const auto engine = APMMeasurement::sharedInstance();
        if (auto uploader = uploaderOf(engine)) ((*uploader).*call)();
    }

    std::shared_ptr<APMUploader> uploaderOf(const std::shared_ptr<APMMeasurement>& engine) {
        if (!engine->didInitializeComponents() || !engine->database()) return nullptr;
        std::lock_guard lock(mutex_);
        if (uploader_ && engine_.lock() == engine) return uploader_;
        uploader_ = makeUploader(engine);
        engine_ = engine;
        return uploader_;
    }

    // The upload over the engine's own database, persisted settings and
    // server configuration (with the storage it was made over, so that a
    // fetched configuration reaches memory only when its transaction
    // commits). Those belong to the engine, which outlives every call that
    // uses them: the upload refers to them without keeping them, so that
    // they go (and the settings are written) when the engine goes, even
    // while this upload waits to be replaced.
    static std::shared_ptr<APMUploader> makeUploader(const std::shared_ptr<APMMeasurement>& engine) {
        APMUploadComponents components;
        components.engine = std::make_shared<EngineUploadAdapter>(engine);
        components.database = unowned(engine->database());
        components.configStorage = unowned(engine->configStorage());
        components.persistedConfig = unowned(engine->persistedConfig());
        const auto config = engine->remoteConfigInstance();
        components.remoteConfig = unowned(config.get());
        const auto consent = std::make_shared<APMUploadConsentState>(engine->consentState());
        components.consent = consent;
        APMBundlerSeams bundlerSeams;
        bundlerSeams.consent = consent;
        bundlerSeams.engine = std::make_shared<EngineBundling>(engine);
        auto bundler = std::make_shared<APMBundler>(*engine->database(), *config, *engine->persistedConfig(),
                                                    bundlerSeams);
        components.bundleRawEvents = [bundler] { return bundler->bundleRawEvents(); };
        components.peers = std::make_shared<EnginePeers>(engine);
        components.appID = APMRemoteConfigEnvironment::fromMainBundle().appID;
        components.libraryVersion = kAPMLibraryVersion;
        components.runtimeVersion = static_cast<std::int64_t>(APMPRuntime::runtimeVersion());
        return std::make_shared<APMUploader>(std::move(components));
    }

    template <class T>
    static std::shared_ptr<T> unowned(T* object) {
        return std::shared_ptr<T>(object, [](T*) {});
    }

    std::mutex mutex_;
    std::weak_ptr<APMMeasurement> engine_;
    std::shared_ptr<APMUploader> uploader_;
};

}  // namespace

void APMInstallUploadComponents() {
    static const auto router = std::make_shared<UploadRouter>();
    APMSeams::setUploadSchedule(router);
    APMSeams::setConfigurationFetch(router);
}

}  // namespace measurement
