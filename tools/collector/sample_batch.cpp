// A sample batch of two bundles for the collector's tests.
#include "tools/collector/sample_batch.h"

#include <climits>

#include "measurement/foundation/bundle_tags.h"

namespace tools::collector::testing {

namespace {

namespace tag = measurement::bundle_tag;
namespace user_attribute_field = measurement::user_attribute_field;

using measurement::APMPBEvent;
using measurement::APMPBEventParamDictionary;
using measurement::APMPBMeasurementBatch;
using measurement::APMPBMeasurementBundle;
using measurement::APMPBUserAttribute;

template <class M>
int at(int tag) {
    return measurement::NANOFieldIndexForTag<M>(tag);
}

Parameter named(const std::string& name) {
    Parameter parameter;
    measurement::NANOSetString(parameter, at<Parameter>(1), name);
    return parameter;
}

APMPBUserAttribute property(const std::string& name, std::int64_t setMillis) {
    APMPBUserAttribute attribute;
    measurement::NANOSetString(attribute, user_attribute_field::kName, name);
    measurement::NANOSetInt64(attribute, user_attribute_field::kSetTimestamp, setMillis);
    return attribute;
}

void setString(APMPBMeasurementBundle& bundle, int tag, const std::string& value) {
    measurement::NANOSetString(bundle, measurement::bundleFieldIndex(tag), value);
}

void setInt64(APMPBMeasurementBundle& bundle, int tag, std::int64_t value) {
    measurement::NANOSetInt64(bundle, measurement::bundleFieldIndex(tag), value);
}

void setInt32(APMPBMeasurementBundle& bundle, int tag, std::int32_t value) {
    measurement::NANOSetInt32(bundle, measurement::bundleFieldIndex(tag), value);
}

APMPBMeasurementBundle firstBundle() {
    APMPBMeasurementBundle bundle;
    setString(bundle, tag::kAppID, "velmora-collector-app");
    setInt32(bundle, tag::kBundleIndex, 7);
    setInt64(bundle, tag::kStartTimestamp, 1714564800123);
    setInt64(bundle, tag::kEndTimestamp, 1714564860000);
    setInt64(bundle, tag::kUploadTimestamp, 1714564900000);
    setString(bundle, tag::kPlatform, "ios");
    setString(bundle, tag::kConsentSignals, "G111");
    measurement::NANOSetArray(bundle, measurement::bundleFieldIndex(tag::kExperimentIDs), std::vector<std::int32_t>{11, 12});
    APMPBUserAttribute firstOpen = property("_fot", 1714560000000);
    measurement::NANOSetInt64(firstOpen, user_attribute_field::kIntValue, 1714560000000);
    APMPBUserAttribute tier = property("tier", 1714560000000);
    measurement::NANOSetString(tier, user_attribute_field::kStringValue, "gold");
    measurement::NANOSetArray(bundle, measurement::bundleFieldIndex(tag::kUserAttributes), std::vector{firstOpen, tier});
    const auto items = listParameter(
        "items", {{stringParameter("item_id", "a"), doubleParameter("price", 1.5)},
                  {stringParameter("item_id", "b"), intParameter("quantity", 2)}});
    const auto calculate = event("kuvo_calculate", 1714564801000,
                                 {stringParameter("k", "2"), intParameter("n", 5), doubleParameter("p", 0.3), items});
    measurement::NANOSetArray(bundle, measurement::bundleFieldIndex(tag::kEvents),
                              std::vector{calculate, event("_s", 1714564800500, {})});
    return bundle;
}

measurement::APMPBResultData resultData(std::vector<std::uint64_t> status, std::vector<std::uint64_t> results) {
    using Data = measurement::APMPBResultData;
    Data data;
    measurement::NANOSetArray(data, at<Data>(nano_APMPBResultData_status_words_tag), status);
    measurement::NANOSetArray(data, at<Data>(nano_APMPBResultData_result_words_tag), results);
    return data;
}

// Audience 12, changed since its last report: filters 0, 2 and 64
// evaluated, 2 true, with a dynamic time for 2 and sequence times for 64;
// before, filter 0 alone, true.
measurement::APMPBAudienceLeafFilterResult audienceResult() {
    using Leaf = measurement::APMPBAudienceLeafFilterResult;
    using Dynamic = measurement::APMPBDynamicFilterResultTimestamp;
    using Sequence = measurement::APMPBSequenceFilterResultTimestamp;
    auto current = resultData({0x5, 0x1}, {0x4, 0x0});
    Dynamic dynamic;
    measurement::NANOSetInt32(dynamic, at<Dynamic>(nano_APMPBDynamicFilterResultTimestamp_filter_id_tag), 2);
    measurement::NANOSetInt64(dynamic, at<Dynamic>(nano_APMPBDynamicFilterResultTimestamp_timestamp_seconds_tag),
                              1714568000);
    Sequence sequence;
    measurement::NANOSetInt32(sequence, at<Sequence>(nano_APMPBSequenceFilterResultTimestamp_filter_id_tag), 64);
    measurement::NANOSetArray(sequence, at<Sequence>(nano_APMPBSequenceFilterResultTimestamp_timestamps_seconds_tag),
                              std::vector<std::int64_t>{1714567000, 1714568000});
    measurement::NANOSetArray(current, at<measurement::APMPBResultData>(nano_APMPBResultData_dynamic_filter_timestamps_tag),
                              std::vector{dynamic});
    measurement::NANOSetArray(current,
                              at<measurement::APMPBResultData>(nano_APMPBResultData_sequence_filter_timestamps_tag),
                              std::vector{sequence});
    Leaf leaf;
    measurement::NANOSetInt32(leaf, at<Leaf>(nano_APMPBAudienceLeafFilterResult_audience_id_tag), 12);
    measurement::NANOSetMessage(leaf, at<Leaf>(nano_APMPBAudienceLeafFilterResult_current_data_tag), current);
    measurement::NANOSetMessage(leaf, at<Leaf>(nano_APMPBAudienceLeafFilterResult_previous_data_tag),
                                resultData({0x1}, {0x1}));
    measurement::NANOSetBool(leaf, at<Leaf>(nano_APMPBAudienceLeafFilterResult_new_audience_tag), false);
    return leaf;
}

// Audience 13, reported for the first time: filter 1 evaluated, false.
measurement::APMPBAudienceLeafFilterResult firstAudienceResult() {
    using Leaf = measurement::APMPBAudienceLeafFilterResult;
    Leaf leaf;
    measurement::NANOSetInt32(leaf, at<Leaf>(nano_APMPBAudienceLeafFilterResult_audience_id_tag), 13);
    measurement::NANOSetMessage(leaf, at<Leaf>(nano_APMPBAudienceLeafFilterResult_current_data_tag),
                                resultData({0x2}, {0x0}));
    measurement::NANOSetBool(leaf, at<Leaf>(nano_APMPBAudienceLeafFilterResult_new_audience_tag), true);
    return leaf;
}

APMPBMeasurementBundle secondBundle() {
    APMPBMeasurementBundle bundle;
    setString(bundle, tag::kAppID, "velmora-collector-app");
    setInt32(bundle, tag::kBundleIndex, 8);
    setInt64(bundle, tag::kStartTimestamp, 1714568400000);
    setString(bundle, tag::kConsentSignals, "G1-0");
    setInt32(bundle, tag::kTrackingAuthorizationStatus, 3);
    const auto error = event("kuvo_got_error", 1714568400001,
                             {stringParameter("error", "Line\nbreak"), intParameter("count", INT64_MIN)});
    measurement::NANOSetArray(bundle, measurement::bundleFieldIndex(tag::kEvents), std::vector{error});
    measurement::NANOSetArray(bundle, measurement::bundleFieldIndex(tag::kAudienceResults),
                              std::vector{audienceResult(), firstAudienceResult()});
    return bundle;
}

}  // namespace

Parameter stringParameter(const std::string& name, const std::string& value) {
    Parameter parameter = named(name);
    measurement::NANOSetString(parameter, at<Parameter>(2), value);
    return parameter;
}

Parameter intParameter(const std::string& name, std::int64_t value) {
    Parameter parameter = named(name);
    measurement::NANOSetInt64(parameter, at<Parameter>(3), value);
    return parameter;
}

Parameter doubleParameter(const std::string& name, double value) {
    Parameter parameter = named(name);
    measurement::NANOSetDouble(parameter, at<Parameter>(4), value);
    return parameter;
}

Parameter listParameter(const std::string& name, const std::vector<std::vector<Parameter>>& dictionaries) {
    std::vector<APMPBEventParamDictionary> list;
    for (const auto& parameters : dictionaries) {
        APMPBEventParamDictionary dictionary;
        measurement::NANOSetArray(dictionary, at<APMPBEventParamDictionary>(1), parameters);
        list.push_back(std::move(dictionary));
    }
    Parameter parameter = named(name);
    measurement::NANOSetArray(parameter, at<Parameter>(5), list);
    return parameter;
}

APMPBEvent event(const std::string& name, std::int64_t millis, const std::vector<Parameter>& parameters) {
    APMPBEvent event;
    measurement::NANOSetString(event, at<APMPBEvent>(2), name);
    measurement::NANOSetInt64(event, at<APMPBEvent>(3), millis);
    measurement::NANOSetArray(event, at<APMPBEvent>(1), parameters);
    return event;
}

Bytes sampleBatch() {
    APMPBMeasurementBatch batch;
    measurement::NANOSetArray(batch, at<APMPBMeasurementBatch>(1), std::vector{firstBundle(), secondBundle()});
    return batch.protoBuffer();
}

}  // namespace tools::collector::testing
