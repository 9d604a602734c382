// Tests of the audience definition check.
#include <doctest/doctest.h>

#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_test_support.h"
#include "measurement/audience/audience_validation.h"

using namespace measurement;
using namespace measurement::audience_test;

namespace {

APMPBEventFilter plainEvent(std::int32_t filterID) { return eventFilter(filterID, "kuvo_calculate"); }

APMPBPropertyFilter plainProperty(std::int32_t filterID) {
    return propertyFilter(filterID, "tier", valueFilter(stringFilter(kAPMMatchExact, "gold")));
}

std::vector<APMPBEventFilter> events(int count) {
    std::vector<APMPBEventFilter> filters;
    for (int i = 0; i < count; ++i) filters.push_back(plainEvent(i));
    return filters;
}

APMPBFilter bothKinds() {
    auto filter = valueFilter(numberFilter(kAPMComparisonEqual, "1"), false, "n");
    NANOSetMessage(filter, audience_field::kFilterString, stringFilter(kAPMMatchExact, "1"));
    return filter;
}

APMPBFilter neitherKind() {
    APMPBFilter filter;
    NANOSetString(filter, audience_field::kFilterParameterName, std::string("n"));
    return filter;
}

}  // namespace

TEST_CASE("the definition check names the first failure") {
    APMMonitorCapture quiet;
    APMPBEventFilter noID = plainEvent(0);
    NANOClearField(noID, audience_field::kEventFilterID);
    APMPBPropertyFilter propertyNoID = plainProperty(0);
    NANOClearField(propertyNoID, audience_field::kPropertyFilterID);
    auto floatCount = numberFilter(kAPMComparisonGreaterThan, "1");
    NANOSetBool(floatCount, audience_field::kNumberMatchAsFloat, true);
    std::vector<APMPBFilter> parameters26;
    for (int i = 0; i < 26; ++i) {
        parameters26.push_back(valueFilter(numberFilter(kAPMComparisonEqual, "1"), false, "p" + std::to_string(i)));
    }

    struct Case {
        const char* label;
        APMPBAudience audience;
        long code;  // 0: accepted
        const char* description;
    };
    const std::vector<Case> cases = {
        {"ten filters", audience(1, events(10)), 0, ""},
        {"one property filter", audience(1, {}, {plainProperty(9)}), 0, ""},
        {"no ID", audience(std::nullopt, events(1)), 9, "Missing audience ID"},
        {"negative ID", audience(-1, events(1)), 9, "Audience ID is negative"},
        {"already accepted", audience(7, events(1)), 9, "Duplicate audience ID"},
        {"no filters", audience(1, {}), 9, "Audience filter count out of range"},
        {"eleven filters", audience(1, events(11)), 9, "Audience filter count out of range"},
        {"filter ID 10 alone", audience(1, {plainEvent(10)}), 10, "Event filter ID is out of range"},
        {"negative filter ID", audience(1, {plainEvent(-1)}), 10, "Event filter ID is out of range"},
        {"no event name", audience(1, {eventFilter(0, "")}), 10, "Event filter missing event name"},
        {"no event filter ID", audience(1, {noID}), 10, "Missing event filter ID"},
        {"duplicate event filter ID", audience(1, {plainEvent(2), plainEvent(2)}), 10, "Duplicate event filter ID"},
        {"float count", audience(1, {eventFilter(0, "e", {}, floatCount)}), 10,
         "Event filter has float event count filter"},
        {"invalid count", audience(1, {eventFilter(0, "e", {}, numberFilter(kAPMComparisonEqual, "x"))}), 10,
         "Event filter has invalid event count filter"},
        {"26 parameter filters", audience(1, {eventFilter(0, "e", parameters26)}), 10,
         "Event filter parameters filters count out of range"},
        {"parameter without name", audience(1, {eventFilter(0, "e", {valueFilter(numberFilter(3, "1"))})}), 10,
         "Event filter missing parameter name"},
        {"parameter with both kinds", audience(1, {eventFilter(0, "e", {bothKinds()})}), 10,
         "Event filter must have exactly one of number or string filter"},
        {"parameter with neither kind", audience(1, {eventFilter(0, "e", {neitherKind()})}), 10,
         "Event filter must have exactly one of number or string filter"},
        {"invalid parameter number", audience(1, {eventFilter(0, "e", {valueFilter(numberFilter(9, "1"), false, "n")})}),
         10, "Event filter has invalid number filter"},
        {"invalid parameter string",
         audience(1, {eventFilter(0, "e", {valueFilter(stringFilter(1, "(("), false, "n")})}), 10,
         "Event filter has invalid string filter"},
        {"no property name", audience(1, {}, {propertyFilter(0, "", valueFilter(stringFilter(5, "x")))}), 11,
         "Property filter missing property name"},
        {"no property filter ID", audience(1, {}, {propertyNoID}), 11, "Missing property filter ID"},
        {"property filter ID out of range", audience(1, {}, {plainProperty(10)}), 11,
         "Property filter ID is out of range"},
        {"event and property share an ID", audience(1, {plainEvent(3)}, {plainProperty(3)}), 11,
         "Duplicate property filter ID"},
        {"property without value filter", audience(1, {}, {propertyFilter(0, "tier", std::nullopt)}), 11,
         "Property filter has no filter"},
        {"property value filter with neither kind", audience(1, {}, {propertyFilter(0, "tier", APMPBFilter())}), 11,
         "Property filter must have exactly one of number or string filter"},
        {"invalid property number", audience(1, {}, {propertyFilter(0, "tier", valueFilter(numberFilter(0, "1")))}),
         11, "Property filter has invalid number filter"},
        {"invalid property string", audience(1, {}, {propertyFilter(0, "tier", valueFilter(listFilter({})))}), 11,
         "Property filter has invalid string filter"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.label);
        std::optional<APMError> error;
        const bool accepted = APMValidateAudience(c.audience, {7}, &error);
        CHECK(accepted == (c.code == 0));
        if (c.code == 0) {
            CHECK_FALSE(error);
            continue;
        }
        REQUIRE(error);
        CHECK(error->domain() == kAPMErrorDomain);
        CHECK(error->code() == c.code);
        CHECK(error->localizedDescription() == c.description);
    }
}

TEST_CASE("the definition check follows the server's limits") {
    APMMonitorCapture quiet;
    APMAudienceLimits limits;
    limits.maxFiltersPerAudience = 12;
    limits.maxParametersPerFilter = 1;
    CHECK(APMValidateAudience(audience(1, events(12)), {}, nullptr, limits));
    CHECK(APMValidateAudience(audience(1, {plainEvent(11)}), {}, nullptr, limits));
    const auto two = eventFilter(0, "e", {valueFilter(numberFilter(3, "1"), false, "a"),
                                          valueFilter(numberFilter(3, "1"), false, "b")});
    CHECK_FALSE(APMValidateAudience(audience(1, {two}), {}, nullptr, limits));
    limits.maxFiltersPerAudience = 0;
    CHECK_FALSE(APMValidateAudience(audience(1, events(1)), {}, nullptr, limits));
}
