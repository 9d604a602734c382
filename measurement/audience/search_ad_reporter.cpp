// The search-ad reporter: its schedule, its tries, the service's replies and the "_cmp" event.
#include "measurement/audience/search_ad_reporter.h"

#include <cmath>
#include <sstream>

#include "measurement/foundation/environment.h"
#include "measurement/foundation/first_use_queue.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/parameter_value.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/json_codec.h"
#include "platform/foundation/process_info.h"
#include "platform/frameworks/ad_services/aa_attribution.h"

namespace measurement {

namespace {

double now() { return platform::dispatch::currentClock()->now(); }

void logEntry(int level, long code, const std::string& message) {
    APMMonitor::shared().logWithLevel(level, code, message);
}
void logEntry(int level, long code, const std::string& message, const platform::Value& context) {
    APMMonitor::shared().logWithLevel(level, code, message, context);
}

// A JSON number as its decimal text, a string unchanged, anything else none.
std::optional<std::string> textOf(const platform::Value& value) {
    if (value.isString()) return value.asString();
    if (value.isInt()) return std::to_string(value.intValue());
    if (value.isReal()) {
        const double real = value.realValue();
        if (std::isfinite(real) && real == std::trunc(real) && std::fabs(real) < 9.0e15) {
            return std::to_string(static_cast<long long>(real));
        }
        return APMShortestDoubleText(real);
    }
    return std::nullopt;
}

class NetworkTransport : public APMSearchAdTransport {
public:
    explicit NetworkTransport(std::shared_ptr<platform::RULNetwork> network) : network_(std::move(network)) {}

    void send(const platform::HTTPRequest& request, std::function<void(APMSearchAdReply)> completion) override {
        network_->setTimeoutInterval(request.timeoutSeconds);
        network_->postURL(request.url, request.headers, request.body, queue_, false,
                          [completion](const platform::HTTPURLResponse& response,
                                       const std::vector<std::uint8_t>& data,
                                       const std::optional<platform::RULError>& error) {
                              APMSearchAdReply reply;
                              reply.statusCode = response.statusCode;
                              reply.body = data;
                              if (error) reply.transportError = error->description();
                              completion(std::move(reply));
                          });
    }

private:
    std::shared_ptr<platform::RULNetwork> network_;
    // The completion only hands the reply on; the reporter moves it to the
    // worker queue.
    std::shared_ptr<platform::dispatch::Queue> queue_ = APMMakeSerialQueueOnFirstUse("APMSearchAdReporter.network");
};

}  // namespace

std::shared_ptr<APMSearchAdTransport> APMMakeSearchAdNetworkTransport(std::shared_ptr<platform::RULNetwork> network) {
    return std::make_shared<NetworkTransport>(std::move(network));
}

// ---- Creation and start --------------------------------------------------------------

std::shared_ptr<APMSearchAdReporter> APMSearchAdReporter::make(std::shared_ptr<platform::dispatch::Queue> workerQueue,
                                                               std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                               APMSearchAdReporterOptions options) {
    if (!workerQueue) {
        logEntry(kAPMMonitorLevelSilentError, kAPMSearchAdNoQueueCode, "Cannot init Search Ad reporter. Queue must be provided");
        return nullptr;
    }
    if (!persistedConfig) {
        logEntry(kAPMMonitorLevelSilentError, kAPMSearchAdNoPersistedConfigCode,
                 "Cannot init Search Ad reporter. Persisted config must be provided");
        return nullptr;
    }
    if (persistedConfig->searchAdRetryCount() > kAPMSearchAdMaxRetries - 1) return nullptr;
    if (persistedConfig->searchAdCampaignValue()) {
        logEntry(kAPMMonitorLevelDebug, kAPMSearchAdAlreadyReportedAtInitCode,
                 "Search Ad campaign attribution was already reported. Do not start Search Ad Reporter.");
        return nullptr;
    }
    return std::make_shared<APMSearchAdReporter>(std::move(workerQueue), std::move(persistedConfig), std::move(options));
}

APMSearchAdReporter::APMSearchAdReporter(std::shared_ptr<platform::dispatch::Queue> workerQueue,
                                         std::shared_ptr<APMPersistedConfig> persistedConfig,
                                         APMSearchAdReporterOptions options)
    : workerQueue_(std::move(workerQueue)),
      persistedConfig_(std::move(persistedConfig)),
      options_(std::move(options)),
      alarm_(std::make_unique<APMAlarm>(workerQueue_, "Search Ad campaign report alarm")) {}

APMSearchAdReporter::~APMSearchAdReporter() { cancelScheduling(); }

bool APMSearchAdReporter::adClientInstance() {
    return APMIsOSVersionAtLeast(platform::ProcessInfo::osVersion(), 14, 3) &&
           platform::AAAttribution::classExists(platform::AAAttribution::kClassName);
}

void APMSearchAdReporter::start() {
    if (!adClientInstance()) {
        logEntry(kAPMMonitorLevelDebug, kAPMSearchAdFrameworkMissingCode,
                 "AdServices framework is not linked. Search Ad Attribution Reporter is disabled.");
        return;
    }
    // Without a service to ask, every try would fail and spend one of the
    // installation's ten: the reporter stands down instead, and the tries
    // are kept for a start that has a service.
    if (!options_.serviceBaseURL || !options_.transport) {
        logEntry(kAPMMonitorLevelDebug, kAPMSearchAdFrameworkMissingCode,
                 "No attribution service is configured. Search Ad Attribution Reporter is disabled.");
        return;
    }
    if (APMAEU::isNOD()) {
        logEntry(kAPMMonitorLevelDebug, kAPMSearchAdSimulatorCode,
                 "Search Ad Attribution Reporter is disabled on the simulator");
        return;
    }
    scheduleSearchAdReport();
}

bool APMSearchAdReporter::isSearchAdReporterEnabled() const {
    std::lock_guard lock(mutex_);
    return enabled_;
}

void APMSearchAdReporter::setSearchAdReporterEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
}

