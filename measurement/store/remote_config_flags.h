#pragma once

// The server flags: their units and their table.

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace measurement {

// How a flag's server text is read and answered.
enum class APMFlagUnit {
    kSeconds,                // a time in seconds, answered in seconds
    kMillisecondsAsSeconds,  // sent in milliseconds, answered in seconds
    kCount,                  // a whole number (counts, bytes, minutes)
    kBool,                   // "true"/"false" or "1"/"0"
};

// Every server flag of the engine.
enum class APMRemoteConfigFlag {
    // Upload.
    kUploadingInterval,
    kUploadingInitialDelayInterval,
    kUploadingRealTimeInterval,
    kUploadingDebugModeInterval,
    kUploadingRetryInterval,
    kUploadingRetryCount,
    kUploadingBackoffInterval,
    kNetworkTimeout,
    kUploadMaxBundlesLimit,
    kUploadMaxEventsPerBundle,
    kUploadMaxSizeLimitBytes,
    kMaxBundlesCreatedPerIteration,
    kMaxConversionsPerDay,
    kMaxRealtimeEventCountPerDay,
    kMaxRealtimeDCUEventCountPerDay,
    kIsEventSamplingEnabled,
    kAnalyticsAccountTimeZoneOffsetMinutes,
    kBlocklistInternal,
    kBlocklistPublic,
    kRedundantEngagementRemovalEnabled,
    kChecksumEnabled,
    kIsNetworkBackgroundSessionEnabled,
    kMonitoringSamplePeriod,
    kSessionStitchingTokenFeatureEnabled,
    // Consent and identity.
    kDMAConsentEnabled,
    kDcuEventFeatureEnabled,
    kRegionalDefaultsEnabled,
    kTcfFeatureEnabled,
    kGateIDFAOnATTMASEnabled,
    kAdIDCacheTime,
    // On-device conversion.
    kPSMFeatureEnabled,
    kMaxPSMStartCount,
    kMaxPSMRetryCount,
    kPSMRetryInterval,
    kHashPrefixBitLengthEmail,
    kHashPrefixBitLengthPhone,
    kMaxSignInDelayInDays,
    // Attribution.
    kSKANUpdateConversionValueEnabled,
    kSKANInitialCVFetchDelay,
    kSKANCVFetchRetryInterval,
    kSKANCVFetchRetryLimit,
    kSKANFirstWindowCVFetchDelay,
    kSKANFirstWindowCVFetchRetryInterval,
    kSKANFirstWindowCVFetchRetryLimit,
    kSKANFirstWindowUploadInterval,
    kIsDeferredDeepLinkEnabled,
    kMaxDeferredDeepLinkRetryCount,
    kAttributionCacheTTLInterval,
    // Audiences.
    kMaxAudienceCount,
    kMaxFiltersPerAudience,
    kMaxFilterResultCount,
    kMaxParametersPerFilter,
    // Sessions and screens.
    kSessionDefaultTimeoutInterval,
    kSessionEventUserEngagementInterval,
    kEfficientEngagementReportingEnabled,
    kAppBackgroundedEventEnabled,
    kAppInBackgroundParameterEnabled,
    kMaxPublicEventParameterValueLength,
    // Configuration state.
    kRemoteConfigCacheTimeInterval,

    kFlagCount
};

// One row of the flag table. Defaults and bounds are in the answered unit
// (seconds for both time units, 0 or 1 for a switch); bounds are inclusive
// and do not apply to switches.
struct APMRemoteConfigFlagSpec {
    APMRemoteConfigFlag flag;
    const char* key;
    APMFlagUnit unit;
    double defaultValue;
    double minimum;
    double maximum;
    // A setting that, when the server sends it, is read instead of `key`.
    const char* preferredKey = nullptr;
};

// The whole table, in the order of APMRemoteConfigFlag.
std::span<const APMRemoteConfigFlagSpec> APMRemoteConfigFlagSpecs();
const APMRemoteConfigFlagSpec& APMRemoteConfigFlagSpecFor(APMRemoteConfigFlag flag);

// The one lookup behind every flag: the server's text read in the flag's
// unit, converted to the answered unit and taken when it lies within the
// bounds; `defaultValue` for no text, text that is not a value of the unit,
// or a value out of bounds.
double APMResolveRemoteConfigFlag(const APMRemoteConfigFlagSpec& spec, const std::optional<std::string>& serverText,
                                  double defaultValue);

}  // namespace measurement
