// The platform's tracking authorisation and advertising identifier, reached
// by class name.
#include "measurement/upload/identity_support/identity_support.h"

#include <array>

namespace measurement {

namespace {

constexpr const char* kTrackingManagerClassName = "ATTrackingManager";
constexpr const char* kIdentifierManagerClassName = "ASIdentifierManager";
constexpr const char* kStatusSelector = "trackingAuthorizationStatus";
constexpr const char* kSharedManagerSelector = "sharedManager";
constexpr const char* kTrackingEnabledSelector = "isAdvertisingTrackingEnabled";
constexpr const char* kIdentifierSelector = "advertisingIdentifier";
constexpr const char* kSharedInstanceSelector = "sharedInstance";
constexpr long kUnknownStatus = -1;

// The class object under which the support is linked.
class PlatformIdentitySupportClass : public platform::RuntimeObject {
public:
    bool respondsToSelector(const std::string& selector) const override { return selector == kSharedInstanceSelector; }
    std::shared_ptr<platform::RuntimeObject> performObjectSelector(const std::string& selector) override {
        if (selector != kSharedInstanceSelector) return nullptr;
        return APMPlatformIdentitySupport::sharedInstance();
    }
};

}  // namespace

std::shared_ptr<APMPlatformIdentitySupport> APMPlatformIdentitySupport::sharedInstance() {
    static const auto instance = std::make_shared<APMPlatformIdentitySupport>();
    return instance;
}

void APMPlatformIdentitySupport::registerClass() {
    platform::ClassRegistry::registerClass(kClassName, std::make_shared<PlatformIdentitySupportClass>());
}

APMPlatformIdentitySupport::APMPlatformIdentitySupport()
    : trackingManagerClass_(platform::ClassRegistry::classNamed(kTrackingManagerClassName)) {
    auto managerClass = platform::ClassRegistry::classNamed(kIdentifierManagerClassName);
    if (managerClass && managerClass->respondsToSelector(kSharedManagerSelector)) {
        identifierManager_ = managerClass->performObjectSelector(kSharedManagerSelector);
    }
}

bool APMPlatformIdentitySupport::hasAppDataConsentStatus() { return trackingManagerClass_ != nullptr; }

long APMPlatformIdentitySupport::appDataConsentStatus() {
    if (!trackingManagerClass_ || !trackingManagerClass_->respondsToSelector(kStatusSelector)) return kUnknownStatus;
    const auto status = trackingManagerClass_->performSelector(kStatusSelector);
    return status.isNumber() ? static_cast<long>(status.intValue()) : kUnknownStatus;
}

bool APMPlatformIdentitySupport::hasLimitedAdTracking() { return identifierManager_ != nullptr; }

bool APMPlatformIdentitySupport::limitedAdTracking() {
    if (!identifierManager_ || !identifierManager_->respondsToSelector(kTrackingEnabledSelector)) return false;
    return !identifierManager_->performSelector(kTrackingEnabledSelector).boolValue();
}

std::optional<std::string> APMPlatformIdentitySupport::resettableDeviceID() {
    if (!identifierManager_ || !identifierManager_->respondsToSelector(kIdentifierSelector)) return std::nullopt;
    const auto identifier = identifierManager_->performSelector(kIdentifierSelector);
    if (!identifier.isString()) return std::nullopt;
    return identifier.asString();
}

bool APMPlatformIdentitySupport::respondsToSelector(const std::string& selector) const {
    static const std::array<const char*, 5> selectors = {"hasAppDataConsentStatus", "appDataConsentStatus",
                                                         "hasLimitedAdTracking", "limitedAdTracking",
                                                         "resettableDeviceID"};
    for (const char* known : selectors) {
        if (selector == known) return true;
    }
    return false;
}

}  // namespace measurement
