// Fuzz target: arbitrary bytes as a fetched server configuration, decoded,
// taken by the server configuration (stored, parsed, loaded again as at the
// next start) and read through every flag and lookup.
#include <cstddef>
#include <cstdint>

#include "measurement/foundation/monitor.h"
#include "measurement/store/config_test_support.h"
#include "measurement/store/remote_config.h"
#include "measurement/store/remote_config_flags.h"

namespace {

void readEverything(const measurement::APMRemoteConfig& config) {
    for (const auto& spec : measurement::APMRemoteConfigFlagSpecs()) config.flagValue(spec.flag);
    for (const char* name : {"kuvo_calculate", "_e", "", "ad_impression"}) {
        config.isEventBlocklisted(name);
        config.isEventCustomConversion(name);
        config.samplingRateForEvent(name);
    }
    config.version();
    config.dataControls();
    config.corePlatformServices();
    config.consentDefaults();
    config.consentDelegations();
    config.regionalDefaults();
    config.uploadURL();
    config.remoteConfigURL("ios", 1, 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        measurement::APMMonitor::shared().muteConsole();
        return true;
    }();
    (void)quiet;
    auto decoded = measurement::APMPBMeasurementConfig::initWithBuffer(measurement::NANOBytes(data, data + size));
    if (!decoded) return 0;
    // Addressed to this application, so that it is taken.
    measurement::NANOSetString(*decoded, measurement::APMPBFieldIndexForTag(nano_APMPBMeasurementConfig_app_id_tag), config_test::kAppID);
    auto storage = std::make_shared<config_test::MemoryConfigStorage>();
    measurement::APMRemoteConfig config(storage, config_test::testEnvironment("https://collector.test"));
    config.updateMeasurementConfig(*decoded, nullptr);
    readEverything(config);
    measurement::APMRemoteConfig restarted(storage, config_test::testEnvironment("https://collector.test"));
    readEverything(restarted);
    return 0;
}
