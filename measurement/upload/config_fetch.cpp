// The conditional fetch of the server configuration.
#include "measurement/foundation/monitor.h"
#include "measurement/upload/upload_detail.h"
#include "measurement/upload/uploader.h"

namespace measurement {

using namespace upload_detail;

namespace {

constexpr const char* kIfModifiedSinceHeader = "If-Modified-Since";
constexpr const char* kIfNoneMatchHeader = "If-None-Match";
constexpr const char* kLastModifiedHeader = "Last-Modified";
constexpr const char* kETagHeader = "ETag";
// Fields of the server configuration: the application it is for, and its
// audiences.
constexpr int kConfigAppIDIndex = APMPBFieldIndexForTag(nano_APMPBMeasurementConfig_app_id_tag);
constexpr int kConfigAudiencesIndex = APMPBFieldIndexForTag(nano_APMPBMeasurementConfig_audiences_tag);

bool isCompletedFetch(int status) {
    return status == platform::kRULNetworkHTTPStatusOK || status == platform::kRULNetworkHTTPStatusNoContent ||
           status == platform::kRULNetworkHTTPStatusCodeNotModified ||
           status == platform::kRULNetworkHTTPStatusCodeNotFound;
}

platform::Value bodyContext(const std::vector<std::uint8_t>& data) { return platform::Value(platform::Data{data}); }

// A fetch that brought no configuration, in words: the network's error, or
// the status the service answered with.
std::string fetchFailure(int status, const std::optional<platform::RULError>& error) {
    if (error) return "the request failed: " + error->message;
    return "the service answered " + std::to_string(status);
}

}  // namespace

void APMUploader::fetchRemoteConfig() {
    const auto url = components_.remoteConfig->remoteConfigURL("ios", components_.libraryVersion,
                                                               components_.runtimeVersion);
    if (!url) {
        logEntry(kAPMMonitorLevelSilentError, kAPMConfigInvalidURLCode, "Invalid server URL to get configuration");
        return;
    }
    logEntry(kAPMMonitorLevelVerbose, kAPMConfigFetchingCode, "Fetching configuration from the server");
    auto& persisted = *components_.persistedConfig;
    platform::HTTPHeaders headers;
    if (auto modified = persisted.remoteConfigLastModified(); modified && !modified->empty()) {
        headers[kIfModifiedSinceHeader] = *modified;
    }
    if (auto tag = persisted.remoteConfigETag(); tag && !tag->empty()) headers[kIfNoneMatchHeader] = *tag;

    auto& engine = *components_.host;
    engine.setIsNetworkRequestPending(true);
    engine.network().setTimeoutInterval(components_.remoteConfig->networkTimeout());
    std::weak_ptr<APMUploader> weak = weak_from_this();
    ++configFetchesSent_;
    engine.network().getURL(url->string(), headers, engine.workerQueue(), shouldUseBackgroundSession(),
                            [weak](const platform::HTTPURLResponse& response, const std::vector<std::uint8_t>& data,
                                   const std::optional<platform::RULError>& error) {
                                whileAlive(weak, [&](APMUploader& self) {
                                    self.components_.host->setIsNetworkRequestPending(false);
                                    self.networkRemoteConfigFetchCompletionHandler(response, data, error);
                                    ++self.configFetchesEnded_;
                                });
                            });
}

void APMUploader::networkRemoteConfigFetchCompletionHandler(const platform::HTTPURLResponse& response,
                                                            const std::vector<std::uint8_t>& data,
                                                            const std::optional<platform::RULError>& error) {
    const int status = response.statusCode;
    logEntry(kAPMMonitorLevelVerbose, kAPMConfigFetchedCode, "Fetched configuration. Status code",
             platform::Value(status));
    lastConfigFetchFailure_.reset();
    if (!isCompletedFetch(status)) {
        lastConfigFetchFailure_ = fetchFailure(status, error);
        handleConfigFetchFailure(status, error);
        return;
    }
    auto& persisted = *components_.persistedConfig;
    persisted.setLastFailedUploadTimestamp(0);
    persisted.setLastBackoffTimestamp(0);
    recordFetchedConfiguration(status, response, data);

    auto& engine = *components_.host;
    auto& config = *components_.remoteConfig;
    if (config.DMAConsentEnabled() && engine.shouldRequestDeferredDeepLinkAfterConfigFetch()) {
        engine.setShouldRequestDeferredDeepLinkAfterConfigFetch(false);
        components_.peers->requestDeferredDeepLink();
    } else {
        uploadDataOrRegisterAlarm();
    }
    components_.peers->setIsDMARegion(config.isDMARegion());
}

// Records the update time and, for a new configuration, takes it; the
// validators follow only a configuration that was stored.
void APMUploader::recordFetchedConfiguration(int status, const platform::HTTPURLResponse& response,
                                             const std::vector<std::uint8_t>& data) {
    auto& database = *components_.database;
    const bool unchanged = status == platform::kRULNetworkHTTPStatusCodeNotModified ||
                           status == platform::kRULNetworkHTTPStatusCodeNotFound;
    if (status == platform::kRULNetworkHTTPStatusCodeNotModified) {
        logEntry(kAPMMonitorLevelVerbose, kAPMConfigNotModifiedCode,
                 "Configuration has not been modified. Using the same configuration. Code", platform::Value(status));
    } else if (status == platform::kRULNetworkHTTPStatusCodeNotFound) {
        logEntry(kAPMMonitorLevelWarning, kAPMConfigNotFoundCode, "Configuration not found. Using default configuration");
    } else {
        logEntry(kAPMMonitorLevelVerbose, kAPMConfigFetchSucceededCode,
                 "Successfully fetched configuration from the server. Code, size", platform::Value(status),
                 platform::Value(static_cast<long long>(response.expectedContentLength)));
    }
    std::optional<APMError> error;
    const bool recorded = database.updateRemoteConfigSuccessfulTimestamp(currentTime(), &error);
    if (!recorded) {
        logEntry(kAPMMonitorLevelError, unchanged ? kAPMConfigTimestampFailedCode : kAPMConfigSetTimestampFailedCode,
                 unchanged ? "Failed to update config last set timestamp. Error"
                           : "Failed to set last set timestamp in database. Error",
                 errorContext(error));
    }
    if (!unchanged && !data.empty()) {
        const bool stored = components_.configStorage->performTransaction(
            [this, &data] { return storeFetchedConfigTransaction(data); });
        if (!stored && !lastConfigFetchFailure_) {
            lastConfigFetchFailure_ = "the configuration the service sent could not be stored";
        }
        if (stored) {
            auto& persisted = *components_.persistedConfig;
            persisted.setRemoteConfigLastModified(response.valueForHTTPHeaderField(kLastModifiedHeader));
            persisted.setRemoteConfigETag(response.valueForHTTPHeaderField(kETagHeader));
        }
    }
    if (recorded) {
        suspensionTimestamp_.reset();
    } else {
        suspendUploads();
    }
}

void APMUploader::handleConfigFetchFailure(int status, const std::optional<platform::RULError>& error) {
    logEntry(kAPMMonitorLevelWarning, kAPMConfigRequestFailedCode, "Network request failed to fetch remote config. Code, Error",
             platform::Value(status), networkErrorContext(error));
    recordFailedRequest(status);
    logEntry(kAPMMonitorLevelWarning, kAPMConfigRetryLaterCode, "Network fetch failed. Will retry later. Code, error",
             platform::Value(status), networkErrorContext(error));
    updateSchedule();
    // As after a failed upload: the attempt the background task was for is
    // over.
    components_.host->terminateBackgroundTask();
}

// The consent defaults are read from the configuration in memory, which
// takes the new configuration only when its transaction commits: read
// earlier, they would be the old ones, and a configuration rolled back
// must leave the consent state alone.
void APMUploader::reapplyServerConsentOnceCommitted() {
    auto engine = components_.host;
    const bool handed = components_.configStorage->whenTransactionEnds([engine](bool committed) {
        if (committed) engine->updateConsentSettingsUtilWithRemoteConfig();
    });
    if (!handed) engine->updateConsentSettingsUtilWithRemoteConfig();
}

bool APMUploader::storeFetchedConfigTransaction(const std::vector<std::uint8_t>& data) {
    auto refused = [this](const char* why) {
        lastConfigFetchFailure_ = std::string("the configuration the service sent was not taken: ") + why;
        return false;
    };
    auto config = APMPBMeasurementConfig::initWithBuffer(data);
    if (!config) {
        logEntry(kAPMMonitorLevelSilentError, kAPMConfigInvalidDataCode, "Configuration data is invalid.");
        return refused("it does not decode");
    }
    if (NANOGetString(*config, kConfigAppIDIndex).value_or("") != components_.appID) {
        logEntry(kAPMMonitorLevelSilentError, kAPMConfigWrongAppIDCode, "Configuration does not have valid Rozeda App ID.");
        return refused("it is for another app ID");
    }
    const auto audiences = NANOGetArray<APMPBAudience>(*config, kConfigAudiencesIndex);
    NANOClearField(*config, kConfigAudiencesIndex);
    if (!components_.remoteConfig->updateMeasurementConfig(*config, nullptr)) {
        logEntry(kAPMMonitorLevelSilentError, kAPMConfigRefusedCode,
                 "Failed to update configuration with new server configuration", bodyContext(data));
        return refused("the engine refused it");
    }
    reapplyServerConsentOnceCommitted();
    if (!components_.peers->updateAudiences(audiences)) {
        logEntry(kAPMMonitorLevelSilentError, kAPMConfigAudiencesRefusedCode,
                 "Failed to update audiences with new server configuration", bodyContext(data));
        return refused("its audiences were refused");
    }
    return true;
}

}  // namespace measurement
