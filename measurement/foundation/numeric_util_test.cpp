// Tests of the numeric helpers.
#include <doctest/doctest.h>

#include <set>

#include "measurement/foundation/monitor.h"
#include "measurement/foundation/numeric_util.h"
#include "testsupport/test_hooks.h"

using namespace measurement;

namespace {
APMDecimalNumber decimal(const std::string& text) {
    auto number = decimalNumberFromString(text);
    REQUIRE(number);
    return *number;
}
}  // namespace

TEST_CASE("decimal-number strings") {
    for (const char* valid : {"12", "+12", "-12.", ".5", "-.5", "0.25", "007", "+0", "123456789012345678901234567890"}) {
        CAPTURE(valid);
        CHECK(isDecimalNumberString(valid));
    }
    for (const char* invalid : {"", ".", "+", "-.", "1e5", " 1", "1 ", "1,5", "1.2.3", "12\n", "0x10", "--1", "nan",
                                "\xd9\xa1\xd9\xa2"}) {
        CAPTURE(invalid);
        CHECK_FALSE(isDecimalNumberString(invalid));
    }
}

TEST_CASE("a failed compilation of the decimal expression is logged and tried again") {
    APMMonitorCapture capture;
    test_hooks::setDecimalNumberPattern("([0-9]");
    CHECK_FALSE(isDecimalNumberString("12"));
    CHECK_FALSE(isDecimalNumberString("13"));
    auto entries = capture.entriesWithCode(26000);
    REQUIRE(entries.size() == 2);
    CHECK(entries[0].level == 2);
    CHECK(entries[0].message == "Unable to initialize decimal number regexp. Regex, error");
    CHECK(entries[0].contexts[0] == platform::Value("([0-9]"));
    CHECK_FALSE(decimalNumberFromString("12"));
    CHECK(capture.count(26001) == 1);
    test_hooks::setDecimalNumberPattern(std::nullopt);
    CHECK(isDecimalNumberString("12"));
}

TEST_CASE("decimal numbers are parsed exactly or not at all") {
    APMMonitorCapture capture;

    SUBCASE("values, texts and equality") {
        CHECK(decimal("-12.50").stringValue() == "-12.5");
        CHECK(decimal("+.001").stringValue() == "0.001");
        CHECK(decimal("1200").stringValue() == "1200");
        CHECK(decimal("1200.").exponent() == 2);
        CHECK(decimal("-0").stringValue() == "0");
        CHECK(decimal("-0.0") == APMDecimalNumber::fromInt64(0));
        CHECK(decimal("-.5") == decimal("-0.50"));
        CHECK(decimal("0.1").doubleValue() == 0.1);
        CHECK(APMDecimalNumber::fromInt64(INT64_MIN).stringValue() == "-9223372036854775808");
        CHECK(capture.entries().empty());
    }
    SUBCASE("comparisons are exact") {
        CHECK(decimal("9007199254740993") == APMDecimalNumber::fromInt64(9007199254740993));
        CHECK(decimal("9007199254740992") < APMDecimalNumber::fromInt64(9007199254740993));
        CHECK(decimal("0.30000000000000000001") > decimal("0.3"));
        std::vector<std::string> ascending = {"-100", "-2", "-1.5", "-0.001", "0", "0.001", "0.01", "1", "1.5", "10"};
        for (std::size_t i = 0; i + 1 < ascending.size(); ++i) {
            CAPTURE(ascending[i]);
            CHECK(decimal(ascending[i]) < decimal(ascending[i + 1]));
            CHECK(decimal(ascending[i + 1]) > decimal(ascending[i]));
        }
    }
    SUBCASE("38 significant digits are exact; one more is a loss of precision") {
        const std::string digits38 = "12345678901234567890123456789012345678";
        CHECK(decimal(digits38).digits() == digits38);
        CHECK(decimal("0." + digits38).stringValue() == "0." + digits38);
        CHECK(decimal(digits38 + "000").stringValue() == digits38 + "000");
        // The truncated text is still part of the input, yet digits were lost.
        CHECK_FALSE(decimalNumberFromString("0." + digits38 + "9"));
        CHECK_FALSE(decimalNumberFromString(digits38 + "1"));
        auto lost = capture.entriesWithCode(26003);
        REQUIRE(lost.size() == 2);
        CHECK(lost[0].level == 2);
        CHECK(lost[0].message == "Unable to create a NSDecimalNumber from string value: loss of precision. Value");
        CHECK(lost[0].contexts[0] == platform::Value("0." + digits38 + "9"));
    }
    SUBCASE("the exponent range") {
        CHECK(decimal("0." + std::string(127, '0') + "1").exponent() == -128);
        CHECK(decimal("1" + std::string(127, '0')).exponent() == 127);
        CHECK_FALSE(decimalNumberFromString("0." + std::string(128, '0') + "1"));
        CHECK(capture.count(26003) == 1);
        CHECK_FALSE(decimalNumberFromString("1" + std::string(128, '0')));
        auto overflow = capture.entriesWithCode(26002);
        REQUIRE(overflow.size() == 1);
        CHECK(overflow[0].message == "Unable to create a NSDecimalNumber from string value. Value");
    }
    SUBCASE("text that is not a decimal number") {
        CHECK_FALSE(decimalNumberFromString("1e3"));
        auto entries = capture.entriesWithCode(26001);
        REQUIRE(entries.size() == 1);
        CHECK(entries[0].level == 2);
        CHECK(entries[0].message == "String value does not represent a numeric value. Value");
        CHECK(entries[0].contexts[0] == platform::Value("1e3"));
    }
}

TEST_CASE("random 64-bit integers come from the secure source") {
    std::set<std::int64_t> seen;
    bool negative = false;
    bool positive = false;
    for (int i = 0; i < 1000; ++i) {
        std::int64_t value = APMNumericUtil::randomInt64();
        seen.insert(value);
        negative = negative || value < 0;
        positive = positive || value > 0;
    }
    CHECK(seen.size() == 1000);
    CHECK(negative);
    CHECK(positive);
}
