#pragma once

// The application's public analytics interface.

#include <optional>
#include <string>

#include "platform/foundation/value.h"
#include "platform/frameworks/payment_queue/payment_queue.h"

namespace measurement {

// The public analytics interface of the application. Every operation may be
// called from any thread, returns at once and hands no failure back: bad
// input is reported through the monitor and recorded as an "_err" event.
// Nothing is recorded until the default application is configured
// (platform::VEZApp::configure), which starts the engine.
class VEZArurerudo {
public:
    using Parameters = platform::Value::Dictionary;

    // One event with origin "app". Parameter values: strings, numbers or
    // lists of dictionaries. The name must be a public event name (at most
    // 40 characters, a letter first, then letters, digits and "_", no
    // reserved name or prefix); otherwise only "_err" is recorded, with code
    // 13 for a reserved name or prefix and 2 for any other fault, and the
    // name. "screen_view" goes to the screen-view reporter.
    static void logEventWithName(const std::string& name, const Parameters& parameters = {});

    // A user property with origin "app"; no value removes it. The name must
    // be a public user-property name (at most 24 characters), the value at
    // most 36 characters.
    static void setUserPropertyString(const std::optional<std::string>& value, const std::string& name);
    static void setUserID(const std::optional<std::string>& userID);

    static void setAnalyticsCollectionEnabled(bool enabled);
    static void setSessionTimeoutInterval(double seconds);
    // Main thread only.
    static void setScreenName(const std::optional<std::string>& screenName,
                              const std::optional<std::string>& screenClass);
    // Consent type ("ad_storage", "analytics_storage", "ad_user_data",
    // "ad_personalization") to "granted" or "denied".
    static void setConsent(const Parameters& consent);
    static void resetAnalyticsData();
    static std::optional<std::string> appInstanceID();

    // On-device conversion measurement: hands one piece of user data to the
    // engine.
    static void initiateOnDeviceConversionMeasurementWithEmailAddress(const std::string& emailAddress);
    static void initiateOnDeviceConversionMeasurementWithPhoneNumber(const std::string& phoneNumber);
    static void initiateOnDeviceConversionMeasurementWithHashedEmailAddress(const platform::Data& hashedEmailAddress);
    static void initiateOnDeviceConversionMeasurementWithHashedPhoneNumber(const platform::Data& hashedPhoneNumber);

    // A link the application was opened with while it runs: a link with
    // campaign parameters ("utm_source", "gclid", ...) is recorded as the
    // campaign event "_cmp" once the engine has started. The link the
    // application is launched with reaches the engine through the launch
    // notification's options ("UIApplicationLaunchOptionsURLKey").
    static void handleOpenURL(const std::string& url);
    // The same for a user activity: {"activityType":
    // "NSUserActivityTypeBrowsingWeb", "webpageURL": link}.
    static void handleUserActivity(const Parameters& userActivity);
    // A transaction record of the newer purchase interface: reported as a
    // purchase event ("_iap" and its kin) with the product's details.
    static void logTransaction(const platform::StoreTransaction& transaction);
};

}  // namespace measurement
