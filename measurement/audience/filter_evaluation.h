#pragma once

// Deciding one audience filter against one event or one user property.

#include <string>

#include "measurement/audience/filter_outcome.h"
#include "measurement/foundation/event_aggregates.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/parameter_value.h"
#include "measurement/foundation/user_attribute.h"

namespace measurement {

// The event's name must be the filter's; then its count (the current
// session's when the filter is session scoped, else the lifetime count)
// against the count filter, and each parameter filter against its
// parameter. A string parameter is never compared as a number. No filter:
// not evaluated.
APMFilterOutcome APMEvaluateEventFilter(const APMPBEventFilter* filter, const std::string& eventName,
                                        const APMParameters& parameters, const APMEventAggregates& aggregates);

// The property's name must be the filter's; its value (a string compares as
// a number against a number filter) against the filter's value filter.
APMFilterOutcome APMEvaluatePropertyFilter(const APMPBPropertyFilter* filter, const APMUserAttribute* property);

// A number filter takes precedence over a string filter; the complement
// inverts a true or false outcome, never "not evaluated".
APMFilterOutcome APMEvaluateFilter(const APMPBFilter& filter, const APMValue& value);

}  // namespace measurement
