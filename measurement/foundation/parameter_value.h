#pragma once

// APMValue: the typed value of event parameters and user properties.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/value.h"

namespace measurement {

class APMValue;
// Parameters of an event (or of one dictionary of a list value) by name.
using APMParameters = std::map<std::string, APMValue>;

// The typed value of an event parameter or a user property: a string, a
// 64-bit integer, a double, or a list of parameter dictionaries. Immutable.
class APMValue {
public:
    explicit APMValue(std::string value);
    explicit APMValue(const char* value) : APMValue(std::string(value)) {}
    explicit APMValue(std::int64_t value);
    explicit APMValue(double value);
    explicit APMValue(std::vector<APMParameters> list);

    // A string, a number (booleans as the integers 0 and 1, reals as
    // doubles) or a list whose every element is a dictionary whose values
    // convert in turn; anything else gives none.
    static std::optional<APMValue> valueFromObject(const platform::Value& object);

    bool isString() const { return std::holds_alternative<std::string>(v_); }
    bool isInt64() const { return std::holds_alternative<std::int64_t>(v_); }
    bool isDouble() const { return std::holds_alternative<double>(v_); }
    bool isList() const { return std::holds_alternative<ListPtr>(v_); }

    // The string, or the decimal text of a number; empty for a list.
    std::string stringValue() const;
    // The integer; a double converts saturating toward the int64 range (NaN
    // gives 0); a string or list gives 0.
    std::int64_t int64Value() const;
    // The number as a double; 0 for a string or list.
    double doubleValue() const;
    // The dictionaries of a list; empty for other kinds.
    const std::vector<APMParameters>& listValue() const;

    // The plain object form: a string, an integer, a real or a list of
    // dictionaries of plain objects.
    platform::Value objectValue() const;
    // A short text for monitor contexts.
    std::string description() const;

    bool operator==(const APMValue& other) const;

private:
    using ListPtr = std::shared_ptr<const std::vector<APMParameters>>;
    std::variant<std::string, std::int64_t, double, ListPtr> v_;
};

// Converts a plain dictionary; entries whose value does not convert are
// left out.
APMParameters APMParametersFromObjects(const platform::Value::Dictionary& objects);
platform::Value::Dictionary APMObjectsFromParameters(const APMParameters& parameters);

// A double converted to an integer without undefined behaviour: NaN gives 0,
// values beyond the range give its nearest end.
std::int64_t APMSaturatingInt64(double value);
std::int32_t APMSaturatingInt32(double value);
// The shortest text that reads back as the same double ("0.1", "1e+300").
std::string APMShortestDoubleText(double value);
// Seconds as whole milliseconds, truncated toward zero, saturating.
std::int64_t APMMillisecondsFromSeconds(double seconds);

}  // namespace measurement
