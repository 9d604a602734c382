#pragma once

// The event as event-editing programs see and return it.

#include <string>

#include "platform/foundation/value.h"

namespace measurement {

// An event as event-editing programs see it: a name, a timestamp in seconds
// and parameters as plain values (strings, numbers, lists of parameter
// dictionaries). A plain record; the editing host gives writes their typing
// rules.
class APMPEvent {
public:
    APMPEvent() = default;
    APMPEvent(std::string name, double timestamp, platform::Value::Dictionary parameters)
        : name_(std::move(name)), timestamp_(timestamp), parameters_(std::move(parameters)) {}

    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }
    double timestamp() const { return timestamp_; }
    void setTimestamp(double timestamp) { timestamp_ = timestamp; }
    const platform::Value::Dictionary& parameters() const { return parameters_; }
    platform::Value::Dictionary& parameters() { return parameters_; }

    // The parameter of that name, null when absent.
    const platform::Value* parameterForName(const std::string& name) const {
        auto found = parameters_.find(name);
        return found == parameters_.end() ? nullptr : &found->second;
    }
    bool hasParameterName(const std::string& name) const { return parameters_.count(name) > 0; }

private:
    std::string name_;
    double timestamp_ = 0;
    platform::Value::Dictionary parameters_;
};

}  // namespace measurement
