// Tests of number comparisons and number filters.
#include <doctest/doctest.h>
#include <gmpxx.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <regex>

#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_test_support.h"
#include "measurement/audience/filter_description.h"
#include "measurement/audience/filter_evaluation.h"
#include "measurement/audience/number_comparison.h"

using namespace measurement;
using namespace measurement::audience_test;

namespace {

enum class Expect { True, False, NotEvaluated };

const char* text(Expect expect) {
    switch (expect) {
        case Expect::True: return "true";
        case Expect::False: return "false";
        default: return "not evaluated";
    }
}

Expect fromOutcome(APMFilterOutcome outcome) {
    if (!outcome) return Expect::NotEvaluated;
    return *outcome ? Expect::True : Expect::False;
}

APMValue I(std::int64_t value) { return APMValue(value); }
APMValue D(double value) { return APMValue(value); }
APMValue S(const char* value) { return APMValue(std::string(value)); }

struct Row {
    APMValue value;
    std::uint32_t type;
    std::string comparison;  // types 1 to 3 and unknown types
    std::string min;         // type 4
    std::string max;
    Expect expected;
};

APMPBNumberFilter filterOf(const Row& row) {
    if (row.type == kAPMComparisonBetween) return betweenFilter(row.min, row.max);
    return numberFilter(row.type, row.comparison);
}

// ---- the independent reckoning: exact rationals and the bits of doubles ----

bool isDecimalText(const std::string& text) {
    static const std::regex decimal(R"(^[+-]?(([0-9]+\.?)|([0-9]*\.[0-9]+))$)");
    return std::regex_match(text, decimal);
}

// A decimal string as an exact rational, and whether it has more
// significant digits than the engine's decimals hold (38).
mpq_class exactRational(const std::string& text, bool* tooPrecise = nullptr) {
    std::string digits;
    std::size_t fraction = 0;
    bool seenPoint = false;
    for (const char c : text) {
        if (c == '.') {
            seenPoint = true;
        } else if (c >= '0' && c <= '9') {
            digits += c;
            if (seenPoint) ++fraction;
        }
    }
    const std::size_t first = digits.find_first_not_of('0');
    const std::size_t last = digits.find_last_not_of('0');
    if (tooPrecise) *tooPrecise = first != std::string::npos && last - first + 1 > 38;
    mpz_class numerator(digits.empty() ? "0" : digits);
    if (text.front() == '-') numerator = -numerator;
    mpz_class denominator;
    mpz_ui_pow_ui(denominator.get_mpz_t(), 10, fraction);
    mpq_class value(numerator, denominator);
    value.canonicalize();
    return value;
}

// Position of a double in the ordered sequence of doubles (both zeros at 0).
std::int64_t orderedPosition(double value) {
    std::int64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits < 0 ? -(bits & std::numeric_limits<std::int64_t>::max()) : bits;
}

template <class T>
Expect threeWay(std::uint32_t type, const T& value, const T& comparison, const T& min, const T& max) {
    bool result = false;
    switch (type) {
        case 1: result = value < comparison; break;
        case 2: result = value > comparison; break;
        case 3: result = value == comparison; break;
        default: result = min <= value && value <= max;
    }
    return result ? Expect::True : Expect::False;
}

// Whether the comparison strings the row needs are decimal strings.
bool filterIsValid(const Row& row) {
    if (row.type >= 1 && row.type <= 3) return isDecimalText(row.comparison);
    return row.type == 4 && isDecimalText(row.min) && isDecimalText(row.max);
}

Expect reckonDouble(const Row& row, double value) {
    if (!std::isfinite(value)) return Expect::NotEvaluated;
    const auto toDouble = [](const std::string& text) { return std::strtod(text.c_str(), nullptr); };
    const bool between = row.type == 4;
    const double comparison = between ? 0 : toDouble(row.comparison);
    const double min = between ? toDouble(row.min) : 0;
    const double max = between ? toDouble(row.max) : 0;
    if (!std::isfinite(comparison) || !std::isfinite(min) || !std::isfinite(max)) return Expect::NotEvaluated;
    if (row.type == 3) {
        return std::llabs(orderedPosition(value) - orderedPosition(comparison)) <= 1 ? Expect::True : Expect::False;
    }
    return threeWay(row.type, mpq_class(value), mpq_class(comparison), mpq_class(min), mpq_class(max));
}

Expect reckonExact(const Row& row, const mpq_class& value) {
    bool tooPrecise = false;
    const bool between = row.type == 4;
    const mpq_class comparison = between ? mpq_class(0) : exactRational(row.comparison, &tooPrecise);
    bool minTooPrecise = false;
    bool maxTooPrecise = false;
    const mpq_class min = between ? exactRational(row.min, &minTooPrecise) : mpq_class(0);
    const mpq_class max = between ? exactRational(row.max, &maxTooPrecise) : mpq_class(0);
    if (tooPrecise || minTooPrecise || maxTooPrecise) return Expect::NotEvaluated;
    return threeWay(row.type, value, comparison, min, max);
}

Expect reckon(const Row& row) {
    if (!filterIsValid(row)) return Expect::NotEvaluated;
    if (row.value.isDouble()) return reckonDouble(row, row.value.doubleValue());
    if (row.value.isInt64()) return reckonExact(row, mpq_class(mpz_class(std::to_string(row.value.int64Value()))));
    if (row.value.isString()) {
        const std::string value = row.value.stringValue();
        bool tooPrecise = false;
        if (!isDecimalText(value)) return Expect::NotEvaluated;
        const mpq_class exact = exactRational(value, &tooPrecise);
        return tooPrecise ? Expect::NotEvaluated : reckonExact(row, exact);
    }
    return Expect::NotEvaluated;
}

std::string describe(const Row& row) {
    return row.value.description() + " type " + std::to_string(row.type) + " [" + row.comparison + "|" + row.min +
           "|" + row.max + "]";
}

constexpr auto T = Expect::True;
constexpr auto F = Expect::False;
constexpr auto N = Expect::NotEvaluated;

const double kPointThree = 0.3;
const double kUp1 = std::nextafter(kPointThree, 1.0);
const double kUp2 = std::nextafter(kUp1, 1.0);
const double kDown1 = std::nextafter(kPointThree, 0.0);
const double kDown2 = std::nextafter(kDown1, 0.0);
const std::string k400Digits = "1" + std::string(400, '0');
const std::string k40Digits = "1." + std::string(38, '0') + "1";

}  // namespace

