// The typing rule of parameter writes and the equality of events.
#include "measurement/script/editing/event_rules.h"

#include <cmath>
#include <limits>

#include "measurement/foundation/parameter_value.h"
#include "measurement/script/script_string.h"

namespace measurement {

namespace {

using platform::Value;

// The parameters the engine counts with: always integers.
bool isCounterParameter(const std::string& name) { return name == "_syn" || name == "_err" || name == "_el"; }

platform::Value truncatedInteger(const Value& number) {
    if (number.isInt()) return number;
    return Value(static_cast<long long>(APMSaturatingInt64(number.realValue())));
}

// A double that an integer holds exactly.
bool isWholeInt64(double d) {
    return std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0;
}

std::string decimalText(const Value& number) {
    if (number.isInt()) return std::to_string(number.intValue());
    return utf8FromUTF16(formatScriptNumber(number.realValue()));
}

bool equalValues(const Value& a, const Value& b);

bool equalDictionaries(const Value::Dictionary& a, const Value::Dictionary& b) {
    if (a.size() != b.size()) return false;
    for (auto left = a.begin(), right = b.begin(); left != a.end(); ++left, ++right) {
        if (left->first != right->first || !equalValues(left->second, right->second)) return false;
    }
    return true;
}

bool equalValues(const Value& a, const Value& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Value::Kind::Real: {
            const double x = a.realValue();
            const double y = b.realValue();
            return x == y || (std::isnan(x) && std::isnan(y));
        }
        case Value::Kind::Array: {
            const auto& left = a.asArray();
            const auto& right = b.asArray();
            if (left.size() != right.size()) return false;
            for (std::size_t i = 0; i < left.size(); ++i) {
                if (!equalValues(left[i], right[i])) return false;
            }
            return true;
        }
        case Value::Kind::Dictionary:
            return equalDictionaries(a.asDictionary(), b.asDictionary());
        default:
            return a == b;
    }
}

}  // namespace

Value APMPEventCoerceParameterValue(const std::string& name, const Value* present, Value value) {
    if (!value.isNumber()) return value;
    if (isCounterParameter(name)) return truncatedInteger(value);
    if (!present) return value;
    if (present->isNumber()) {
        if (present->isReal()) return value;
        if (name.rfind('_', 0) != 0) return truncatedInteger(value);
        // An integer the program read and wrote back stays an integer.
        if (value.isReal() && isWholeInt64(value.realValue())) return truncatedInteger(value);
        return value;
    }
    if (present->isString()) return Value(decimalText(value));
    return value;
}

void APMPEventSetParameter(APMPEvent& event, const std::string& name, std::optional<Value> value) {
    auto& parameters = event.parameters();
    if (!value) {
        parameters.erase(name);
        return;
    }
    const auto found = parameters.find(name);
    Value stored = APMPEventCoerceParameterValue(name, found == parameters.end() ? nullptr : &found->second,
                                                 std::move(*value));
    if (found == parameters.end()) {
        parameters.emplace(name, std::move(stored));
    } else {
        found->second = std::move(stored);
    }
}

bool APMPEventIsEqualToEvent(const APMPEvent& event, const APMPEvent& other) {
    if (&event == &other) return true;
    // NaN timestamps compare as equal: neither differs by more than epsilon.
    if (std::fabs(event.timestamp() - other.timestamp()) > std::numeric_limits<double>::epsilon()) return false;
    if (event.name() != other.name()) return false;
    // Both key sets count: a removed parameter is an edit.
    return equalDictionaries(event.parameters(), other.parameters());
}

}  // namespace measurement
