// Tests of the server flags: defaults, bounds, units and accessors.
#include <doctest/doctest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/store/config_test_support.h"
#include "measurement/store/remote_config.h"
#include "measurement/store/remote_config_flags.h"

using namespace measurement;
using config_test::ConfigBuilder;
using config_test::MemoryConfigStorage;

namespace {

using F = APMRemoteConfigFlag;

// How the server writes a value of the flag's unit (times in milliseconds
// are sent multiplied by 1000).
std::string serverText(APMFlagUnit unit, double value) {
    if (unit == APMFlagUnit::kMillisecondsAsSeconds) value *= 1000;
    if (std::floor(value) == value) return std::to_string(static_cast<long long>(value));
    return std::to_string(value);
}

// A configuration whose server sends `text` under the flag's key.
std::unique_ptr<APMRemoteConfig> configSending(const APMRemoteConfigFlagSpec& spec,
                                               const std::optional<std::string>& text) {
    auto config = std::make_unique<APMRemoteConfig>(std::make_shared<MemoryConfigStorage>(),
                                                    config_test::testEnvironment());
    ConfigBuilder builder;
    if (text) builder.setting(spec.key, *text);
    config->parseRemoteConfigFromMeasurementConfig(builder.config());
    return config;
}

double answerFor(const APMRemoteConfigFlagSpec& spec, const std::optional<std::string>& text) {
    return configSending(spec, text)->flagValue(spec.flag);
}

// Each accessor with the flag whose row it answers.
struct Accessor {
    APMRemoteConfigFlag flag;
    std::function<double(const APMRemoteConfig&)> read;
};

#define ACCESSOR(accessor, flag) \
    Accessor { F::flag, [](const APMRemoteConfig& c) { return static_cast<double>(c.accessor()); } }

const std::vector<Accessor>& accessors() {
    static const std::vector<Accessor> all = {
        ACCESSOR(uploadingInterval, kUploadingInterval),
        ACCESSOR(uploadingInitialDelayInterval, kUploadingInitialDelayInterval),
        ACCESSOR(uploadingRealTimeInterval, kUploadingRealTimeInterval),
        ACCESSOR(uploadingDebugModeInterval, kUploadingDebugModeInterval),
        ACCESSOR(uploadingRetryInterval, kUploadingRetryInterval),
        ACCESSOR(uploadingRetryCount, kUploadingRetryCount),
        ACCESSOR(uploadingBackoffInterval, kUploadingBackoffInterval),
        ACCESSOR(networkTimeout, kNetworkTimeout),
        ACCESSOR(uploadMaxBundlesLimit, kUploadMaxBundlesLimit),
        ACCESSOR(uploadMaxEventsPerBundle, kUploadMaxEventsPerBundle),
        ACCESSOR(uploadMaxSizeLimitBytes, kUploadMaxSizeLimitBytes),
        ACCESSOR(maxBundlesCreatedPerIteration, kMaxBundlesCreatedPerIteration),
        ACCESSOR(maxConversionsPerDay, kMaxConversionsPerDay),
        ACCESSOR(maxRealtimeEventCountPerDay, kMaxRealtimeEventCountPerDay),
        ACCESSOR(maxRealtimeDCUEventCountPerDay, kMaxRealtimeDCUEventCountPerDay),
        ACCESSOR(isEventSamplingEnabled, kIsEventSamplingEnabled),
        ACCESSOR(analyticsAccountTimeZoneOffsetMinutes, kAnalyticsAccountTimeZoneOffsetMinutes),
        ACCESSOR(blocklistInternal, kBlocklistInternal),
        ACCESSOR(blocklistPublic, kBlocklistPublic),
        ACCESSOR(redundantEngagementRemovalEnabled, kRedundantEngagementRemovalEnabled),
        ACCESSOR(checksumEnabled, kChecksumEnabled),
        ACCESSOR(isNetworkBackgroundSessionEnabled, kIsNetworkBackgroundSessionEnabled),
        ACCESSOR(monitoringSamplePeriod, kMonitoringSamplePeriod),
        ACCESSOR(sessionStitchingTokenFeatureEnabled, kSessionStitchingTokenFeatureEnabled),
        ACCESSOR(DMAConsentEnabled, kDMAConsentEnabled),
        ACCESSOR(dcuEventFeatureEnabled, kDcuEventFeatureEnabled),
        ACCESSOR(regionalDefaultsEnabled, kRegionalDefaultsEnabled),
        ACCESSOR(tcfFeatureEnabled, kTcfFeatureEnabled),
        ACCESSOR(gateIDFAOnATTMASEnabled, kGateIDFAOnATTMASEnabled),
        ACCESSOR(adIDCacheTime, kAdIDCacheTime),
        ACCESSOR(PSMFeatureEnabled, kPSMFeatureEnabled),
        ACCESSOR(maxPSMStartCount, kMaxPSMStartCount),
        ACCESSOR(maxPSMRetryCount, kMaxPSMRetryCount),
        ACCESSOR(PSMRetryInterval, kPSMRetryInterval),
        ACCESSOR(hashPrefixBitLengthEmail, kHashPrefixBitLengthEmail),
        ACCESSOR(hashPrefixBitLengthPhone, kHashPrefixBitLengthPhone),
        ACCESSOR(maxSignInDelayInDays, kMaxSignInDelayInDays),
        ACCESSOR(SKANUpdateConversionValueEnabled, kSKANUpdateConversionValueEnabled),
        ACCESSOR(SKANInitialCVFetchDelay, kSKANInitialCVFetchDelay),
        ACCESSOR(SKANCVFetchRetryInterval, kSKANCVFetchRetryInterval),
        ACCESSOR(SKANCVFetchRetryLimit, kSKANCVFetchRetryLimit),
        ACCESSOR(SKANFirstWindowCVFetchDelay, kSKANFirstWindowCVFetchDelay),
        ACCESSOR(SKANFirstWindowCVFetchRetryInterval, kSKANFirstWindowCVFetchRetryInterval),
        ACCESSOR(SKANFirstWindowCVFetchRetryLimit, kSKANFirstWindowCVFetchRetryLimit),
        ACCESSOR(SKANFirstWindowUploadInterval, kSKANFirstWindowUploadInterval),
        ACCESSOR(isDeferredDeepLinkEnabled, kIsDeferredDeepLinkEnabled),
        ACCESSOR(maxDeferredDeepLinkRetryCount, kMaxDeferredDeepLinkRetryCount),
        ACCESSOR(attributionCacheTTLInterval, kAttributionCacheTTLInterval),
        ACCESSOR(maxAudienceCount, kMaxAudienceCount),
        ACCESSOR(maxFiltersPerAudience, kMaxFiltersPerAudience),
        ACCESSOR(maxFilterResultCount, kMaxFilterResultCount),
        ACCESSOR(maxParametersPerFilter, kMaxParametersPerFilter),
        ACCESSOR(sessionDefaultTimeoutInterval, kSessionDefaultTimeoutInterval),
        ACCESSOR(sessionEventUserEngagementInterval, kSessionEventUserEngagementInterval),
        ACCESSOR(efficientEngagementReportingEnabled, kEfficientEngagementReportingEnabled),
        ACCESSOR(appBackgroundedEventEnabled, kAppBackgroundedEventEnabled),
        ACCESSOR(appInBackgroundParameterEnabled, kAppInBackgroundParameterEnabled),
        ACCESSOR(maxPublicEventParameterValueLength, kMaxPublicEventParameterValueLength),
        ACCESSOR(remoteConfigCacheTimeInterval, kRemoteConfigCacheTimeInterval),
    };
    return all;
}

}  // namespace

