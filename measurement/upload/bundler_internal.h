#pragma once

// What the bundler's files share; not part of the public surface.

#include <memory>
#include <optional>
#include <string>

#include "measurement/foundation/monitor.h"
#include "measurement/upload/bundler.h"
#include "measurement/upload/upload_detail.h"

namespace measurement {

// The state of one bundleRawEvents call.
struct APMBundler::Pass {
    bool consumed = false;
    std::int64_t fingerprint = 0;
    APMRawEventRun run;
    bool analyticsStorageDenied = false;
    std::unique_ptr<APMBundleAudienceCache> audienceCache;
    // Settings outside the database: written once the transaction has
    // committed, so a rolled-back bundle leaves them as they were.
    std::optional<std::optional<std::string>> previousBundledConsentSignals;
    std::optional<double> lastMonitoringSampleTimestamp;
    // The "_npa" write runs inside the transaction; its mark is cleared
    // only once that write has committed, so a rolled-back bundle leaves it
    // for the next one.
    bool npaUserPropertyWritten = false;
};

namespace bundler_detail {

inline APMMonitor& monitor() { return APMMonitor::shared(); }
using upload_detail::errorContext;
inline double now() { return upload_detail::currentTime(); }

// Says that a raw event that cannot be bundled goes, naming its row and why.
inline void logUnbundlableRawEventDropped(std::int64_t rowID, const std::optional<APMError>& why) {
    monitor().logWithLevel(kAPMMonitorLevelWarning, kAPMBundlingUnbundlableRawEventDroppedCode,
                           "Dropped a raw event that cannot be bundled. RowID, why", platform::Value(rowID),
                           platform::Value(why ? why->localizedDescription() : "it does not read as a raw event"));
}

}  // namespace bundler_detail

}  // namespace measurement
