// A snapshot's experiments by ID, its flags by name, and its message form.
#include "measurement/experiments/snapshot.h"

#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/experiments_monitor.h"
#include "measurement/experiments/flag_values.h"
#include "platform/dispatch/clock.h"

namespace measurement {

namespace {

using platform::Value;

constexpr int field(int tag) { return APMPBFieldIndexForTag(tag); }

void logFailure(long code, const std::string& message, const Value& context = Value()) {
    APMEMonitor::shared().logWithLevel(kAPMMonitorLevelSilentError, code, message, context);
}

}  // namespace

std::optional<APMESnapshot> APMESnapshot::initWithSDKName(
    const Value& sdkName, const std::optional<std::vector<APMEExperiment>>& experiments) {
    if (!sdkName.isString() || sdkName.asString().empty()) {
        logFailure(kAPMESnapshotInvalidSDKNameCode, "Cannot create snapshot with an invalid SDK name", sdkName);
        return std::nullopt;
    }
    if (!experiments) {
        logFailure(kAPMESnapshotNilExperimentsCode, "Cannot create snapshot with an experiment list of nil");
        return std::nullopt;
    }
    APMESnapshot snapshot;
    snapshot.sdkName_ = sdkName.asString();
    snapshot.timestamp_ = platform::dispatch::currentClock()->now();
    for (const auto& experiment : *experiments) {
        snapshot.experimentsByID_.insert_or_assign(experiment.experimentID(), experiment);
    }
    return snapshot;
}

std::optional<APMESnapshot> APMESnapshot::initWithProtobuf(const APMPBSnapshot& message) {
    std::vector<APMEExperiment> experiments;
    for (const auto& entry : NANOGetArray<APMPBExperiment>(message, field(nano_APMPBSnapshot_experiments_tag))) {
        if (auto experiment = APMEExperiment::initWithProtobuf(entry)) experiments.push_back(std::move(*experiment));
    }
    const auto name = NANOGetString(message, field(nano_APMPBSnapshot_sdk_name_tag));
    return initWithSDKName(name ? Value(*name) : Value(), experiments);
}

std::vector<APMEExperiment> APMESnapshot::experiments() const {
    std::vector<APMEExperiment> all;
    all.reserve(experimentsByID_.size());
    for (const auto& [id, experiment] : experimentsByID_) all.push_back(experiment);
    return all;
}

std::optional<APMPBFlag> APMESnapshot::flagByName(const std::string& name) const {
    for (const auto& [id, experiment] : experimentsByID_) {
        if (auto flag = experiment.flagWithName(name)) return flag;
    }
    return std::nullopt;
}

void APMESnapshot::addFlag(const std::optional<APMPBFlag>& flag, std::optional<std::int32_t> experimentID) {
    if (!experimentID) {
        logFailure(kAPMESnapshotNilExperimentIDCode, "Cannot add flag into empty experiment ID");
        return;
    }
    if (!flag) {
        logFailure(kAPMESnapshotInvalidFlagCode, "Cannot add an invalid flag into a snapshot", Value(*experimentID));
        return;
    }
    if (auto found = experimentsByID_.find(*experimentID); found != experimentsByID_.end()) {
        found->second.addFlag(flag);
        return;
    }
    auto experiment = APMEExperiment::initWithExperimentID(Value(*experimentID), std::vector<APMPBFlag>{*flag});
    // A flag the new experiment refused (it has no name) leaves nothing to
    // keep.
    if (!experiment || experiment->flags().empty()) return;
    experimentsByID_.emplace(*experimentID, std::move(*experiment));
}

void APMESnapshot::addFlags(const std::vector<APMPBFlag>& flags, std::optional<std::int32_t> experimentID) {
    for (const auto& flag : flags) addFlag(flag, experimentID);
}

APMESnapshot APMESnapshot::copy() const {
    APMESnapshot snapshot;
    snapshot.sdkName_ = sdkName_;
    snapshot.experimentsByID_ = experimentsByID_;
    snapshot.timestamp_ = platform::dispatch::currentClock()->now();
    return snapshot;
}

APMPBSnapshot APMESnapshot::proto() const {
    APMPBSnapshot message;
    NANOSetString(message, field(nano_APMPBSnapshot_sdk_name_tag), sdkName_);
    std::vector<APMPBExperiment> experiments;
    experiments.reserve(experimentsByID_.size());
    for (const auto& [id, experiment] : experimentsByID_) experiments.push_back(experiment.proto());
    NANOSetArray(message, field(nano_APMPBSnapshot_experiments_tag), experiments);
    return message;
}

std::string APMESnapshot::description() const {
    std::string text = sdkName_ + ": [";
    bool first = true;
    for (const auto& [id, experiment] : experimentsByID_) {
        text += (first ? "" : ", ") + experiment.description();
        first = false;
    }
    return text + "]";
}

Value APMESnapshotContext(const APMESnapshot* snapshot) {
    return snapshot ? Value(snapshot->description()) : Value();
}

}  // namespace measurement
