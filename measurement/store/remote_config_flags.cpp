// The flag table: keys, units, defaults and bounds.
#include "measurement/store/remote_config_flags.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace measurement {

namespace {

using F = APMRemoteConfigFlag;
constexpr auto kS = APMFlagUnit::kSeconds;
constexpr auto kMs = APMFlagUnit::kMillisecondsAsSeconds;
constexpr auto kN = APMFlagUnit::kCount;
constexpr auto kB = APMFlagUnit::kBool;

// Switches have no bounds; 0 and 1 stand in so that every row reads alike.
constexpr APMRemoteConfigFlagSpec kFlags[] = {
    // Upload.
    {F::kUploadingInterval, "measurement.upload.interval", kS, 3600, 15, 86400},
    {F::kUploadingInitialDelayInterval, "measurement.upload.initial_upload_delay_time", kS, 15, 1, 86400},
    {F::kUploadingRealTimeInterval, "measurement.upload.realtime_upload_interval", kS, 10, 10, 15},
    {F::kUploadingDebugModeInterval, "measurement.upload.debug_upload_interval", kS, 1, 1, 15},
    {F::kUploadingRetryInterval, "measurement.upload.retry_time", kS, 1800, 60, 86400},
    {F::kUploadingRetryCount, "measurement.upload.retry_count", kN, 6, 1, 24},
    {F::kUploadingBackoffInterval, "measurement.upload.backoff_period", kS, 43200, 3600, 604800},
    {F::kNetworkTimeout, "measurement.network.network_timeout", kS, 60, 30, 3600},
    {F::kUploadMaxBundlesLimit, "measurement.upload.max_bundles", kN, 100, 1, 10000},
    {F::kUploadMaxEventsPerBundle, "measurement.upload.max_events_per_bundle", kN, 1000, 1, 1000000},
    {F::kUploadMaxSizeLimitBytes, "measurement.upload.max_batch_size", kN, 65536, 0, 10485760},
    // A number of bundles that the service sends in thousandths, as it sends
    // milliseconds: read through the millisecond lookup, so 500000 is 500.
    {F::kMaxBundlesCreatedPerIteration, "measurement.upload.max_bundles_created_per_iteration", kMs, 100, 1, 10000},
    {F::kMaxConversionsPerDay, "measurement.upload.max_conversions_per_day", kN, 10000, 0, 1000000},
    {F::kMaxRealtimeEventCountPerDay, "measurement.upload.max_realtime_events_per_day", kN, 10, 0, 10},
    {F::kMaxRealtimeDCUEventCountPerDay, "measurement.dma.dcu_event_max_realtime_daily_count", kN, 1, 0, 10},
    {F::kIsEventSamplingEnabled, "measurement.event_sampling_enabled", kB, 0, 0, 1},
    {F::kAnalyticsAccountTimeZoneOffsetMinutes, "measurement.account.time_zone_offset_minutes", kN, 0, -900, 900},
    {F::kBlocklistInternal, "measurement.upload.blacklist_internal", kB, 0, 0, 1},
    {F::kBlocklistPublic, "measurement.upload.blacklist_public", kB, 0, 0, 1},
    {F::kRedundantEngagementRemovalEnabled, "measurement.collection.redundant_engagement_removal_enabled", kB, 0, 0,
     1},
    {F::kChecksumEnabled, "measurement.quality.checksum", kB, 0, 0, 1},
    {F::kIsNetworkBackgroundSessionEnabled, "measurement.network.background_session_enabled", kB, 0, 0, 1},
    // One health sample a day at most by default; 0 turns sampling off.
    {F::kMonitoringSamplePeriod, "measurement.monitoring.sample_period_millis", kMs, 86400, 0, 604800},
    {F::kSessionStitchingTokenFeatureEnabled, "measurement.session_stitching_token_enabled", kB, 0, 0, 1,
     "session_stitching_token_feature_enabled"},
    // Consent and identity.
    {F::kDMAConsentEnabled, "measurement.upload.dma_consent_enabled", kB, 1, 0, 1},
    {F::kDcuEventFeatureEnabled, "measurement.dma.dcu_event_enabled", kB, 1, 0, 1},
    {F::kRegionalDefaultsEnabled, "measurement.regional_defaults_enabled", kB, 1, 0, 1},
    {F::kTcfFeatureEnabled, "measurement.tcf_enabled", kB, 1, 0, 1},
    {F::kGateIDFAOnATTMASEnabled, "measurement.attmas_gate", kB, 0, 0, 1},
    {F::kAdIDCacheTime, "measurement.ad_id_cache_time", kS, 1, 0, 86400},
    // On-device conversion.
    {F::kPSMFeatureEnabled, "measurement.psm_enabled", kB, 1, 0, 1},
    {F::kMaxPSMStartCount, "measurement.psm_start_count", kN, 3, 0, 10},
    {F::kMaxPSMRetryCount, "measurement.psm_retry_count", kN, 5, 0, 10},
    {F::kPSMRetryInterval, "measurement.psm_retry_interval", kS, 300, 30, 1800},
    {F::kHashPrefixBitLengthEmail, "measurement.psm_prefix_email", kN, 14, 6, 20},
    {F::kHashPrefixBitLengthPhone, "measurement.psm_prefix_phone", kN, 11, 6, 18},
    {F::kMaxSignInDelayInDays, "measurement.psm_signin_delay", kN, 60, 7, 90},
    // Attribution.
    {F::kSKANUpdateConversionValueEnabled, "measurement.skan.update_conversion_value_enabled", kB, 0, 0, 1},
    {F::kSKANInitialCVFetchDelay, "measurement.skan.initial_cv_fetch_delay_sec", kS, 120, 30, 3600},
    {F::kSKANCVFetchRetryInterval, "measurement.skan.cv_fetch_retry_interval_sec", kS, 120, 30, 3600},
    {F::kSKANCVFetchRetryLimit, "measurement.skan.cv_fetch_retry_limit", kN, 4, 1, 10},
    {F::kSKANFirstWindowCVFetchDelay, "measurement.skan.first_window.initial_cv_fetch_delay_sec", kS, 20, 1, 3600},
    {F::kSKANFirstWindowCVFetchRetryInterval, "measurement.skan.first_window.cv_fetch_retry_interval_sec", kS, 120,
     30, 3600},
    {F::kSKANFirstWindowCVFetchRetryLimit, "measurement.skan.first_window.cv_fetch_retry_limit", kN, 4, 1, 10},
    {F::kSKANFirstWindowUploadInterval, "measurement.skan.first_window.upload_interval_sec", kS, 1800, 15, 86400},
    {F::kIsDeferredDeepLinkEnabled, "measurement.ddl.enabled", kB, 1, 0, 1},
    {F::kMaxDeferredDeepLinkRetryCount, "measurement.ddl.retry_count", kN, 5, 0, 10},
    {F::kAttributionCacheTTLInterval, "measurement.attribution.cache.ttl", kS, 604800, 86400, 2592000},
    // Audiences.
    {F::kMaxAudienceCount, "measurement.audience.max_count", kN, 100, 0, 500},
    {F::kMaxFiltersPerAudience, "measurement.audience.filter_max_count_per_audience", kN, 10, 0, 100},
    {F::kMaxFilterResultCount, "measurement.audience.filter_result_max_count", kN, 200, 0, 2000},
    {F::kMaxParametersPerFilter, "measurement.audience.parameter_max_count_filter", kN, 25, 0, 250},
    // Sessions and screens.
    {F::kSessionDefaultTimeoutInterval, "measurement.session.default_timeout_interval", kMs, 1800, 0, 86400},
    {F::kSessionEventUserEngagementInterval, "measurement.session.event_user_engagement_interval", kS, 3600, 0,
     86400},
    {F::kEfficientEngagementReportingEnabled, "measurement.collection.efficient_engagement_reporting_enabled", kB, 0,
     0, 1},
    {F::kAppBackgroundedEventEnabled, "measurement.lifecycle.app_backgrounded_tracking", kB, 0, 0, 1},
    {F::kAppInBackgroundParameterEnabled, "measurement.lifecycle.app_in_background_parameter", kB, 1, 0, 1},
    {F::kMaxPublicEventParameterValueLength, "measurement.upload.max_event_parameter_value_length", kN, 500, 100, 500},
    // Configuration state.
    {F::kRemoteConfigCacheTimeInterval, "measurement.config.cache_time", kS, 3600, 60, 86400},
};

static_assert(std::size(kFlags) == static_cast<std::size_t>(APMRemoteConfigFlag::kFlagCount),
              "one row per flag");

constexpr bool rowsInEnumOrder() {
    for (std::size_t i = 0; i < std::size(kFlags); ++i) {
        if (static_cast<std::size_t>(kFlags[i].flag) != i) return false;
    }
    return true;
}
static_assert(rowsInEnumOrder(), "rows in the order of APMRemoteConfigFlag");

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::optional<double> parseBool(std::string_view text) {
    if (text == "1" || equalsIgnoringCase(text, "true")) return 1.0;
    if (text == "0" || equalsIgnoringCase(text, "false")) return 0.0;
    return std::nullopt;
}

// The whole text as one number of type T.
template <class T>
std::optional<T> parseNumber(std::string_view text) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<double> parseCount(std::string_view text) {
    auto value = parseNumber<std::int64_t>(text);
    if (!value) return std::nullopt;
    return static_cast<double>(*value);
}

std::optional<double> parseReal(std::string_view text) {
    auto value = parseNumber<double>(text);
    if (!value || !std::isfinite(*value)) return std::nullopt;
    return value;
}

// The server's text in the answered unit; none when it is no value of the
// flag's unit.
std::optional<double> readServerText(APMFlagUnit unit, std::string_view text) {
    text = trimmed(text);
    if (text.empty()) return std::nullopt;
    switch (unit) {
        case APMFlagUnit::kBool: return parseBool(text);
        case APMFlagUnit::kCount: return parseCount(text);
        case APMFlagUnit::kSeconds: return parseReal(text);
        case APMFlagUnit::kMillisecondsAsSeconds:
            if (auto millis = parseReal(text)) return *millis / 1000.0;
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace

std::span<const APMRemoteConfigFlagSpec> APMRemoteConfigFlagSpecs() { return kFlags; }

const APMRemoteConfigFlagSpec& APMRemoteConfigFlagSpecFor(APMRemoteConfigFlag flag) {
    return kFlags[static_cast<std::size_t>(flag)];
}

double APMResolveRemoteConfigFlag(const APMRemoteConfigFlagSpec& spec, const std::optional<std::string>& serverText,
                                  double defaultValue) {
    if (!serverText) return defaultValue;
    auto value = readServerText(spec.unit, *serverText);
    if (!value) return defaultValue;
    if (spec.unit != APMFlagUnit::kBool && (*value < spec.minimum || *value > spec.maximum)) return defaultValue;
    return *value;
}

}  // namespace measurement
