#pragma once

// APMEventAggregates: counts and sampling state per event name.

#include <cstdint>
#include <optional>
#include <string>

namespace measurement {

// Per event name: the lifetime, current-bundle and current-session counts,
// the last fire time, and the sampling state kept between bundles.
class APMEventAggregates {
public:
    APMEventAggregates(std::string name, std::int32_t lifetimeCount, std::int32_t currentBundleCount,
                       std::int32_t currentSessionCount, double lastFireTimestamp)
        : name_(std::move(name)), lifetimeCount_(lifetimeCount), currentBundleCount_(currentBundleCount),
          currentSessionCount_(currentSessionCount), lastFireTimestamp_(lastFireTimestamp) {}

    const std::string& name() const { return name_; }
    std::int32_t lifetimeCount() const { return lifetimeCount_; }
    std::int32_t currentBundleCount() const { return currentBundleCount_; }
    std::int32_t currentSessionCount() const { return currentSessionCount_; }
    void setLifetimeCount(std::int32_t count) { lifetimeCount_ = count; }
    void setCurrentBundleCount(std::int32_t count) { currentBundleCount_ = count; }
    void setCurrentSessionCount(std::int32_t count) { currentSessionCount_ = count; }
    // Each raises its count by one; a count that would overflow becomes 0.
    void incrementLifetimeCount();
    void incrementCurrentBundleCount();
    void incrementCurrentSessionCount();

    // Seconds since 1970.
    double lastFireTimestamp() const { return lastFireTimestamp_; }
    void setLastFireTimestamp(double timestamp) { lastFireTimestamp_ = timestamp; }
    double lastBundledTimestamp() const { return lastBundledTimestamp_; }
    void setLastBundledTimestamp(double timestamp) { lastBundledTimestamp_ = timestamp; }
    std::int32_t lastSamplingRate() const { return lastSamplingRate_; }
    void setLastSamplingRate(std::int32_t rate) { lastSamplingRate_ = rate; }
    const std::optional<std::int64_t>& lastSampledComplexEventID() const { return lastSampledComplexEventID_; }
    void setLastSampledComplexEventID(std::optional<std::int64_t> id) { lastSampledComplexEventID_ = id; }
    bool lastExemptFromSampling() const { return lastExemptFromSampling_; }
    void setLastExemptFromSampling(bool exempt) { lastExemptFromSampling_ = exempt; }
    // A day index; 0 means unknown.
    std::int32_t lastBundledDay() const { return lastBundledDay_; }
    void setLastBundledDay(std::int32_t day) { lastBundledDay_ = day; }

    bool operator==(const APMEventAggregates&) const = default;

private:
    std::string name_;
    std::int32_t lifetimeCount_;
    std::int32_t currentBundleCount_;
    std::int32_t currentSessionCount_;
    double lastFireTimestamp_;
    double lastBundledTimestamp_ = 0;
    std::int32_t lastSamplingRate_ = 0;
    std::optional<std::int64_t> lastSampledComplexEventID_;
    bool lastExemptFromSampling_ = false;
    std::int32_t lastBundledDay_ = 0;
};

}  // namespace measurement
