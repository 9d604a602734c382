// The campaign event of an opened link.
#include "measurement/upload/attribution/deep_links.h"

#include <algorithm>

#include "measurement/foundation/event_parameters.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/upload/attribution/link_url.h"
#include "platform/frameworks/app_core/open_url_delegate.h"

namespace measurement {

namespace {

constexpr int kAuthorizedTrackingCode = 3;
constexpr double kMillisPerSecond = 1000.0;

bool marksExpiredLink(const APMParameters& parameters) {
    const auto found = parameters.find("_cc");
    if (found == parameters.end()) return false;
    const auto& value = found->second;
    return (value.isInt64() && value.int64Value() == 1) || (value.isDouble() && value.doubleValue() == 1.0);
}

platform::Value linkParametersContext(const APMLinkParameters& parameters) {
    platform::Value::Dictionary context;
    for (const auto& [key, value] : parameters) context.emplace(key, value);
    return platform::Value(std::move(context));
}

}  // namespace

APMDeepLinks::APMDeepLinks(APMDeepLinkInputs inputs) : inputs_(std::move(inputs)) {
    if (!inputs_.openURL) inputs_.openURL = &platform::ApplicationOpenURL::openURL;
}

bool APMDeepLinks::shouldAllowClickID() {
    if (!APMIdentity::iOS14OrAbove()) return true;
    const auto identifier = inputs_.identity->resettableDeviceID();
    if (identifier && !identifier->empty()) return true;
    return inputs_.identity->appleConsentStatus() == kAuthorizedTrackingCode;
}

void APMDeepLinks::handleOpenURLOnWorkerQueue(const std::optional<std::string>& url,
                                              std::optional<std::int64_t> clickTimestampMillis, double eventTimestamp,
                                              const platform::Value::Dictionary& extraParameters) {
    APMScheduler::checkOnBackgroundThreadWithMethodName(
        "handleOpenURLOnWorkerQueue:clickTimestampInMs:eventTimestampInSeconds:extraParameters:");
    std::string query;
    if (url) {
        if (const auto parsed = APMParseLinkURL(*url)) query = parsed->query;
    }
    const auto sets = APMSplitLinkParameters(query, extraParameters);
    auto& monitor = APMMonitor::shared();
    if (sets.text.empty()) {
        monitor.logWithLevel(kAPMMonitorLevelDebug, kAPMDeepLinkQueryEmptyCode, "Deep Link Web URL query is empty");
        return;
    }
    if (!APMIsValidCampaignURLParamDictionary(sets.text)) {
        monitor.logWithLevel(kAPMMonitorLevelWarning, kAPMDeepLinkInvalidParamsCode,
                             "Deep Link does not contain valid required params. URL params",
                             linkParametersContext(sets.text));
        return;
    }
    auto parameters = APMCampaignEventParameters(sets, shouldAllowClickID(), clickTimestampMillis);
    const std::string name = marksExpiredLink(parameters) ? "_cmpx" : "_cmp";
    // A link comes from outside the application: its values are checked and
    // cut as every event's are.
    APMEventParameterLimits limits;
    if (const auto maxLength = config()->maxPublicEventParameterValueLength(); maxLength > 0) {
        limits.maxValueLength = static_cast<std::size_t>(maxLength);
    }
    parameters = APMSanitizedEventParameters(parameters, name, false, false, limits);

    const double firstOpen =
        static_cast<double>(inputs_.persistedConfig->firstOpenTimestampMilliseconds()) / kMillisPerSecond;
    const double eventTime = std::max(firstOpen, eventTimestamp);
    if (const auto gbraid = parameters.find("gbraid");
        gbraid != parameters.end() && gbraid->second.isString() && !gbraid->second.stringValue().empty()) {
        inputs_.host->setUserPropertyInDatabaseOnWorkerQueue(APMUserAttribute("auto", "_gbraid", gbraid->second, eventTime));
    }
    inputs_.host->handleInternalEventOnWorkerQueue(APMEvent("auto", false, name, eventTime, 0, parameters));
}

bool APMDeepLinks::sendDeepLinkURLToAppDelegateOnMainThread(const std::string& url,
                                                            const std::optional<platform::Value::Dictionary>& extraInfo) {
    return inputs_.openURL(url, extraInfo.value_or(platform::Value::Dictionary{}));
}

}  // namespace measurement