TEST_CASE("every server flag answers its default and refuses values outside its bounds") {
    APMMonitorCapture capture;
    for (const auto& spec : APMRemoteConfigFlagSpecs()) {
        CAPTURE(spec.key);
        CHECK(answerFor(spec, std::nullopt) == spec.defaultValue);
        CHECK(answerFor(spec, "not a number") == spec.defaultValue);
        CHECK(answerFor(spec, "") == spec.defaultValue);
        if (spec.unit == APMFlagUnit::kBool) {
            CHECK(answerFor(spec, "true") == 1);
            CHECK(answerFor(spec, "FALSE") == 0);
            CHECK(answerFor(spec, "1") == 1);
            CHECK(answerFor(spec, "0") == 0);
            CHECK(answerFor(spec, "2") == spec.defaultValue);
            continue;
        }
        CHECK(answerFor(spec, serverText(spec.unit, spec.minimum)) == spec.minimum);
        CHECK(answerFor(spec, serverText(spec.unit, spec.maximum)) == spec.maximum);
        CHECK(answerFor(spec, serverText(spec.unit, spec.minimum - 1)) == spec.defaultValue);
        CHECK(answerFor(spec, serverText(spec.unit, spec.maximum + 1)) == spec.defaultValue);
        const double inside = std::floor((spec.minimum + spec.maximum) / 2);
        CHECK(answerFor(spec, serverText(spec.unit, inside)) == inside);
        if (spec.unit == APMFlagUnit::kCount) {
            CHECK(answerFor(spec, serverText(spec.unit, spec.minimum) + ".5") == spec.defaultValue);
        }
    }
}

TEST_CASE("every accessor answers its own flag") {
    APMMonitorCapture capture;
    std::set<APMRemoteConfigFlag> covered;
    for (const auto& accessor : accessors()) {
        const auto& spec = APMRemoteConfigFlagSpecFor(accessor.flag);
        CAPTURE(spec.key);
        CHECK(covered.insert(accessor.flag).second);
        // A value of the flag's own that is not its default, so that an
        // accessor reading another row, or none, answers something else.
        const double value = spec.unit == APMFlagUnit::kBool ? 1 - spec.defaultValue
                             : spec.defaultValue != spec.maximum ? spec.maximum
                                                                 : spec.minimum;
        const auto config = configSending(spec, serverText(spec.unit, value));
        CHECK(accessor.read(*config) == value);
        CHECK(accessor.read(*configSending(spec, std::nullopt)) == spec.defaultValue);
    }
    CHECK(covered.size() == APMRemoteConfigFlagSpecs().size());
}

TEST_CASE("flags that need more than one setting") {
    APMMonitorCapture capture;
    auto storage = std::make_shared<MemoryConfigStorage>();
    APMRemoteConfig config(storage, config_test::testEnvironment());

    SUBCASE("the bundles made per upload come in thousandths, as milliseconds do") {
        const std::vector<std::pair<std::string, std::int64_t>> cases = {
            {"500000", 500}, {"1000", 1}, {"1500", 1}, {"10000000", 10000},
            // 0.5 and 10,000.001 bundles are outside the bounds: the default.
            {"500", 100}, {"10000001", 100},
        };
        for (const auto& row : cases) {
            const std::string& text = row.first;
            const std::int64_t expected = row.second;
            CAPTURE(text);
            config.parseRemoteConfigFromMeasurementConfig(
                ConfigBuilder().setting("measurement.upload.max_bundles_created_per_iteration", text).config());
            CHECK(config.maxBundlesCreatedPerIteration() == expected);
        }
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
