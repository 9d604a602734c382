#pragma once

// Conversion values for the ad network's postbacks: the engine asks the
// measurement service ("/skan") which value the install should report, hands
// the answer to the platform and records what it applied as "_skan". Only
// within the postback windows after the first open, and only on an OS that
// takes fine and coarse values.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/alarm.h"
#include "measurement/foundation/messages.h"
#include "measurement/upload/conversion/conversion_host.h"
#include "platform/frameworks/ad_network/sk_ad_network.h"

namespace measurement {

inline constexpr const char* kAPMSKANRetryAlarmName = "SKAN conversion value fetch timer";
inline constexpr const char* kAPMSKANDelayAlarmName = "SKAN conversion value delay fetch";
// The postback windows after the first open, in milliseconds.
inline constexpr std::int64_t kAPMSKANFirstWindowMillis = 172800000;
inline constexpr std::int64_t kAPMSKANAllWindowsMillis = 3024000000;
// The platform's "try again later" that still means the value was taken.
inline constexpr long kAPMSKANErrorCodeCountedAsSuccess = 10;

// The platform's ad-network version for an OS version ("16.1" gives "4.0").
std::string APMSKANVersionForOSVersion(const std::string& osVersion);

// Lives on the measurement worker queue; the engine owns it.
class APMSKANConversionValues : public std::enable_shared_from_this<APMSKANConversionValues> {
public:
    explicit APMSKANConversionValues(APMConversionInputs inputs);
    ~APMSKANConversionValues();
    APMSKANConversionValues(const APMSKANConversionValues&) = delete;
    APMSKANConversionValues& operator=(const APMSKANConversionValues&) = delete;

    // The version for the running OS.
    static std::string SKANVersion();
    bool isInFirstSKANPostbackWindow() const;
    bool isPastAllSKANPostbackWindows() const;
    static bool isValidFineConversionValue(std::int64_t value);
    // 3 high, 2 medium, anything else low.
    static std::string convertCoarseConversionValueFromProtoValue(std::int64_t value);
    std::int32_t SKANFetchRetryLimit() const;
    bool shouldFetchSKANConversionValue() const;

    // After an upload that left nothing to send: a fetch a little later.
    void scheduleSKANCVFetchAfterDataUpload();
    // Posts the request, unless a fetch may not start now.
    void fetchSKANCV();
    void handleSKANFetchResponse(const platform::HTTPURLResponse& response, const std::vector<std::uint8_t>& data,
                                 const std::optional<platform::RULError>& error);
    void updateSKANPostbackConversionValueFromResponse(const APMPBSkAdNetworkConversionValueResponse& response);
    void handleSKANUpdatePostbackCompletion(const APMPBSkAdNetworkConversionValueResponse& response,
                                            const std::optional<platform::SKANError>& error);
    void maybeScheduleSKANCVFetchRetry();
    void stopProcessingSKANResponseAndResetRetryCount();
    void maybeFetchSKANCVAfterReachabilityChange();
    // A successful upload starts the retries afresh.
    void resetSKANRetryCount() { retryCount_ = 0; }

    // The request as it would be sent now.
    APMPBSkAdNetworkConversionValueRequest SKANRequest() const;

    // State, for the engine and tests.
    bool isSKANRequestInProgress() const { return inProgress_; }
    bool fetchSKANWhenNetworkConnected() const { return fetchWhenConnected_; }
    bool isSKANUpdateInProgress() const { return updateInProgress_; }
    std::int32_t SKANRetryCount() const { return retryCount_; }
    // When the alarms fire; none while they are not armed.
    std::optional<double> SKANRetryTime() const;
    std::optional<double> SKANDelayTime() const;

private:
    std::shared_ptr<APMRemoteConfig> config() const { return inputs_.host->remoteConfig(); }
    std::int64_t nowMillis() const;
    void post(const std::string& url);
    void arm(std::unique_ptr<APMAlarm>& alarm, const char* name, double delay);

    APMConversionInputs inputs_;
    bool inProgress_ = false;
    bool fetchWhenConnected_ = false;
    // The platform has a value and has not answered yet.
    bool updateInProgress_ = false;
    std::int32_t retryCount_ = 0;
    std::unique_ptr<APMAlarm> retryAlarm_;
    std::unique_ptr<APMAlarm> delayAlarm_;
};

}  // namespace measurement
