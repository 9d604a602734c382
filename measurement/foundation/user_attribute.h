#pragma once

// APMUserAttribute: a user property record.

#include <string>

#include "measurement/foundation/messages.h"
#include "measurement/foundation/parameter_value.h"

namespace measurement {

// A user property: origin, name, value and the time it was last set
// (seconds since 1970).
class APMUserAttribute {
public:
    APMUserAttribute(std::string origin, std::string name, APMValue value, double lastSetTimestamp)
        : origin_(std::move(origin)), name_(std::move(name)), value_(std::move(value)),
          lastSetTimestamp_(lastSetTimestamp) {}

    const std::string& origin() const { return origin_; }
    const std::string& name() const { return name_; }
    const APMValue& value() const { return value_; }
    double lastSetTimestamp() const { return lastSetTimestamp_; }

    // Set time in milliseconds (tag 1), name (2), and the value as string
    // (3), integer (4) or double (6); a list value is left out.
    APMPBUserAttribute protoUserAttribute() const;

    bool operator==(const APMUserAttribute&) const = default;

private:
    std::string origin_;
    std::string name_;
    APMValue value_;
    double lastSetTimestamp_;
};

}  // namespace measurement
