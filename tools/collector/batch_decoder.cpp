// Encoded batch -> value tree, read through the message accessors.
#include <pb_decode.h>

#include <cinttypes>
#include <cstdio>

#include "measurement/foundation/messages.h"
#include "tools/collector/batch_description.h"
#include "tools/collector/bundle_field_labels.h"
#include "tools/collector/time_format.h"

namespace tools::collector {

namespace {

using measurement::APMPBAudienceLeafFilterResult;
using measurement::APMPBDynamicFilterResultTimestamp;
using measurement::APMPBEvent;
using measurement::APMPBEventParam;
using measurement::APMPBEventParamDictionary;
using measurement::APMPBMeasurementBatch;
using measurement::APMPBMeasurementBundle;
using measurement::APMPBResultData;
using measurement::APMPBSequenceFilterResultTimestamp;
using measurement::APMPBUserAttribute;
using measurement::NANOGetArray;
using measurement::NANOGetMessage;
using measurement::NANOHasField;
using platform::Value;

template <class M>
int at(int tag) {
    return measurement::NANOFieldIndexForTag<M>(tag);
}

Value timeValue(std::int64_t millis) {
    Value::Dictionary time{{"millis", Value(static_cast<long long>(millis))}};
    if (auto utc = isoTimeFromMillis(millis)) time["utc"] = *utc;
    return time;
}

template <class M>
void putString(Value::Dictionary& out, const char* key, const M& message, int tag) {
    if (auto text = measurement::NANOGetString(message, at<M>(tag))) out[key] = *text;
}

template <class M>
void putInt32(Value::Dictionary& out, const char* key, const M& message, int tag) {
    if (NANOHasField(message, at<M>(tag))) out[key] = measurement::NANOGetInt32(message, at<M>(tag));
}

template <class M>
void putInt64(Value::Dictionary& out, const char* key, const M& message, int tag) {
    if (NANOHasField(message, at<M>(tag))) {
        out[key] = static_cast<long long>(measurement::NANOGetInt64(message, at<M>(tag)));
    }
}

template <class M>
void putDouble(Value::Dictionary& out, const char* key, const M& message, int tag) {
    if (NANOHasField(message, at<M>(tag))) out[key] = measurement::NANOGetDouble(message, at<M>(tag));
}

template <class M>
void putBool(Value::Dictionary& out, const char* key, const M& message, int tag) {
    if (NANOHasField(message, at<M>(tag))) out[key] = measurement::NANOGetBool(message, at<M>(tag));
}

template <class M>
void putTime(Value::Dictionary& out, const char* key, const M& message, int tag) {
    if (NANOHasField(message, at<M>(tag))) out[key] = timeValue(measurement::NANOGetInt64(message, at<M>(tag)));
}

// A repeated field, each element converted.
template <class Element, class M, class Convert>
Value::Array listOf(const M& message, int tag, Convert convert) {
    Value::Array list;
    for (const auto& element : NANOGetArray<Element>(message, at<M>(tag))) list.push_back(convert(element));
    return list;
}

// A repeated field, left out when empty (the wire cannot tell empty from
// unset).
template <class Element, class M, class Convert>
void putList(Value::Dictionary& out, const char* key, const M& message, int tag, Convert convert) {
    Value::Array list = listOf<Element>(message, tag, convert);
    if (!list.empty()) out[key] = std::move(list);
}

// The typed value of a parameter or a user property, from whichever of its
// value fields is set.
template <class M>
void putTypedValue(Value::Dictionary& out, const M& message, int stringTag, int intTag, int doubleTag) {
    putString(out, "string", message, stringTag);
    putInt64(out, "int", message, intTag);
    putDouble(out, "double", message, doubleTag);
}

Value parameterValue(const APMPBEventParam& parameter);

Value parameterList(const APMPBEventParamDictionary& dictionary) {
    return listOf<APMPBEventParam>(dictionary, nano_APMPBEventParamDictionary_params_tag, parameterValue);
}

Value parameterValue(const APMPBEventParam& parameter) {
    Value::Dictionary out;
    putString(out, "name", parameter, nano_APMPBEventParam_name_tag);
    putTypedValue(out, parameter, nano_APMPBEventParam_string_value_tag, nano_APMPBEventParam_int_value_tag,
                  nano_APMPBEventParam_double_value_tag);
    putList<APMPBEventParamDictionary>(out, "list", parameter, nano_APMPBEventParam_list_value_tag, parameterList);
    return out;
}

Value eventValue(const APMPBEvent& event) {
    Value::Dictionary out;
    putString(out, "name", event, nano_APMPBEvent_name_tag);
    putTime(out, "time", event, nano_APMPBEvent_timestamp_millis_tag);
    putTime(out, "previous_time", event, nano_APMPBEvent_previous_timestamp_millis_tag);
    out["params"] = listOf<APMPBEventParam>(event, nano_APMPBEvent_params_tag, parameterValue);
    return out;
}

Value userPropertyValue(const APMPBUserAttribute& property) {
    Value::Dictionary out;
    putString(out, "name", property, nano_APMPBUserAttribute_name_tag);
    putTime(out, "set_time", property, nano_APMPBUserAttribute_set_timestamp_millis_tag);
    putTypedValue(out, property, nano_APMPBUserAttribute_string_value_tag, nano_APMPBUserAttribute_int_value_tag,
                  nano_APMPBUserAttribute_double_value_tag);
    return out;
}

// Filter-result bit words, as a person compares them: in hexadecimal.
Value hexWord(std::uint64_t word) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%" PRIx64, word);
    return std::string(text);
}

// The filters a result has evaluated, split by their latest outcome: filter
// f is bit f % 64 of word f / 64 of the status words (evaluated) and of the
// result words (true).
void putFilterOutcomes(Value::Dictionary& out, const APMPBResultData& data) {
    const auto status = NANOGetArray<std::uint64_t>(data, at<APMPBResultData>(nano_APMPBResultData_status_words_tag));
    const auto results = NANOGetArray<std::uint64_t>(data, at<APMPBResultData>(nano_APMPBResultData_result_words_tag));
    std::vector<long long> trueFilters;
    std::vector<long long> falseFilters;
    for (std::size_t word = 0; word < status.size(); ++word) {
        for (unsigned bit = 0; bit < 64; ++bit) {
            if (!((status[word] >> bit) & 1)) continue;
            const bool isTrue = word < results.size() && ((results[word] >> bit) & 1);
            (isTrue ? trueFilters : falseFilters).push_back(static_cast<long long>(word * 64 + bit));
        }
    }
    out["true_filters"] = Value(Value::Array(trueFilters.begin(), trueFilters.end()));
    out["false_filters"] = Value(Value::Array(falseFilters.begin(), falseFilters.end()));
}

Value resultDataValue(const APMPBResultData& data) {
    Value::Dictionary out;
    putList<std::uint64_t>(out, "status_words", data, nano_APMPBResultData_status_words_tag, hexWord);
    putList<std::uint64_t>(out, "result_words", data, nano_APMPBResultData_result_words_tag, hexWord);
    putFilterOutcomes(out, data);
    putList<APMPBDynamicFilterResultTimestamp>(
        out, "dynamic_filter_timestamps", data, nano_APMPBResultData_dynamic_filter_timestamps_tag,
        [](const auto& entry) {
            Value::Dictionary item;
            putInt32(item, "filter_id", entry, nano_APMPBDynamicFilterResultTimestamp_filter_id_tag);
            putInt64(item, "timestamp_seconds", entry, nano_APMPBDynamicFilterResultTimestamp_timestamp_seconds_tag);
            return Value(std::move(item));
        });
    putList<APMPBSequenceFilterResultTimestamp>(
        out, "sequence_filter_timestamps", data, nano_APMPBResultData_sequence_filter_timestamps_tag,
        [](const auto& entry) {
            Value::Dictionary item;
            putInt32(item, "filter_id", entry, nano_APMPBSequenceFilterResultTimestamp_filter_id_tag);
            putList<std::int64_t>(item, "timestamps_seconds", entry,
                                  nano_APMPBSequenceFilterResultTimestamp_timestamps_seconds_tag,
                                  [](std::int64_t seconds) { return Value(static_cast<long long>(seconds)); });
            return Value(std::move(item));
        });
    return out;
}

Value audienceResultValue(const APMPBAudienceLeafFilterResult& result) {
    using Result = APMPBAudienceLeafFilterResult;
    Value::Dictionary out;
    putInt32(out, "audience_id", result, nano_APMPBAudienceLeafFilterResult_audience_id_tag);
    putBool(out, "new_audience", result, nano_APMPBAudienceLeafFilterResult_new_audience_tag);
    if (auto current =
            NANOGetMessage<APMPBResultData>(result, at<Result>(nano_APMPBAudienceLeafFilterResult_current_data_tag))) {
        out["current_data"] = resultDataValue(*current);
    }
    if (auto previous =
            NANOGetMessage<APMPBResultData>(result, at<Result>(nano_APMPBAudienceLeafFilterResult_previous_data_tag))) {
        out["previous_data"] = resultDataValue(*previous);
    }
    return out;
}

void putBundleField(Value::Dictionary& out, const BundleField& field, const APMPBMeasurementBundle& bundle) {
    switch (field.kind) {
        case BundleFieldKind::String: putString(out, field.key, bundle, field.tag); break;
        case BundleFieldKind::Int32:
        case BundleFieldKind::TrackingStatus: putInt32(out, field.key, bundle, field.tag); break;
        case BundleFieldKind::Int64: putInt64(out, field.key, bundle, field.tag); break;
        case BundleFieldKind::Bool: putBool(out, field.key, bundle, field.tag); break;
        case BundleFieldKind::Time: putTime(out, field.key, bundle, field.tag); break;
        case BundleFieldKind::StringList:
            putList<std::string>(out, field.key, bundle, field.tag, [](const std::string& s) { return Value(s); });
            break;
        case BundleFieldKind::Int32List:
            putList<std::int32_t>(out, field.key, bundle, field.tag, [](std::int32_t n) { return Value(n); });
            break;
    }
}

Value bundleValue(const APMPBMeasurementBundle& bundle) {
    Value::Dictionary out;
    for (const auto& field : kBundleFields) putBundleField(out, field, bundle);
    out["user_properties"] = listOf<APMPBUserAttribute>(bundle, kBundleUserPropertiesTag, userPropertyValue);
    out["events"] = listOf<APMPBEvent>(bundle, kBundleEventsTag, eventValue);
    putList<APMPBAudienceLeafFilterResult>(out, "audience_results", bundle, kBundleAudienceResultsTag,
                                           audienceResultValue);
    return out;
}

// The decoder's own account of why the bytes are no batch.
std::string decodeFailure(const Bytes& encoded) {
    const std::string prefix = "not a measurement batch (" + std::to_string(encoded.size()) + " bytes): ";
    // The decoder recurses once a level: too deep a batch would exhaust the
    // stack before it could say why.
    if (!measurement::NANONestsWithinLimit(nano_APMPBMeasurementBatch_fields, sizeof(nano_APMPBMeasurementBatch),
                                           encoded.data(), encoded.size())) {
        return prefix + "messages nested too deeply";
    }
    nano_APMPBMeasurementBatch message = nano_APMPBMeasurementBatch_init_zero;
    pb_istream_t stream = pb_istream_from_buffer(encoded.data(), encoded.size());
    const bool decoded = pb_decode(&stream, nano_APMPBMeasurementBatch_fields, &message);
    const std::string reason = decoded ? "unreadable" : PB_GET_ERROR(&stream);
    pb_release(nano_APMPBMeasurementBatch_fields, &message);
    return prefix + reason;
}

}  // namespace

std::optional<Value> batchValue(const Bytes& encoded, std::string* error) {
    const auto batch = APMPBMeasurementBatch::initWithBuffer(encoded);
    if (!batch) {
        if (error) *error = decodeFailure(encoded);
        return std::nullopt;
    }
    return Value(Value::Dictionary{{"bundles", listOf<APMPBMeasurementBundle>(*batch, nano_APMPBMeasurementBatch_bundles_tag, bundleValue)}});
}

std::optional<std::string> batchText(const Bytes& encoded, std::string* error) {
    auto batch = batchValue(encoded, error);
    if (!batch) return std::nullopt;
    return batchText(*batch);
}

}  // namespace tools::collector
