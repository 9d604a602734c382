#pragma once

// The upload's internal helpers, shared by the upload, its schedule, the
// configuration fetch and bundling: the monitor, the clocks, error contexts
// and bundle fields.

#include <cstdint>
#include <optional>
#include <string>

#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/bundle_tags.h"
#include "platform/dispatch/clock.h"
#include "platform/frameworks/utilities/network.h"

namespace measurement::upload_detail {

using measurement::errorContext;

// Internal names the upload looks for in bundles.
inline constexpr const char* kAPMNPAUserPropertyName = "_npa";
inline constexpr const char* kAPMUserIDPropertyName = "_id";
inline constexpr const char* kAPMFirstOpenEventName = "_f";

template <class... Contexts>
void logEntry(int level, long code, const std::string& message, const Contexts&... contexts) {
    APMMonitor::shared().logWithLevel(level, code, message, contexts...);
}

// Wall time, seconds since 1970.
inline double currentTime() { return platform::dispatch::currentClock()->now(); }
// Time since boot: monotonic, for durations that a changed wall clock must
// not stretch or cut short.
inline double uptime() { return platform::dispatch::currentClock()->uptime(); }

inline platform::Value networkErrorContext(const std::optional<platform::RULError>& error) {
    return error ? platform::Value(error->message) : platform::Value();
}

// The service asks to be left alone for a while.
inline bool isBackoffStatus(int status) {
    return status == platform::kRULNetworkHTTPStatusCodeCannotAcceptTraffic ||
           status == platform::kRULNetworkHTTPStatusCodeUnavailable;
}

// The service refused what it was sent (a client error), rather than
// failing to take it now: a timed-out request (408) or too many requests
// (429) say nothing against the bundles.
inline bool isRefusalStatus(int status) {
    constexpr int kRequestTimeout = 408;
    return status >= 400 && status < 500 && status != kRequestTimeout &&
           status != platform::kRULNetworkHTTPStatusCodeCannotAcceptTraffic;
}

// A string field of the bundle; empty when unset.
inline std::string bundleText(const APMPBMeasurementBundle& bundle, int tag) {
    return NANOGetString(bundle, bundleFieldIndex(tag)).value_or("");
}

inline bool hasBundleTag(const APMPBMeasurementBundle& bundle, int tag) {
    return NANOHasField(bundle, bundleFieldIndex(tag));
}

}  // namespace measurement::upload_detail
