#pragma once

// APMAppMetadata: the last bundle's index and times.

#include <cstdint>
#include <optional>

namespace measurement {

enum : long {
    kAPMAppMetadataNegativeBundleIndexCode = 4000,
    kAPMAppMetadataBundleIndexOverflowCode = 4001,
};

// What the engine remembers about the bundles it made: the index of the last
// one (never negative) and its start and end times (seconds since 1970).
class APMAppMetadata {
public:
    APMAppMetadata() = default;
    // None for a negative index, logged at level 2 with code 4000.
    static std::optional<APMAppMetadata> make(std::int32_t lastBundleIndex, double lastBundleStartTimestamp,
                                              double lastBundleEndTimestamp);

    std::int32_t lastBundleIndex() const { return lastBundleIndex_; }
    double lastBundleStartTimestamp() const { return lastBundleStartTimestamp_; }
    double lastBundleEndTimestamp() const { return lastBundleEndTimestamp_; }
    void setLastBundleStartTimestamp(double timestamp) { lastBundleStartTimestamp_ = timestamp; }
    void setLastBundleEndTimestamp(double timestamp) { lastBundleEndTimestamp_ = timestamp; }

    // Raises the index by one; after 2147483647 it starts again at 0, logged
    // at level 5 with code 4001.
    void incrementLastBundleIndex();

    bool operator==(const APMAppMetadata&) const = default;

private:
    std::int32_t lastBundleIndex_ = 0;
    double lastBundleStartTimestamp_ = 0;
    double lastBundleEndTimestamp_ = 0;
};

}  // namespace measurement