std::optional<double> APMSearchAdReporter::scheduledTimestamp() const {
    return alarm_ ? alarm_->scheduledTimestamp() : std::nullopt;
}

// ---- Scheduling ------------------------------------------------------------------------

void APMSearchAdReporter::scheduleSearchAdReport() {
    if (!alarm_) {
        logEntry(kAPMMonitorLevelSilentWarning, kAPMSearchAdAlarmCanceledCode,
                 "Search Ad Campaign attribution alarm is already canceled");
        return;
    }
    if (!isSearchAdReporterEnabled()) {
        alarm_->cancel();
        return;
    }
    if (persistedConfig_->searchAdCampaignValue()) {
        logEntry(kAPMMonitorLevelDebug, kAPMSearchAdAlreadyReportedCode,
                 "Search Ad report not scheduled. Search Ad campaign attribution was already reported.");
        cancelScheduling();
        return;
    }
    if (alarm_->scheduledTimestamp()) {
        logEntry(kAPMMonitorLevelSilentWarning, kAPMSearchAdAlreadyScheduledCode,
                 "Search Ad Campaign attribution alarm is already scheduled");
        return;
    }
    if (persistedConfig_->searchAdRetryCount() < kAPMSearchAdMaxRetries) {
        logEntry(kAPMMonitorLevelDebug, kAPMSearchAdSchedulingCode, "Scheduling Search Ad Report timer");
        const double delay =
            kAPMSearchAdRetryInterval - std::fabs(now() - persistedConfig_->lastSearchAdLookUpTimestamp());
        std::weak_ptr<APMSearchAdReporter> weak = weak_from_this();
        alarm_->runAfterDelay(delay, [weak] {
            if (auto reporter = weak.lock()) reporter->maybeLogIAdCampaignEvent();
        });
        return;
    }
    logEntry(kAPMMonitorLevelSilentWarning, kAPMSearchAdRetriesExceededCode,
             "Search Ad Campaign attribution exceeds the max number of retries. Do not schedule again.");
    cancelScheduling();
}

void APMSearchAdReporter::cancelScheduling() {
    if (!alarm_) return;
    alarm_->cancel();
    alarm_.reset();
}

// ---- One try -----------------------------------------------------------------------------

// A try made while collection is off would send the token and store the
// answer with nowhere to log the event: the attribution would be lost for
// good. So nothing is tried then, and no try is counted.
void APMSearchAdReporter::maybeLogIAdCampaignEvent() {
    if (adClientInstance() && isSearchAdReporterEnabled()) {
        persistedConfig_->setLastSearchAdLookUpTimestamp(now());
        fetchAttributionDetails();
    }
    scheduleSearchAdReport();
}

void APMSearchAdReporter::fetchAttributionDetails() {
    persistedConfig_->setSearchAdRetryCount(persistedConfig_->searchAdRetryCount() + 1);
    if (!adClientInstance() || !platform::AAAttribution::respondsToAttributionTokenWithError()) return;
    std::optional<platform::AAAttributionError> error;
    const auto token = platform::AAAttribution::attributionTokenWithError(&error);
    if (error) {
        logEntry(kAPMMonitorLevelError, kAPMSearchAdTokenFailedCode,
                 "Cannot send request for Search Ad campaign attribution. Error",
                 platform::Value(std::to_string(error->code) + " " + error->message));
        return;
    }
    if (token && !token->empty()) requestAttributionPayloadWithToken(*token);
}