TEST_CASE("number comparisons agree with exact arithmetic") {
    const std::vector<Row> rows = {
        // integers compare exactly
        {I(5), 1, "10", "", "", T},
        {I(10), 1, "10", "", "", F},
        {I(10), 2, "9.99", "", "", T},
        {I(10), 3, "10", "", "", T},
        {I(10), 3, "10.0", "", "", T},
        {I(10), 3, "+10", "", "", T},
        {I(10), 3, "10.", "", "", T},
        {I(0), 3, ".0", "", "", T},
        {I(0), 3, "-0", "", "", T},
        {I(-3), 2, "-3.5", "", "", T},
        {I(9007199254740993), 3, "9007199254740993", "", "", T},
        {I(9007199254740993), 3, "9007199254740992", "", "", F},
        {I(std::numeric_limits<std::int64_t>::max()), 3, "9223372036854775807", "", "", T},
        {I(std::numeric_limits<std::int64_t>::min()), 1, "-9223372036854775807", "", "", T},
        {I(7), 4, "", "7", "7", T},
        {I(5), 4, "", "1", "10", T},
        {I(11), 4, "", "1", "10", F},
        {I(7), 4, "", "8", "6", F},
        {I(1), 3, k40Digits, "", "", N},
        // malformed filters
        {I(5), 3, "abc", "", "", N},
        {I(5), 3, "1e3", "", "", N},
        {I(5), 3, "", "", "", N},
        {I(5), 3, " 5", "", "", N},
        {I(5), 4, "", "1", "x", N},
        {I(5), 0, "5", "", "", N},
        {I(5), 7, "5", "", "", N},
        // strings compare as exact decimals
        {S("10"), 3, "10", "", "", T},
        {S("10.50"), 3, "10.5", "", "", T},
        {S("-0.1"), 1, "0", "", "", T},
        {S("+.5"), 4, "", "0.5", "0.5", T},
        {S("1e2"), 2, "1", "", "", N},
        {S(" 5"), 3, "5", "", "", N},
        {S("abc"), 3, "5", "", "", N},
        // doubles compare as doubles, equal within one step either side
        {D(0.1 + 0.2), 3, "0.3", "", "", T},
        {D(kPointThree), 3, "0.3", "", "", T},
        {D(kUp1), 3, "0.3", "", "", T},
        {D(kUp2), 3, "0.3", "", "", F},
        {D(kDown1), 3, "0.3", "", "", T},
        {D(kDown2), 3, "0.3", "", "", F},
        {D(0.0), 3, "-0", "", "", T},
        {D(2.5), 1, "3", "", "", T},
        {D(3.0), 1, "3", "", "", F},
        {D(3.0), 2, "2.999", "", "", T},
        {D(5.0), 4, "", "5", "6", T},
        {D(6.0000001), 4, "", "5", "6", F},
        {D(1e300), 2, "1", "", "", T},
        {D(1.0), 3, k400Digits, "", "", N},
        {D(std::nan("")), 3, "1", "", "", N},
        {D(std::numeric_limits<double>::infinity()), 2, "1", "", "", N},
        // a list has no number
        {APMValue(std::vector<APMParameters>{}), 3, "1", "", "", N},
    };
    APMMonitorCapture capture;
    for (const Row& row : rows) {
        CAPTURE(describe(row));
        const Expect actual = fromOutcome(APMEvaluateFilter(valueFilter(filterOf(row)), row.value));
        CHECK_MESSAGE(actual == row.expected, text(actual));
        CHECK_MESSAGE(reckon(row) == row.expected, "independent: ", text(reckon(row)));
        // The complement inverts true and false, never "not evaluated".
        const Expect inverted = fromOutcome(APMEvaluateFilter(valueFilter(filterOf(row), true), row.value));
        const Expect expectedInverted = row.expected == T ? F : row.expected == F ? T : N;
        CHECK(inverted == expectedInverted);
    }
}

