// The engine's side of its automatic reporters: what they reach of the
// engine, their creation, and the interception of the controllers'
// transitions, installed when the first engine is made.
#include <utility>

#include "measurement/audience/view_controller_tracking.h"
#include "measurement/core/facade.h"
#include "measurement/core/measurement.h"

namespace measurement {

namespace {

// The engine as its reporters see it. It holds the engine weakly: the
// reporters belong to the engine and go with it.
class EngineReporterHost : public APMReporterHost {
public:
    explicit EngineReporterHost(std::weak_ptr<APMMeasurement> engine) : engine_(std::move(engine)) {}

    void logInternalEvent(const std::string& origin, const std::string& name,
                          const platform::Value::Dictionary& parameters, std::optional<double> timestamp) override {
        if (timestamp) {
            APMAnalytics::logInternalEventWithOrigin(origin, name, *timestamp, parameters);
        } else {
            APMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
        }
    }
    void setInternalUserProperty(const std::optional<platform::Value>& value, const std::string& name,
                                 const std::string& origin) override {
        APMAnalytics::setInternalUserProperty(value, name, origin);
    }
    std::shared_ptr<APMRemoteConfig> remoteConfig() const override {
        auto engine = engine_.lock();
        return engine ? engine->config() : APMMeasurement::remoteConfig();
    }
    bool hasInitializedComponents() const override {
        auto engine = engine_.lock();
        return engine && engine->didInitializeComponents();
    }
    bool isEnabled() const override {
        auto engine = engine_.lock();
        return engine && engine->isEnabled();
    }
    std::shared_ptr<APMSessionReporter> sessionReporter() const override {
        auto engine = engine_.lock();
        return engine ? engine->sessionReporter() : nullptr;
    }
    bool isAppActive() const override {
        auto engine = engine_.lock();
        return engine && engine->screenViewReporter() && engine->screenViewReporter()->isAppActive();
    }
    platform::Value::Dictionary screenParameters() const override {
        auto engine = engine_.lock();
        if (!engine || !engine->screenViewReporter()) return {};
        return engine->screenViewReporter()->screenParameters();
    }

private:
    std::weak_ptr<APMMeasurement> engine_;
};

}  // namespace

void APMMeasurement::makeReporters() {
    std::call_once(reportersMade_, [this] {
        reporterHost_ = std::make_shared<EngineReporterHost>(weak_from_this());
        adExposureReporter_ = APMAdExposureReporter::make(reporterHost_);
        screenViewReporter_ = APMScreenViewReporter::make(reporterHost_, adExposureReporter_);
    });
    // Every controller's transitions, for the life of the process; each
    // reaches the engine shared at that moment.
    APMInterceptViewControllerTransitionsOnce(&APMMeasurement::sharedScreenViewReporter);
}

void APMMeasurement::makeSessionReporter() {
    auto reporter = std::make_shared<APMSessionReporter>(persistedConfig_, reporterHost_);
    reporter->setReportingEnabled(isEnabled());
    std::shared_ptr<APMSessionReporter> old;
    {
        std::lock_guard lock(sessionReporterMutex_);
        old = std::exchange(sessionReporter_, std::move(reporter));
    }
}

std::shared_ptr<APMSessionReporter> APMMeasurement::sessionReporter() const {
    std::lock_guard lock(sessionReporterMutex_);
    return sessionReporter_;
}

}  // namespace measurement
