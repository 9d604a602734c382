#include <doctest/doctest.h>

#include "platform/foundation/class_registry.h"
#include "platform/frameworks/tracking_authorization/tracking_manager.h"

using platform::ClassRegistry;
using platform::Value;
using platform::tracking::TrackingManager;

namespace {
struct ResetTracking {
    ResetTracking() { TrackingManager::reset(); }
    ~ResetTracking() { TrackingManager::reset(); }
};
}  // namespace

TEST_CASE("the tracking manager answers its status by name only while linked") {
    ResetTracking reset;
    CHECK_FALSE(ClassRegistry::classNamed("ATTrackingManager"));

    TrackingManager::link();
    auto manager = ClassRegistry::classNamed("ATTrackingManager");
    REQUIRE(manager);
    CHECK(manager->respondsToSelector("trackingAuthorizationStatus"));
    CHECK_FALSE(manager->respondsToSelector("sharedManager"));

    const struct {
        long status;
    } cases[] = {{0}, {1}, {2}, {3}, {7}, {-1}};
    for (const auto& c : cases) {
        CAPTURE(c.status);
        TrackingManager::setTrackingAuthorizationStatus(c.status);
        CHECK(manager->performSelector("trackingAuthorizationStatus") == Value(static_cast<long long>(c.status)));
    }
    CHECK(manager->performSelector("requestTrackingAuthorization").isNull());
    CHECK(TrackingManager::statusRequestCount() == 6);

    TrackingManager::unlink();
    CHECK_FALSE(TrackingManager::isLinked());
    CHECK_FALSE(ClassRegistry::classNamed("ATTrackingManager"));
}
