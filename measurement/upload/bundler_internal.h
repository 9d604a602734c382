#pragma once

// What the bundler's files share; not part of the public surface.

#include <memory>
#include <optional>
#include <string>

#include "measurement/foundation/error.h"
#include "measurement/foundation/monitor.h"
#include "measurement/upload/bundler.h"
#include "platform/dispatch/clock.h"

namespace measurement {

// The state of one bundleRawEvents call.
struct APMBundler::Pass {
    bool consumed = false;
    std::int64_t fingerprint = 0;
    APMRawEventRun run;
    bool analyticsStorageDenied = false;
    std::unique_ptr<APMAudienceTimestampsCache> audienceCache;
    // Settings outside the database: written once the transaction has
    // committed, so a rolled-back bundle leaves them as they were.
    std::optional<std::optional<std::string>> previousBundledConsentSignals;
    std::optional<double> lastMonitoringSampleTimestamp;
};

namespace bundler_detail {

inline APMMonitor& monitor() { return APMMonitor::shared(); }
inline double now() { return platform::dispatch::currentClock()->now(); }

inline platform::Value errorContext(const std::optional<APMError>& error) {
    return error ? error->asContext() : platform::Value();
}

}  // namespace bundler_detail

}  // namespace measurement
