#pragma once

// Field indices of the audience messages, from the generated tags. Every
// audience message numbers its fields 1, 2, 3 ... without gaps.

#include "measurement/foundation/messages.h"

namespace measurement::audience_field {

#define APM_AUDIENCE_FIELD(name, message, field) \
    inline constexpr int name = APMPBFieldIndexForTag(nano_##message##_##field##_tag)

APM_AUDIENCE_FIELD(kAudienceID, APMPBAudience, audience_id);
APM_AUDIENCE_FIELD(kAudiencePropertyFilters, APMPBAudience, property_filters);
APM_AUDIENCE_FIELD(kAudienceEventFilters, APMPBAudience, event_filters);

APM_AUDIENCE_FIELD(kEventFilterID, APMPBEventFilter, filter_id);
APM_AUDIENCE_FIELD(kEventFilterEventName, APMPBEventFilter, event_name);
APM_AUDIENCE_FIELD(kEventFilterParameterFilters, APMPBEventFilter, parameter_filters);
APM_AUDIENCE_FIELD(kEventFilterCountFilter, APMPBEventFilter, event_count_filter);
APM_AUDIENCE_FIELD(kEventFilterDynamic, APMPBEventFilter, dynamic);
APM_AUDIENCE_FIELD(kEventFilterSequence, APMPBEventFilter, sequence);
APM_AUDIENCE_FIELD(kEventFilterSessionScoped, APMPBEventFilter, session_scoped);

APM_AUDIENCE_FIELD(kPropertyFilterID, APMPBPropertyFilter, filter_id);
APM_AUDIENCE_FIELD(kPropertyFilterName, APMPBPropertyFilter, property_name);
APM_AUDIENCE_FIELD(kPropertyFilterFilter, APMPBPropertyFilter, filter);
APM_AUDIENCE_FIELD(kPropertyFilterDynamic, APMPBPropertyFilter, dynamic);
APM_AUDIENCE_FIELD(kPropertyFilterSequence, APMPBPropertyFilter, sequence);
APM_AUDIENCE_FIELD(kPropertyFilterSessionScoped, APMPBPropertyFilter, session_scoped);

APM_AUDIENCE_FIELD(kFilterString, APMPBFilter, string_filter);
APM_AUDIENCE_FIELD(kFilterNumber, APMPBFilter, number_filter);
APM_AUDIENCE_FIELD(kFilterComplement, APMPBFilter, complement);
APM_AUDIENCE_FIELD(kFilterParameterName, APMPBFilter, parameter_name);

APM_AUDIENCE_FIELD(kStringMatchType, APMPBStringFilter, match_type);
APM_AUDIENCE_FIELD(kStringExpression, APMPBStringFilter, expression);
APM_AUDIENCE_FIELD(kStringCaseSensitive, APMPBStringFilter, case_sensitive);
APM_AUDIENCE_FIELD(kStringExpressionList, APMPBStringFilter, expression_list);

APM_AUDIENCE_FIELD(kNumberComparisonType, APMPBNumberFilter, comparison_type);
APM_AUDIENCE_FIELD(kNumberMatchAsFloat, APMPBNumberFilter, match_as_float);
APM_AUDIENCE_FIELD(kNumberComparisonValue, APMPBNumberFilter, comparison_value);
APM_AUDIENCE_FIELD(kNumberMinValue, APMPBNumberFilter, min_comparison_value);
APM_AUDIENCE_FIELD(kNumberMaxValue, APMPBNumberFilter, max_comparison_value);

APM_AUDIENCE_FIELD(kResultStatusWords, APMPBResultData, status_words);
APM_AUDIENCE_FIELD(kResultResultWords, APMPBResultData, result_words);
APM_AUDIENCE_FIELD(kResultDynamicTimestamps, APMPBResultData, dynamic_filter_timestamps);
APM_AUDIENCE_FIELD(kResultSequenceTimestamps, APMPBResultData, sequence_filter_timestamps);

APM_AUDIENCE_FIELD(kDynamicTimestampFilterID, APMPBDynamicFilterResultTimestamp, filter_id);
APM_AUDIENCE_FIELD(kDynamicTimestampSeconds, APMPBDynamicFilterResultTimestamp, timestamp_seconds);
APM_AUDIENCE_FIELD(kSequenceTimestampFilterID, APMPBSequenceFilterResultTimestamp, filter_id);
APM_AUDIENCE_FIELD(kSequenceTimestampSeconds, APMPBSequenceFilterResultTimestamp, timestamps_seconds);

APM_AUDIENCE_FIELD(kLeafAudienceID, APMPBAudienceLeafFilterResult, audience_id);
APM_AUDIENCE_FIELD(kLeafCurrentData, APMPBAudienceLeafFilterResult, current_data);
APM_AUDIENCE_FIELD(kLeafPreviousData, APMPBAudienceLeafFilterResult, previous_data);
APM_AUDIENCE_FIELD(kLeafNewAudience, APMPBAudienceLeafFilterResult, new_audience);

#undef APM_AUDIENCE_FIELD

}  // namespace measurement::audience_field
