#pragma once

// Number filters: their validity and the comparison of a double, an exact
// decimal or a 64-bit integer with their decimal-string comparison values.

#include <cstdint>
#include <optional>
#include <string>

#include "measurement/audience/filter_outcome.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/numeric_util.h"

namespace measurement {

// The parsed comparison values of one number filter, for one comparison.
class APMAudienceComparisonValues {
public:
    bool isValid() const { return valid_; }
    void setValid(bool valid) { valid_ = valid; }
    const std::optional<APMDecimalNumber>& comparisonValue() const { return comparisonValue_; }
    void setComparisonValue(std::optional<APMDecimalNumber> value) { comparisonValue_ = std::move(value); }
    const std::optional<APMDecimalNumber>& minComparisonValue() const { return minComparisonValue_; }
    void setMinComparisonValue(std::optional<APMDecimalNumber> value) { minComparisonValue_ = std::move(value); }
    const std::optional<APMDecimalNumber>& maxComparisonValue() const { return maxComparisonValue_; }
    void setMaxComparisonValue(std::optional<APMDecimalNumber> value) { maxComparisonValue_ = std::move(value); }

private:
    bool valid_ = true;
    std::optional<APMDecimalNumber> comparisonValue_;
    std::optional<APMDecimalNumber> minComparisonValue_;
    std::optional<APMDecimalNumber> maxComparisonValue_;
};

// A comparison type, with the values it needs as decimal-number strings.
// Logs each failure (8006 to 8011) with the filter.
bool APMIsValidNumberFilter(const APMPBNumberFilter& filter);

// Doubles compare as doubles; "equal" allows one unit in the last place on
// either side of the comparison value.
APMFilterOutcome APMCompareDouble(const APMPBNumberFilter& filter, double value);
// Exact decimal comparison.
APMFilterOutcome APMCompareDecimal(const APMPBNumberFilter& filter, const APMDecimalNumber& value);
// The integer as an exact decimal.
APMFilterOutcome APMCompareInt64(const APMPBNumberFilter& filter, std::int64_t value);

// How the double comparison reads a comparison value: a decimal-number
// string (an optional sign, no exponent) whose value lies within the range
// of doubles, rounded to the nearest double; none otherwise.
std::optional<double> APMParseComparisonDouble(const std::string& text);

}  // namespace measurement
