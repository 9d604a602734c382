// Per-event aggregates and their database row form.
#include "measurement/foundation/event_aggregates.h"

#include "measurement/foundation/counters.h"

namespace measurement {

void APMEventAggregates::incrementLifetimeCount() { lifetimeCount_ = APMIncrementedCount(lifetimeCount_); }

void APMEventAggregates::incrementCurrentBundleCount() {
    currentBundleCount_ = APMIncrementedCount(currentBundleCount_);
}

void APMEventAggregates::incrementCurrentSessionCount() {
    currentSessionCount_ = APMIncrementedCount(currentSessionCount_);
}

}  // namespace measurement
