// Tests of string filters and their expressions.
#include <doctest/doctest.h>

#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_test_support.h"
#include "measurement/audience/filter_evaluation.h"
#include "measurement/audience/string_match.h"
#include "testsupport/test_hooks.h"

using namespace measurement;
using namespace measurement::audience_test;

namespace {

enum class Expect { True, False, NotEvaluated };
constexpr auto T = Expect::True;
constexpr auto F = Expect::False;
constexpr auto N = Expect::NotEvaluated;

Expect fromOutcome(APMFilterOutcome outcome) {
    if (!outcome) return N;
    return *outcome ? T : F;
}

struct Row {
    std::uint32_t type;
    std::optional<std::string> expression;
    std::optional<bool> caseSensitive;
    std::string value;
    Expect expected;
};

}  // namespace

TEST_CASE("string filters match by their match type") {
    const std::vector<Row> rows = {
        // regular expressions match anywhere, case-insensitive by default
        {1, "b.d", std::nullopt, "abcde", T},
        {1, "B.D", std::nullopt, "abcde", T},
        {1, "B.D", true, "abcde", F},
        {1, "^bcd", std::nullopt, "abcde", F},
        {1, "", std::nullopt, "anything", T},
        {1, "", true, "", T},
        {1, "(", std::nullopt, "(", N},
        // begins with
        {2, "abc", std::nullopt, "ABCdef", T},
        {2, "abc", true, "ABCdef", F},
        {2, "abc", false, "abcdef", T},
        {2, "abcdefg", std::nullopt, "abcdef", F},
        {2, "", std::nullopt, "abc", F},
        {2, "", true, "", F},
        {2, "ss", std::nullopt, "Straße", F},
        {2, "STRASS", std::nullopt, "straße", T},
        {2, "STRAS", std::nullopt, "straße", F},
        {2, "é", std::nullopt, "Éclair", T},
        // ends with
        {3, "DEF", std::nullopt, "abcdef", T},
        {3, "DEF", true, "abcdef", F},
        {3, "def", true, "abcdef", T},
        {3, "", std::nullopt, "abc", F},
        {3, "abcdef", std::nullopt, "def", F},
        {3, "😀", std::nullopt, "a😀", T},
        // contains
        {4, "CD", std::nullopt, "abcde", T},
        {4, "CD", true, "abcde", F},
        {4, "xyz", std::nullopt, "abcde", F},
        {4, "", std::nullopt, "abcde", F},
        {4, "SS", std::nullopt, "Fußball", T},
        {4, "ΣΑ", std::nullopt, "θάλασσα", T},
        {4, "ΣΣΣ", std::nullopt, "θάλασσα", F},
        {4, "ΛΑΣ", std::nullopt, "θάλασσα", T},
        // exact
        {5, "Gold", std::nullopt, "gold", T},
        {5, "Gold", true, "gold", F},
        {5, "gold", true, "gold", T},
        {5, "gold", std::nullopt, "golden", F},
        {5, "", true, "", T},
        {5, "", std::nullopt, "", T},
        {5, "", false, "", T},
        {5, "", std::nullopt, "x", F},
        {5, "ß", std::nullopt, "SS", F},
        // types this engine does not know are valid with an expression,
        // and never match
        {7, "abc", std::nullopt, "abc", F},
        {200, "abc", true, "abc", F},
        {7, std::nullopt, std::nullopt, "abc", N},
        // no match type, or type 0
        {0, "abc", std::nullopt, "abc", N},
    };
    APMMonitorCapture capture;
    for (const Row& row : rows) {
        CAPTURE(row.type);
        CAPTURE(row.expression.value_or("(none)"));
        CAPTURE(row.value);
        CAPTURE(row.caseSensitive.has_value() ? (*row.caseSensitive ? "case-sensitive" : "flag false") : "no flag");
        const auto filter = stringFilter(row.type, row.expression, row.caseSensitive);
        CHECK(fromOutcome(APMMatchString(filter, row.value)) == row.expected);
        // The same through a value filter, inverted by its complement.
        const Expect inverted = row.expected == T ? F : row.expected == F ? T : N;
        CHECK(fromOutcome(APMEvaluateFilter(valueFilter(filter, true), APMValue(row.value))) == inverted);
    }
}

