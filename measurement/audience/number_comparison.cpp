// Validity of number filters and the double and exact decimal comparisons.
#include "measurement/audience/number_comparison.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_fields.h"
#include "measurement/audience/filter_description.h"
#include "measurement/foundation/monitor.h"

namespace measurement {

namespace {

using namespace audience_field;

void logWithFilter(int level, long code, const std::string& message, const APMPBNumberFilter& filter) {
    APMMonitor::shared().logWithLevel(level, code, message, platform::Value(APMDescriptionOfNumberFilter(filter)));
}

std::uint32_t comparisonType(const APMPBNumberFilter& filter) {
    return static_cast<std::uint32_t>(NANOGetInt32(filter, kNumberComparisonType));
}

// Whether the field holds a decimal-number string.
bool holdsDecimalString(const APMPBNumberFilter& filter, int index) {
    const auto text = NANOGetString(filter, index);
    return text && isDecimalNumberString(*text);
}

bool checkValue(const APMPBNumberFilter& filter, int index, long code, const char* message) {
    if (holdsDecimalString(filter, index)) return true;
    logWithFilter(kAPMMonitorLevelError, code, message, filter);
    return false;
}

// The three-way comparisons shared by doubles and decimals.
template <class T>
bool compare(std::uint32_t type, const T& value, const T& comparison) {
    return type == kAPMComparisonLessThan ? value < comparison : value > comparison;
}

// "Equal" for doubles: within two steps of the comparison value, exclusive,
// so the value itself and its neighbour on either side count.
bool nearlyEqual(double value, double comparison) {
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    const double low = std::nextafter(std::nextafter(comparison, -kInfinity), -kInfinity);
    const double high = std::nextafter(std::nextafter(comparison, kInfinity), kInfinity);
    return low < value && value < high;
}

std::optional<double> parsedField(const APMPBNumberFilter& filter, int index) {
    const auto text = NANOGetString(filter, index);
    return text ? APMParseComparisonDouble(*text) : std::nullopt;
}

// The decimal of a comparison field, logging the given code when it cannot
// be made.
std::optional<APMDecimalNumber> decimalField(const APMPBNumberFilter& filter, int index, long code,
                                             const char* message) {
    const auto text = NANOGetString(filter, index);
    auto decimal = text ? decimalNumberFromString(*text) : std::nullopt;
    if (!decimal) logWithFilter(kAPMMonitorLevelError, code, message, filter);
    return decimal;
}

APMAudienceComparisonValues comparisonValues(const APMPBNumberFilter& filter) {
    APMAudienceComparisonValues values;
    if (comparisonType(filter) != kAPMComparisonBetween) {
        values.setComparisonValue(decimalField(filter, kNumberComparisonValue, kAPMNumberFilterValueNotNumberCode,
                                               "Number filter comparison value is not a number"));
        values.setValid(values.comparisonValue().has_value());
        return values;
    }
    auto min = decimalField(filter, kNumberMinValue, kAPMNumberFilterMinNotNumberCode,
                            "Number filter min comparison value is not a number");
    if (!min) {
        values.setValid(false);
        return values;
    }
    auto max = decimalField(filter, kNumberMaxValue, kAPMNumberFilterMaxNotNumberCode,
                            "Number filter max comparison value is not a number");
    if (!max) {
        values.setValid(false);
        return values;
    }
    values.setMinComparisonValue(std::move(min));
    values.setMaxComparisonValue(std::move(max));
    return values;
}

}  // namespace

std::optional<double> APMParseComparisonDouble(const std::string& text) {
    if (!isDecimalNumberString(text)) return std::nullopt;
    // The parser takes a minus sign but no plus sign.
    const char* first = text.data() + (text.front() == '+' ? 1 : 0);
    const char* last = text.data() + text.size();
    double value = 0;
    const auto [end, failure] = std::from_chars(first, last, value, std::chars_format::fixed);
    if (failure != std::errc() || end != last || !std::isfinite(value)) return std::nullopt;
    return value;
}

bool APMIsValidNumberFilter(const APMPBNumberFilter& filter) {
    if (!NANOHasField(filter, kNumberComparisonType)) {
        logWithFilter(kAPMMonitorLevelError, kAPMNumberFilterNoComparisonTypeCode, "Number filter has no comparison type",
                      filter);
        return false;
    }
    const std::uint32_t type = comparisonType(filter);
    if (type >= kAPMComparisonLessThan && type <= kAPMComparisonEqual) {
        return checkValue(filter, kNumberComparisonValue, kAPMNumberFilterInvalidValueCode,
                          "Numeric filter does not have a valid comparison value. Filter");
    }
    if (type == kAPMComparisonBetween) {
        // Both ends are checked, so both failures are reported.
        const bool min = checkValue(filter, kNumberMinValue, kAPMNumberFilterInvalidMinCode,
                                    "Numeric filter does not have a valid min comparison value. Filter");
        const bool max = checkValue(filter, kNumberMaxValue, kAPMNumberFilterInvalidMaxCode,
                                    "Numeric filter does not have a valid max comparison value. Filter");
        return min && max;
    }
    if (type == kAPMComparisonUnknown) {
        logWithFilter(kAPMMonitorLevelError, kAPMNumberFilterUnknownComparisonTypeCode,
                      "Number filter has unknown comparison type", filter);
    } else {
        logWithFilter(kAPMMonitorLevelError, kAPMNumberFilterRealUnknownComparisonTypeCode,
                      "Number filter has a real unknown comparison type", filter);
    }
    return false;
}

APMFilterOutcome APMCompareDouble(const APMPBNumberFilter& filter, double value) {
    if (!APMIsValidNumberFilter(filter)) return std::nullopt;
    const std::uint32_t type = comparisonType(filter);
    if (type == kAPMComparisonBetween) {
        const auto min = parsedField(filter, kNumberMinValue);
        const auto max = parsedField(filter, kNumberMaxValue);
        if (!min || !max) {
            logWithFilter(kAPMMonitorLevelError, kAPMNumberFilterUnparsableDoubleCode,
                          "Number filter is invalid, the comparison filter is not valid. Audience filter will not be "
                          "evaluated",
                          filter);
            return std::nullopt;
        }
        return *min <= value && value <= *max;
    }
    const auto comparison = parsedField(filter, kNumberComparisonValue);
    if (!comparison) {
        logWithFilter(kAPMMonitorLevelError, kAPMNumberFilterUnparsableDoubleCode,
                      "Number filter is invalid, the comparison filter is not valid. Audience filter will not be "
                      "evaluated",
                      filter);
        return std::nullopt;
    }
    if (type == kAPMComparisonEqual) return nearlyEqual(value, *comparison);
    return compare(type, value, *comparison);
}

APMFilterOutcome APMCompareDecimal(const APMPBNumberFilter& filter, const APMDecimalNumber& value) {
    if (!APMIsValidNumberFilter(filter)) return std::nullopt;
    const APMAudienceComparisonValues values = comparisonValues(filter);
    if (!values.isValid()) {
        logWithFilter(kAPMMonitorLevelError, kAPMNumberFilterInvalidDecimalsCode,
                      "Parsed decimal number comparison values are not valid. Audience filter will not be evaluated. "
                      "Filter",
                      filter);
        return std::nullopt;
    }
    const std::uint32_t type = comparisonType(filter);
    if (type == kAPMComparisonBetween) {
        return value >= *values.minComparisonValue() && value <= *values.maxComparisonValue();
    }
    if (type == kAPMComparisonEqual) return value == *values.comparisonValue();
    return compare(type, value, *values.comparisonValue());
}

APMFilterOutcome APMCompareInt64(const APMPBNumberFilter& filter, std::int64_t value) {
    return APMCompareDecimal(filter, APMDecimalNumber::fromInt64(value));
}

}  // namespace measurement
