// The application's events handed to the measurement engine.
#include "velmora/analytics/measurement_analytics.h"

#include "measurement/core/arurerudo.h"
#include "platform/frameworks/app_core/app.h"

namespace velmora {

void MeasurementAnalytics::logEventWithName(const std::string& name, const platform::Value::Dictionary& parameters) {
    measurement::VEZArurerudo::logEventWithName(name, parameters);
}

bool configureMeasurementAnalytics() {
    if (!platform::VEZApp::isDefaultAppConfigured() && !platform::VEZApp::configure()) return false;
    setAnalytics(std::make_shared<MeasurementAnalytics>());
    return true;
}

}  // namespace velmora
