// The per-day event counters and the day they belong to.
#include "measurement/foundation/daily_counts.h"

#include <cmath>

#include "measurement/foundation/counters.h"
#include "measurement/foundation/parameter_value.h"

namespace measurement {

std::int64_t APMDayIndex(double seconds, double midnightOffset) {
    const double days = std::floor((seconds - midnightOffset) / 86400.0);
    return std::isfinite(days) ? APMSaturatingInt64(days) : 0;
}

void APMDailyCounts::startDay(std::int64_t day) {
    if (day == dayIndex_) return;
    *this = APMDailyCounts();
    dayIndex_ = day;
}

void APMDailyCounts::incrementCountsForCurrentDay(std::int64_t day, bool isPublicEvent, bool isConversion) {
    startDay(day);
    allEventsCount_ = APMIncrementedCount(allEventsCount_);
    if (isPublicEvent) publicEventsCount_ = APMIncrementedCount(publicEventsCount_);
    if (isConversion) conversionsCount_ = APMIncrementedCount(conversionsCount_);
}

void APMDailyCounts::incrementRealtimeCountsForCurrentDay(std::int64_t day) {
    startDay(day);
    realtimeCount_ = APMIncrementedCount(realtimeCount_);
}

void APMDailyCounts::incrementDCURealtimeCountsForCurrentDay(std::int64_t day) {
    startDay(day);
    dcuRealtimeCount_ = APMIncrementedCount(dcuRealtimeCount_);
}

void APMDailyCounts::decrementAllEventsCount() {
    if (allEventsCount_ > 0) --allEventsCount_;
}

}  // namespace measurement
