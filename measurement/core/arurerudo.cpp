// The public analytics interface: each operation checked and handed to the facade.
#include "measurement/core/arurerudo.h"

#include "measurement/core/facade.h"
#include "measurement/core/codes.h"
#include "measurement/core/measurement.h"
#include "measurement/foundation/event_parameters.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/names.h"
#include "measurement/foundation/text.h"
#include "measurement/upload/identity/identifiers.h"
#include "platform/frameworks/app_core/app.h"

namespace measurement {

namespace {

constexpr std::size_t kMaxUserPropertyValueLength = 36;

// Configuring the default application starts the engine; the operations
// held meanwhile go on once it has started.
void startMeasurement(const platform::VEZAppOptions& options) {
    // The default application names the measurement application identifier.
    APMIdentifiers::sharedInstance().setOrigin(kAPMOriginMeasurement);
    APMMeasurement::sharedInstance()->startWithAppID(options.appID, [] { APMAnalytics::startOperationQueue(); });
}

const bool kRegisteredWithApp = [] {
    platform::VEZApp::registerComponent("measurement", &startMeasurement);
    return true;
}();

bool isConfigured(long code, const std::string& message, const platform::Value& context) {
    (void)kRegisteredWithApp;
    if (platform::VEZApp::isDefaultAppConfigured()) return true;
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, code, message, context);
    return false;
}

// Records a refused public input as the internal "_err" event.
void logErrorEvent(int code, const std::string& name, std::optional<std::size_t> length = std::nullopt) {
    APMAnalytics::Parameters parameters{{kAPMErrorCodeParameter, code}, {kAPMErrorValueParameter, name}};
    if (length) parameters.emplace(kAPMErrorLengthParameter, static_cast<long long>(*length));
    APMAnalytics::logInternalEventWithOrigin("auto", kAPMErrorCodeParameter, parameters);
}

void passUserData(long notConfiguredCode, const char* what, const char* key, const platform::Value& value) {
    if (!isConfigured(notConfiguredCode, std::string(what) + " not set. Call +[VEZApp configure]", platform::Value()))
        return;
    APMAnalytics::setUserDataOnSerialQueue({{key, value}});
}

}  // namespace

void VEZArurerudo::logEventWithName(const std::string& name, const Parameters& parameters) {
    if (!isConfigured(kAPMEventNotLoggedNotConfiguredCode, "Event not logged. Call +[VEZApp configure]",
                      platform::Value(name))) {
        return;
    }
    if (const int failure = APMValidatePublicEventName(name); failure != kAPMValidationOK) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMInvalidEventNameCode,
                                          "Event name is invalid and the event is not logged. Name, failure code",
                                          platform::Value(name), platform::Value(failure));
        logErrorEvent(failure, name);
        return;
    }
    // The parameters are copied; a typed value tree holds nothing that
    // cannot be bridged, so the event always goes on.
    APMAnalytics::logEventWithOrigin("app", true, name, parameters);
}

void VEZArurerudo::setUserPropertyString(const std::optional<std::string>& value, const std::string& name) {
    if (!isConfigured(kAPMNotConfiguredCode, "User property not set. Call +[VEZApp configure]", platform::Value(name)))
        return;
    if (const int failure = APMValidatePublicUserPropertyName(name); failure != kAPMValidationOK) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMInvalidUserPropertyCode,
                                          "User property name is invalid. Name, failure code", platform::Value(name),
                                          platform::Value(failure));
        logErrorEvent(failure, name);
        return;
    }
    if (value && APMUTF16Length(*value) > kMaxUserPropertyValueLength) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMInvalidUserPropertyCode,
                                          "User property value is too long. Name", platform::Value(name));
        logErrorEvent(kAPMUserPropertyValueTooLong, name, APMUTF16Length(*value));
        return;
    }
    const auto internalName = APMInternalName(APMUserPropertyNameMap(), name).value_or(name);
    APMAnalytics::setInternalUserProperty(value ? std::optional<platform::Value>(*value) : std::nullopt, internalName,
                                          "app");
}

void VEZArurerudo::setUserID(const std::optional<std::string>& userID) {
    if (!isConfigured(kAPMNotConfiguredCode, "User ID not set. Call +[VEZApp configure]", platform::Value()))
        return;
    APMAnalytics::setInternalUserProperty(userID ? std::optional<platform::Value>(*userID) : std::nullopt, "_id",
                                          "app");
}

void VEZArurerudo::setAnalyticsCollectionEnabled(bool enabled) { APMAnalytics::setAnalyticsCollectionEnabled(enabled); }

void VEZArurerudo::setSessionTimeoutInterval(double seconds) { APMAnalytics::setSessionTimeoutInterval(seconds); }

void VEZArurerudo::setScreenName(const std::optional<std::string>& screenName,
                                 const std::optional<std::string>& screenClass) {
    APMAnalytics::setScreenName(screenName, screenClass);
}

void VEZArurerudo::setConsent(const Parameters& consent) {
    APMAnalytics::serialQueue()->async([consent] { APMAnalytics::setConsent(consent); });
}

void VEZArurerudo::resetAnalyticsData() {
    APMAnalytics::performAfterQueuedOperations("VEZArurerudo:reset", [] {
        APMMeasurement::sharedInstance()->wipeoutAnalyticsDataAndResetComponents();
    });
}

std::optional<std::string> VEZArurerudo::appInstanceID() { return APMIdentifiers::sharedInstance().appInstanceID(); }

void VEZArurerudo::initiateOnDeviceConversionMeasurementWithEmailAddress(const std::string& emailAddress) {
    passUserData(kAPMEmailNotConfiguredCode, "Email address", "email_address", platform::Value(emailAddress));
}

void VEZArurerudo::initiateOnDeviceConversionMeasurementWithPhoneNumber(const std::string& phoneNumber) {
    passUserData(kAPMPhoneNotConfiguredCode, "Phone number", "phone_number", platform::Value(phoneNumber));
}

void VEZArurerudo::initiateOnDeviceConversionMeasurementWithHashedEmailAddress(const platform::Data& hashedEmailAddress) {
    passUserData(kAPMHashedEmailNotConfiguredCode, "Hashed email address", "hashed_email_address",
                 platform::Value(hashedEmailAddress));
}

void VEZArurerudo::initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(const platform::Data& hashedPhoneNumber) {
    passUserData(kAPMHashedPhoneNotConfiguredCode, "Hashed phone number", "hashed_phone_number",
                 platform::Value(hashedPhoneNumber));
}

void VEZArurerudo::handleOpenURL(const std::string& url) { APMAnalytics::handleOpenURL(url); }

void VEZArurerudo::handleUserActivity(const Parameters& userActivity) { APMAnalytics::handleUserActivity(userActivity); }

void VEZArurerudo::logTransaction(const platform::StoreTransaction& transaction) {
    APMAnalytics::logTransaction(transaction);
}

}  // namespace measurement