TEST_CASE("number filter validity and the comparisons' messages") {
    struct Case {
        APMPBNumberFilter filter;
        bool valid;
        std::vector<long> codes;
    };
    APMPBNumberFilter noType;
    NANOSetString(noType, audience_field::kNumberComparisonValue, std::string("1"));
    APMPBNumberFilter betweenWithoutEnds;
    NANOSetInt32(betweenWithoutEnds, audience_field::kNumberComparisonType, 4);
    const std::vector<Case> cases = {
        {numberFilter(1, "1"), true, {}},
        {noType, false, {kAPMNumberFilterNoComparisonTypeCode}},
        {numberFilter(0, "1"), false, {kAPMNumberFilterUnknownComparisonTypeCode}},
        {numberFilter(5, "1"), false, {kAPMNumberFilterRealUnknownComparisonTypeCode}},
        {numberFilter(2, "1,5"), false, {kAPMNumberFilterInvalidValueCode}},
        {betweenFilter("a", "1"), false, {kAPMNumberFilterInvalidMinCode}},
        {betweenWithoutEnds, false, {kAPMNumberFilterInvalidMinCode, kAPMNumberFilterInvalidMaxCode}},
    };
    for (const auto& c : cases) {
        CAPTURE(APMDescriptionOfNumberFilter(c.filter));
        APMMonitorCapture capture;
        CHECK(APMIsValidNumberFilter(c.filter) == c.valid);
        CHECK(capture.codes() == c.codes);
    }
    SUBCASE("a double comparison value beyond the doubles' range") {
        APMMonitorCapture capture;
        CHECK_FALSE(APMCompareDouble(numberFilter(3, k400Digits), 1.0).has_value());
        CHECK(capture.hasCode(kAPMNumberFilterUnparsableDoubleCode));
        CHECK(APMParseComparisonDouble("+1.5") == 1.5);
        CHECK(APMParseComparisonDouble("-.25") == -0.25);
        CHECK(APMParseComparisonDouble("7.") == 7.0);
        CHECK_FALSE(APMParseComparisonDouble("1e5"));
    }
    SUBCASE("a comparison value with more digits than a decimal holds") {
        APMMonitorCapture capture;
        CHECK_FALSE(APMCompareInt64(numberFilter(3, k40Digits), 1).has_value());
        CHECK(capture.hasCode(kAPMNumberFilterValueNotNumberCode));
        CHECK(capture.hasCode(kAPMNumberFilterInvalidDecimalsCode));
        capture.clear();
        CHECK_FALSE(APMCompareInt64(betweenFilter("0", k40Digits), 1).has_value());
        CHECK(capture.hasCode(kAPMNumberFilterMaxNotNumberCode));
    }
    SUBCASE("value messages: not numeric, outside the doubles' range") {
        APMMonitorCapture capture;
        APMEvaluateFilter(valueFilter(numberFilter(3, "1")), S("one"));
        APMEvaluateFilter(valueFilter(numberFilter(3, "1")), D(std::nan("")));
        APMEvaluateFilter(valueFilter(stringFilter(5, "1")), I(1));
        APMEvaluateFilter(APMPBFilter(), I(1));
        CHECK(capture.codes() == std::vector<long>{kAPMFilterValueNotNumericCode, kAPMFilterValueOutOfDoubleRangeCode,
                                                   kAPMFilterValueNotStringCode, kAPMFilterNeitherNumberNorStringCode});
    }
}
