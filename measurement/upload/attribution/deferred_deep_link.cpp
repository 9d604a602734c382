// The deferred deep link: asked for once after install, its reply, and its
// hand-off to the application.
#include <limits>

#include "measurement/foundation/environment.h"
#include "measurement/foundation/monitor.h"
#include "measurement/upload/attribution/deep_links.h"
#include "measurement/upload/attribution/link_url.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/json_codec.h"
#include "platform/foundation/launch_options.h"
#include "platform/foundation/process_info.h"

namespace measurement {

namespace {

constexpr int kStatusOK = 200;
constexpr int kStatusNoContent = 204;
constexpr int kStatusNotModified = 304;

void logEntry(int level, long code, const std::string& message) {
    APMMonitor::shared().logWithLevel(level, code, message);
}

std::string withoutTrailingSlash(std::string text) {
    while (!text.empty() && text.back() == '/') text.pop_back();
    return text;
}

std::string joined(const std::set<std::string>& services) {
    std::string text;
    for (const auto& service : services) text += service;
    return text;
}

}  // namespace

std::optional<std::string> APMDeepLinkServiceBaseURL() {
    if (auto configured = platform::LaunchOptions::current().deepLinkServiceURL) {
        return withoutTrailingSlash(*configured);
    }
    if (const auto service = APMInfoPlistFileUtil::dictionaryFromRozedaServiceInfoPlist()) {
        const auto found = service->find(kAPMDeepLinkServiceBaseURLKey);
        if (found != service->end() && found->second.isString() && !found->second.asString().empty()) {
            return withoutTrailingSlash(found->second.asString());
        }
    }
    if (auto measurement = APMMeasurementServiceBaseURL()) return withoutTrailingSlash(*measurement);
    return std::nullopt;
}

bool APMDeepLinks::shouldAllowRequestDeferredDeepLink() {
    const auto config = this->config();
    auto& persisted = *inputs_.persistedConfig;
    if (!config->isDeferredDeepLinkEnabled()) {
        logEntry(kAPMMonitorLevelSilentWarning, kAPMDeferredDeepLinkDisabledCode, "Deferred Deep Link feature disabled");
        return false;
    }
    const auto enabled = APMInfoPlistValue(kAPMDeferredDeepLinkEnabledKey);
    if (!enabled.isBool() || !enabled.boolValue()) return false;
    if (persisted.deferredDeepLinkRetrievalComplete()) {
        logEntry(kAPMMonitorLevelDebug, kAPMDeferredDeepLinkAlreadyRetrievedCode,
                 "Already retrieved Deferred Deep Link. Skipping");
        return false;
    }
    if (persisted.deferredDeepLinkRetryCount() >= config->maxDeferredDeepLinkRetryCount()) {
        logEntry(kAPMMonitorLevelWarning, kAPMDeferredDeepLinkRetryLimitCode,
                 "Failed to retrieve Deferred Deep Link. Reached retry limit");
        persisted.setDeferredDeepLinkRetrievalComplete(platform::Value(1));
        return false;
    }
    if (inputs_.consent->isAdStorageDenied()) {
        logEntry(kAPMMonitorLevelWarning, kAPMDeferredDeepLinkAdStorageDeniedCode,
                 "IDFA unavailable to retrieve Deferred Deep Link due to denied ad storage consent. Skipping");
        return false;
    }
    if (inputs_.identity->hasLimitedAdTracking() && !inputs_.identity->limitedAdTracking()) {
        logEntry(kAPMMonitorLevelDebug, kAPMDeferredDeepLinkEnabledCode, "Deferred Deep Link feature enabled");
        return true;
    }
    logEntry(kAPMMonitorLevelWarning, kAPMDeferredDeepLinkNoIDFACode,
             "IDFA unavailable to retrieve Deferred Deep Link. Skipping");
    return false;
}

std::string APMDeepLinks::deferredDeepLinkConsentQuery() const {
    const auto config = this->config();
    const auto& consent = *inputs_.consent;
    std::string query = "&gcs=" + APMEscapeQueryValue(consent.consentSignals());
    query += std::string("&dma=") + (config->isDMARegion() ? "1" : "0");
    if (consent.isAdUserDataDenied()) {
        query += "&dma_cps=-";
    } else if (const auto services = config->corePlatformServices(); config->isDMARegion() && !services.empty()) {
        query += "&dma_cps=" + APMEscapeQueryValue(joined(services));
    }
    if (const auto personalization = consent.adPersonalization()) query += std::string("&npa=") + (*personalization ? "0" : "1");
    return query;
}

// The request may come after a configuration fetch, long after it was
// allowed: consent and the identifier are checked again here, so that no
// request goes out without an identifier or against a denial.
std::optional<std::string> APMDeepLinks::deferredDeepLinkRequestURL() {
    if (inputs_.consent->isAdStorageDenied()) {
        logEntry(kAPMMonitorLevelWarning, kAPMDeferredDeepLinkAdStorageDeniedCode,
                 "IDFA unavailable to retrieve Deferred Deep Link due to denied ad storage consent. Skipping");
        return std::nullopt;
    }
    const auto identifier = inputs_.identity->resettableDeviceID();
    if (!identifier || identifier->empty()) {
        logEntry(kAPMMonitorLevelWarning, kAPMDeferredDeepLinkNoIDFACode,
                 "IDFA unavailable to retrieve Deferred Deep Link. Skipping");
        return std::nullopt;
    }
    const auto base = APMDeepLinkServiceBaseURL();
    std::string text = base.value_or("") + kAPMDeferredDeepLinkPath;
    text += "?sdk_version=" + APMEscapeQueryValue(std::to_string(APMIdentity::dozUrerizaroriLibraryVersion()));
    text += "&rdid=" + APMEscapeQueryValue(*identifier);
    text += "&id_type=idfa&bundleid=" + APMEscapeQueryValue(inputs_.identity->appID());
    text += "&retry=" + APMEscapeQueryValue(std::to_string(inputs_.persistedConfig->deferredDeepLinkRetryCount()));
    if (platform::ProcessInfo::hasArgument(kAPMDebugDeferredDeepLinkArgument)) text += "&ddl_test=1";
    if (config()->DMAConsentEnabled()) text += deferredDeepLinkConsentQuery();
    const auto parsed = base ? APMParseLinkURL(text) : std::nullopt;
    if (!parsed) {
        logEntry(kAPMMonitorLevelWarning, kAPMDeferredDeepLinkInvalidURLCode, "URL to retrieve Deferred Deep Link is invalid");
        return std::nullopt;
    }
    return parsed->absoluteString;
}

void APMDeepLinks::requestDeferredDeepLink() {
    const auto url = deferredDeepLinkRequestURL();
    if (!url) return;
    auto& host = *inputs_.host;
    host.setIsNetworkRequestPending(true);
    host.network().setTimeoutInterval(config()->networkTimeout());
    std::weak_ptr<APMDeepLinks> weak = weak_from_this();
    host.network().getURL(*url, platform::HTTPHeaders{}, host.workerQueue(), host.shouldUseBackgroundSession(),
                          [weak](const platform::HTTPURLResponse& response, const std::vector<std::uint8_t>& body,
                                 const std::optional<platform::RULError>& error) {
                              if (auto self = weak.lock()) {
                                  self->handleDeferredDeepLinkResponse(response.statusCode, body, error);
                              }
                          });
}

void APMDeepLinks::handleDeferredDeepLinkResponse(int status, const std::vector<std::uint8_t>& body,
                                                  const std::optional<platform::RULError>& error) {
    auto& host = *inputs_.host;
    auto& persisted = *inputs_.persistedConfig;
    host.setIsNetworkRequestPending(false);
    if (!error && (status == kStatusOK || status == kStatusNotModified || status == kStatusNoContent)) {
        persisted.setDeferredDeepLinkRetrievalComplete(platform::Value(0));
        if (const auto info = deepLinkInfoFromResponseData(body); info && !info->empty()) {
            logEntry(kAPMMonitorLevelDebug, kAPMDeferredDeepLinkRetrievedCode, "Successfully retrieved Deferred Deep Link");
            handleDeferredDeepLinkInfo(*info);
        } else {
            host.updateSchedule();
        }
        return;
    }
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMDeferredDeepLinkFailedCode,
                                      "Failed to retrieve Deferred Deep Link. Will retry on next launch. Code, error",
                                      platform::Value(status),
                                      platform::Value(error ? error->description() : std::string()));
    const auto retries = persisted.deferredDeepLinkRetryCount();
    if (retries < std::numeric_limits<std::int64_t>::max()) persisted.setDeferredDeepLinkRetryCount(retries + 1);
    host.updateSchedule();
}

