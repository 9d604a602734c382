#pragma once

// APMDailyCounts: the engine's per-day event counters.

#include <cstdint>

namespace measurement {

// The day of the daily counts at a time (seconds since 1970): whole days
// since 1970 after the midnight offset (seconds), rounded down. Every
// writer of the counts takes its day from here with the current time, so
// that none of them starts a day the others still count in. 0 for a time
// that is not finite.
std::int64_t APMDayIndex(double seconds, double midnightOffset);

// The per-day counters of one day index.
class APMDailyCounts {
public:
    APMDailyCounts() = default;
    APMDailyCounts(std::int64_t dayIndex, std::int64_t conversionsCount, std::int64_t allEventsCount,
                   std::int64_t publicEventsCount, std::int64_t errorEventsCount, std::int64_t realtimeCount,
                   std::int64_t dcuRealtimeCount)
        : dayIndex_(dayIndex), conversionsCount_(conversionsCount), allEventsCount_(allEventsCount),
          publicEventsCount_(publicEventsCount), errorEventsCount_(errorEventsCount), realtimeCount_(realtimeCount),
          dcuRealtimeCount_(dcuRealtimeCount) {}

    std::int64_t dayIndex() const { return dayIndex_; }
    std::int64_t conversionsCount() const { return conversionsCount_; }
    std::int64_t allEventsCount() const { return allEventsCount_; }
    std::int64_t publicEventsCount() const { return publicEventsCount_; }
    std::int64_t errorEventsCount() const { return errorEventsCount_; }
    std::int64_t realtimeCount() const { return realtimeCount_; }
    std::int64_t dcuRealtimeCount() const { return dcuRealtimeCount_; }
    void setErrorEventsCount(std::int64_t count) { errorEventsCount_ = count; }

    // Each first resets every count to 0 when the day differs from the
    // record's (and takes the new day); counts that would overflow become 0.
    void incrementCountsForCurrentDay(std::int64_t day, bool isPublicEvent, bool isConversion);
    void incrementRealtimeCountsForCurrentDay(std::int64_t day);
    void incrementDCURealtimeCountsForCurrentDay(std::int64_t day);
    // Lowers the all-events count by one, never below 0.
    void decrementAllEventsCount();

    bool operator==(const APMDailyCounts&) const = default;

private:
    void startDay(std::int64_t day);

    std::int64_t dayIndex_ = 0;
    std::int64_t conversionsCount_ = 0;
    std::int64_t allEventsCount_ = 0;
    std::int64_t publicEventsCount_ = 0;
    std::int64_t errorEventsCount_ = 0;
    std::int64_t realtimeCount_ = 0;
    std::int64_t dcuRealtimeCount_ = 0;
};

}  // namespace measurement
