#include <doctest/doctest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/store/config_test_support.h"
#include "measurement/store/remote_config.h"

using namespace measurement;
using config_test::ConfigBuilder;
using config_test::MemoryConfigStorage;

namespace {

enum class Unit { Seconds, Millis, Count, Switch };

// One flag as the service documents it: key, default, inclusive bounds (in
// seconds for times) and how the server sends it. Written out here on its
// own, not taken from the engine's table.
struct Expected {
    const char* key;
    Unit unit;
    double defaultValue;
    double minimum;
    double maximum;
    std::function<double(const APMRemoteConfig&)> read;
};

#define SECONDS(accessor) [](const APMRemoteConfig& c) { return c.accessor(); }
#define COUNT(accessor) [](const APMRemoteConfig& c) { return static_cast<double>(c.accessor()); }
#define SWITCH(accessor) [](const APMRemoteConfig& c) { return c.accessor() ? 1.0 : 0.0; }

const std::vector<Expected>& expectedFlags() {
    static const std::vector<Expected> flags = {
        {"measurement.upload.interval", Unit::Seconds, 3600, 15, 86400, SECONDS(uploadingInterval)},
        {"measurement.upload.initial_upload_delay_time", Unit::Seconds, 15, 1, 86400,
         SECONDS(uploadingInitialDelayInterval)},
        {"measurement.upload.realtime_upload_interval", Unit::Seconds, 10, 10, 15, SECONDS(uploadingRealTimeInterval)},
        {"measurement.upload.debug_upload_interval", Unit::Seconds, 1, 1, 15, SECONDS(uploadingDebugModeInterval)},
        {"measurement.upload.retry_time", Unit::Seconds, 1800, 60, 86400, SECONDS(uploadingRetryInterval)},
        {"measurement.upload.retry_count", Unit::Count, 6, 1, 24, COUNT(uploadingRetryCount)},
        {"measurement.upload.backoff_period", Unit::Seconds, 43200, 3600, 604800, SECONDS(uploadingBackoffInterval)},
        {"measurement.network.network_timeout", Unit::Seconds, 60, 30, 3600, SECONDS(networkTimeout)},
        {"measurement.upload.max_bundles", Unit::Count, 100, 1, 10000, COUNT(uploadMaxBundlesLimit)},
        {"measurement.upload.max_events_per_bundle", Unit::Count, 1000, 1, 1000000, COUNT(uploadMaxEventsPerBundle)},
        {"measurement.upload.max_batch_size", Unit::Count, 65536, 0, 10485760, COUNT(uploadMaxSizeLimitBytes)},
        {"measurement.upload.max_bundles_created_per_iteration", Unit::Count, 100, 1, 10000,
         COUNT(maxBundlesCreatedPerIteration)},
        {"measurement.upload.max_conversions_per_day", Unit::Count, 10000, 0, 1000000, COUNT(maxConversionsPerDay)},
        {"measurement.upload.max_realtime_events_per_day", Unit::Count, 10, 0, 10, COUNT(maxRealtimeEventCountPerDay)},
        {"measurement.dma.dcu_event_max_realtime_daily_count", Unit::Count, 1, 0, 10,
         COUNT(maxRealtimeDCUEventCountPerDay)},
        {"measurement.event_sampling_enabled", Unit::Switch, 0, 0, 1, SWITCH(isEventSamplingEnabled)},
        {"measurement.account.time_zone_offset_minutes", Unit::Count, 0, -900, 900,
         COUNT(analyticsAccountTimeZoneOffsetMinutes)},
        {"measurement.upload.blacklist_internal", Unit::Switch, 0, 0, 1, SWITCH(blocklistInternal)},
        {"measurement.upload.blacklist_public", Unit::Switch, 0, 0, 1, SWITCH(blocklistPublic)},
        {"measurement.collection.redundant_engagement_removal_enabled", Unit::Switch, 0, 0, 1,
         SWITCH(redundantEngagementRemovalEnabled)},
        {"measurement.quality.checksum", Unit::Switch, 0, 0, 1, SWITCH(checksumEnabled)},
        {"measurement.network.background_session_enabled", Unit::Switch, 0, 0, 1,
         SWITCH(isNetworkBackgroundSessionEnabled)},
        {"measurement.monitoring.sample_period_millis", Unit::Millis, 86400, 0, 604800, SECONDS(monitoringSamplePeriod)},
        {"measurement.session_stitching_token_enabled", Unit::Switch, 0, 0, 1,
         SWITCH(sessionStitchingTokenFeatureEnabled)},
        {"measurement.upload.dma_consent_enabled", Unit::Switch, 1, 0, 1, SWITCH(DMAConsentEnabled)},
        {"measurement.dma.dcu_event_enabled", Unit::Switch, 1, 0, 1, SWITCH(dcuEventFeatureEnabled)},
        {"measurement.regional_defaults_enabled", Unit::Switch, 1, 0, 1, SWITCH(regionalDefaultsEnabled)},
        {"measurement.tcf_enabled", Unit::Switch, 1, 0, 1, SWITCH(tcfFeatureEnabled)},
        {"measurement.attmas_gate", Unit::Switch, 0, 0, 1, SWITCH(gateIDFAOnATTMASEnabled)},
        {"measurement.ad_id_cache_time", Unit::Seconds, 1, 0, 86400, SECONDS(adIDCacheTime)},
        {"measurement.psm_enabled", Unit::Switch, 1, 0, 1, SWITCH(PSMFeatureEnabled)},
        {"measurement.psm_start_count", Unit::Count, 3, 0, 10, COUNT(maxPSMStartCount)},
        {"measurement.psm_retry_count", Unit::Count, 5, 0, 10, COUNT(maxPSMRetryCount)},
        {"measurement.psm_retry_interval", Unit::Seconds, 300, 30, 1800, SECONDS(PSMRetryInterval)},
        {"measurement.psm_prefix_email", Unit::Count, 14, 6, 20, COUNT(hashPrefixBitLengthEmail)},
        {"measurement.psm_prefix_phone", Unit::Count, 11, 6, 18, COUNT(hashPrefixBitLengthPhone)},
        {"measurement.psm_signin_delay", Unit::Count, 60, 7, 90, COUNT(maxSignInDelayInDays)},
        {"measurement.skan.update_conversion_value_enabled", Unit::Switch, 0, 0, 1,
         SWITCH(SKANUpdateConversionValueEnabled)},
        {"measurement.skan.initial_cv_fetch_delay_sec", Unit::Seconds, 120, 30, 3600, SECONDS(SKANInitialCVFetchDelay)},
        {"measurement.skan.cv_fetch_retry_interval_sec", Unit::Seconds, 120, 30, 3600,
         SECONDS(SKANCVFetchRetryInterval)},
        {"measurement.skan.cv_fetch_retry_limit", Unit::Count, 4, 1, 10, COUNT(SKANCVFetchRetryLimit)},
        {"measurement.skan.first_window.initial_cv_fetch_delay_sec", Unit::Seconds, 20, 1, 3600,
         SECONDS(SKANFirstWindowCVFetchDelay)},
        {"measurement.skan.first_window.cv_fetch_retry_interval_sec", Unit::Seconds, 120, 30, 3600,
         SECONDS(SKANFirstWindowCVFetchRetryInterval)},
        {"measurement.skan.first_window.cv_fetch_retry_limit", Unit::Count, 4, 1, 10,
         COUNT(SKANFirstWindowCVFetchRetryLimit)},
        {"measurement.skan.first_window.upload_interval_sec", Unit::Seconds, 1800, 15, 86400,
         SECONDS(SKANFirstWindowUploadInterval)},
        {"measurement.ddl.enabled", Unit::Switch, 1, 0, 1, SWITCH(isDeferredDeepLinkEnabled)},
        {"measurement.ddl.retry_count", Unit::Count, 5, 0, 10, COUNT(maxDeferredDeepLinkRetryCount)},
        {"measurement.attribution.cache.ttl", Unit::Seconds, 604800, 86400, 2592000,
         SECONDS(attributionCacheTTLInterval)},
        {"measurement.audience.max_count", Unit::Count, 100, 0, 500, COUNT(maxAudienceCount)},
        {"measurement.audience.filter_max_count_per_audience", Unit::Count, 10, 0, 100, COUNT(maxFiltersPerAudience)},
        {"measurement.audience.filter_result_max_count", Unit::Count, 200, 0, 2000, COUNT(maxFilterResultCount)},
        {"measurement.audience.parameter_max_count_filter", Unit::Count, 25, 0, 250, COUNT(maxParametersPerFilter)},
        {"measurement.session.default_timeout_interval", Unit::Millis, 1800, 0, 86400,
         SECONDS(sessionDefaultTimeoutInterval)},
        {"measurement.session.event_user_engagement_interval", Unit::Seconds, 3600, 0, 86400,
         SECONDS(sessionEventUserEngagementInterval)},
        {"measurement.collection.efficient_engagement_reporting_enabled", Unit::Switch, 0, 0, 1,
         SWITCH(efficientEngagementReportingEnabled)},
        {"measurement.lifecycle.app_backgrounded_tracking", Unit::Switch, 0, 0, 1, SWITCH(appBackgroundedEventEnabled)},
        {"measurement.lifecycle.app_in_background_parameter", Unit::Switch, 1, 0, 1,
         SWITCH(appInBackgroundParameterEnabled)},
        {"measurement.upload.max_event_parameter_value_length", Unit::Count, 500, 100, 500,
         COUNT(maxPublicEventParameterValueLength)},
        {"measurement.config.cache_time", Unit::Seconds, 3600, 60, 86400, SECONDS(remoteConfigCacheTimeInterval)},
    };
    return flags;
}

// How the server writes a value of the flag's unit (times in seconds are
// sent as they are, those in milliseconds multiplied by 1000).
std::string serverText(Unit unit, double value) {
    if (unit == Unit::Millis) value *= 1000;
    if (std::floor(value) == value) return std::to_string(static_cast<long long>(value));
    return std::to_string(value);
}

// The flag's answer with the server sending `text` under the key.
double answerFor(const Expected& flag, const std::optional<std::string>& text) {
    auto storage = std::make_shared<MemoryConfigStorage>();
    APMRemoteConfig config(storage, config_test::testEnvironment());
    ConfigBuilder builder;
    if (text) builder.setting(flag.key, *text);
    config.parseRemoteConfigFromMeasurementConfig(builder.config());
    return flag.read(config);
}

}  // namespace

