// Tests of event and property filter evaluation.
#include <doctest/doctest.h>

#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_test_support.h"
#include "measurement/audience/filter_evaluation.h"

using namespace measurement;
using namespace measurement::audience_test;

namespace {

APMFilterOutcome evaluate(const APMPBEventFilter& filter, const std::string& name, const APMParameters& parameters,
                          const APMEventAggregates& aggregates) {
    return APMEvaluateEventFilter(&filter, name, parameters, aggregates);
}

// An outcome as text, so a table row reads as it is meant.
std::string show(APMFilterOutcome outcome) { return outcome ? (*outcome ? "true" : "false") : "not evaluated"; }

}  // namespace

TEST_CASE("event filters: name, count and parameters") {
    const APMParameters parameters = {
        {"n", APMValue(std::int64_t{10})},
        {"p", APMValue(0.25)},
        {"error_case", APMValue(std::string("mustBeLessThanX"))},
        {"digits", APMValue(std::string("10"))},
        {"steps", APMValue(std::vector<APMParameters>{{{"title", APMValue(std::string("t"))}}})},
    };
    const APMEventAggregates aggregates("kuvo_calculate", 5, 1, 2, 0);
    const auto lessThan = [](const char* value) { return numberFilter(kAPMComparisonLessThan, value); };
    const auto equal = [](const char* value) { return numberFilter(kAPMComparisonEqual, value); };
    struct Case {
        const char* label;
        APMPBEventFilter filter;
        const char* expected;
        std::vector<long> codes;
    };
    const std::vector<Case> cases = {
        {"name only", eventFilter(0, "kuvo_calculate"), "true", {}},
        {"other name", eventFilter(0, "kuvo_got_error"), "not evaluated", {kAPMEventFilterNameMismatchCode}},
        {"lifetime count 5 equals 5", eventFilter(0, "kuvo_calculate", {}, equal("5")), "true", {}},
        {"session count 2 equals 5", eventFilter(0, "kuvo_calculate", {}, equal("5"), {.sessionScoped = true}),
         "false", {}},
        {"session count 2 equals 2", eventFilter(0, "kuvo_calculate", {}, equal("2"), {.sessionScoped = true}), "true",
         {}},
        {"count fails before parameters are read",
         eventFilter(0, "kuvo_calculate", {valueFilter(equal("1"), false, "missing")}, lessThan("3")), "false", {}},
        {"integer parameter", eventFilter(0, "kuvo_calculate", {valueFilter(equal("10"), false, "n")}), "true", {}},
        {"double parameter", eventFilter(0, "kuvo_calculate", {valueFilter(lessThan("0.5"), false, "p")}), "true", {}},
        {"string parameter", eventFilter(0, "kuvo_calculate", {valueFilter(stringFilter(4, "LESS"), false,
                                                                                        "error_case")}),
         "true", {}},
        {"every parameter filter must hold",
         eventFilter(0, "kuvo_calculate",
                     {valueFilter(equal("10"), false, "n"), valueFilter(lessThan("0.1"), false, "p")}),
         "false", {}},
        {"a string parameter is never compared as a number",
         eventFilter(0, "kuvo_calculate", {valueFilter(equal("10"), false, "digits")}), "not evaluated",
         {kAPMEventParameterStringWithoutStringFilterCode}},
        {"missing parameter", eventFilter(0, "kuvo_calculate", {valueFilter(equal("1"), false, "k")}), "not evaluated",
         {kAPMEventParameterMissingCode}},
        {"complemented, missing parameter", eventFilter(0, "kuvo_calculate", {valueFilter(equal("1"), true, "k")}),
         "not evaluated", {kAPMEventParameterMissingCode}},
        {"complemented, present parameter", eventFilter(0, "kuvo_calculate", {valueFilter(equal("1"), true, "n")}),
         "true", {}},
        {"parameter filter without a name", eventFilter(0, "kuvo_calculate", {valueFilter(equal("1"))}),
         "not evaluated", {kAPMEventFilterNoParameterNameCode}},
        {"a list parameter has no number", eventFilter(0, "kuvo_calculate", {valueFilter(equal("1"), false, "steps")}),
         "not evaluated", {}},
        {"a list parameter is not a string",
         eventFilter(0, "kuvo_calculate", {valueFilter(stringFilter(5, "x"), false, "steps")}), "not evaluated",
         {kAPMFilterValueNotStringCode}},
    };
    for (const auto& c : cases) {
        CAPTURE(c.label);
        APMMonitorCapture capture;
        CHECK(show(evaluate(c.filter, "kuvo_calculate", parameters, aggregates)) == c.expected);
        CHECK(capture.codes() == c.codes);
    }
    SUBCASE("aggregates of another event, no filter, no name") {
        APMMonitorCapture capture;
        const APMEventAggregates other("kuvo_got_error", 1, 1, 1, 0);
        CHECK_FALSE(evaluate(eventFilter(0, "kuvo_calculate", {}, equal("1")), "kuvo_calculate", {}, other));
        CHECK(evaluate(eventFilter(0, "kuvo_calculate"), "kuvo_calculate", {}, other) == true);
        CHECK_FALSE(APMEvaluateEventFilter(nullptr, "kuvo_calculate", {}, aggregates));
        CHECK_FALSE(evaluate(eventFilter(0, ""), "", {}, aggregates));
        CHECK(capture.codes() ==
              std::vector<long>{kAPMEventAggregatesNameMismatchCode, kAPMEventFilterMissingCode, kAPMEventNameMissingCode});
    }
}

TEST_CASE("property filters: a string value compares as a number") {
    APMMonitorCapture quiet;
    const auto equalTen = valueFilter(numberFilter(kAPMComparisonEqual, "10"));
    struct Case {
        const char* label;
        APMValue value;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"string 10", APMValue(std::string("10")), "true"},
        {"string 10.0", APMValue(std::string("10.0")), "true"},
        {"string ten", APMValue(std::string("ten")), "not evaluated"},
        {"integer 10", APMValue(std::int64_t{10}), "true"},
        {"double 10", APMValue(10.0), "true"},
        {"integer 11", APMValue(std::int64_t{11}), "false"},
        {"a list", APMValue(std::vector<APMParameters>{}), "not evaluated"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.label);
        const APMUserAttribute property("app", "tier", c.value, 0);
        const auto filter = propertyFilter(0, "tier", equalTen);
        CHECK(show(APMEvaluatePropertyFilter(&filter, &property)) == c.expected);
    }
    SUBCASE("what stops a property filter") {
        APMMonitorCapture capture;
        const APMUserAttribute property("app", "tier", APMValue(std::string("10")), 0);
        const auto other = propertyFilter(0, "level", equalTen);
        const auto empty = propertyFilter(0, "tier", std::nullopt);
        const auto filter = propertyFilter(0, "tier", equalTen);
        CHECK_FALSE(APMEvaluatePropertyFilter(nullptr, &property));
        CHECK_FALSE(APMEvaluatePropertyFilter(&filter, nullptr));
        CHECK_FALSE(APMEvaluatePropertyFilter(&other, &property));
        CHECK_FALSE(APMEvaluatePropertyFilter(&empty, &property));
        const APMUserAttribute list("app", "tier", APMValue(std::vector<APMParameters>{}), 0);
        CHECK_FALSE(APMEvaluatePropertyFilter(&filter, &list));
        CHECK(capture.codes() == std::vector<long>{kAPMPropertyFilterMissingCode, kAPMUserPropertyMissingCode,
                                                   kAPMPropertyFilterNameMismatchCode, kAPMPropertyFilterNoFilterCode,
                                                   kAPMUserPropertyUnknownTypeCode});
    }
}
