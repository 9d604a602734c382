// The on-device conversion query: its address, the exchange, the retries,
// the match and the expiry of the stored state.
#include <cmath>
#include <limits>

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/upload/conversion/conversion_codes.h"
#include "measurement/upload/conversion/on_device_conversion.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/url.h"

namespace measurement {

namespace {

constexpr const char* kFirstOpenQueryKey = "timestamp_first_open";
constexpr const char* kDebugKeyQueryKey = "debug_psm_key";
constexpr const char* kOrigin = "auto";
// The delay doubles per failure; the retry limit keeps the exponent far
// below this, which only guards the shift.
constexpr int kMaxBackoffExponent = 30;

double now() { return platform::dispatch::currentClock()->now(); }

void logEntry(int level, long code, const std::string& message) {
    APMMonitor::shared().logWithLevel(level, code, message);
}

bool isAnsweredStatus(int status) {
    return status == platform::kRULNetworkHTTPStatusOK || status == platform::kRULNetworkHTTPStatusNoContent ||
           status == platform::kRULNetworkHTTPStatusCodeNotModified;
}

std::int64_t intValue(const std::optional<APMUserAttribute>& attribute) {
    if (!attribute || !attribute->value().isInt64()) return 0;
    return attribute->value().int64Value();
}

}  // namespace

APMPSMCountKey APMPSMCountKeyForInputType(int inputType) {
    switch (inputType) {
        case 2:
            return {kAPMPSMPhoneCountProperty, "psm_phone_count"};
        case 3:
            return {kAPMPSMHashedCountProperty, "psm_count"};
        case 4:
            return {kAPMPSMHashedPhoneCountProperty, "psm_phone_count"};
        default:
            return {kAPMPSMCountProperty, "psm_count"};
    }
}

std::string APMURLByAppendingQueryItem(const std::string& url, const std::string& key, const std::string& value) {
    const auto hash = url.find('#');
    std::string head = url.substr(0, hash);
    const std::string fragment = hash == std::string::npos ? std::string() : url.substr(hash);
    if (head.find('?') == std::string::npos) {
        head += '?';
    } else if (head.back() != '?' && head.back() != '&') {
        head += '&';
    }
    return head + platform::percentEncode(key) + '=' + platform::percentEncode(value) + fragment;
}

// ---- the query ------------------------------------------------------------------------

// The client's address with the answered count of its input kind, the first
// open rounded up to the next whole minute and, in debug runs, its debug key.
std::optional<std::string> APMOnDeviceConversion::queryURL(APMPSMClient& client, const APMPSMCountKey& key) const {
    auto url = client.PSMRequestURLWithRetryCount(retryCount_);
    if (!url) return std::nullopt;
    const auto count = intValue(storedProperty(key.property));
    std::string query = APMURLByAppendingQueryItem(*url, key.queryKey, std::to_string(count));
    const std::int64_t firstOpenSeconds = inputs_.persistedConfig->firstOpenTimestampMilliseconds() / 1000;
    if (firstOpenSeconds > 0) {
        const std::int64_t nextMinute = (firstOpenSeconds / 60 + 1) * 60;
        query = APMURLByAppendingQueryItem(query, kFirstOpenQueryKey, std::to_string(nextMinute));
    }
    const auto& monitor = APMMonitor::shared();
    if (monitor.isDebugModeEnabled() || monitor.isVerboseLoggingEnabled()) {
        const auto debugKey = client.debugKey();
        if (debugKey && platform::ProcessInfo::hasArgument(kAPMDebugOnDeviceConversionArgument)) {
            query = APMURLByAppendingQueryItem(query, kDebugKeyQueryKey, *debugKey);
        }
    }
    return query;
}

void APMOnDeviceConversion::retrievePSMResponse() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("retrievePSMResponse");
    if (!client_) return;
    const auto key = APMPSMCountKeyForInputType(client_->inputType());
    const auto url = queryURL(*client_, key);
    if (!url) {
        // Asking again would give no address either: the request ends here,
        // and the client goes so that later user data is not held back.
        logEntry(kAPMMonitorLevelError, kAPMPSMInvalidURLCode,
                 "URL to query data set for on-device conversion measurement is invalid");
        client_.reset();
        return;
    }
    if (!inputs_.host->isNetworkReadyForRequest()) {
        logEntry(kAPMMonitorLevelDebug, kAPMPSMPostponedCode,
                 "Network operation is pending. Request to query data set for on-device conversion measurement "
                 "postponed.");
        postponed_ = true;
        return;
    }
    sendQuery(*url, key.property);
}

void APMOnDeviceConversion::sendQuery(const std::string& url, const std::string& countProperty) {
    if (retryAlarm_) retryAlarm_->cancel();
    inProgress_ = true;
    postponed_ = false;
    auto& host = *inputs_.host;
    host.setIsNetworkRequestPending(true);
    host.network().setTimeoutInterval(config()->networkTimeout());
    std::weak_ptr<APMOnDeviceConversion> weak = weak_from_this();
    host.network().getURL(url, {}, host.workerQueue(), host.shouldUseBackgroundSession(),
                          [weak, countProperty](const platform::HTTPURLResponse& response,
                                                const std::vector<std::uint8_t>& data,
                                                const std::optional<platform::RULError>& error) {
                              if (auto self = weak.lock()) {
                                  self->handlePSMResponse(response.statusCode, data, error, countProperty);
                              }
                          });
}

