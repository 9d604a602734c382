#pragma once

// APMPersistedConfig: the engine's persisted settings.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/value.h"

namespace measurement {

// Monitor codes of the persisted settings.
enum : long {
    kAPMPersistedConfigCorruptFileCode = 29040,
    kAPMPersistedConfigSetAsideFailedCode = 29041,
    kAPMPersistedConfigWriteFailedCode = 29042,
};

// The keys of the persisted settings.
namespace persisted_key {
inline constexpr const char* kLastSuccessfulUpload = "/rozeda/measurement/last_successful_upload";
inline constexpr const char* kLastFailedUpload = "/rozeda/measurement/last_failed_upload";
inline constexpr const char* kLastBackoff = "/rozeda/measurement/last_backoff";
inline constexpr const char* kLastUploadedEventMillis = "/rozeda/measurement/last_uploaded_event_millis";
inline constexpr const char* kMidnightOffset = "/rozeda/measurement/midnight_offset";
inline constexpr const char* kPreviousBundledConsentSignals = "/rozeda/measurement/previous_bundled_consent_signals";
inline constexpr const char* kLastMonitoringSample = "/rozeda/measurement/last_monitoring_sample";
inline constexpr const char* kConfigLastModified = "/rozeda/measurement/config_last_modified";
inline constexpr const char* kConfigETag = "/rozeda/measurement/config_etag";
inline constexpr const char* kAppInstanceID = "/rozeda/measurement/app_instance_id";
inline constexpr const char* kHashedIDFA = "/rozeda/measurement/hashed_idfa";
inline constexpr const char* kDiversionKey = "/rozeda/measurement/diversion_key";
inline constexpr const char* kSetLastAdvertisingIDReset = "/rozeda/measurement/set_last_advertising_id_reset";
inline constexpr const char* kFirstOpenTimestampMs = "/rozeda/measurement/first_open_timestamp_ms";
inline constexpr const char* kLastAppVersion = "/rozeda/measurement/last_app_version";
inline constexpr const char* kMeasurementEnabled = "/rozeda/measurement/measurement_enabled";
inline constexpr const char* kSessionNumber = "/rozeda/measurement/session_number";
inline constexpr const char* kLastEngagementEnd = "/rozeda/measurement/last_engagement_end";
inline constexpr const char* kSKANEvaluationEventTimeMillis = "/rozeda/measurement/skan_evaluation_event_time_millis";
inline constexpr const char* kSKANEvaluationUpdateBackoffMillis =
    "/rozeda/measurement/skan_evaluation_update_backoff_millis";
inline constexpr const char* kDeepLinkRetryCount = "/rozeda/measurement/deep_link_retry_count";
inline constexpr const char* kDeepLinkRetrievalComplete = "/rozeda/measurement/deep_link_retrieval_complete";
inline constexpr const char* kIsSearchAdCampaign = "/rozeda/measurement/is_search_ad_campaign";
inline constexpr const char* kSearchAdLastAttempt = "/rozeda/measurement/search_ad_last_attempt_timestamp";
inline constexpr const char* kSearchAdRetries = "/rozeda/measurement/search_ad_number_of_retries";
}  // namespace persisted_key

// The persisted settings of the measurement engine: a property-list file
// ("rozeda-measurement-settings.plist" in the folder "Rozeda/Measurement"
// under the application-support folder, unless another file is given).
//
// Reads answer from memory at once; an absent value (or one of another kind)
// reads 0, 0.0 or none. A change is kept in memory at once and written to
// the file one second later, on the settings' own serial queue, by writing a
// temporary file and renaming it over the old one; changes made meanwhile go
// out with that same write. Processes sharing the file take turns under an
// exclusive lock on "<file>.lock": each write reads the file, lays this
// object's changes since its last write over it and takes in the rest, so
// that no writer loses another's values. What lies at the lock file's place
// that is no regular file is set aside (34070); a lock file that cannot be
// opened fails the write (29042). A lock that another process holds
// is waited for up to APMFileLock::waitLimit() (said as it begins, 34040);
// past that the write gives up (34041, then 29042) and writes nothing, and
// later writes of the process only try the lock. A change whose write
// failed goes out with the next one. Each write removes the temporary files
// of writers that died before their rename. A damaged file is renamed aside
// ("<file>.corrupt", then "<file>.corrupt-2", ...), of which the newest
// three are kept as the databases' copies are, and reported through the
// monitor, and the settings start empty. Safe to use from any thread.
class APMPersistedConfig {
public:
    static constexpr const char* kFileName = "rozeda-measurement-settings.plist";
    // Beside the file, the file whose lock its writers take turns under.
    static constexpr const char* kLockSuffix = ".lock";
    static constexpr double kWriteDelaySeconds = 1.0;

