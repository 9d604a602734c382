// The event-filter, property-filter and value-filter checks.
#include "measurement/audience/filter_evaluation.h"

#include <cmath>

#include "measurement/audience/audience_codes.h"
#include "measurement/audience/audience_fields.h"
#include "measurement/audience/filter_description.h"
#include "measurement/audience/number_comparison.h"
#include "measurement/audience/string_match.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/names.h"

namespace measurement {

namespace {

using namespace audience_field;
using platform::Value;

APMMonitor& monitor() { return APMMonitor::shared(); }

Value eventContext(const std::string& name) { return Value(APMEventNameForLog(name)); }
Value propertyContext(const std::string& name) { return Value(APMUserPropertyNameForLog(name)); }

APMFilterOutcome compareNumber(const APMPBFilter& filter, const APMPBNumberFilter& number, const APMValue& value) {
    if (value.isString()) {
        const std::string text = value.stringValue();
        if (!isDecimalNumberString(text)) {
            monitor().logWithLevel(kAPMMonitorLevelWarning, kAPMFilterValueNotNumericCode,
                                   "String value is not a numeric value. Audience filter will not be evaluated. "
                                   "Value, filter",
                                   Value(value.description()), Value(APMDescriptionOfFilter(filter)));
            return std::nullopt;
        }
        const auto decimal = decimalNumberFromString(text);
        return decimal ? APMCompareDecimal(number, *decimal) : std::nullopt;
    }
    if (value.isDouble()) {
        if (!std::isfinite(value.doubleValue())) {
            monitor().logWithLevel(kAPMMonitorLevelWarning, kAPMFilterValueOutOfDoubleRangeCode,
                                   "Value is not within double range. Audience filter will not be evaluated",
                                   Value(value.description()), Value(APMDescriptionOfFilter(filter)));
            return std::nullopt;
        }
        return APMCompareDouble(number, value.doubleValue());
    }
    if (value.isInt64()) return APMCompareInt64(number, value.int64Value());
    return std::nullopt;  // a list has no number
}

APMFilterOutcome matchString(const APMPBFilter& filter, const APMPBStringFilter& string, const APMValue& value) {
    if (!value.isString()) {
        monitor().logWithLevel(kAPMMonitorLevelWarning, kAPMFilterValueNotStringCode,
                               "Value is not a string. Audience filter will not be evaluated",
                               Value(value.description()), Value(APMDescriptionOfFilter(filter)));
        return std::nullopt;
    }
    return APMMatchString(string, value.stringValue());
}

// The count filter against the event's count; true when there is none.
APMFilterOutcome evaluateCount(const APMPBEventFilter& filter, const std::string& eventName,
                               const APMEventAggregates& aggregates) {
    const auto countFilter = NANOGetMessage<APMPBNumberFilter>(filter, kEventFilterCountFilter);
    if (!countFilter) return true;
    if (aggregates.name() != eventName) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMEventAggregatesNameMismatchCode,
                               "Event aggregates name does not match event name. Audience filter will not be "
                               "evaluated",
                               eventContext(aggregates.name()), eventContext(eventName),
                               Value(APMDescriptionOfEventFilter(filter)));
        return std::nullopt;
    }
    const bool sessionScoped = NANOGetBool(filter, kEventFilterSessionScoped);
    return APMCompareInt64(*countFilter, sessionScoped ? aggregates.currentSessionCount() : aggregates.lifetimeCount());
}

APMFilterOutcome evaluateParameter(const APMPBFilter& parameterFilter, const APMPBEventFilter& filter,
                                   const std::string& eventName, const APMParameters& parameters) {
    const auto name = NANOGetString(parameterFilter, kFilterParameterName);
    if (!name) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMEventFilterNoParameterNameCode,
                               "Event filter does not have parameter name. Audience filter will not be evaluated",
                               eventContext(eventName), Value(APMDescriptionOfEventFilter(filter)));
        return std::nullopt;
    }
    const auto found = parameters.find(*name);
    if (found == parameters.end()) {
        monitor().logWithLevel(kAPMMonitorLevelWarning, kAPMEventParameterMissingCode,
                               "Event does not have parameter required by filter. Audience filter will not be "
                               "evaluated",
                               eventContext(eventName), Value(APMDescriptionOfParameters(parameters)),
                               Value(APMDescriptionOfFilter(parameterFilter)));
        return std::nullopt;
    }
    if (found->second.isString() && !NANOHasField(parameterFilter, kFilterString)) {
        monitor().logWithLevel(kAPMMonitorLevelWarning, kAPMEventParameterStringWithoutStringFilterCode,
                               "Event param is a string and the filter does not have a string filter. Audience "
                               "filter will not be evaluated. Event name, event params, filter",
                               eventContext(eventName), Value(APMDescriptionOfParameters(parameters)),
                               Value(APMDescriptionOfFilter(parameterFilter)));
        return std::nullopt;
    }
    return APMEvaluateFilter(parameterFilter, found->second);
}

}  // namespace

