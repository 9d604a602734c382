// An experiment's flags under its ID, and its message form.
#include "measurement/experiments/experiment.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/experiments_monitor.h"
#include "measurement/experiments/flag_values.h"
#include "measurement/foundation/monitor.h"

namespace measurement {

namespace {

using platform::Value;

constexpr int field(int tag) { return APMPBFieldIndexForTag(tag); }

void logFailure(long code, const std::string& message, const Value& context = Value()) {
    APMEMonitor::shared().logWithLevel(kAPMMonitorLevelSilentError, code, message, context);
}

// The ID as a 32-bit integer: a number holding a whole value in range.
std::optional<std::int32_t> experimentIDOf(const Value& id) {
    if (!id.isNumber() && !id.isBool()) return std::nullopt;
    const double real = id.realValue();
    if (id.isReal() && (!std::isfinite(real) || std::trunc(real) != real)) return std::nullopt;
    const std::int64_t whole = id.isReal() ? static_cast<std::int64_t>(std::clamp(real, -1e18, 1e18)) : id.intValue();
    if (whole < std::numeric_limits<std::int32_t>::min() || whole > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(whole);
}

std::string valueText(const std::optional<Value>& value) {
    if (!value) return "(none)";
    if (value->isString()) return "\"" + value->asString() + "\"";
    if (value->isBool()) return value->boolValue() ? "true" : "false";
    return APMMonitor::describeContext(*value);
}

}  // namespace

std::optional<APMEExperiment> APMEExperiment::initWithExperimentID(
    const Value& experimentID, const std::optional<std::vector<APMPBFlag>>& flags) {
    if (experimentID.isNull()) {
        logFailure(kAPMEExperimentNilIDCode, "Cannot create an experiment without ID");
        return std::nullopt;
    }
    const auto id = experimentIDOf(experimentID);
    if (!id) {
        logFailure(kAPMEExperimentIDNotNumberCode, "Experiment ID must be a number. ID", experimentID);
        return std::nullopt;
    }
    if (!flags) {
        logFailure(kAPMEExperimentInvalidFlagsCode, "Cannot create an experiment with invalid flags");
        return std::nullopt;
    }
    APMEExperiment experiment(*id);
    for (const auto& flag : *flags) experiment.addFlag(flag);
    return experiment;
}

std::optional<APMEExperiment> APMEExperiment::initWithProtobuf(const APMPBExperiment& message) {
    const std::int32_t id = NANOGetInt32(message, field(nano_APMPBExperiment_experiment_id_tag));
    return initWithExperimentID(Value(id), NANOGetArray<APMPBFlag>(message, field(nano_APMPBExperiment_flags_tag)));
}

std::vector<APMPBFlag> APMEExperiment::flags() const {
    std::vector<APMPBFlag> all;
    all.reserve(flagsByName_.size());
    for (const auto& [name, flag] : flagsByName_) all.push_back(flag);
    return all;
}

void APMEExperiment::addFlag(const std::optional<APMPBFlag>& flag) {
    if (!flag) {
        logFailure(kAPMEExperimentAddNilFlagCode, "Cannot add empty flag into an experiment. ID", Value(experimentID_));
        return;
    }
    const auto name = APMEFlagName(*flag);
    if (!name) {
        logFailure(kAPMEExperimentAddNamelessFlagCode, "Cannot add a flag without name into an experiment. ID",
                   Value(experimentID_));
        return;
    }
    flagsByName_.insert_or_assign(*name, *flag);
}

std::optional<APMPBFlag> APMEExperiment::flagWithName(const std::string& name) const {
    if (name.empty()) {
        logFailure(kAPMEExperimentEmptyFlagNameCode, "Cannot retrieve a flag without a flag name");
        return std::nullopt;
    }
    const auto found = flagsByName_.find(name);
    if (found == flagsByName_.end()) return std::nullopt;
    return found->second;
}

APMPBExperiment APMEExperiment::proto() const {
    APMPBExperiment message;
    NANOSetInt32(message, field(nano_APMPBExperiment_experiment_id_tag), experimentID_);
    NANOSetArray(message, field(nano_APMPBExperiment_flags_tag), flags());
    return message;
}

std::string APMEExperiment::description() const {
    std::string text = std::to_string(experimentID_) + " {";
    bool first = true;
    for (const auto& [name, flag] : flagsByName_) {
        text += (first ? "" : ", ") + name + "=" + valueText(flagValueFromMessage(flag));
        first = false;
    }
    return text + "}";
}

}  // namespace measurement