TEST_CASE("every server flag answers its default and refuses values outside its bounds") {
    APMMonitorCapture capture;
    CHECK(expectedFlags().size() == APMRemoteConfigFlagSpecs().size());

    for (const auto& flag : expectedFlags()) {
        CAPTURE(flag.key);
        CHECK(answerFor(flag, std::nullopt) == flag.defaultValue);
        CHECK(answerFor(flag, "not a number") == flag.defaultValue);
        CHECK(answerFor(flag, "") == flag.defaultValue);
        if (flag.unit == Unit::Switch) {
            CHECK(answerFor(flag, "true") == 1);
            CHECK(answerFor(flag, "FALSE") == 0);
            CHECK(answerFor(flag, "1") == 1);
            CHECK(answerFor(flag, "0") == 0);
            CHECK(answerFor(flag, "2") == flag.defaultValue);
            continue;
        }
        CHECK(answerFor(flag, serverText(flag.unit, flag.minimum)) == flag.minimum);
        CHECK(answerFor(flag, serverText(flag.unit, flag.maximum)) == flag.maximum);
        CHECK(answerFor(flag, serverText(flag.unit, flag.minimum - 1)) == flag.defaultValue);
        CHECK(answerFor(flag, serverText(flag.unit, flag.maximum + 1)) == flag.defaultValue);
        const double inside = std::floor((flag.minimum + flag.maximum) / 2);
        CHECK(answerFor(flag, serverText(flag.unit, inside)) == inside);
        if (flag.unit == Unit::Count) CHECK(answerFor(flag, serverText(flag.unit, flag.minimum) + ".5") == flag.defaultValue);
    }
}

