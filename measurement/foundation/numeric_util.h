#pragma once

// Numeric helpers: exact decimal numbers and the secure random source.

#include <compare>
#include <cstdint>
#include <optional>
#include <string>

namespace measurement {

// Monitor codes of the numeric helpers.
enum : long {
    kAPMDecimalRegexFailureCode = 26000,
    kAPMDecimalNotNumericCode = 26001,
    kAPMDecimalCreationFailureCode = 26002,
    kAPMDecimalPrecisionLossCode = 26003,
};

// An exact decimal number: up to 38 significant digits times a power of ten
// from -128 to 127. Kept normalised (no leading or trailing zeros in the
// digits), so equal values have equal representations.
class APMDecimalNumber {
public:
    static constexpr std::size_t kMaxDigits = 38;
    static constexpr int kMinExponent = -128;
    static constexpr int kMaxExponent = 127;

    APMDecimalNumber() = default;
    static APMDecimalNumber fromInt64(std::int64_t value);

    bool isZero() const { return digits_.empty(); }
    bool isNegative() const { return negative_; }
    // The significant digits and the power of ten they are multiplied by.
    const std::string& digits() const { return digits_; }
    int exponent() const { return exponent_; }
    // Plain decimal text without exponent: "-12.5", "0.001", "1200", "0".
    std::string stringValue() const;
    double doubleValue() const;

    std::strong_ordering operator<=>(const APMDecimalNumber& other) const;
    bool operator==(const APMDecimalNumber& other) const = default;

private:
    friend class APMDecimalParser;
    bool negative_ = false;
    std::string digits_;
    int exponent_ = 0;
};

class APMNumericUtil {
public:
    // A random 64-bit integer from the secure random source.
    static std::int64_t randomInt64();
};

// A non-empty string matching "^[+-]?(([0-9]+\.?)|([0-9]*\.[0-9]+))$". The
// expression is compiled once; a failed compilation logs 26000, answers
// false and is tried again next time.
bool isDecimalNumberString(const std::string& text);
// The exact decimal the string denotes; none (logging 26001, 26002 or 26003)
// when it is not a decimal-number string, cannot be represented, or would
// lose digits.
std::optional<APMDecimalNumber> decimalNumberFromString(const std::string& text);

}  // namespace measurement
