#pragma once

// On-device conversion measurement: the user data the application hands
// over once goes to the optional on-device conversion client, whose query
// the engine sends to the measurement service; a match is kept as the user
// property "_psmvalue" and reported as "_fx". None of the user data is
// stored.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/alarm.h"
#include "measurement/upload/conversion/conversion_host.h"
#include "measurement/upload/conversion/psm_client.h"
#include "platform/foundation/value.h"

namespace measurement {

// The user-data keys, the stored state and the debug switch.
inline constexpr const char* kAPMUserDataEmailAddressKey = "email_address";
inline constexpr const char* kAPMUserDataPhoneNumberKey = "phone_number";
inline constexpr const char* kAPMUserDataHashedEmailAddressKey = "hashed_email_address";
inline constexpr const char* kAPMUserDataHashedPhoneNumberKey = "hashed_phone_number";
inline constexpr const char* kAPMPSMValueProperty = "_psmvalue";
inline constexpr const char* kAPMPSMCountProperty = "_psmcount";
inline constexpr const char* kAPMPSMPhoneCountProperty = "_psmcountph";
inline constexpr const char* kAPMPSMHashedCountProperty = "_psmcounth";
inline constexpr const char* kAPMPSMHashedPhoneCountProperty = "_psmcounthph";
inline constexpr const char* kAPMDebugOnDeviceConversionArgument = "-DebugOnDeviceConversionMeasurement";
inline constexpr const char* kAPMPSMRetryAlarmName = "On-device conversion measurement timer";
// A match value is dropped, with the counts, this long after it was set.
inline constexpr double kAPMPSMValueLifetime = 7776000;

// The count property and query key of a client's input type.
struct APMPSMCountKey {
    const char* property;
    const char* queryKey;
};
APMPSMCountKey APMPSMCountKeyForInputType(int inputType);

// Appends "key=value" to the URL's query, starting one when there is none,
// before any fragment; the value is percent-encoded.
std::string APMURLByAppendingQueryItem(const std::string& url, const std::string& key, const std::string& value);

// Lives on the measurement worker queue; the engine owns it.
class APMOnDeviceConversion : public std::enable_shared_from_this<APMOnDeviceConversion> {
public:
    explicit APMOnDeviceConversion(APMConversionInputs inputs);
    ~APMOnDeviceConversion();
    APMOnDeviceConversion(const APMOnDeviceConversion&) = delete;
    APMOnDeviceConversion& operator=(const APMOnDeviceConversion&) = delete;

    // From any queue: the user data goes to the worker queue.
    void setUserData(const platform::Value::Dictionary& userData);
    // Starts a request from the first input whose checks pass.
    void setUserDataOnWorkerQueue(const platform::Value::Dictionary& userData);
    static std::optional<APMPSMClientClass> PSMClientClass();

    // Start-up: notes whether the client is linked, and drops an expired
    // match with its counts.
    void checkPSMDependencyOnWorkerQueue();
    void maybeDeleteExpiredPSMValueOnWorkerQueue();

    // The checks; each failure but the switched-off feature is logged.
    bool shouldRetrievePSMResponse();
    bool shouldRetrievePSMResponseWithEmailAddress(const std::string& emailAddress);
    bool shouldRetrievePSMResponseWithPhoneNumber(const std::string& phoneNumber);
    bool shouldRetrievePSMResponseWithHashedIdentifier(const std::vector<std::uint8_t>& hashedIdentifier);

    std::shared_ptr<APMPSMClient> PSMClientWithEmailAddress(const std::string& emailAddress);
    std::shared_ptr<APMPSMClient> PSMClientWithPhoneNumber(const std::string& phoneNumber);
    std::shared_ptr<APMPSMClient> PSMClientWithHashedEmailAddress(const std::vector<std::uint8_t>& hashed);
    std::shared_ptr<APMPSMClient> PSMClientWithHashedPhoneNumber(const std::vector<std::uint8_t>& hashed);

    // Sends the held client's query, or waits for the network.
    void retrievePSMResponse();
    void maybeSchedulePSMRetry();
    void handlePSMValueOnWorkerQueue(const std::string& value);
    void incrementPSMCountOnWorkerQueueWithName(const std::string& propertyName);
    // Both counters of this run to 0 (a data wipe).
    void resetPSMCounts();

    // A query that waited for the network: answers whether one was waiting,
    // and forgets it (the upload then sends it).
    bool takePostponedPSMRequest();

    // State, for the engine and tests.
    const std::shared_ptr<APMPSMClient>& privateSetMembershipClient() const { return client_; }
    bool isPSMRequestInProgress() const { return inProgress_; }
    bool isPSMRequestPostponed() const { return postponed_; }
    std::int32_t PSMStartCount() const { return startCount_; }
    std::int32_t PSMRetryCount() const { return retryCount_; }
    // When the retry alarm fires; none while it is not armed.
    std::optional<double> PSMRetryTime() const;

private:
    std::shared_ptr<APMRemoteConfig> config() const { return inputs_.host->remoteConfig(); }
    std::optional<APMUserAttribute> storedProperty(const std::string& name) const;
    std::optional<std::string> queryURL(APMPSMClient& client, const APMPSMCountKey& key) const;
    void sendQuery(const std::string& url, const std::string& countProperty);
    void handlePSMResponse(int status, const std::vector<std::uint8_t>& body,
                           const std::optional<platform::RULError>& error, const std::string& countProperty);
    std::shared_ptr<APMPSMClient> makeClient(const char* selector, const char* prefixSelector, platform::Value input,
                                             std::optional<std::int64_t> prefixBitLength);

    APMConversionInputs inputs_;
    std::shared_ptr<APMPSMClient> client_;
    bool inProgress_ = false;
    bool postponed_ = false;
    std::int32_t startCount_ = 0;
    std::int32_t retryCount_ = 0;
    std::unique_ptr<APMAlarm> retryAlarm_;
};

}  // namespace measurement