TEST_CASE("flags that need more than one setting") {
    APMMonitorCapture capture;
    auto storage = std::make_shared<MemoryConfigStorage>();
    APMRemoteConfig config(storage, config_test::testEnvironment());

    SUBCASE("a bundle count from the server is a count, never scaled") {
        config.parseRemoteConfigFromMeasurementConfig(
            ConfigBuilder().setting("measurement.upload.max_bundles_created_per_iteration", "500").config());
        CHECK(config.maxBundlesCreatedPerIteration() == 500);
    }
    SUBCASE("a session timeout sent in milliseconds is answered in seconds") {
        config.parseRemoteConfigFromMeasurementConfig(
            ConfigBuilder().setting("measurement.session.default_timeout_interval", "900500").config());
        CHECK(config.sessionDefaultTimeoutInterval() == 900.5);
    }
    SUBCASE("the session stitching switch prefers the feature setting when the server sends it") {
        config.parseRemoteConfigFromMeasurementConfig(ConfigBuilder()
                                                          .setting("measurement.session_stitching_token_enabled", "true")
                                                          .setting("session_stitching_token_feature_enabled", "false")
                                                          .config());
        CHECK_FALSE(config.sessionStitchingTokenFeatureEnabled());
        config.parseRemoteConfigFromMeasurementConfig(
            ConfigBuilder().setting("measurement.session_stitching_token_enabled", "true").config());
        CHECK(config.sessionStitchingTokenFeatureEnabled());
    }
    SUBCASE("the on-device conversion start count defaults to 10 in debug mode") {
        APMMonitor::shared().setDebugModeEnabled(true);
        CHECK(config.maxPSMStartCount() == 10);
        config.parseRemoteConfigFromMeasurementConfig(
            ConfigBuilder().setting("measurement.psm_start_count", "4").config());
        CHECK(config.maxPSMStartCount() == 4);
        APMMonitor::shared().setDebugModeEnabled(false);
        config.parseRemoteConfigFromMeasurementConfig(ConfigBuilder().config());
        CHECK(config.maxPSMStartCount() == 3);
    }
    SUBCASE("white space around a server value is ignored") {
        config.parseRemoteConfigFromMeasurementConfig(
            ConfigBuilder().setting("measurement.upload.interval", " 120 ").config());
        CHECK(config.uploadingInterval() == 120);
    }
}
