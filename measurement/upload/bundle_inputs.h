#pragma once

// What bundling and the rewriting of queued bundles read of the consent
// state, the identity, the audiences and the engine around them. Each is an
// interface with a default that answers "nothing set" (consent unset, no
// identifiers, no audience results), so the upload works on its own; the
// engine hands its own implementations to the bundler and the upload it
// makes, and tests hand theirs.

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

// The consent state as the upload reads it. The default answers "nothing
// set": every type unset, nothing denied.
class APMUploadConsentSeam {
public:
    virtual ~APMUploadConsentSeam() = default;
    // "G1" and one character each for "ad_storage" and "analytics_storage".
    virtual std::string consentSignals() const { return "G1--"; }
    virtual std::string consentDiagnostics() const { return ""; }
    virtual bool isAnalyticsStorageDenied() const { return false; }
    virtual bool isAdUserDataDenied() const { return false; }
    // The readable description of the consent state.
    virtual std::string description() const { return consentSignals(); }
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

}  // namespace measurement
