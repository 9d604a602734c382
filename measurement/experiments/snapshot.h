// A snapshot: the experiments the service returned for one SDK, with its time and manual-activation mark.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "measurement/experiments/experiment.h"
#include "measurement/foundation/messages.h"
#include "platform/foundation/value.h"

namespace measurement {

// A value: copies are independent. Each experiment ID occurs once.
class APMESnapshot {
public:
    // None (logged at level 2) for a name that is not a non-empty string
    // (840000) or no experiment list (840001). The timestamp is the current
    // time and the manual-activation mark is clear; a later experiment of an
    // ID replaces an earlier one.
    static std::optional<APMESnapshot> initWithSDKName(const platform::Value& sdkName,
                                                      const std::optional<std::vector<APMEExperiment>>& experiments);
    // The SDK name of field 1 and the experiments of field 2 (those that
    // cannot be made are left out).
    static std::optional<APMESnapshot> initWithProtobuf(const APMPBSnapshot& message);

    const std::string& SDKName() const { return sdkName_; }
    // Seconds since 1970.
    double timestamp() const { return timestamp_; }
    void setTimestamp(double timestamp) { timestamp_ = timestamp; }
    // Set for the snapshots of an SDK that activates them itself.
    bool manuallyActivated() const { return manuallyActivated_; }
    void setManuallyActivated(bool manuallyActivated) { manuallyActivated_ = manuallyActivated; }

    // Every experiment, in ID order.
    std::vector<APMEExperiment> experiments() const;
    bool hasExperiments() const { return !experimentsByID_.empty(); }
    // The flag of that name of the first experiment (in ID order) that has
    // one.
    std::optional<APMPBFlag> flagByName(const std::string& name) const;
    // Adds the flag to the experiment of that ID, which is made when the
    // snapshot lacks it. No ID (840003) or no flag (840004) changes nothing.
    void addFlag(const std::optional<APMPBFlag>& flag, std::optional<std::int32_t> experimentID);
    void addFlags(const std::vector<APMPBFlag>& flags, std::optional<std::int32_t> experimentID);
    // The same SDK name and experiments; the time of copying and a clear
    // mark.
    APMESnapshot copy() const;
    // The Snapshot message: the SDK name and every experiment.
    APMPBSnapshot proto() const;

    // "<sdk>: [7 {name=value}, ...]", for the log.
    std::string description() const;

private:
    APMESnapshot() = default;

    std::map<std::int32_t, APMEExperiment> experimentsByID_;
    bool manuallyActivated_ = false;
    std::string sdkName_;
    double timestamp_ = 0;
};

// A snapshot as a monitor context; null for none.
platform::Value APMESnapshotContext(const APMESnapshot* snapshot);

}  // namespace measurement
