// The service's conversion-value reply: its checks, the platform update and
// the "_skan" record, and the bounded retries.
#include <algorithm>
#include <cctype>
#include <limits>

#include "measurement/foundation/environment.h"
#include "measurement/foundation/monitor.h"
#include "measurement/upload/conversion/conversion_codes.h"
#include "measurement/upload/conversion/skan_conversion_values.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/process_info.h"
#include "platform/frameworks/utilities/gzip.h"

namespace measurement {

namespace {

using Response = APMPBSkAdNetworkConversionValueResponse;

// The reply's fields by their tags.
struct Field {
    static int index(pb_size_t tag) { return NANOFieldIndexForTag<Response>(tag); }
    static inline const int status = index(nano_APMPBSkAdNetworkConversionValueResponse_status_tag);
    static inline const int label = index(nano_APMPBSkAdNetworkConversionValueResponse_label_tag);
    static inline const int fine = index(nano_APMPBSkAdNetworkConversionValueResponse_fine_value_tag);
    static inline const int coarse = index(nano_APMPBSkAdNetworkConversionValueResponse_coarse_value_tag);
    static inline const int lockWindow = index(nano_APMPBSkAdNetworkConversionValueResponse_lock_window_tag);
    static inline const int resultTime = index(nano_APMPBSkAdNetworkConversionValueResponse_result_time_millis_tag);
    static inline const int eventTime = index(nano_APMPBSkAdNetworkConversionValueResponse_event_time_millis_tag);
    static inline const int backoff = index(nano_APMPBSkAdNetworkConversionValueResponse_update_backoff_millis_tag);
};

constexpr int kStatusApply = 1;
constexpr int kStatusNothingToApply = 2;
// Absent, the coarse value counts as low.
constexpr std::int64_t kDefaultCoarseValue = 1;

void logEntry(int level, long code, const std::string& message) {
    APMMonitor::shared().logWithLevel(level, code, message);
}

// The fine value is unsigned on the wire.
std::int64_t fineValue(const Response& response) {
    return static_cast<std::int64_t>(static_cast<std::uint32_t>(NANOGetInt32(response, Field::fine)));
}

std::int64_t coarseValue(const Response& response) {
    return NANOHasField(response, Field::coarse) ? NANOGetInt32(response, Field::coarse) : kDefaultCoarseValue;
}

bool isGzipEncoded(const platform::HTTPURLResponse& response) {
    auto encoding = response.valueForHTTPHeaderField("Content-Encoding");
    if (!encoding) return false;
    std::transform(encoding->begin(), encoding->end(), encoding->begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return *encoding == "gzip";
}

bool takesFineAndCoarseValues() { return APMIsOSVersionAtLeast(platform::ProcessInfo::osVersion(), 16, 1); }

std::string describe(const std::optional<platform::RULError>& error) { return error ? error->description() : ""; }

}  // namespace

// Replies that can never succeed end the cycle; those that may succeed later
// go through the bounded retry.
void APMSKANConversionValues::handleSKANFetchResponse(const platform::HTTPURLResponse& response,
                                                      const std::vector<std::uint8_t>& data,
                                                      const std::optional<platform::RULError>& error) {
    const int status = response.statusCode;
    if (status == platform::kRULNetworkHTTPStatusCodeNotModified) {
        stopProcessingSKANResponseAndResetRetryCount();
        return;
    }
    if (status != platform::kRULNetworkHTTPStatusOK) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelDebug, kAPMSKANRequestFailedCode,
                                          "Network request failed to fetch SKAN conversion value. Code, Error",
                                          platform::Value(status), platform::Value(describe(error)));
        maybeScheduleSKANCVFetchRetry();
        return;
    }
    std::vector<std::uint8_t> body = data;
    if (isGzipEncoded(response)) {
        if (auto inflated = platform::rul_dataByInflatingGzippedData(data)) body = std::move(*inflated);
    }
    if (body.empty()) {
        logEntry(kAPMMonitorLevelError, kAPMSKANNoDataCode, "No SKAdNetwork conversion value data returned.");
        stopProcessingSKANResponseAndResetRetryCount();
        return;
    }
    const auto message = Response::initWithBuffer(body);
    if (!message) {
        logEntry(kAPMMonitorLevelError, kAPMSKANInvalidDataCode, "Invalid SKAdNetwork conversion value data returned.");
        stopProcessingSKANResponseAndResetRetryCount();
        return;
    }
    const bool hasStatus = NANOHasField(*message, Field::status);
    const auto answer = hasStatus ? NANOGetInt32(*message, Field::status) : 0;
    if (hasStatus && answer == kStatusApply) {
        updateSKANPostbackConversionValueFromResponse(*message);
    } else if (hasStatus && answer == kStatusNothingToApply) {
        stopProcessingSKANResponseAndResetRetryCount();
    } else {
        maybeScheduleSKANCVFetchRetry();
    }
}