    // The file in the engine's folder under the application-support folder.
    static std::filesystem::path defaultFilePath();

    // Reads the file at once. The queue and the timers come from
    // platform::dispatch now, so tests drive the write with ManualTime.
    explicit APMPersistedConfig(std::filesystem::path filePath = defaultFilePath());
    // A change still waiting for its write is written now.
    ~APMPersistedConfig();
    APMPersistedConfig(const APMPersistedConfig&) = delete;
    APMPersistedConfig& operator=(const APMPersistedConfig&) = delete;

    const std::filesystem::path& filePath() const;
    // Writes the changes still waiting for their write now, on the caller's
    // thread.
    void writeChangesNow();

    // Upload.
    double lastSuccessfulUploadTimestamp() const;
    void setLastSuccessfulUploadTimestamp(double seconds);
    double lastFailedUploadTimestamp() const;
    void setLastFailedUploadTimestamp(double seconds);
    double lastBackoffTimestamp() const;
    void setLastBackoffTimestamp(double seconds);
    std::int64_t lastUploadedEventTimestampMillis() const;
    void setLastUploadedEventTimestampMillis(std::int64_t millis);
    double midnightOffset() const;
    void setMidnightOffset(double seconds);
    std::optional<std::string> previousBundledConsentSignals() const;
    void setPreviousBundledConsentSignals(const std::optional<std::string>& signals);
    double lastMonitoringSampleTimestamp() const;
    void setLastMonitoringSampleTimestamp(double seconds);
    std::optional<std::string> remoteConfigLastModified() const;
    void setRemoteConfigLastModified(const std::optional<std::string>& text);
    std::optional<std::string> remoteConfigETag() const;
    void setRemoteConfigETag(const std::optional<std::string>& tag);

    // Identity.
    std::optional<std::string> appInstanceID() const;
    void setAppInstanceID(const std::optional<std::string>& identifier);
    std::optional<std::string> hashedResettableDeviceID() const;
    void setHashedResettableDeviceID(const std::optional<std::string>& hash);
    std::optional<std::string> diversionKey() const;
    void setDiversionKey(const std::optional<std::string>& key);
    // Stored as the integer 0 or 1.
    bool shouldSetLastAdvertisingIDResetUserProperty() const;
    void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
    std::int64_t firstOpenTimestampMilliseconds() const;
    void setFirstOpenTimestampMilliseconds(std::int64_t millis);
    // The application's version at the engine's last start.
    std::optional<std::string> lastAppVersion() const;
    void setLastAppVersion(const std::optional<std::string>& version);

    // Collection on or off, kept across starts; on when never set.
    bool measurementEnabled() const;
    void setMeasurementEnabled(bool enabled);

    // Sessions.
    std::int64_t sessionNumber() const;
    void setSessionNumber(std::int64_t number);
    double lastSessionActivityClockTime() const;
    void setLastSessionActivityClockTime(double seconds);

    // Attribution.
    std::int64_t SKANEvaluationEventTimeMillis() const;
    void setSKANEvaluationEventTimeMillis(std::int64_t millis);
    std::int64_t SKANEvaluationUpdateBackoffMillis() const;
    void setSKANEvaluationUpdateBackoffMillis(std::int64_t millis);
    std::int64_t deferredDeepLinkRetryCount() const;
    void setDeferredDeepLinkRetryCount(std::int64_t count);
    std::optional<platform::Value> deferredDeepLinkRetrievalComplete() const;
    void setDeferredDeepLinkRetrievalComplete(const std::optional<platform::Value>& value);
    std::optional<platform::Value> searchAdCampaignValue() const;
    void setSearchAdCampaignValue(const std::optional<platform::Value>& value);
    double lastSearchAdLookUpTimestamp() const;
    void setLastSearchAdLookUpTimestamp(double seconds);
    std::int64_t searchAdRetryCount() const;
    void setSearchAdRetryCount(std::int64_t count);

    // Typed access by key, behind the named accessors. A none or null value
    // removes the key; a value holding a null inside is no property list and
    // is refused (false).
    std::int64_t integerForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;
    std::optional<std::string> stringForKey(const std::string& key) const;
    std::optional<platform::Value> objectForKey(const std::string& key) const;
    bool setObject(const std::optional<platform::Value>& value, const std::string& key);

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace measurement
