// An experiment: the flags the service set under one numeric experiment ID.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/messages.h"
#include "platform/foundation/value.h"

namespace measurement {

// A value: copies are independent. The flag lists are typed, so they can
// hold nothing but flag messages.
class APMEExperiment {
public:
    // None (logged at level 2) for no ID (870000), an ID that is not a whole
    // number within 32 bits (870001) or no flag list (870002). Each flag is
    // added as addFlag does: a flag without a name is left out (870006), a
    // later flag of a name replaces an earlier one.
    static std::optional<APMEExperiment> initWithExperimentID(const platform::Value& experimentID,
                                                             const std::optional<std::vector<APMPBFlag>>& flags);
    // The ID of the message's field 1 (0 when unset) and the flags of field 2.
    static std::optional<APMEExperiment> initWithProtobuf(const APMPBExperiment& message);

    std::int32_t experimentID() const { return experimentID_; }
    // Every flag, in name order.
    std::vector<APMPBFlag> flags() const;
    // Keeps the flag under its name, replacing a flag of that name. No flag
    // (870004) or a flag without a name (870006) changes nothing.
    void addFlag(const std::optional<APMPBFlag>& flag);
    // None for an empty name (870007) or a name the experiment lacks.
    std::optional<APMPBFlag> flagWithName(const std::string& name) const;
    // The Experiment message: the ID and every flag (the list set also when
    // empty).
    APMPBExperiment proto() const;

    // "7 {name=value, ...}", for the log.
    std::string description() const;

private:
    explicit APMEExperiment(std::int32_t experimentID) : experimentID_(experimentID) {}

    std::int32_t experimentID_;
    std::map<std::string, APMPBFlag> flagsByName_;
};

}  // namespace measurement
