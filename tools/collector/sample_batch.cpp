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
