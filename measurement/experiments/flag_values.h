// Flags as messages and as plain values, and the conversions between them.
#pragma once

#include <optional>

#include "measurement/foundation/messages.h"
#include "platform/foundation/value.h"

namespace measurement {

// A flag value is a number (a 64-bit integer, a double or a Boolean) or a
// string.

// The value of the first field that is set, in the order integer, double,
// string, Boolean; none for no message or a flag without a value.
std::optional<platform::Value> flagValueFromMessage(const APMPBFlag* flag);
inline std::optional<platform::Value> flagValueFromMessage(const APMPBFlag& flag) {
    return flagValueFromMessage(&flag);
}
inline std::optional<platform::Value> flagValueFromMessage(const std::optional<APMPBFlag>& flag) {
    return flagValueFromMessage(flag ? &*flag : nullptr);
}

// A flag message named `name`: a string value goes into the string field, a
// double into the double field, integers and Booleans into the integer
// field. None (logged) for a null name (850000), a name that is no string
// (850001) or a value that is neither a number nor a string (850002).
std::optional<APMPBFlag> flagMessageWithNameValue(const platform::Value& name, const platform::Value& value);

// The flag's name; none when it has none.
std::optional<std::string> APMEFlagName(const APMPBFlag& flag);

}  // namespace measurement
