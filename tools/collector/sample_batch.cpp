#include "tools/collector/sample_batch.h"

#include <climits>

namespace tools::collector::testing {

namespace {

using measurement::APMPBEvent;
using measurement::APMPBEventParamDictionary;
using measurement::APMPBMeasurementBatch;
using measurement::APMPBMeasurementBundle;
using measurement::APMPBMeasurementBundleFieldIndex;
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
    measurement::NANOSetString(attribute, at<APMPBUserAttribute>(2), name);
    measurement::NANOSetInt64(attribute, at<APMPBUserAttribute>(1), setMillis);
    return attribute;
}

void setString(APMPBMeasurementBundle& bundle, int tag, const std::string& value) {
    measurement::NANOSetString(bundle, APMPBMeasurementBundleFieldIndex(tag), value);
}

void setInt64(APMPBMeasurementBundle& bundle, int tag, std::int64_t value) {
    measurement::NANOSetInt64(bundle, APMPBMeasurementBundleFieldIndex(tag), value);
}

void setInt32(APMPBMeasurementBundle& bundle, int tag, std::int32_t value) {
    measurement::NANOSetInt32(bundle, APMPBMeasurementBundleFieldIndex(tag), value);
}

APMPBMeasurementBundle firstBundle() {
    APMPBMeasurementBundle bundle;
    setString(bundle, 14, "velmora-collector-app");
    setInt32(bundle, 23, 7);
    setInt64(bundle, 5, 1714564800123);
    setInt64(bundle, 6, 1714564860000);
    setInt64(bundle, 4, 1714564900000);
    setString(bundle, 8, "ios");
    setString(bundle, 52, "G111");
    measurement::NANOSetArray(bundle, APMPBMeasurementBundleFieldIndex(45), std::vector<std::int32_t>{11, 12});
    APMPBUserAttribute firstOpen = property("_fot", 1714560000000);
    measurement::NANOSetInt64(firstOpen, at<APMPBUserAttribute>(4), 1714560000000);
    APMPBUserAttribute tier = property("tier", 1714560000000);
    measurement::NANOSetString(tier, at<APMPBUserAttribute>(3), "gold");
    measurement::NANOSetArray(bundle, APMPBMeasurementBundleFieldIndex(3), std::vector{firstOpen, tier});
    const auto items = listParameter(
        "items", {{stringParameter("item_id", "a"), doubleParameter("price", 1.5)},
                  {stringParameter("item_id", "b"), intParameter("quantity", 2)}});
    const auto calculate = event("kuvo_calculate", 1714564801000,
                                 {stringParameter("k", "2"), intParameter("n", 5), doubleParameter("p", 0.3), items});
    measurement::NANOSetArray(bundle, APMPBMeasurementBundleFieldIndex(2),
                              std::vector{calculate, event("_s", 1714564800500, {})});
    return bundle;
}

APMPBMeasurementBundle secondBundle() {
    APMPBMeasurementBundle bundle;
    setString(bundle, 14, "velmora-collector-app");
    setInt32(bundle, 23, 8);
    setInt64(bundle, 5, 1714568400000);
    setString(bundle, 52, "G1-0");
    setInt32(bundle, 53, 3);
    const auto error = event("kuvo_got_error", 1714568400001,
                             {stringParameter("error", "Line\nbreak"), intParameter("count", INT64_MIN)});
    measurement::NANOSetArray(bundle, APMPBMeasurementBundleFieldIndex(2), std::vector{error});
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
