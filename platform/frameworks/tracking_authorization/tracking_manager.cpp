// The tracking-authorisation stand-in: a class in the registry whose status
// a test or tool sets.
#include "platform/frameworks/tracking_authorization/tracking_manager.h"

#include <atomic>
#include <memory>

#include "platform/foundation/class_registry.h"

namespace platform::tracking {

namespace {

constexpr const char* kStatusSelector = "trackingAuthorizationStatus";

std::atomic<long> gStatus{kTrackingAuthorizationStatusNotDetermined};
std::atomic<std::size_t> gStatusRequests{0};

class TrackingManagerClass : public RuntimeObject {
public:
    bool respondsToSelector(const std::string& selector) const override { return selector == kStatusSelector; }
    Value performSelector(const std::string& selector) override {
        if (selector != kStatusSelector) return {};
        ++gStatusRequests;
        return Value(static_cast<long long>(gStatus.load()));
    }
};

}  // namespace

void TrackingManager::link() { ClassRegistry::registerClass(kClassName, std::make_shared<TrackingManagerClass>()); }

void TrackingManager::unlink() { ClassRegistry::removeClass(kClassName); }

bool TrackingManager::isLinked() {
    return std::dynamic_pointer_cast<TrackingManagerClass>(ClassRegistry::classNamed(kClassName)) != nullptr;
}

void TrackingManager::setTrackingAuthorizationStatus(long status) { gStatus = status; }

long TrackingManager::trackingAuthorizationStatus() { return gStatus.load(); }

std::size_t TrackingManager::statusRequestCount() { return gStatusRequests.load(); }

void TrackingManager::reset() {
    unlink();
    gStatus = kTrackingAuthorizationStatusNotDetermined;
    gStatusRequests = 0;
}

}  // namespace platform::tracking
