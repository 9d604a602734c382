#pragma once

// What bundling and the rewriting of queued bundles read of the identity,
// the audiences and the engine around them. Each is an interface with a
// default that answers "nothing set" (no identifiers, no audience results),
// so the upload side works on its own; the identity and engine components
// plug in their implementations with APMUploadSeams::set...() without
// touching this code, and the engine hands the bundler its audiences.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/event.h"
#include "measurement/foundation/event_aggregates.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/store/database.h"

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

// The consent state as the upload side reads it. The default answers what
// the engine core's consent seam (APMSeams::consentState()) answers at the
// time of the call.
class APMUploadConsentSeam {
public:
    virtual ~APMUploadConsentSeam() = default;
    // "G1" and one character each for "ad_storage" and "analytics_storage".
    virtual std::string consentSignals() const;
    virtual std::string consentDiagnostics() const;
    virtual bool isAnalyticsStorageDenied() const;
    virtual bool isAdUserDataDenied() const;
    // The readable description of the consent state.
    virtual std::string description() const;
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
class APMBundleAudienceCache {
public:
    virtual ~APMBundleAudienceCache() = default;
};

// The audience evaluation that runs while a bundle is made. Every call runs
// inside the bundling transaction; false makes bundling roll it back.
class APMBundleAudienceSeam {
public:
    virtual ~APMBundleAudienceSeam() = default;
    // A fresh cache for one bundle (none is a valid cache: the calls then
    // make their own).
    virtual std::unique_ptr<APMBundleAudienceCache> makeTimestampsCache() { return nullptr; }
    virtual bool evaluateFiltersForEvent(const APMEvent& /*event*/, const APMEventAggregates& /*aggregates*/,
                                         APMBundleAudienceCache* /*cache*/) {
        return true;
    }
    // No evaluation time: the property's own set time.
    virtual bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& /*property*/,
                                                    APMBundleAudienceCache* /*cache*/,
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

// The engine state and writes that bundling reaches. All calls come from
// the measurement worker queue.
class APMBundlingEngineSeam {
public:
    virtual ~APMBundlingEngineSeam() = default;
    // Stores a user property as the engine's own writes do; by default
    // straight into the database.
    virtual bool setUserPropertyInDatabaseOnWorkerQueue(APMDatabase& database, const APMUserAttribute& attribute);
    // The engine's mark that the "_npa" user property must be written again
    // from the consent state, and that write.
    virtual bool shouldUpdateNPAUserProperty() const { return false; }
    virtual void setShouldUpdateNPAUserProperty(bool /*value*/) {}
    virtual void setPersonalizedAdsUserPropertyOnWorkerQueue() {}
};

// The seams of the upload side. Set them before the engine starts; the
// getters never answer null.
class APMUploadSeams {
public:
    static std::shared_ptr<APMUploadConsentSeam> consent();
    static std::shared_ptr<APMUploadIdentitySeam> identity();
    static std::shared_ptr<APMBundlingEngineSeam> engine();

    // nullptr restores the default.
    static void setConsent(std::shared_ptr<APMUploadConsentSeam> seam);
    static void setIdentity(std::shared_ptr<APMUploadIdentitySeam> seam);
    static void setEngine(std::shared_ptr<APMBundlingEngineSeam> seam);
    static void resetAll();
};

}  // namespace measurement
