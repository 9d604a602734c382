// The engine's bundle bookkeeping: last index and times.
#include "measurement/store/app_metadata.h"

#include <limits>

#include "measurement/foundation/monitor.h"

namespace measurement {

std::optional<APMAppMetadata> APMAppMetadata::make(std::int32_t lastBundleIndex, double lastBundleStartTimestamp,
                                                   double lastBundleEndTimestamp) {
    if (lastBundleIndex < 0) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelSilentError, kAPMAppMetadataNegativeBundleIndexCode,
                                          "Failed to create app metadata object. Received negative last bundle index.",
                                          platform::Value(static_cast<std::int64_t>(lastBundleIndex)));
        return std::nullopt;
    }
    APMAppMetadata metadata;
    metadata.lastBundleIndex_ = lastBundleIndex;
    metadata.lastBundleStartTimestamp_ = lastBundleStartTimestamp;
    metadata.lastBundleEndTimestamp_ = lastBundleEndTimestamp;
    return metadata;
}

void APMAppMetadata::incrementLastBundleIndex() {
    if (lastBundleIndex_ == std::numeric_limits<std::int32_t>::max()) {
        lastBundleIndex_ = 0;
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelSilentWarning, kAPMAppMetadataBundleIndexOverflowCode,
                                          "Bundle index overflow. Bundle index reset to 0.");
        return;
    }
    ++lastBundleIndex_;
}

}  // namespace measurement