void APMSKANConversionValues::updateSKANPostbackConversionValueFromResponse(const Response& response) {
    if (!takesFineAndCoarseValues()) return;
    if (!NANOHasField(response, Field::eventTime)) {
        logEntry(kAPMMonitorLevelError, kAPMSKANMissingEventTimeCode,
                 "SKAdNetwork conversion value data missing event time field.");
        maybeScheduleSKANCVFetchRetry();
        return;
    }
    if (!NANOHasField(response, Field::fine) && !NANOHasField(response, Field::coarse)) {
        logEntry(kAPMMonitorLevelError, kAPMSKANMissingValuesCode, "SKAdNetwork fine and coarse conversion values missing.");
        stopProcessingSKANResponseAndResetRetryCount();
        return;
    }
    const auto fine = fineValue(response);
    const auto coarse = convertCoarseConversionValueFromProtoValue(coarseValue(response));
    const bool lockWindow = NANOGetBool(response, Field::lockWindow);
    if (!isValidFineConversionValue(fine)) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMSKANInvalidFineValueCode,
                                          "Invalid SKAdNetwork fine conversion value. Fine value",
                                          platform::Value(static_cast<long long>(fine)));
        stopProcessingSKANResponseAndResetRetryCount();
        return;
    }
    if (!NANOHasField(response, Field::resultTime)) {
        logEntry(kAPMMonitorLevelError, kAPMSKANMissingResultTimeCode,
                 "SKAdNetwork conversion value data missing result time field.");
        maybeScheduleSKANCVFetchRetry();
        return;
    }
    const auto resultSeconds = NANOGetInt64(response, Field::resultTime) / 1000;
    if (platform::dispatch::currentClock()->now() > static_cast<double>(resultSeconds)) {
        logEntry(kAPMMonitorLevelSampledWarning, kAPMSKANExpiredCode, "SKAdNetwork conversion value expired.");
        maybeScheduleSKANCVFetchRetry();
        return;
    }
    if (NANOGetInt64(response, Field::eventTime) < inputs_.persistedConfig->lastUploadedEventTimestampMillis()) {
        logEntry(kAPMMonitorLevelSampledWarning, kAPMSKANOutdatedCode, "Received outdated SKAdNetwork conversion value.");
        maybeScheduleSKANCVFetchRetry();
        return;
    }
    logEntry(kAPMMonitorLevelDebug, kAPMSKANUpdatingCode, "Updating SKAdNetwork postback conversion value.");
    updateInProgress_ = true;
    std::weak_ptr<APMSKANConversionValues> weak = weak_from_this();
    platform::SKAdNetwork::updatePostbackConversionValue(
        static_cast<long>(fine), coarse, lockWindow,
        [weak, host = inputs_.host, response](const std::optional<platform::SKANError>& error) {
            host->scheduleOnWorkerQueue("APMMeasurement:429", [weak, response, error] {
                if (auto self = weak.lock()) self->handleSKANUpdatePostbackCompletion(response, error);
            });
        });
}

// The value counts as applied only once the platform took it: only then is
// its evaluation time kept (so that a failed update is asked for again) and
// the retries start afresh.
void APMSKANConversionValues::handleSKANUpdatePostbackCompletion(const Response& response,
                                                                 const std::optional<platform::SKANError>& error) {
    updateInProgress_ = false;
    const bool countsAsSuccess = !error || (takesFineAndCoarseValues() && error->domain == platform::SKANErrorDomain &&
                                            error->code == kAPMSKANErrorCodeCountedAsSuccess);
    if (!countsAsSuccess) {
        APMMonitor::shared().logWithLevel(
            kAPMMonitorLevelError, kAPMSKANUpdateFailedCode, "SKAdNetwork postback conversion value update failed. Error",
            platform::Value(error->domain + " " + std::to_string(error->code) + ": " + error->message));
        maybeScheduleSKANCVFetchRetry();
        return;
    }
    retryCount_ = 0;
    auto& persisted = *inputs_.persistedConfig;
    persisted.setSKANEvaluationEventTimeMillis(NANOGetInt64(response, Field::eventTime));
    persisted.setSKANEvaluationUpdateBackoffMillis(NANOGetInt64(response, Field::backoff));
    APMParameters parameters;
    if (NANOHasField(response, Field::label)) {
        parameters.emplace("_skanm", APMValue(NANOGetString(response, Field::label).value_or("")));
    }
    if (NANOHasField(response, Field::fine)) parameters.emplace("_skanf", APMValue(fineValue(response)));
    if (NANOHasField(response, Field::coarse)) parameters.emplace("_skanc", APMValue(coarseValue(response)));
    if (NANOHasField(response, Field::lockWindow)) {
        parameters.emplace("_skanl", APMValue(std::int64_t{NANOGetBool(response, Field::lockWindow) ? 1 : 0}));
    }
    parameters.emplace("_skane", APMValue(NANOGetInt64(response, Field::eventTime)));
    const double now = platform::dispatch::currentClock()->now();
    inputs_.host->handleInternalEventOnWorkerQueue(APMEvent("auto", false, "_skan", now, 0, parameters));
}

void APMSKANConversionValues::maybeScheduleSKANCVFetchRetry() {
    if (retryCount_ < std::numeric_limits<std::int32_t>::max()) ++retryCount_;
    if (retryCount_ > SKANFetchRetryLimit()) {
        logEntry(kAPMMonitorLevelSampledWarning, kAPMSKANRetryLimitCode,
                 "Reached retry limit for SKAdNetwork conversion value fetch.");
        return;
    }
    const auto config = this->config();
    arm(retryAlarm_, kAPMSKANRetryAlarmName,
        isInFirstSKANPostbackWindow() ? config->SKANFirstWindowCVFetchRetryInterval() : config->SKANCVFetchRetryInterval());
}

void APMSKANConversionValues::stopProcessingSKANResponseAndResetRetryCount() { retryCount_ = 0; }

}  // namespace measurement