void APMSearchAdReporter::requestAttributionPayloadWithToken(const std::string& token) {
    if (token.empty()) return;
    std::weak_ptr<APMSearchAdReporter> weak = weak_from_this();
    auto queue = workerQueue_;
    auto deliver = [weak, queue](APMSearchAdReply reply) {
        queue->async([weak, reply = std::move(reply)] {
            if (auto reporter = weak.lock()) reporter->handleReply(reply);
        });
    };
    platform::HTTPRequest request;
    request.method = "POST";
    // The base as given, with or without its trailing slashes, as every
    // other service address is joined: "http://host:1/" and "http://host:1"
    // both post to "http://host:1/api/v1/".
    std::string base = *options_.serviceBaseURL;
    while (!base.empty() && base.back() == '/') base.pop_back();
    request.url = base + kAPMSearchAdServicePath;
    request.headers = {{"cache-control", "no-cache"}, {"Content-Type", "text/plain"}};
    request.body.assign(token.begin(), token.end());
    request.timeoutSeconds = kAPMSearchAdRequestTimeout;
    options_.transport->send(request, std::move(deliver));
}

// ---- The reply ---------------------------------------------------------------------------

void APMSearchAdReporter::handleReply(const APMSearchAdReply& reply) {
    if (reply.transportError || reply.statusCode < 200 || reply.statusCode > 299) {
        const std::string reason =
            reply.transportError ? *reply.transportError : "HTTP status " + std::to_string(reply.statusCode);
        logEntry(kAPMMonitorLevelError, kAPMSearchAdRequestFailedCode,
                 "Cannot send request for Search Ad campaign attribution. Error", platform::Value(reason));
        scheduleSearchAdReport();
        return;
    }
    std::string parseError;
    const auto json = platform::parseJSON(std::string(reply.body.begin(), reply.body.end()), &parseError);
    if (!json) {
        logEntry(kAPMMonitorLevelError, kAPMSearchAdJSONFailedCode, "Search Ad Reporter failed to parse JSON data. Error",
                 platform::Value(parseError));
        scheduleSearchAdReport();
        return;
    }
    if (!json->isDictionary() || json->asDictionary().empty()) {
        scheduleSearchAdReport();
        return;
    }
    const auto adID = textOf((*json)["adId"]);
    const auto campaignID = textOf((*json)["campaignId"]);
    if (adID == kAPMSearchAdTestIdentifier && campaignID == kAPMSearchAdTestIdentifier) {
        logEntry(kAPMMonitorLevelDebug, kAPMSearchAdTestDataCode, "Search Ad Reporter returned test data. Will retry next time.");
        scheduleSearchAdReport();
        return;
    }
    // Collection switched off while the request was out: the answer is not
    // stored, so that a later launch asks again and can log the event.
    if (!isSearchAdReporterEnabled()) {
        scheduleSearchAdReport();
        return;
    }
    const bool attributed = (*json)["attribution"].boolValue(false);
    logCampaignEventWithSearchAdCampaign(attributed, campaignID, textOf((*json)["keywordId"]));
    cancelScheduling();
}

void APMSearchAdReporter::logCampaignEventWithSearchAdCampaign(bool searchAdCampaign,
                                                               const std::optional<std::string>& campaign,
                                                               const std::optional<std::string>& term) {
    {
        std::lock_guard lock(mutex_);
        if (persistedConfig_->searchAdCampaignValue()) {
            logEntry(kAPMMonitorLevelSilentWarning, kAPMSearchAdAlreadyTrackedCode, "Search Ad Campaign is already tracked");
            return;
        }
        persistedConfig_->setSearchAdCampaignValue(platform::Value(searchAdCampaign));
    }
    if (!searchAdCampaign) return;
    platform::Value::Dictionary parameters{{"source", "Apple"}, {"medium", "search"}};
    if (campaign && !campaign->empty()) parameters.emplace("campaign", *campaign);
    if (term && !term->empty()) parameters.emplace("term", *term);
    const std::int64_t firstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
    if (firstOpen >= 2) {
        parameters.emplace("click_timestamp", static_cast<long long>(firstOpen - 1));
    } else {
        logEntry(kAPMMonitorLevelSilentWarning, kAPMSearchAdNoClickTimestampCode,
                 "Search Ad Campaign does not have click_timestamp.");
    }
    if (options_.logInternalEvent) options_.logInternalEvent("auto", "_cmp", parameters);
}

}  // namespace measurement
