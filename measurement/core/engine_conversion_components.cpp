// The engine's on-device conversion measurement and conversion-value exchange, and the adapters through which they reach the engine.
#include "measurement/core/measurement.h"
#include "measurement/core/raw_event_metadata.h"
#include "measurement/foundation/environment.h"
#include "measurement/upload/conversion/on_device_conversion.h"
#include "measurement/upload/conversion/skan_conversion_values.h"
#include "measurement/upload/uploader.h"

namespace measurement {

namespace {

// The engine as the two components see it. It does not keep the engine
// alive: the components belong to the engine and go with it, and a late
// call (a completion, an alarm) that finds the engine gone writes nothing
// and sends nothing. The queue, network and server configuration are the
// engine's for its whole life, so the adapter keeps them itself.
class EngineConversionHost : public APMConversionHost {
public:
    explicit EngineConversionHost(const std::shared_ptr<APMMeasurement>& engine)
        : engine_(engine),
          worker_(engine->scheduler().workerQueue()),
          network_(engine->network()),
          config_(engine->config()),
          initTimestamp_(engine->initTimestamp()) {}

    std::shared_ptr<platform::dispatch::Queue> workerQueue() const override { return worker_; }
    void scheduleOnWorkerQueue(const std::string& blockID, std::function<void()> block) override {
        if (auto engine = engine_.lock()) engine->scheduleOnWorkerQueue(blockID, std::move(block));
    }
    std::shared_ptr<APMRemoteConfig> remoteConfig() const override { return config_; }
    platform::RULNetwork& network() override { return *network_; }
    bool isNetworkReadyForRequest() override {
        auto engine = engine_.lock();
        return engine && engine->isNetworkReadyForRequest();
    }
    void setIsNetworkRequestPending(bool pending) override {
        if (auto engine = engine_.lock()) engine->setIsNetworkRequestPending(pending);
    }
    bool shouldUseBackgroundSession() const override {
        auto engine = engine_.lock();
        return engine && engine->uploader() && engine->uploader()->shouldUseBackgroundSession();
    }
    void updateSchedule() override {
        if (auto engine = engine_.lock(); engine && engine->uploader()) engine->uploader()->updateSchedule();
    }
    double initTimestamp() const override { return initTimestamp_; }
    void setUserAttributeOnWorkerQueue(const APMUserAttribute& attribute) override {
        if (auto engine = engine_.lock()) engine->setUserAttributeOnWorkerQueue(attribute);
    }
    void writeEventOnWorkerQueue(const APMEvent& event) override {
        if (auto engine = engine_.lock()) engine->writeEventOnWorkerQueue(event);
    }
    void handleInternalEventOnWorkerQueue(const APMEvent& event) override {
        if (auto engine = engine_.lock()) engine->handleInternalEventOnWorkerQueue(event);
    }

private:
    std::weak_ptr<APMMeasurement> engine_;
    std::shared_ptr<platform::dispatch::Queue> worker_;
    std::shared_ptr<platform::RULNetwork> network_;
    std::shared_ptr<APMRemoteConfig> config_;
    double initTimestamp_;
};

// The identity as the two components read it: the application's bundle
// identifier, this library's version, and the app instance identifier of
// the engine's identity, consent applied.
class EngineConversionIdentity : public APMConversionIdentity {
public:
    explicit EngineConversionIdentity(std::weak_ptr<APMIdentity> identity) : identity_(std::move(identity)) {}

    std::string appID() const override { return APMBundleIdentifier(); }
    std::optional<std::string> appInstanceID() const override {
        const auto identity = identity_.lock();
        return identity ? identity->appInstanceID() : std::nullopt;
    }
    std::int64_t libraryVersion() const override { return kAPMLibraryVersion; }

private:
    std::weak_ptr<APMIdentity> identity_;
};

}  // namespace

void APMMeasurement::makeConversionComponents() {
    APMConversionInputs inputs;
    inputs.host = std::make_shared<EngineConversionHost>(shared_from_this());
    inputs.identity = std::make_shared<EngineConversionIdentity>(identity());
    inputs.persistedConfig = persistedConfig_;
    inputs.database = database_;
    onDeviceConversion_ = std::make_shared<APMOnDeviceConversion>(inputs);
    SKANConversionValues_ = std::make_shared<APMSKANConversionValues>(std::move(inputs));
}

std::int32_t APMMeasurement::SKANRetryCount() const {
    return SKANConversionValues_ ? SKANConversionValues_->SKANRetryCount() : 0;
}

bool APMMeasurement::isPSMRequestPostponed() const {
    return onDeviceConversion_ && onDeviceConversion_->isPSMRequestPostponed();
}

}  // namespace measurement
