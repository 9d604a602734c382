#pragma once

#include <memory>
#include <string>

#include "velmora/engine/analytics_sink.h"

namespace velmora {

// The application's analytics sink once the default application is
// configured: every event goes to the measurement engine's public interface.
class MeasurementAnalytics : public AnalyticsSink {
public:
    void logEventWithName(const std::string& name, const platform::Value::Dictionary& parameters) override;
};

// What start-up does for analytics: configures the default application
// (which starts the measurement engine) and makes the engine the sink of the
// application's events. False, and the sink left as it was, when the
// application cannot be configured.
bool configureMeasurementAnalytics();

}  // namespace velmora
