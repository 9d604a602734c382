#pragma once

// The calls the engine core makes into the identity, attribution,
// audience, purchase and event-editing components. Each is an
// interface named after what it calls, with a default that does nothing (or
// answers the neutral value), so the core runs on its own; a component plugs
// itself in with APMSeams::set...() before the engine starts, without
// touching the core. All calls but those marked otherwise come from the
// measurement worker queue.

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

// A conditional user property as the interop connector hands it over: its
// name, origin, value and the other keys of the dictionary.
struct APMConditionalUserPropertyRequest {
    std::string name;
    std::string origin;
    std::optional<APMValue> value;
    std::optional<double> creationTimestamp;
    platform::Value::Dictionary properties;
};

// Conditional user properties.
class APMConditionalUserPropertySeam {
public:
    virtual ~APMConditionalUserPropertySeam() = default;
    // The events to write besides the given one; none when the event could
    // not be processed.
    virtual std::optional<std::vector<APMEvent>> processEventOnWorkerQueue(const APMEvent& /*event*/) {
        return std::vector<APMEvent>{};
    }
    virtual void setConditionalUserProperty(const APMConditionalUserPropertyRequest& /*property*/,
                                            const std::string& /*name*/) {}
    virtual void clearConditionalUserPropertyWithClearEvent(const std::optional<APMEvent>& /*clearEvent*/,
                                                            const std::string& /*name*/) {}
    virtual std::vector<APMConditionalUserPropertyRequest> conditionalUserPropertiesWithNamePrefix(
        const std::string& /*prefix*/, const std::optional<std::string>& /*origin*/) {
        return {};
    }
};

// The search-ad attribution reporter.
class APMSearchAdReporterSeam {
public:
    virtual ~APMSearchAdReporterSeam() = default;
    virtual void setSearchAdReporterEnabled(bool /*enabled*/) {}
    virtual void start() {}
};

// On-device conversion measurement.
class APMOnDeviceConversionSeam {
public:
    virtual ~APMOnDeviceConversionSeam() = default;
    virtual void setUserData(const platform::Value::Dictionary& /*userData*/) {}
    virtual void checkPSMDependencyOnWorkerQueue() {}
    virtual void maybeDeleteExpiredPSMValueOnWorkerQueue() {}
    virtual void resetPSMCounts() {}
};

// SKAdNetwork conversion values.
class APMSKAdNetworkSeam {
public:
    virtual ~APMSKAdNetworkSeam() = default;
    virtual void fetchSKANCV() {}
    virtual void maybeFetchSKANCVAfterReachabilityChange() {}
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

// A purchase transaction as the payment queue reports it.
struct APMPurchaseTransaction {
    std::string productID;
    std::string transactionID;
    // 1 purchased; other states are not reported.
    int state = 0;
    platform::Value::Dictionary details;
};

// A transaction record of the newer purchase interface.
struct APMTransactionRecord {
    std::string productID;
    std::string transactionID;
    std::string originalTransactionID;
    std::string webOrderLineItemID;
    // "nonConsumable", "consumable", "nonRenewable", "autoRenewable".
    std::string productType;
    bool isFreeTrial = false;
    bool isIntroductoryOffer = false;
    std::int64_t paymentQuantity = 1;
    std::optional<double> purchaseDate;
    std::optional<double> originalPurchaseDate;
    std::optional<double> subscriptionExpirationDate;
    std::optional<double> cancellationDate;
};

// The in-app purchase transaction reporter.
class APMPurchaseReporterSeam {
public:
    virtual ~APMPurchaseReporterSeam() = default;
    virtual std::string transactionFingerprint(const APMPurchaseTransaction& transaction) {
        return transaction.transactionID;
    }
    // From a background queue.
    virtual void paymentQueueUpdatedFilteredTransactions(const std::vector<APMPurchaseTransaction>& /*kept*/) {}
    // productType: 0 non-consumable, 1 consumable, 2 non-renewing, 3 auto-renewable.
    virtual void reportTransaction(const APMTransactionRecord& /*record*/, int /*productType*/) {}
};

// The seams of the process. Set them before the engine starts; the getters
// never answer null.
class APMSeams {
public:
    static std::shared_ptr<APMIdentitySeam> identity();
    static std::shared_ptr<APMConditionalUserPropertySeam> conditionalUserProperties();
    static std::shared_ptr<APMSearchAdReporterSeam> searchAdReporter();
    static std::shared_ptr<APMOnDeviceConversionSeam> onDeviceConversion();
    static std::shared_ptr<APMSKAdNetworkSeam> skAdNetwork();
    static std::shared_ptr<APMDeepLinkSeam> deepLinks();
    static std::shared_ptr<APMPurchaseReporterSeam> purchaseReporter();
    // What loads the server configuration's event-editing programs; by
    // default nothing is loaded. Read when the engine makes its server
    // configuration.
    static std::shared_ptr<APMEventEditingFactory> eventEditingFactory();

    // nullptr restores the default.
    static void setIdentity(std::shared_ptr<APMIdentitySeam> seam);
    static void setConditionalUserProperties(std::shared_ptr<APMConditionalUserPropertySeam> seam);
    static void setSearchAdReporter(std::shared_ptr<APMSearchAdReporterSeam> seam);
    static void setOnDeviceConversion(std::shared_ptr<APMOnDeviceConversionSeam> seam);
    static void setSKAdNetwork(std::shared_ptr<APMSKAdNetworkSeam> seam);
    static void setDeepLinks(std::shared_ptr<APMDeepLinkSeam> seam);
    static void setPurchaseReporter(std::shared_ptr<APMPurchaseReporterSeam> seam);
    static void setEventEditingFactory(std::shared_ptr<APMEventEditingFactory> factory);

    // Every seam back to its default.
    static void resetAll();
};

}  // namespace measurement
