#pragma once

// Runtime values and the plain objects of events, both ways, for the
// event-editing natives.

#include <optional>

#include "measurement/script/entity_converter.h"

namespace measurement {

// The plain object of a value; none for null (and with an error).
template <class Value = APMPValueRef>
std::optional<platform::Value> APMPPlainObjectOf(const Value& value, ScriptError& error) {
    if constexpr (requires { APMPRuntimeEntityConverter::objectFromRuntimeValue(value, error); }) {
        return APMPRuntimeEntityConverter::objectFromRuntimeValue(value, error);
    } else {
        return APMPRuntimeEntityConverter::objectFromRuntimeValue(*value, error);
    }
}

}  // namespace measurement