std::optional<platform::Value::Dictionary> APMDeepLinks::deepLinkInfoFromResponseData(
    const std::vector<std::uint8_t>& data) {
    if (data.empty()) {
        logEntry(kAPMMonitorLevelVerbose, kAPMDeferredDeepLinkEmptyResponseCode, "Deferred Deep Link response is empty");
        return std::nullopt;
    }
    std::string error;
    const auto parsed = platform::parseJSON(std::string(data.begin(), data.end()), &error);
    if (!parsed) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMDeferredDeepLinkParseFailedCode,
                                          "Failed to parse Deferred Deep Link from JSON. Error", platform::Value(error));
        return std::nullopt;
    }
    const auto& link = (*parsed)["deeplink"];
    if (!parsed->isDictionary() || !link.isString() || !APMParseLinkURL(link.asString())) return std::nullopt;
    return parsed->asDictionary();
}

void APMDeepLinks::handleDeferredDeepLinkInfo(const platform::Value::Dictionary& info) {
    const auto link = info.find("deeplink");
    if (link == info.end() || !link->second.isString() || !APMParseLinkURL(link->second.asString())) return;
    const std::string url = link->second.asString();
    platform::Value::Dictionary extras{{"cis", "ddp"}};
    for (const char* key : {"gclid", "gbraid"}) {
        if (const auto found = info.find(key); found != info.end() && !found->second.isNull()) extras[key] = found->second;
    }
    std::optional<platform::Value::Dictionary> options;
    if (const auto timestamp = info.find("timestamp"); timestamp != info.end() && !timestamp->second.isNull()) {
        options = platform::Value::Dictionary{{"timestamp", timestamp->second}};
    }
    logEntry(kAPMMonitorLevelVerbose, kAPMDeferredDeepLinkSendingCode, "Sending Deferred Deep Link to app delegate");
    const double eventTime = platform::dispatch::currentClock()->now();
    std::weak_ptr<APMDeepLinks> weak = weak_from_this();
    platform::dispatch::mainQueue().async([weak, url, options, extras, eventTime] {
        auto self = weak.lock();
        if (!self) return;
        if (!self->sendDeepLinkURLToAppDelegateOnMainThread(url, options)) {
            APMMonitor::shared().logWithLevel(kAPMMonitorLevelWarning, kAPMDeferredDeepLinkNotHandledCode,
                                              "App delegate not configured to handle Deferred Deep Link",
                                              platform::Value(url));
            return;
        }
        self->inputs_.host->scheduleOnWorkerQueue("APMMeasurement:368", [weak, url, extras, eventTime] {
            if (auto links = weak.lock()) links->handleOpenURLOnWorkerQueue(url, std::nullopt, eventTime, extras);
        });
    });
}

}  // namespace measurement
