#pragma once

// The engine's way to the platform's tracking authorisation and advertising
// identifier, both found by class name so that the engine runs when the
// application does not link them.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/class_registry.h"

namespace measurement {

inline constexpr const char* kAPMZeroAdvertisingIdentifier = "00000000-0000-0000-0000-000000000000";

// Monitor codes of the identity support.
enum : long {
    kAPMIdentitySupportLinkedCode = 44000,
    kAPMAdvertisingFrameworkLinkedCode = 44001,
    kAPMAdvertisingFrameworkMissingCode = 44002,
    kAPMIdentitySupportMissingCode = 44003,
};

// What the identity asks of the platform.
class APMIdentitySupport {
public:
    virtual ~APMIdentitySupport() = default;
    // The tracking-authorisation class is there.
    virtual bool hasAppDataConsentStatus() = 0;
    // 0 not determined, 1 restricted, 2 denied, 3 authorised; -1 unknown.
    virtual long appDataConsentStatus() = 0;
    // The advertising-identifier manager is there.
    virtual bool hasLimitedAdTracking() = 0;
    virtual bool limitedAdTracking() = 0;
    // The advertising identifier's UUID text.
    virtual std::optional<std::string> resettableDeviceID() = 0;
};

// The platform's two frameworks, reached through the class registry
// ("ATTrackingManager", and the shared manager of "ASIdentifierManager"),
// found once when made. It is itself an optional part of the engine, found
// by its class name "APMPlatformIdentitySupport" (answering
// "sharedInstance") once registerClass() has linked it.
class APMPlatformIdentitySupport : public APMIdentitySupport, public platform::RuntimeObject {
public:
    static constexpr const char* kClassName = "APMPlatformIdentitySupport";
    static std::shared_ptr<APMPlatformIdentitySupport> sharedInstance();
    static void registerClass();

    APMPlatformIdentitySupport();

    bool hasAppDataConsentStatus() override;
    long appDataConsentStatus() override;
    bool hasLimitedAdTracking() override;
    bool limitedAdTracking() override;
    std::optional<std::string> resettableDeviceID() override;

    bool respondsToSelector(const std::string& selector) const override;

private:
    std::shared_ptr<platform::RuntimeObject> trackingManagerClass_;
    std::shared_ptr<platform::RuntimeObject> identifierManager_;
};

}  // namespace measurement