// Every answered query counts, whatever it says; a failure keeps the client
// for the retry.
void APMOnDeviceConversion::handlePSMResponse(int status, const std::vector<std::uint8_t>& body,
                                              const std::optional<platform::RULError>& error,
                                              const std::string& countProperty) {
    inputs_.host->setIsNetworkRequestPending(false);
    incrementPSMCountOnWorkerQueueWithName(countProperty);
    inProgress_ = false;
    if (error || !isAnsweredStatus(status)) {
        APMMonitor::shared().logWithLevel(
            kAPMMonitorLevelError, kAPMPSMQueryFailedCode,
            "Failed to query data set for on-device conversion measurement. Will retry later. Code, error",
            platform::Value(status), error ? platform::Value(error->description()) : platform::Value());
        maybeSchedulePSMRetry();
        inputs_.host->updateSchedule();
        return;
    }
    const auto value = client_ ? client_->parsedPSMValueFromResponse(body) : std::string();
    if (!value.empty()) {
        logEntry(kAPMMonitorLevelDebug, kAPMPSMMatchFoundCode, "On-device conversion measurement found a match");
        handlePSMValueOnWorkerQueue(value);
    } else {
        logEntry(kAPMMonitorLevelDebug, kAPMPSMNoMatchCode,
                 "On-device conversion measurement did not find a match. Will try again given new user data.");
    }
    client_.reset();
    inputs_.host->updateSchedule();
}

// The k-th failure (counting from 0) waits the interval times 2^k; the
// client goes once the limit is reached, so that later user data can start
// afresh.
void APMOnDeviceConversion::maybeSchedulePSMRetry() {
    const std::int32_t failed = retryCount_;
    retryCount_ = failed + 1;
    const auto config = this->config();
    if (retryCount_ >= config->maxPSMRetryCount()) {
        logEntry(kAPMMonitorLevelSampledWarning, kAPMPSMRetryLimitReachedCode,
                 "On-device conversion measurement failed to find a match. Reached retry limit.");
        client_.reset();
        return;
    }
    if (!retryAlarm_) retryAlarm_ = std::make_unique<APMAlarm>(inputs_.host->workerQueue(), kAPMPSMRetryAlarmName);
    const double delay = config->PSMRetryInterval() * std::ldexp(1.0, std::min(failed, kMaxBackoffExponent));
    std::weak_ptr<APMOnDeviceConversion> weak = weak_from_this();
    retryAlarm_->runAfterDelay(delay, [weak] {
        if (auto self = weak.lock()) self->retrievePSMResponse();
    });
}

std::optional<double> APMOnDeviceConversion::PSMRetryTime() const {
    return retryAlarm_ ? retryAlarm_->scheduledTimestamp() : std::nullopt;
}

bool APMOnDeviceConversion::takePostponedPSMRequest() { return std::exchange(postponed_, false); }

// ---- the match and the stored state ----------------------------------------------------

void APMOnDeviceConversion::handlePSMValueOnWorkerQueue(const std::string& value) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("handlePSMValueOnWorkerQueue:");
    if (value.empty()) return;
    const double time = now();
    inputs_.host->setUserAttributeOnWorkerQueue(APMUserAttribute(kOrigin, kAPMPSMValueProperty, APMValue(value), time));
    APMParameters parameters;
    parameters.emplace("_fxs", APMValue(std::string("psm")));
    APMEvent event(kOrigin, false, "_fx", time, 0, parameters);
    event.setRealtime(true);
    inputs_.host->writeEventOnWorkerQueue(event);
}

void APMOnDeviceConversion::incrementPSMCountOnWorkerQueueWithName(const std::string& propertyName) {
    APMScheduler::checkOnBackgroundThreadWithMethodName("incrementPSMCountOnWorkerQueueWithName:");
    const auto count = intValue(storedProperty(propertyName));
    const auto next = count < std::numeric_limits<std::int64_t>::max() ? count + 1 : count;
    inputs_.host->setUserAttributeOnWorkerQueue(APMUserAttribute(kOrigin, propertyName, APMValue(next), now()));
}

void APMOnDeviceConversion::resetPSMCounts() {
    startCount_ = 0;
    retryCount_ = 0;
}

void APMOnDeviceConversion::checkPSMDependencyOnWorkerQueue() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("checkPSMDependencyOnWorkerQueue");
    if (PSMClientClass()) {
        logEntry(kAPMMonitorLevelDebug, kAPMPSMLinkedCode,
                 "RozedaDozUrerizaroriOnDeviceConversion dependency is linked. On-device conversion measurement is "
                 "ready to initiate.");
    } else if (storedProperty(kAPMPSMCountProperty) || storedProperty(kAPMPSMPhoneCountProperty)) {
        logEntry(kAPMMonitorLevelSampledWarning, kAPMPSMNotLinkedWithCountsCode,
                 "RozedaDozUrerizaroriOnDeviceConversion dependency is not currently linked. On-device conversion "
                 "measurement will fail to initiate.");
    }
}

// Removed whether or not collection is on: an expired match must not
// linger.
void APMOnDeviceConversion::maybeDeleteExpiredPSMValueOnWorkerQueue() {
    APMScheduler::checkOnBackgroundThreadWithMethodName("maybeDeleteExpiredPSMValueOnWorkerQueue");
    const auto value = storedProperty(kAPMPSMValueProperty);
    if (!value || std::fabs(now() - value->lastSetTimestamp()) < kAPMPSMValueLifetime) return;
    auto& database = *inputs_.database;
    database.deleteUserAttributeWithName(kAPMPSMValueProperty, nullptr);
    for (const char* count : {kAPMPSMCountProperty, kAPMPSMPhoneCountProperty, kAPMPSMHashedCountProperty,
                              kAPMPSMHashedPhoneCountProperty}) {
        if (storedProperty(count)) database.deleteUserAttributeWithName(count, nullptr);
    }
}

}  // namespace measurement
