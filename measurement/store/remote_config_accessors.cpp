// The named flag accessors of the server configuration.
#include "measurement/store/remote_config.h"

// Every flag is one row of the flag table, read through the one lookup.

namespace measurement {

using F = APMRemoteConfigFlag;

double APMRemoteConfig::uploadingInterval() const { return flagValue(F::kUploadingInterval); }
double APMRemoteConfig::uploadingInitialDelayInterval() const { return flagValue(F::kUploadingInitialDelayInterval); }
double APMRemoteConfig::uploadingRealTimeInterval() const { return flagValue(F::kUploadingRealTimeInterval); }
double APMRemoteConfig::uploadingDebugModeInterval() const { return flagValue(F::kUploadingDebugModeInterval); }
double APMRemoteConfig::uploadingRetryInterval() const { return flagValue(F::kUploadingRetryInterval); }
std::int64_t APMRemoteConfig::uploadingRetryCount() const { return countFlag(F::kUploadingRetryCount); }
double APMRemoteConfig::uploadingBackoffInterval() const { return flagValue(F::kUploadingBackoffInterval); }
double APMRemoteConfig::networkTimeout() const { return flagValue(F::kNetworkTimeout); }
std::int64_t APMRemoteConfig::uploadMaxBundlesLimit() const { return countFlag(F::kUploadMaxBundlesLimit); }
std::int64_t APMRemoteConfig::uploadMaxEventsPerBundle() const { return countFlag(F::kUploadMaxEventsPerBundle); }
std::int64_t APMRemoteConfig::uploadMaxSizeLimitBytes() const { return countFlag(F::kUploadMaxSizeLimitBytes); }
std::int64_t APMRemoteConfig::maxBundlesCreatedPerIteration() const { return countFlag(F::kMaxBundlesCreatedPerIteration); }
std::int64_t APMRemoteConfig::maxConversionsPerDay() const { return countFlag(F::kMaxConversionsPerDay); }
std::int64_t APMRemoteConfig::maxRealtimeEventCountPerDay() const { return countFlag(F::kMaxRealtimeEventCountPerDay); }
std::int64_t APMRemoteConfig::maxRealtimeDCUEventCountPerDay() const { return countFlag(F::kMaxRealtimeDCUEventCountPerDay); }
bool APMRemoteConfig::isEventSamplingEnabled() const { return boolFlag(F::kIsEventSamplingEnabled); }
std::int64_t APMRemoteConfig::analyticsAccountTimeZoneOffsetMinutes() const { return countFlag(F::kAnalyticsAccountTimeZoneOffsetMinutes); }
bool APMRemoteConfig::blocklistInternal() const { return boolFlag(F::kBlocklistInternal); }
bool APMRemoteConfig::blocklistPublic() const { return boolFlag(F::kBlocklistPublic); }
bool APMRemoteConfig::redundantEngagementRemovalEnabled() const { return boolFlag(F::kRedundantEngagementRemovalEnabled); }
bool APMRemoteConfig::checksumEnabled() const { return boolFlag(F::kChecksumEnabled); }
bool APMRemoteConfig::isNetworkBackgroundSessionEnabled() const { return boolFlag(F::kIsNetworkBackgroundSessionEnabled); }
double APMRemoteConfig::monitoringSamplePeriod() const { return flagValue(F::kMonitoringSamplePeriod); }
bool APMRemoteConfig::sessionStitchingTokenFeatureEnabled() const { return boolFlag(F::kSessionStitchingTokenFeatureEnabled); }
bool APMRemoteConfig::DMAConsentEnabled() const { return boolFlag(F::kDMAConsentEnabled); }
bool APMRemoteConfig::dcuEventFeatureEnabled() const { return boolFlag(F::kDcuEventFeatureEnabled); }
bool APMRemoteConfig::tcfFeatureEnabled() const { return boolFlag(F::kTcfFeatureEnabled); }
bool APMRemoteConfig::gateIDFAOnATTMASEnabled() const { return boolFlag(F::kGateIDFAOnATTMASEnabled); }
double APMRemoteConfig::adIDCacheTime() const { return flagValue(F::kAdIDCacheTime); }
bool APMRemoteConfig::PSMFeatureEnabled() const { return boolFlag(F::kPSMFeatureEnabled); }
std::int64_t APMRemoteConfig::maxPSMStartCount() const { return countFlag(F::kMaxPSMStartCount); }
std::int64_t APMRemoteConfig::maxPSMRetryCount() const { return countFlag(F::kMaxPSMRetryCount); }
double APMRemoteConfig::PSMRetryInterval() const { return flagValue(F::kPSMRetryInterval); }
std::int64_t APMRemoteConfig::hashPrefixBitLengthEmail() const { return countFlag(F::kHashPrefixBitLengthEmail); }
std::int64_t APMRemoteConfig::hashPrefixBitLengthPhone() const { return countFlag(F::kHashPrefixBitLengthPhone); }
std::int64_t APMRemoteConfig::maxSignInDelayInDays() const { return countFlag(F::kMaxSignInDelayInDays); }
bool APMRemoteConfig::SKANUpdateConversionValueEnabled() const { return boolFlag(F::kSKANUpdateConversionValueEnabled); }
double APMRemoteConfig::SKANInitialCVFetchDelay() const { return flagValue(F::kSKANInitialCVFetchDelay); }
double APMRemoteConfig::SKANCVFetchRetryInterval() const { return flagValue(F::kSKANCVFetchRetryInterval); }
std::int64_t APMRemoteConfig::SKANCVFetchRetryLimit() const { return countFlag(F::kSKANCVFetchRetryLimit); }
double APMRemoteConfig::SKANFirstWindowCVFetchDelay() const { return flagValue(F::kSKANFirstWindowCVFetchDelay); }
double APMRemoteConfig::SKANFirstWindowCVFetchRetryInterval() const { return flagValue(F::kSKANFirstWindowCVFetchRetryInterval); }
std::int64_t APMRemoteConfig::SKANFirstWindowCVFetchRetryLimit() const { return countFlag(F::kSKANFirstWindowCVFetchRetryLimit); }
double APMRemoteConfig::SKANFirstWindowUploadInterval() const { return flagValue(F::kSKANFirstWindowUploadInterval); }
bool APMRemoteConfig::isDeferredDeepLinkEnabled() const { return boolFlag(F::kIsDeferredDeepLinkEnabled); }
std::int64_t APMRemoteConfig::maxDeferredDeepLinkRetryCount() const { return countFlag(F::kMaxDeferredDeepLinkRetryCount); }
double APMRemoteConfig::attributionCacheTTLInterval() const { return flagValue(F::kAttributionCacheTTLInterval); }
std::int64_t APMRemoteConfig::maxAudienceCount() const { return countFlag(F::kMaxAudienceCount); }
std::int64_t APMRemoteConfig::maxFiltersPerAudience() const { return countFlag(F::kMaxFiltersPerAudience); }
std::int64_t APMRemoteConfig::maxFilterResultCount() const { return countFlag(F::kMaxFilterResultCount); }
std::int64_t APMRemoteConfig::maxParametersPerFilter() const { return countFlag(F::kMaxParametersPerFilter); }
double APMRemoteConfig::sessionDefaultTimeoutInterval() const { return flagValue(F::kSessionDefaultTimeoutInterval); }
double APMRemoteConfig::sessionEventUserEngagementInterval() const { return flagValue(F::kSessionEventUserEngagementInterval); }
bool APMRemoteConfig::efficientEngagementReportingEnabled() const { return boolFlag(F::kEfficientEngagementReportingEnabled); }
bool APMRemoteConfig::appBackgroundedEventEnabled() const { return boolFlag(F::kAppBackgroundedEventEnabled); }
bool APMRemoteConfig::appInBackgroundParameterEnabled() const { return boolFlag(F::kAppInBackgroundParameterEnabled); }
std::int64_t APMRemoteConfig::maxPublicEventParameterValueLength() const { return countFlag(F::kMaxPublicEventParameterValueLength); }
double APMRemoteConfig::remoteConfigCacheTimeInterval() const { return flagValue(F::kRemoteConfigCacheTimeInterval); }

}  // namespace measurement
