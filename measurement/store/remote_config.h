#pragma once

// APMRemoteConfig: the server configuration and its flags.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/messages.h"
#include "measurement/store/config_storage.h"
#include "measurement/store/remote_config_flags.h"
#include "measurement/store/remote_config_seams.h"
#include "platform/foundation/url.h"
#include "platform/foundation/value.h"

namespace measurement {

// Monitor codes of the server configuration.
enum : long {
    kAPMRemoteConfigDefaultConfigTimestampCode = 29007,
    kAPMRemoteConfigLastUpdateUnreadableCode = 29008,
    kAPMRemoteConfigStaleSnapshotActivationFailedCode = 29023,
    kAPMRemoteConfigSnapshotActivationFailedCode = 29024,
    kAPMRemoteConfigExperimentFetchFailedCode = 29025,
    kAPMRemoteConfigEventEditingFailedCode = 29026,
    kAPMRemoteConfigEventEditingLoadedCode = 29027,
    kAPMRemoteConfigStoredConfigUnusableCode = 29028,
    kAPMRemoteConfigStoredConfigUnreadableCode = 29029,
};

// Codes of the errors updateMeasurementConfig writes into its out-parameter
// (besides those of the storage it passes on).
enum : long {
    kAPMRemoteConfigEmptyConfigErrorCode = 1,
    kAPMRemoteConfigWrongAppIDErrorCode = 2,
};

// The name under which the configuration registers with the experiments
// client, and the experiments flag it caches.
inline constexpr const char* kAPMExperimentsSDKName = "doz_urerizarori";
inline constexpr const char* kAPMRegionalDefaultsExperimentFlag = "regional_defaults_enabled";

// The consent enumerations of the server's consent section: types 1 to 4
// are "ad_storage", "analytics_storage", "ad_user_data",
// "ad_personalization"; statuses 1 "granted", 2 "denied"; none otherwise.
std::optional<std::string> APMConsentTypeName(std::int64_t type);
std::optional<std::string> APMConsentStatusName(std::int64_t status);

// What the configuration knows of the application and its surroundings.
struct APMRemoteConfigEnvironment {
    // The service's identifier of the application (ROZEDA_APP_ID of the
    // service property list); configurations for any other are refused.
    std::string appID;
    // The measurement service's base address; none: no URL is made and
    // nothing is sent.
    std::optional<std::string> serviceBaseURL;
    std::string bundleIdentifier;
    std::int64_t libraryVersion = 10000000;
    // The application's version when known.
    std::function<std::optional<std::string>()> appVersion;
    // The platform's tracking-authorisation status (3: authorised); absent:
    // not authorised.
    std::function<int()> trackingAuthorizationStatus;
    // Whether the measurement engine exists and is enabled; absent: no.
    std::function<bool()> isMeasurementEnabled;

    // From the main bundle: its "RozedaService-Info" property list, its
    // identifier and short version string.
    static APMRemoteConfigEnvironment fromMainBundle();
};

// The server configuration of the measurement engine: the flags with their
// defaults and bounds, the per-event entries, the consent section, data
// controls and the event-editing program of the last configuration taken.
//
// A configuration reaches memory only when the database has it: stored
// inside a transaction, it is applied when the transaction commits and
// dropped when it rolls back. Reads are safe from any thread; the
// operations that touch the storage run on the measurement worker queue.
class APMRemoteConfig {
public:
    // Loads the stored configuration (the built-in default when there is
    // none, it does not decode, or it is for another application) and
    // registers with the experiments client when one is given. No factory:
    // programs are not loaded.
    APMRemoteConfig(std::shared_ptr<APMMeasurementConfigStorage> storage,
                    APMRemoteConfigEnvironment environment = APMRemoteConfigEnvironment::fromMainBundle(),
                    std::shared_ptr<APMEventEditingFactory> eventEditingFactory = nullptr,
                    std::shared_ptr<APMExperimentsManagerInterface> experiments = nullptr);
    ~APMRemoteConfig();
    APMRemoteConfig(const APMRemoteConfig&) = delete;
    APMRemoteConfig& operator=(const APMRemoteConfig&) = delete;

    // ---- the flag lookup ----
    // Every flag goes through this: the server's setting when it is a value
    // of the flag's unit within its bounds, else the default. Answered in
    // seconds for both time units, 0 or 1 for switches.
    double flagValue(APMRemoteConfigFlag flag) const;
    std::int64_t countFlag(APMRemoteConfigFlag flag) const;
    bool boolFlag(APMRemoteConfigFlag flag) const;

    // Upload.
    double uploadingInterval() const;
    double uploadingInitialDelayInterval() const;
    double uploadingRealTimeInterval() const;
    double uploadingDebugModeInterval() const;
    double uploadingRetryInterval() const;
    std::int64_t uploadingRetryCount() const;
    double uploadingBackoffInterval() const;
    double networkTimeout() const;
    std::int64_t uploadMaxBundlesLimit() const;
    std::int64_t uploadMaxEventsPerBundle() const;
    std::int64_t uploadMaxSizeLimitBytes() const;
    std::int64_t maxBundlesCreatedPerIteration() const;
    std::int64_t maxConversionsPerDay() const;
    std::int64_t maxRealtimeEventCountPerDay() const;
    std::int64_t maxRealtimeDCUEventCountPerDay() const;
    bool isEventSamplingEnabled() const;
    std::int64_t analyticsAccountTimeZoneOffsetMinutes() const;
    bool blocklistInternal() const;
    bool blocklistPublic() const;
    bool redundantEngagementRemovalEnabled() const;
    bool checksumEnabled() const;
    bool isNetworkBackgroundSessionEnabled() const;
    double monitoringSamplePeriod() const;
    bool sessionStitchingTokenFeatureEnabled() const;

