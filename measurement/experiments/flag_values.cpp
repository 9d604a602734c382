// Converting flag messages to plain values and back.
#include "measurement/experiments/flag_values.h"

#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/experiments_monitor.h"

namespace measurement {

namespace {

using platform::Value;

constexpr int field(int tag) { return APMPBFieldIndexForTag(tag); }

// The kind of a value as the log names it.
Value kindOf(const Value& value) { return Value(platform::kindName(value.kind())); }

}  // namespace

std::optional<Value> flagValueFromMessage(const APMPBFlag* flag) {
    if (!flag) return std::nullopt;
    if (NANOHasField(*flag, field(nano_APMPBFlag_int_value_tag))) {
        return Value(static_cast<long long>(NANOGetInt64(*flag, field(nano_APMPBFlag_int_value_tag))));
    }
    if (NANOHasField(*flag, field(nano_APMPBFlag_double_value_tag))) {
        return Value(NANOGetDouble(*flag, field(nano_APMPBFlag_double_value_tag)));
    }
    if (auto text = NANOGetString(*flag, field(nano_APMPBFlag_string_value_tag))) return Value(*text);
    if (NANOHasField(*flag, field(nano_APMPBFlag_bool_value_tag))) {
        return Value(NANOGetBool(*flag, field(nano_APMPBFlag_bool_value_tag)));
    }
    return std::nullopt;
}

std::optional<APMPBFlag> flagMessageWithNameValue(const Value& name, const Value& value) {
    auto& monitor = APMEMonitor::shared();
    if (name.isNull()) {
        monitor.logWithLevel(kAPMMonitorLevelError, kAPMEFlagNilNameCode, "Flag name must not be nil");
        return std::nullopt;
    }
    if (!name.isString()) {
        monitor.logWithLevel(kAPMMonitorLevelError, kAPMEFlagNameNotStringCode, "Flag name must be a string",
                             kindOf(name));
        return std::nullopt;
    }
    APMPBFlag flag;
    switch (value.kind()) {
        case Value::Kind::String:
            NANOSetString(flag, field(nano_APMPBFlag_string_value_tag), value.asString());
            break;
        case Value::Kind::Real:
            NANOSetDouble(flag, field(nano_APMPBFlag_double_value_tag), value.realValue());
            break;
        case Value::Kind::Int:
        case Value::Kind::Bool:
            NANOSetInt64(flag, field(nano_APMPBFlag_int_value_tag), value.intValue());
            break;
        default:
            monitor.logWithLevel(kAPMMonitorLevelError, kAPMEFlagInvalidValueCode, "Flag value is invalid",
                                 kindOf(value));
            return std::nullopt;
    }
    NANOSetString(flag, field(nano_APMPBFlag_name_tag), name.asString());
    return flag;
}

std::optional<std::string> APMEFlagName(const APMPBFlag& flag) {
    return NANOGetString(flag, field(nano_APMPBFlag_name_tag));
}

}  // namespace measurement
