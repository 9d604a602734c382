// The conversion-value exchange: the postback windows, when a fetch may
// start, its timers and the request.
#include "measurement/upload/conversion/skan_conversion_values.h"

#include <cmath>
#include <limits>

#include "measurement/foundation/environment.h"
#include "measurement/foundation/monitor.h"
#include "measurement/upload/conversion/conversion_codes.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/process_info.h"

namespace measurement {

namespace {

template <class Message>
int fieldIndex(pb_size_t tag) {
    return NANOFieldIndexForTag<Message>(tag);
}

// first + span, the largest time for a sum beyond it.
std::int64_t saturatingSum(std::int64_t first, std::int64_t span) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(first, span, &sum)) return std::numeric_limits<std::int64_t>::max();
    return sum;
}

bool takesFineAndCoarseValues() { return APMIsOSVersionAtLeast(platform::ProcessInfo::osVersion(), 16, 1); }

}  // namespace

std::string APMSKANVersionForOSVersion(const std::string& osVersion) {
    const struct {
        int major;
        int minor;
        const char* version;
    } versions[] = {{16, 1, "4.0"}, {14, 6, "3.0"}, {14, 5, "2.2"}, {14, 0, "2.1"}, {13, 7, "1.0"}};
    for (const auto& entry : versions) {
        if (APMIsOSVersionAtLeast(osVersion, entry.major, entry.minor)) return entry.version;
    }
    return "0";
}

APMSKANConversionValues::APMSKANConversionValues(APMConversionInputs inputs) : inputs_(std::move(inputs)) {}

APMSKANConversionValues::~APMSKANConversionValues() {
    if (retryAlarm_) retryAlarm_->cancel();
    if (delayAlarm_) delayAlarm_->cancel();
}

std::string APMSKANConversionValues::SKANVersion() {
    return APMSKANVersionForOSVersion(platform::ProcessInfo::osVersion());
}

std::int64_t APMSKANConversionValues::nowMillis() const {
    return static_cast<std::int64_t>(std::trunc(platform::dispatch::currentClock()->now() * 1000));
}

// The boundary itself is still inside the first window.
bool APMSKANConversionValues::isInFirstSKANPostbackWindow() const {
    const auto firstOpen = inputs_.persistedConfig->firstOpenTimestampMilliseconds();
    return saturatingSum(firstOpen, kAPMSKANFirstWindowMillis) >= nowMillis();
}

// Without a stored first open (0) every window has long passed.
bool APMSKANConversionValues::isPastAllSKANPostbackWindows() const {
    const auto firstOpen = inputs_.persistedConfig->firstOpenTimestampMilliseconds();
    return saturatingSum(firstOpen, kAPMSKANAllWindowsMillis) < nowMillis();
}

bool APMSKANConversionValues::isValidFineConversionValue(std::int64_t value) { return value >= 0 && value < 64; }

std::string APMSKANConversionValues::convertCoarseConversionValueFromProtoValue(std::int64_t value) {
    if (value == 3) return platform::SKAdNetworkCoarseConversionValueHigh;
    if (value == 2) return platform::SKAdNetworkCoarseConversionValueMedium;
    return platform::SKAdNetworkCoarseConversionValueLow;
}

// While the back-off the service granted with the last applied value runs,
// one failure ends the retries.
std::int32_t APMSKANConversionValues::SKANFetchRetryLimit() const {
    const auto& persisted = *inputs_.persistedConfig;
    const auto eventTime = persisted.SKANEvaluationEventTimeMillis();
    const auto backoff = persisted.SKANEvaluationUpdateBackoffMillis();
    if (eventTime >= 1 && backoff >= 1 && saturatingSum(eventTime, backoff) >= nowMillis()) return 1;
    const auto config = this->config();
    const auto limit =
        isInFirstSKANPostbackWindow() ? config->SKANFirstWindowCVFetchRetryLimit() : config->SKANCVFetchRetryLimit();
    return static_cast<std::int32_t>(limit);
}

// No second fetch while one is on the wire or while the platform has not
// answered the last value: it would apply and report that value again.
bool APMSKANConversionValues::shouldFetchSKANConversionValue() const {
    if (!takesFineAndCoarseValues() || !config()->SKANUpdateConversionValueEnabled()) return false;
    if (isPastAllSKANPostbackWindows() || inProgress_ || updateInProgress_) return false;
    const auto instanceID = inputs_.identity->appInstanceID();
    return instanceID && !instanceID->empty();
}