    // Consent and identity.
    bool DMAConsentEnabled() const;
    bool dcuEventFeatureEnabled() const;
    // The experiments client's "regional_defaults_enabled" when it has one,
    // else the server setting.
    bool regionalDefaultsEnabled() const;
    bool tcfFeatureEnabled() const;
    bool gateIDFAOnATTMASEnabled() const;
    double adIDCacheTime() const;

    // On-device conversion.
    bool PSMFeatureEnabled() const;
    // Its default is 10 while the monitor's debug mode is on.
    std::int64_t maxPSMStartCount() const;
    std::int64_t maxPSMRetryCount() const;
    double PSMRetryInterval() const;
    std::int64_t hashPrefixBitLengthEmail() const;
    std::int64_t hashPrefixBitLengthPhone() const;
    std::int64_t maxSignInDelayInDays() const;

    // Attribution.
    bool SKANUpdateConversionValueEnabled() const;
    double SKANInitialCVFetchDelay() const;
    double SKANCVFetchRetryInterval() const;
    std::int64_t SKANCVFetchRetryLimit() const;
    double SKANFirstWindowCVFetchDelay() const;
    double SKANFirstWindowCVFetchRetryInterval() const;
    std::int64_t SKANFirstWindowCVFetchRetryLimit() const;
    double SKANFirstWindowUploadInterval() const;
    bool isDeferredDeepLinkEnabled() const;
    std::int64_t maxDeferredDeepLinkRetryCount() const;
    double attributionCacheTTLInterval() const;

    // Audiences.
    std::int64_t maxAudienceCount() const;
    std::int64_t maxFiltersPerAudience() const;
    std::int64_t maxFilterResultCount() const;
    std::int64_t maxParametersPerFilter() const;

    // Sessions and screens.
    double sessionDefaultTimeoutInterval() const;
    double sessionEventUserEngagementInterval() const;
    bool efficientEngagementReportingEnabled() const;
    bool appBackgroundedEventEnabled() const;
    bool appInBackgroundParameterEnabled() const;
    std::int64_t maxPublicEventParameterValueLength() const;

    // ---- per-event configuration ----
    // The event's entry decides when it says; otherwise blocklistPublic for
    // a public name, blocklistInternal for one beginning with "_".
    bool isEventBlocklisted(const std::string& name) const;
    bool isEventCustomConversion(const std::string& name) const;
    bool eventHasSamplingRate(const std::string& name) const;
    // The configured rate when it is 2 to 65535, else 1.
    int samplingRateForEvent(const std::string& name) const;

    // ---- configuration state ----
    // False for the built-in default configuration (logged); else whether
    // the last successful update is at least the cache time away from now
    // (either way). A last update time that cannot be read counts as
    // expired.
    bool isExpired() const;
    double remoteConfigCacheTimeInterval() const;
    // -1 when the configuration carries none.
    std::int64_t version() const;
    std::vector<std::int64_t> experimentIDs() const;
    std::vector<std::string> dataControls() const;
    std::set<std::string> corePlatformServices() const;
    bool isDMARegion() const;
    // Rebuilt from the consent section on every parse: type name to
    // "granted"/"denied", and type name to type name.
    platform::Value::Dictionary consentDefaults() const;
    platform::Value::Dictionary consentDelegations() const;
    platform::Value::Dictionary regionalDefaults() const;
    // The host of the configuration in memory; none when it had no program
    // or the program did not load.
    std::shared_ptr<APMEventEditingHost> eventEditing() const;

    // ---- service addresses ----
    // The batch upload ("/a" under the service's base address); the
    // configuration's upload sub-domain is put before the host while
    // tracking is authorised. None without a base address.
    std::optional<platform::URL> uploadURL() const;
    // The conversion-value exchange ("/skan" under the service's base
    // address); none without a base address.
    std::optional<platform::URL> SKANConversionValueURL() const;
    // "/config/app/<app ID>?platform=..&ruz_version=..&runtime_version=..";
    // none without a base address or application identifier.
    std::optional<platform::URL> remoteConfigURL(const std::string& platform, std::int64_t SDKVersion,
                                                 std::int64_t runtimeVersion) const;

    // ---- taking a configuration ----
    // Refuses an empty configuration and one for another application
    // (nothing stored). Stores it and parses it: inside a transaction of the
    // storage the parsed configuration is applied when that transaction
    // commits and dropped when it rolls back; outside one it is applied at
    // once.
    bool updateMeasurementConfig(const APMPBMeasurementConfig& config, APMErrorOut error);
    // Parses the configuration and makes it the one in memory. A program
    // that does not load is logged and left out; every other section is
    // still taken.
    void parseRemoteConfigFromMeasurementConfig(const APMPBMeasurementConfig& config);

    // ---- as the experiments client's SDK ----
    void clientDidReceiveNewSnapshot();
    // Activates a snapshot that the client announced, if any.
    void activateNewSnapshot();
    void clientDidReceiveFetchError(const APMError& error);
    bool shouldFetchExperimentsForClient() const;
    void reset();

private:
    struct Parsed;
    struct State;
    class ExperimentsDelegate;

    std::shared_ptr<const Parsed> current() const;

    std::shared_ptr<State> state_;
    std::shared_ptr<ExperimentsDelegate> delegate_;
};

}  // namespace measurement
