// The engine's side of its upload: adapters from the engine and its
// components to what the upload and bundling read of them.
#include "measurement/core/engine_upload_wiring.h"

#include "measurement/core/bundle_audience.h"
#include "measurement/core/measurement.h"
#include "measurement/core/raw_event_metadata.h"
#include "measurement/script/runtime.h"
#include "measurement/upload/bundler.h"
#include "measurement/upload/conversion/on_device_conversion.h"
#include "measurement/upload/conversion/skan_conversion_values.h"
#include "measurement/upload/uploader.h"
#include "platform/frameworks/app_core/background_task.h"

namespace measurement {

namespace {

// The engine as its upload reads it. It does not keep the engine alive, so
// that the engine goes when its owner lets it go (at a restart in tests, at
// exit) and its upload with it. The engine's own calls reach the upload
// while the engine exists; a late call (a network completion, the alarm)
// holds it through retainParts() or, once it has gone, is dropped. Between
// those the engine is there, and engine_ may be used directly.
class EngineUploadHost : public APMUploadHost {
public:
    explicit EngineUploadHost(const std::shared_ptr<APMMeasurement>& engine)
        : APMUploadHost(NoParts{}), owner_(engine), engine_(engine.get()) {}

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
    double backgroundTimeRemaining() const override {
        return platform::BackgroundTasks::shared().backgroundTimeRemaining();
    }
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

// The components after an upload or a fetch: the engine's audiences, TCF
// client and conversion components, and the engine's seams where it has one.
class EnginePeers : public APMUploadPeers {
public:
    EnginePeers(std::weak_ptr<APMMeasurement> engine, std::shared_ptr<APMAudience> audience)
        : engine_(std::move(engine)), audience_(std::move(audience)) {}

    void resetSKANRetryCount() override {
        if (const auto values = SKANConversionValues()) values->resetSKANRetryCount();
    }
    void scheduleSKANCVFetchAfterDataUpload() override {
        if (const auto values = SKANConversionValues()) values->scheduleSKANCVFetchAfterDataUpload();
    }
    bool isInFirstSKANPostbackWindow() const override {
        const auto values = SKANConversionValues();
        return values && values->isInFirstSKANPostbackWindow();
    }
    bool takePostponedPSMRequest() override {
        const auto conversions = onDeviceConversion();
        return conversions && conversions->takePostponedPSMRequest();
    }
    void retrievePSMResponse() override {
        if (const auto conversions = onDeviceConversion()) conversions->retrievePSMResponse();
    }

    void requestDeferredDeepLink() override {
        const auto engine = engine_.lock();
        if (engine && engine->deepLinks()) engine->deepLinks()->requestDeferredDeepLink();
    }
    void setIsDMARegion(bool region) override {
        const auto engine = engine_.lock();
        if (engine && engine->tcfClient()) engine->tcfClient()->setIsDMARegion(region);
    }
    bool updateAudiences(const std::vector<APMPBAudience>& audiences) override {
        return audience_->updateAudiences(audiences);
    }

private:
    std::shared_ptr<APMSKANConversionValues> SKANConversionValues() const {
        const auto engine = engine_.lock();
        return engine ? engine->SKANConversionValues() : nullptr;
    }
    std::shared_ptr<APMOnDeviceConversion> onDeviceConversion() const {
        const auto engine = engine_.lock();
        return engine ? engine->onDeviceConversion() : nullptr;
    }

    std::weak_ptr<APMMeasurement> engine_;
    std::shared_ptr<APMAudience> audience_;
};

// The engine's consent state as bundling and the upload read it, at the
// time of each call. The state is the engine's for as long as the engine
// lives; the upload keeps it only as long as it reads it.
class EngineUploadConsent : public APMUploadConsentSeam {
public:
    explicit EngineUploadConsent(std::shared_ptr<const APMConsentSettingsUtil> consent) : consent_(std::move(consent)) {}

