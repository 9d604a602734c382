#pragma once

// How programs' writes are typed into events, and when two events are the
// same event.

#include <optional>
#include <string>

#include "measurement/foundation/edit_event.h"
#include "platform/foundation/value.h"

namespace measurement {

// The value stored when a program writes `value` into the parameter `name`
// whose present value is `present` (nullptr when there is none). Only
// numbers change: the counters "_syn", "_err" and "_el" and numbers written
// over an integer become integers (whole numbers stay integers under any
// name), numbers written over a string become its text. Conversions to
// integers truncate and saturate, NaN giving 0.
platform::Value APMPEventCoerceParameterValue(const std::string& name, const platform::Value* present,
                                              platform::Value value);

// Writes a parameter under the typing rule; none removes it.
void APMPEventSetParameter(APMPEvent& event, const std::string& name, std::optional<platform::Value> value);

// Equal names, timestamps within the double's epsilon, and the same
// parameter names with equal values, where an integer never equals a
// floating-point number and NaN equals NaN (an event equals its copy).
bool APMPEventIsEqualToEvent(const APMPEvent& event, const APMPEvent& other);

}  // namespace measurement
