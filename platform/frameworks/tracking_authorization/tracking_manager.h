#pragma once

// The tracking-authorisation framework as an application links it.

#include <cstddef>

namespace platform::tracking {

// The platform's tracking-authorisation statuses, by their numbers.
enum TrackingAuthorizationStatus : long {
    kTrackingAuthorizationStatusNotDetermined = 0,
    kTrackingAuthorizationStatusRestricted = 1,
    kTrackingAuthorizationStatusDenied = 2,
    kTrackingAuthorizationStatusAuthorized = 3,
};

// Controls the stand-in: whether the framework is linked (its class
// "ATTrackingManager" is in the class registry, answering the class message
// "trackingAuthorizationStatus"), and which status it answers. Nothing asks
// the user: the status is whatever a test or tool set. Safe from any thread.
class TrackingManager {
public:
    static constexpr const char* kClassName = "ATTrackingManager";

    static void link();
    static void unlink();
    static bool isLinked();

    // Any number, so that a platform answering a status this engine does not
    // know can be staged. Not determined until set.
    static void setTrackingAuthorizationStatus(long status);
    static long trackingAuthorizationStatus();

    // How often the class was asked for the status through the registry.
    static std::size_t statusRequestCount();

    // Unlinked, not determined, no requests counted.
    static void reset();
};

}  // namespace platform::tracking