TEST_CASE("in-list filters compare each entry exactly") {
    struct ListRow {
        std::vector<std::string> entries;
        std::optional<bool> caseSensitive;
        std::string value;
        Expect expected;
    };
    const std::vector<ListRow> rows = {
        {{"gold", "silver"}, std::nullopt, "SILVER", T},
        {{"gold", "silver"}, true, "SILVER", F},
        {{"gold", "silver"}, true, "silver", T},
        {{"gold", "silver"}, std::nullopt, "bronze", F},
        {{"gold", ""}, std::nullopt, "", T},
        {{"gold", ""}, true, "", T},
        {{"gold", ""}, true, "x", F},
        {{}, std::nullopt, "gold", N},
    };
    for (const auto& row : rows) {
        CAPTURE(row.value);
        APMMonitorCapture capture;
        CHECK(fromOutcome(APMMatchString(listFilter(row.entries, row.caseSensitive), row.value)) == row.expected);
        if (row.entries.empty()) {
            CHECK(capture.codes() ==
                  std::vector<long>{kAPMStringFilterNoExpressionListCode, kAPMStringFilterInvalidCode});
        }
    }
}

TEST_CASE("string filter validity") {
    APMPBStringFilter noType;
    NANOSetString(noType, audience_field::kStringExpression, std::string("x"));
    struct Case {
        APMPBStringFilter filter;
        bool valid;
        std::vector<long> codes;
    };
    const std::vector<Case> cases = {
        {noType, false, {kAPMStringFilterNoMatchTypeCode}},
        {stringFilter(0, "x"), false, {kAPMStringFilterUnknownMatchTypeCode}},
        {stringFilter(2, std::nullopt), false, {kAPMStringFilterNoExpressionCode}},
        {stringFilter(1, "[a-"), false, {kAPMStringFilterRegexInvalidCode}},
        {stringFilter(1, "a+"), true, {}},
        {stringFilter(6, "ignored"), false, {kAPMStringFilterNoExpressionListCode}},
        {listFilter({"a"}), true, {}},
        {stringFilter(7, "x"), true, {}},
    };
    for (const auto& c : cases) {
        APMMonitorCapture capture;
        std::shared_ptr<const APMAudienceExpression> compiled;
        CHECK(APMIsValidStringFilter(c.filter, &compiled) == c.valid);
        CHECK(capture.codes() == c.codes);
        CHECK(static_cast<bool>(compiled) == (c.valid && NANOGetInt32(c.filter, audience_field::kStringMatchType) == 1));
    }
    SUBCASE("no string at all") {
        APMMonitorCapture capture;
        CHECK_FALSE(APMMatchString(stringFilter(5, "x"), std::nullopt).has_value());
        CHECK(capture.codes() == std::vector<long>{kAPMStringFilterNoStringCode});
    }
}

TEST_CASE("server expressions are compiled once and bounded in time") {
    APMAudienceExpression::clearCache();
    const auto filter = stringFilter(1, "^(a+)+$");
    SUBCASE("the same expression and case setting are compiled once") {
        for (int i = 0; i < 5; ++i) CHECK(APMMatchString(filter, "aaa") == true);
        CHECK(APMAudienceExpression::cachedCount() == 1);
        CHECK(APMMatchString(stringFilter(1, "^(a+)+$", true), "AAA") == false);
        CHECK(APMAudienceExpression::cachedCount() == 2);
        const auto first = APMAudienceExpression::compile("x", false);
        CHECK(first == APMAudienceExpression::compile("x", false));
        CHECK(first != APMAudienceExpression::compile("x", true));
    }
    SUBCASE("a search that runs past its time counts as not evaluated") {
        test_hooks::setExpressionTimeLimit(1);
        APMMonitorCapture capture;
        // Exponential backtracking: far more steps than the limit allows.
        const std::string value = std::string(40, 'a') + "!";
        CHECK_FALSE(APMMatchString(filter, value).has_value());
        CHECK(capture.hasCode(kAPMStringFilterRegexTooCostlyCode));
        CHECK_FALSE(APMEvaluateFilter(valueFilter(filter, true), APMValue(value)).has_value());
        // A cheap search under the same limit still answers.
        CHECK(APMMatchString(stringFilter(1, "a!$"), value) == true);
        test_hooks::setExpressionTimeLimit(0);
    }
}