void APMSKANConversionValues::arm(std::unique_ptr<APMAlarm>& alarm, const char* name, double delay) {
    if (!alarm) alarm = std::make_unique<APMAlarm>(inputs_.host->workerQueue(), name);
    std::weak_ptr<APMSKANConversionValues> weak = weak_from_this();
    alarm->runAfterDelay(delay, [weak] {
        if (auto self = weak.lock()) self->fetchSKANCV();
    });
}

void APMSKANConversionValues::scheduleSKANCVFetchAfterDataUpload() {
    if (!shouldFetchSKANConversionValue()) return;
    const auto config = this->config();
    arm(delayAlarm_, kAPMSKANDelayAlarmName,
        isInFirstSKANPostbackWindow() ? config->SKANFirstWindowCVFetchDelay() : config->SKANInitialCVFetchDelay());
}

void APMSKANConversionValues::maybeFetchSKANCVAfterReachabilityChange() {
    if (fetchWhenConnected_ && inputs_.host->network().isNetworkConnected()) fetchSKANCV();
}

std::optional<double> APMSKANConversionValues::SKANRetryTime() const {
    return retryAlarm_ ? retryAlarm_->scheduledTimestamp() : std::nullopt;
}

std::optional<double> APMSKANConversionValues::SKANDelayTime() const {
    return delayAlarm_ ? delayAlarm_->scheduledTimestamp() : std::nullopt;
}

// ---- the request ---------------------------------------------------------------------

APMPBSkAdNetworkConversionValueRequest APMSKANConversionValues::SKANRequest() const {
    using Request = APMPBSkAdNetworkConversionValueRequest;
    Request request;
    const auto& identity = *inputs_.identity;
    const auto& persisted = *inputs_.persistedConfig;
    NANOSetInt64(request, fieldIndex<Request>(nano_APMPBSkAdNetworkConversionValueRequest_library_version_tag),
                 identity.libraryVersion());
    NANOSetString(request, fieldIndex<Request>(nano_APMPBSkAdNetworkConversionValueRequest_app_id_tag),
                  identity.appID());
    NANOSetString(request, fieldIndex<Request>(nano_APMPBSkAdNetworkConversionValueRequest_app_instance_id_tag),
                  identity.appInstanceID());
    NANOSetString(request, fieldIndex<Request>(nano_APMPBSkAdNetworkConversionValueRequest_skan_version_tag),
                  SKANVersion());
    NANOSetInt64(request,
                 fieldIndex<Request>(nano_APMPBSkAdNetworkConversionValueRequest_evaluation_event_time_millis_tag),
                 persisted.SKANEvaluationEventTimeMillis());
    NANOSetInt64(request,
                 fieldIndex<Request>(nano_APMPBSkAdNetworkConversionValueRequest_last_uploaded_event_time_millis_tag),
                 persisted.lastUploadedEventTimestampMillis());
    return request;
}

void APMSKANConversionValues::fetchSKANCV() {
    if (!shouldFetchSKANConversionValue()) return;
    auto& host = *inputs_.host;
    if (!host.isNetworkReadyForRequest()) {
        APMMonitor::shared().logWithLevel(
            kAPMMonitorLevelDebug, kAPMSKANPostponedCode,
            "Network operation is pending. Request to fetch SKAdNetwork conversion value postponed.");
        return;
    }
    if (!host.network().isNetworkConnected()) {
        fetchWhenConnected_ = true;
        return;
    }
    // Without a service address there is nothing to ask.
    const auto url = config()->SKANConversionValueURL();
    if (!url) return;
    post(url->string());
}

void APMSKANConversionValues::post(const std::string& url) {
    auto& host = *inputs_.host;
    inProgress_ = true;
    fetchWhenConnected_ = false;
    host.setIsNetworkRequestPending(true);
    host.network().setTimeoutInterval(config()->networkTimeout());
    if (retryAlarm_) retryAlarm_->cancel();
    if (delayAlarm_) delayAlarm_->cancel();
    std::weak_ptr<APMSKANConversionValues> weak = weak_from_this();
    host.network().postURL(url, {{"Accept-Encoding", "gzip"}}, SKANRequest().protoBuffer(), host.workerQueue(), false,
                           [weak](const platform::HTTPURLResponse& response, const std::vector<std::uint8_t>& data,
                                  const std::optional<platform::RULError>& error) {
                               const auto self = weak.lock();
                               if (!self) return;
                               self->inProgress_ = false;
                               self->fetchWhenConnected_ = false;
                               self->inputs_.host->setIsNetworkRequestPending(false);
                               self->handleSKANFetchResponse(response, data, error);
                           });
}

}  // namespace measurement
