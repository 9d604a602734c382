// Readable texts of the audience messages for diagnostics.
#include "measurement/audience/filter_description.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "measurement/audience/audience_fields.h"

namespace measurement {

namespace {

using namespace audience_field;

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + '"';
}

// Collects "name: value" parts and closes them in braces.
class Fields {
public:
    explicit Fields(const NANOMessageBase& message) : message_(message) {}

    Fields& add(const char* name, const std::string& text) {
        parts_.push_back(std::string(name) + ": " + text);
        return *this;
    }
    Fields& int32(const char* name, int index) {
        if (NANOHasField(message_, index)) add(name, std::to_string(NANOGetInt32(message_, index)));
        return *this;
    }
    // Unsigned fields keep their bits in the 32-bit getter.
    Fields& uint32(const char* name, int index) {
        if (NANOHasField(message_, index)) {
            add(name, std::to_string(static_cast<std::uint32_t>(NANOGetInt32(message_, index))));
        }
        return *this;
    }
    Fields& int64(const char* name, int index) {
        if (NANOHasField(message_, index)) add(name, std::to_string(NANOGetInt64(message_, index)));
        return *this;
    }
    Fields& boolean(const char* name, int index) {
        if (NANOHasField(message_, index)) add(name, NANOGetBool(message_, index) ? "true" : "false");
        return *this;
    }
    Fields& string(const char* name, int index) {
        if (auto text = NANOGetString(message_, index)) add(name, quoted(*text));
        return *this;
    }
    Fields& strings(const char* name, int index) {
        return list(name, NANOGetArray<std::string>(message_, index), quoted);
    }
    template <class M>
    Fields& message(const char* name, int index, std::string (*describe)(const M&)) {
        if (auto sub = NANOGetMessage<M>(message_, index)) add(name, describe(*sub));
        return *this;
    }
    template <class M>
    Fields& messages(const char* name, int index, std::string (*describe)(const M&)) {
        return list(name, NANOGetArray<M>(message_, index), describe);
    }
    template <class T, class Describe>
    Fields& list(const char* name, const std::vector<T>& items, Describe describe) {
        if (items.empty()) return *this;
        std::string text = "[";
        for (std::size_t i = 0; i < items.size(); ++i) text += (i ? ", " : "") + describe(items[i]);
        return add(name, text + "]");
    }

    std::string text() const {
        std::string out = "{";
        for (std::size_t i = 0; i < parts_.size(); ++i) out += (i ? ", " : "") + parts_[i];
        return out + "}";
    }

private:
    const NANOMessageBase& message_;
    std::vector<std::string> parts_;
};

std::string hexWord(std::uint64_t word) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%" PRIx64, word);
    return text;
}

std::string describeDynamic(const APMPBDynamicFilterResultTimestamp& entry) {
    return Fields(entry)
        .int32("filter_id", kDynamicTimestampFilterID)
        .int64("timestamp_seconds", kDynamicTimestampSeconds)
        .text();
}

std::string describeSequence(const APMPBSequenceFilterResultTimestamp& entry) {
    return Fields(entry)
        .int32("filter_id", kSequenceTimestampFilterID)
        .list("timestamps_seconds", NANOGetArray<std::int64_t>(entry, kSequenceTimestampSeconds),
              [](std::int64_t seconds) { return std::to_string(seconds); })
        .text();
}

}  // namespace

std::string APMDescriptionOfStringFilter(const APMPBStringFilter& filter) {
    return Fields(filter)
        .uint32("match_type", kStringMatchType)
        .string("expression", kStringExpression)
        .boolean("case_sensitive", kStringCaseSensitive)
        .strings("expression_list", kStringExpressionList)
        .text();
}

std::string APMDescriptionOfNumberFilter(const APMPBNumberFilter& filter) {
    return Fields(filter)
        .uint32("comparison_type", kNumberComparisonType)
        .boolean("match_as_float", kNumberMatchAsFloat)
        .string("comparison_value", kNumberComparisonValue)
        .string("min_comparison_value", kNumberMinValue)
        .string("max_comparison_value", kNumberMaxValue)
        .text();
}

std::string APMDescriptionOfFilter(const APMPBFilter& filter) {
    return Fields(filter)
        .message("string_filter", kFilterString, APMDescriptionOfStringFilter)
        .message("number_filter", kFilterNumber, APMDescriptionOfNumberFilter)
        .boolean("complement", kFilterComplement)
        .string("parameter_name", kFilterParameterName)
        .text();
}

std::string APMDescriptionOfEventFilter(const APMPBEventFilter& filter) {
    return Fields(filter)
        .int32("filter_id", kEventFilterID)
        .string("event_name", kEventFilterEventName)
        .messages("parameter_filters", kEventFilterParameterFilters, APMDescriptionOfFilter)
        .message("event_count_filter", kEventFilterCountFilter, APMDescriptionOfNumberFilter)
        .boolean("dynamic", kEventFilterDynamic)
        .boolean("sequence", kEventFilterSequence)
        .boolean("session_scoped", kEventFilterSessionScoped)
        .text();
}

std::string APMDescriptionOfPropertyFilter(const APMPBPropertyFilter& filter) {
    return Fields(filter)
        .int32("filter_id", kPropertyFilterID)
        .string("property_name", kPropertyFilterName)
        .message("filter", kPropertyFilterFilter, APMDescriptionOfFilter)
        .boolean("dynamic", kPropertyFilterDynamic)
        .boolean("sequence", kPropertyFilterSequence)
        .boolean("session_scoped", kPropertyFilterSessionScoped)
        .text();
}

std::string APMDescriptionOfAudience(const APMPBAudience& audience) {
    return Fields(audience)
        .int32("audience_id", kAudienceID)
        .messages("property_filters", kAudiencePropertyFilters, APMDescriptionOfPropertyFilter)
        .messages("event_filters", kAudienceEventFilters, APMDescriptionOfEventFilter)
        .text();
}

std::string APMDescriptionOfResultData(const APMPBResultData& data) {
    return Fields(data)
        .list("status_words", NANOGetArray<std::uint64_t>(data, kResultStatusWords), hexWord)
        .list("result_words", NANOGetArray<std::uint64_t>(data, kResultResultWords), hexWord)
        .messages("dynamic_filter_timestamps", kResultDynamicTimestamps, describeDynamic)
        .messages("sequence_filter_timestamps", kResultSequenceTimestamps, describeSequence)
        .text();
}

}  // namespace measurement
