#pragma once

// The calls the engine core makes into the on-device conversion and
// conversion-value components. Each is an interface named after what it
// calls, with a default that does nothing (or answers the neutral value), so
// the core runs on its own; a component plugs itself in with
// APMSeams::set...() before the engine starts, without touching the core.
// All calls but those marked otherwise come from the measurement worker
// queue.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/edit_event.h"
#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/event.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/foundation/parameter_value.h"
#include "measurement/store/remote_config_seams.h"
#include "platform/foundation/value.h"

namespace measurement {

// On-device conversion measurement.
class APMOnDeviceConversionSeam {
public:
    virtual ~APMOnDeviceConversionSeam() = default;
    virtual void setUserData(const platform::Value::Dictionary& /*userData*/) {}
    virtual void checkPSMDependencyOnWorkerQueue() {}
    virtual void maybeDeleteExpiredPSMValueOnWorkerQueue() {}
    virtual void resetPSMCounts() {}
};

// SKAdNetwork conversion values.
class APMSKAdNetworkSeam {
public:
    virtual ~APMSKAdNetworkSeam() = default;
    virtual void fetchSKANCV() {}
    virtual void maybeFetchSKANCVAfterReachabilityChange() {}
};

// The seams of the process. Set them before the engine starts; the getters
// never answer null.
class APMSeams {
public:
    static std::shared_ptr<APMOnDeviceConversionSeam> onDeviceConversion();
    static std::shared_ptr<APMSKAdNetworkSeam> skAdNetwork();

    // nullptr restores the default.
    static void setOnDeviceConversion(std::shared_ptr<APMOnDeviceConversionSeam> seam);
    static void setSKAdNetwork(std::shared_ptr<APMSKAdNetworkSeam> seam);

    // Every seam back to its default.
    static void resetAll();
};

}  // namespace measurement