APMFilterOutcome APMEvaluateFilter(const APMPBFilter& filter, const APMValue& value) {
    APMFilterOutcome outcome;
    if (const auto number = NANOGetMessage<APMPBNumberFilter>(filter, kFilterNumber)) {
        outcome = compareNumber(filter, *number, value);
    } else if (const auto string = NANOGetMessage<APMPBStringFilter>(filter, kFilterString)) {
        outcome = matchString(filter, *string, value);
    } else {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMFilterNeitherNumberNorStringCode,
                               "Filter has neither a number nor string filter. Audience filter will not be evaluated",
                               Value(value.description()), Value(APMDescriptionOfFilter(filter)));
        return std::nullopt;
    }
    if (outcome && NANOGetBool(filter, kFilterComplement)) return !*outcome;
    return outcome;
}

APMFilterOutcome APMEvaluateEventFilter(const APMPBEventFilter* filter, const std::string& eventName,
                                        const APMParameters& parameters, const APMEventAggregates& aggregates) {
    if (!filter) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMEventFilterMissingCode,
                               "Event filter is nil. Audience filter will not be evaluated", eventContext(eventName));
        return std::nullopt;
    }
    if (eventName.empty()) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMEventNameMissingCode,
                               "Event name is nil. Audience filter will not be evaluated", eventContext(eventName));
        return std::nullopt;
    }
    if (NANOGetString(*filter, kEventFilterEventName) != eventName) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMEventFilterNameMismatchCode,
                               "Event filter name does not match event name. Audience filter will not be evaluated",
                               eventContext(eventName));
        return std::nullopt;
    }
    const auto count = evaluateCount(*filter, eventName, aggregates);
    if (count != true) return count;
    for (const auto& parameterFilter : NANOGetArray<APMPBFilter>(*filter, kEventFilterParameterFilters)) {
        const auto outcome = evaluateParameter(parameterFilter, *filter, eventName, parameters);
        if (outcome != true) return outcome;
    }
    return true;
}

APMFilterOutcome APMEvaluatePropertyFilter(const APMPBPropertyFilter* filter, const APMUserAttribute* property) {
    if (!filter) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMPropertyFilterMissingCode,
                               "Property filter is nil. Audience filter will not be evaluated",
                               propertyContext(property ? property->name() : std::string()));
        return std::nullopt;
    }
    if (!property) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMUserPropertyMissingCode,
                               "User property is nil. Audience filter will not be evaluated",
                               Value(APMDescriptionOfPropertyFilter(*filter)));
        return std::nullopt;
    }
    const Value filterText(APMDescriptionOfPropertyFilter(*filter));
    if (NANOGetString(*filter, kPropertyFilterName) != property->name()) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMPropertyFilterNameMismatchCode,
                               "User property name does not match property filter name. Audience filter will not be "
                               "evaluated",
                               propertyContext(property->name()), filterText);
        return std::nullopt;
    }
    const auto valueFilter = NANOGetMessage<APMPBFilter>(*filter, kPropertyFilterFilter);
    if (!valueFilter) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMPropertyFilterNoFilterCode,
                               "Property filter does not have filter. Audience filter will not be evaluated",
                               propertyContext(property->name()), filterText);
        return std::nullopt;
    }
    const APMValue& value = property->value();
    if (!value.isString() && !value.isInt64() && !value.isDouble()) {
        monitor().logWithLevel(kAPMMonitorLevelError, kAPMUserPropertyUnknownTypeCode,
                               "Unknown user property type. Audience filter will not be evaluated. Property Name",
                               propertyContext(property->name()));
        return std::nullopt;
    }
    return APMEvaluateFilter(*valueFilter, value);
}

}  // namespace measurement