    std::string consentSignals() const override { return consent_->consentSignals(); }
    std::string consentDiagnostics() const override { return consent_->consentDiagnostics(); }
    bool isAnalyticsStorageDenied() const override { return consent_->isAnalyticsStorageDenied(); }
    bool isAdUserDataDenied() const override { return consent_->isAdUserDataDenied(); }
    std::string description() const override { return consent_->description(); }

private:
    std::shared_ptr<const APMConsentSettingsUtil> consent_;
};

// The engine's identity as bundling and the upload read it: the one
// identity that also answers the engine's own questions, consent applied.
class EngineUploadIdentity : public APMUploadIdentitySeam {
public:
    explicit EngineUploadIdentity(std::shared_ptr<APMIdentity> identity) : identity_(std::move(identity)) {}

    bool iOS14OrAbove() const override { return APMIdentity::iOS14OrAbove(); }
    int appleConsentStatus() const override { return identity_->appleConsentStatus(); }
    bool hasLimitedAdTracking() const override { return identity_->hasLimitedAdTracking(); }
    bool limitedAdTracking() const override { return identity_->limitedAdTracking(); }
    std::optional<std::string> resettableDeviceID() const override { return identity_->resettableDeviceID(); }
    std::optional<std::string> identifierForVendor() const override { return identity_->identifierForVendor(); }
    std::optional<std::string> appInstanceID() const override { return identity_->appInstanceID(); }
    std::optional<std::string> ephemeralAppInstanceID() const override { return identity_->ephemeralAppInstanceID(); }
    std::optional<std::string> appID() const override {
        const auto& appID = identity_->appID();
        return appID.empty() ? std::nullopt : std::optional<std::string>(appID);
    }

private:
    std::shared_ptr<APMIdentity> identity_;
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

// The bundler with the objects it refers to, which it keeps for as long as
// it lives (members go in reverse order: the bundler first).
struct OwnedBundler {
    APMEngineUploadParts parts;
    APMBundler bundler;

    OwnedBundler(APMEngineUploadParts owned, APMBundlerInputs inputs)
        : parts(std::move(owned)),
          bundler(*parts.database, *parts.remoteConfig, *parts.persistedConfig, std::move(inputs)) {}
};

// What bundling and the upload read of the engine's components: its consent
// state, its identity (the one that also answers the engine's own
// questions) and its audiences.
struct EngineBundleInputs {
    std::shared_ptr<APMUploadConsentSeam> consent;
    std::shared_ptr<APMUploadIdentitySeam> identity;
    std::shared_ptr<APMBundleAudienceSeam> audience;

    EngineBundleInputs(const std::shared_ptr<APMMeasurement>& engine, const APMEngineUploadParts& parts)
        : consent(std::make_shared<EngineUploadConsent>(engine->consentState())),
          identity(std::make_shared<EngineUploadIdentity>(engine->identity())),
          audience(std::make_shared<APMEngineBundleAudience>(parts.audience)) {}
};

std::function<bool()> makeBundling(const std::shared_ptr<APMMeasurement>& engine, const APMEngineUploadParts& parts,
                                   const EngineBundleInputs& inputs) {
    APMBundlerInputs bundlerInputs;
    bundlerInputs.consent = inputs.consent;
    bundlerInputs.identity = inputs.identity;
    bundlerInputs.audience = inputs.audience;
    bundlerInputs.engine = std::make_shared<EngineBundling>(engine);
    auto owned = std::make_shared<OwnedBundler>(parts, std::move(bundlerInputs));
    return [owned] { return owned->bundler.bundleRawEvents(); };
}

}  // namespace

std::shared_ptr<APMUploader> APMMakeEngineUploader(const std::shared_ptr<APMMeasurement>& engine,
                                                   const APMEngineUploadParts& parts) {
    const EngineBundleInputs inputs(engine, parts);
    APMUploadComponents components;
    components.host = std::make_shared<EngineUploadHost>(engine);
    components.database = parts.database;
    components.configStorage = parts.configStorage;
    components.persistedConfig = parts.persistedConfig;
    components.remoteConfig = parts.remoteConfig;
    components.bundleRawEvents = makeBundling(engine, parts, inputs);
    components.consent = inputs.consent;
    components.identity = inputs.identity;
    components.peers = std::make_shared<EnginePeers>(engine, parts.audience);
    components.appID = APMRemoteConfigEnvironment::fromMainBundle().appID;
    components.libraryVersion = kAPMLibraryVersion;
    components.runtimeVersion = static_cast<std::int64_t>(APMPRuntime::runtimeVersion());
    return std::make_shared<APMUploader>(std::move(components));
}

}  // namespace measurement
