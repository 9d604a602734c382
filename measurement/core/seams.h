#pragma once

// The calls the engine core makes into the identity and attribution
// components. Each is an interface named after what it calls, with a default
// that does nothing (or answers the neutral value), so the core runs on its
// own; a component plugs itself in with APMSeams::set...() before the engine
// starts, without touching the core. All calls but those marked otherwise
// come from the measurement worker queue.

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

// Device and application identifiers.
class APMIdentitySeam {
public:
    virtual ~APMIdentitySeam() = default;
    virtual void updateIdentifiers() {}
    virtual void updateIdentifiersAndWait() {}
    virtual void resetSessionStitchingToken() {}
    virtual void resetEphemeralAppInstanceID() {}
    // Identifier fields of the raw-event metadata header beyond the
    // application identifier (installation ID, session stitching token...).
    virtual void fillRawEventMetadata(APMPBMeasurementBundle& /*header*/) const {}
    virtual std::optional<std::string> appInstanceID() const { return std::nullopt; }
};

// Deep links and campaign attribution.
class APMDeepLinkSeam {
public:
    virtual ~APMDeepLinkSeam() = default;
    virtual bool shouldAllowRequestDeferredDeepLink() { return false; }
    virtual void requestDeferredDeepLink() {}
    virtual void clearStoredDeepLinkIfExpired() {}
    virtual void handleOpenURLOnWorkerQueue(const std::string& /*url*/, std::optional<std::int64_t> /*clickMillis*/,
                                            double /*eventTimestamp*/,
                                            const platform::Value::Dictionary& /*extraParameters*/) {}
    // From the facade's serial queue.
    virtual void handleNonFirstOpenEventURL(const std::string& /*url*/, double /*eventTimestamp*/) {}
    virtual std::optional<std::string> deepLinkFromUserActivity(const platform::Value::Dictionary& /*activity*/) {
        return std::nullopt;
    }
    virtual void handleStoredURLAfterAppLaunchWithNotification(const platform::Value::Dictionary& /*userInfo*/) {}
};

// The seams of the process. Set them before the engine starts; the getters
// never answer null.
class APMSeams {
public:
    static std::shared_ptr<APMIdentitySeam> identity();
    static std::shared_ptr<APMDeepLinkSeam> deepLinks();

    // nullptr restores the default.
    static void setIdentity(std::shared_ptr<APMIdentitySeam> seam);
    static void setDeepLinks(std::shared_ptr<APMDeepLinkSeam> seam);

    // Every seam back to its default.
    static void resetAll();
};

}  // namespace measurement
