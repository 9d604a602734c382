#pragma once

// What bundling and the rewriting of queued bundles read of the identity and
// the audiences. Each is an interface with a default that answers "nothing
// set" (no identifiers, no audience results), so the upload side works on its
// own; the identity and audience components plug in their implementations
// without touching this code.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/event.h"
#include "measurement/foundation/event_aggregates.h"
#include "measurement/foundation/messages.h"

namespace measurement {

// The engine's tracking-status codes, as bundle tag 53 carries them.
enum APMTrackingStatus : int {
    kAPMTrackingStatusRestricted = 1,
    kAPMTrackingStatusDenied = 2,
    kAPMTrackingStatusAuthorized = 3,
    kAPMTrackingStatusNotDetermined = 4,
    kAPMTrackingStatusUnavailable = 5,
    kAPMTrackingStatusUnknown = 6,
};

// The device and application identifiers as the upload side reads them. The
// identity applies consent itself (no app instance ID while analytics
// storage is denied, no advertising identifier while ad storage is).
class APMUploadIdentitySeam {
public:
    virtual ~APMUploadIdentitySeam() = default;
    virtual bool iOS14OrAbove() const { return true; }
    virtual int appleConsentStatus() const { return kAPMTrackingStatusUnknown; }
    // Whether the limited-ad-tracking state is known at all.
    virtual bool hasLimitedAdTracking() const { return false; }
    virtual bool limitedAdTracking() const { return false; }
    virtual std::optional<std::string> resettableDeviceID() const { return std::nullopt; }
    virtual std::optional<std::string> identifierForVendor() const { return std::nullopt; }
    virtual std::optional<std::string> appInstanceID() const { return std::nullopt; }
    virtual std::optional<std::string> ephemeralAppInstanceID() const { return std::nullopt; }
    // The application identifier a bundle falls back to when its header has
    // none; none: the main bundle's identifier.
    virtual std::optional<std::string> appID() const { return std::nullopt; }
};

// The audiences' per-bundle cache of filter timestamps. Its layout belongs
// to the audience component; bundling only hands one cache through every
// evaluation of a bundle.
class APMAudienceTimestampsCache {
public:
    virtual ~APMAudienceTimestampsCache() = default;
};

// The audience evaluation that runs while a bundle is made. Every call runs
// inside the bundling transaction; false makes bundling roll it back.
class APMBundleAudienceSeam {
public:
    virtual ~APMBundleAudienceSeam() = default;
    // A fresh cache for one bundle (none is a valid cache: the calls then
    // make their own).
    virtual std::unique_ptr<APMAudienceTimestampsCache> makeTimestampsCache() { return nullptr; }
    virtual bool evaluateFiltersForEvent(const APMEvent& /*event*/, const APMEventAggregates& /*aggregates*/,
                                         APMAudienceTimestampsCache* /*cache*/) {
        return true;
    }
    // No evaluation time: the property's own set time.
    virtual bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& /*property*/,
                                                    APMAudienceTimestampsCache* /*cache*/,
                                                    std::optional<double> /*evaluationTime*/) {
        return true;
    }
    // The results to carry in the bundle (tag 29).
    virtual bool resultsForBundling(std::vector<APMPBAudienceLeafFilterResult>* results) {
        if (results) results->clear();
        return true;
    }
    virtual bool clearEvaluationResultsForSessionScopedFilters() { return true; }
};

}  // namespace measurement
