// The search-ad attribution reporter: asks the platform's attribution class for a token once a day, at most ten times per installation, posts it to the attribution service and logs one "_cmp" event for an attributed install.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/alarm.h"
#include "measurement/store/persisted_config.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/http_client.h"
#include "platform/foundation/value.h"
#include "platform/frameworks/utilities/network.h"

namespace measurement {

// Monitor codes of the search-ad reporter.
enum : long {
    kAPMSearchAdNoQueueCode = 32000,
    kAPMSearchAdNoPersistedConfigCode = 32001,
    kAPMSearchAdAlreadyReportedAtInitCode = 32002,
    kAPMSearchAdAlreadyReportedCode = 32004,
    kAPMSearchAdAlreadyScheduledCode = 32005,
    kAPMSearchAdSchedulingCode = 32006,
    kAPMSearchAdRetriesExceededCode = 32007,
    kAPMSearchAdAlreadyTrackedCode = 32008,
    kAPMSearchAdNoClickTimestampCode = 32009,
    kAPMSearchAdAlarmCanceledCode = 32013,
    kAPMSearchAdFrameworkMissingCode = 32014,
    kAPMSearchAdRequestFailedCode = 32015,
    kAPMSearchAdTestDataCode = 32016,
    kAPMSearchAdJSONFailedCode = 32017,
    kAPMSearchAdTokenFailedCode = 32018,
    kAPMSearchAdSimulatorCode = 32019,
};

// Tries at most per installation, and the rhythm between them.
inline constexpr std::int64_t kAPMSearchAdMaxRetries = 10;
inline constexpr double kAPMSearchAdRetryInterval = 86400;
inline constexpr double kAPMSearchAdRequestTimeout = 10;
inline constexpr const char* kAPMSearchAdServicePath = "/api/v1/";
inline constexpr const char* kAPMSearchAdTestIdentifier = "1234567890";

// The attribution service's answer as the reporter reads it: an HTTP
// status and body, or a transport failure.
struct APMSearchAdReply {
    int statusCode = 0;
    std::vector<std::uint8_t> body;
    std::optional<std::string> transportError;
};

// Sends the token request. The completion may come on any thread; the
// reporter moves to its worker queue itself.
class APMSearchAdTransport {
public:
    virtual ~APMSearchAdTransport() = default;
    virtual void send(const platform::HTTPRequest& request, std::function<void(APMSearchAdReply)> completion) = 0;
};

// The transport over a network object (requests on threads of their own).
std::shared_ptr<APMSearchAdTransport> APMMakeSearchAdNetworkTransport(std::shared_ptr<platform::RULNetwork> network);

// What the reporter is made with besides its queue and settings.
struct APMSearchAdReporterOptions {
    // The attribution service's base address; none (or no transport): the
    // reporter stays idle and spends none of its tries.
    std::optional<std::string> serviceBaseURL;
    std::shared_ptr<APMSearchAdTransport> transport;
    // How the "_cmp" event is logged: the engine's internal-event entry.
    std::function<void(const std::string& origin, const std::string& name, const platform::Value::Dictionary& parameters)>
        logInternalEvent;
};

// Everything runs on the worker queue: creation, start, the alarm's tries,
// scheduling, and (unlike the platform's session callbacks) the handling of
// each reply, which hops there first. The answer is checked and stored
// under the reporter's lock, so that no two replies both log "_cmp".
class APMSearchAdReporter : public std::enable_shared_from_this<APMSearchAdReporter> {
public:
    // None without a queue or settings (32000, 32001), after ten tries, or
    // once an answer is stored (32002).
    static std::shared_ptr<APMSearchAdReporter> make(std::shared_ptr<platform::dispatch::Queue> workerQueue,
                                                     std::shared_ptr<APMPersistedConfig> persistedConfig,
                                                     APMSearchAdReporterOptions options);
    APMSearchAdReporter(std::shared_ptr<platform::dispatch::Queue> workerQueue,
                        std::shared_ptr<APMPersistedConfig> persistedConfig, APMSearchAdReporterOptions options);
    // Cancels scheduling.
    ~APMSearchAdReporter();

    // Schedules unless the attribution class is missing (32014) or the
    // process runs in a simulator (32019).
    void start();
    void scheduleSearchAdReport();
    // The alarm's action: one try, then the next schedule. Nothing is
    // tried while collection is off.
    void maybeLogIAdCampaignEvent();
    // Counts a try and asks for a token.
    void fetchAttributionDetails();
    void requestAttributionPayloadWithToken(const std::string& token);
    // Worker queue: the service's answer.
    void handleReply(const APMSearchAdReply& reply);
    // Stores the answer (false too) and, for an attributed install that had
    // no stored answer, logs "_cmp".
    void logCampaignEventWithSearchAdCampaign(bool searchAdCampaign, const std::optional<std::string>& campaign,
                                              const std::optional<std::string>& term);
    void cancelScheduling();
    // Whether the attribution class is there (operating system 14.3 or
    // later and the class found by name).
    static bool adClientInstance();

    bool isSearchAdReporterEnabled() const;
    void setSearchAdReporterEnabled(bool enabled);
    // The alarm's armed time; none when not armed or dropped.
    std::optional<double> scheduledTimestamp() const;

private:
    std::shared_ptr<platform::dispatch::Queue> workerQueue_;
    std::shared_ptr<APMPersistedConfig> persistedConfig_;
    APMSearchAdReporterOptions options_;
    mutable std::mutex mutex_;  // enabled_, the answer's check and store
    bool enabled_ = false;
    // Dropped for good by cancelScheduling.
    std::unique_ptr<APMAlarm> alarm_;
};

}  // namespace measurement
