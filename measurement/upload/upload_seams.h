#pragma once

// What bundling and the rewriting of queued bundles read of the identity,
// the audiences and the engine around them. Each is an interface with a
// default that answers "nothing set" (no identifiers, no audience results),
// so the upload side works on its own; the identity, audience and engine
// components plug in their implementations with APMUploadSeams::set...()
// without touching this code.

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
#include "measurement/upload/consent/consent_settings_util.h"

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

// The consent state as the upload side reads it. The default answers a
// state in which nothing is set; APMUploadConsentState reads a real one.
class APMUploadConsentSeam {
public:
    virtual ~APMUploadConsentSeam() = default;
    // "G1" and one character each for "ad_storage" and "analytics_storage".
    virtual std::string consentSignals() const { return "G1--"; }
    virtual std::string consentDiagnostics() const { return "19999"; }
    virtual bool isAnalyticsStorageDenied() const { return false; }
    virtual bool isAdUserDataDenied() const { return false; }
    // The readable description of the consent state.
    virtual std::string description() const { return "ad_storage is granted. analytics_storage is granted."; }
};

// The upload side's reads of the engine's consent state.
class APMUploadConsentState : public APMUploadConsentSeam {
public:
    explicit APMUploadConsentState(std::shared_ptr<const APMConsentSettingsUtil> consent)
        : consent_(std::move(consent)) {}
    std::string consentSignals() const override;
    std::string consentDiagnostics() const override;
    bool isAnalyticsStorageDenied() const override;
    bool isAdUserDataDenied() const override;
    std::string description() const override;

private:
    std::shared_ptr<const APMConsentSettingsUtil> consent_;
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
    static std::shared_ptr<APMBundleAudienceSeam> audience();
    static std::shared_ptr<APMBundlingEngineSeam> engine();

    // nullptr restores the default.
    static void setConsent(std::shared_ptr<APMUploadConsentSeam> seam);
    static void setIdentity(std::shared_ptr<APMUploadIdentitySeam> seam);
    static void setAudience(std::shared_ptr<APMBundleAudienceSeam> seam);
    static void setEngine(std::shared_ptr<APMBundlingEngineSeam> seam);
    static void resetAll();
};

}  // namespace measurement
