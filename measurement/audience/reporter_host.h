#pragma once

// What the automatic reporters use of the engine that owns them: its
// internal-event and user-property operations, its server configuration,
// its state, its session reporter and the screen-view reporter's view of the
// application. The engine hands its own adapter to the reporters it makes;
// tests hand a recording one.

#include <memory>
#include <optional>
#include <string>

#include "measurement/store/remote_config.h"
#include "platform/foundation/value.h"

namespace measurement {

class APMSessionReporter;

class APMReporterHost {
public:
    virtual ~APMReporterHost() = default;

    // The facade's internal-event operation: a non-public event that takes
    // the current screen's parameters unless it holds one of them; at the
    // given time, else now. Queued, it returns at once.
    virtual void logInternalEvent(const std::string& origin, const std::string& name,
                                  const platform::Value::Dictionary& parameters,
                                  std::optional<double> timestamp = std::nullopt) = 0;
    // The facade's internal user-property operation; no value removes the
    // property. Queued behind the events logged before it.
    virtual void setInternalUserProperty(const std::optional<platform::Value>& value, const std::string& name,
                                         const std::string& origin) = 0;
    // The engine's server configuration; the built-in defaults before it
    // has one.
    virtual std::shared_ptr<APMRemoteConfig> remoteConfig() const = 0;
    // The engine has initialised its components.
    virtual bool hasInitializedComponents() const = 0;
    // Analytics collection is enabled.
    virtual bool isEnabled() const = 0;
    // The engine's session reporter; none before its components are
    // initialised.
    virtual std::shared_ptr<APMSessionReporter> sessionReporter() const = 0;
    // What the screen-view reporter answers: whether the application is
    // active, and the current screen's parameters.
    virtual bool isAppActive() const = 0;
    virtual platform::Value::Dictionary screenParameters() const = 0;
};

}  // namespace measurement
