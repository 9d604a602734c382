// The engine's event record and its message form.
#include "measurement/foundation/event.h"

#include "measurement/foundation/names.h"

namespace measurement {

namespace {

// Field indexes of the event and parameter messages (tags run without gaps).
enum EventField { kEventParams = 0, kEventName = 1, kEventTimestamp = 2, kEventPreviousTimestamp = 3 };
enum ParamField { kParamName = 0, kParamString = 1, kParamInt = 2, kParamDouble = 3, kParamList = 4 };

std::vector<APMPBEventParam> protoParams(const APMParameters& parameters) {
    std::vector<APMPBEventParam> params;
    params.reserve(parameters.size());
    for (const auto& [name, value] : parameters) params.push_back(APMProtoEventParam(name, value));
    return params;
}

APMParameters parametersFromParams(const std::vector<APMPBEventParam>& params) {
    APMParameters parameters;
    for (const auto& param : params) {
        auto name = NANOGetString(param, kParamName);
        auto value = APMValueFromProtoEventParam(param);
        if (name && value) parameters.insert_or_assign(*name, std::move(*value));
    }
    return parameters;
}

}  // namespace

APMEvent::APMEvent(std::string origin, bool isPublic, std::string name, double timestamp, double previousTimestamp,
                   APMParameters parameters)
    : origin_(std::move(origin)),
      isPublic_(isPublic),
      name_(std::move(name)),
      timestamp_(timestamp),
      previousTimestamp_(previousTimestamp),
      parameters_(std::move(parameters)) {
    if (!origin_.empty()) parameters_.insert_or_assign(kAPMOriginParameter, APMValue(origin_));
}

APMEvent::APMEvent(std::string origin, bool isPublic, std::string name, double timestamp, double previousTimestamp,
                   const platform::Value::Dictionary& parameters)
    : APMEvent(std::move(origin), isPublic, std::move(name), timestamp, previousTimestamp,
               APMParametersFromObjects(parameters)) {}

const APMValue* APMEvent::parameter(const std::string& name) const {
    auto found = parameters_.find(name);
    return found == parameters_.end() ? nullptr : &found->second;
}

APMEvent APMEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
    APMEvent copy = *this;
    copy.previousTimestamp_ = previousTimestamp;
    return copy;
}

APMPBEvent APMEvent::protoEvent() const {
    APMPBEvent event;
    NANOSetArray(event, kEventParams, protoParams(parameters_));
    NANOSetString(event, kEventName, name_);
    NANOSetInt64(event, kEventTimestamp, APMMillisecondsFromSeconds(timestamp_));
    if (previousTimestamp_ != 0) {
        NANOSetInt64(event, kEventPreviousTimestamp, APMMillisecondsFromSeconds(previousTimestamp_));
    }
    return event;
}

APMPEvent APMEvent::editEvent() const {
    std::string publicName = APMPublicName(APMPublicToInternalEventNames(), name_).value_or(name_);
    return APMPEvent(std::move(publicName), timestamp_, APMObjectsFromParameters(parameters_));
}

APMEvent APMEvent::eventFromEditEvent(const APMPEvent& editEvent) {
    std::string name =
        APMInternalName(APMPublicToInternalEventNames(), editEvent.name()).value_or(editEvent.name());
    const platform::Value* origin = editEvent.parameterForName(kAPMOriginParameter);
    std::string originText = origin && origin->isString() ? origin->asString() : "app";
    return APMEvent(std::move(originText), false, std::move(name), editEvent.timestamp(), 0,
                    editEvent.parameters());
}

APMPBEventParam APMProtoEventParam(const std::string& name, const APMValue& value) {
    APMPBEventParam param;
    NANOSetString(param, kParamName, name);
    if (!APMSetScalarValueField(param, kParamString, kParamInt, kParamDouble, value)) {
        std::vector<APMPBEventParamDictionary> list;
        for (const auto& dictionary : value.listValue()) {
            APMPBEventParamDictionary entry;
            NANOSetArray(entry, 0, protoParams(dictionary));
            list.push_back(std::move(entry));
        }
        NANOSetArray(param, kParamList, list);
    }
    return param;
}

bool APMSetScalarValueField(NANOMessageBase& message, int stringIndex, int intIndex, int doubleIndex,
                            const APMValue& value) {
    if (value.isString()) return NANOSetString(message, stringIndex, value.stringValue());
    if (value.isInt64()) return NANOSetInt64(message, intIndex, value.int64Value());
    if (value.isDouble()) return NANOSetDouble(message, doubleIndex, value.doubleValue());
    return false;
}

std::optional<APMValue> APMValueFromProtoEventParam(const APMPBEventParam& param) {
    if (auto text = NANOGetString(param, kParamString)) return APMValue(*text);
    if (NANOHasField(param, kParamInt)) return APMValue(NANOGetInt64(param, kParamInt));
    if (NANOHasField(param, kParamDouble)) return APMValue(NANOGetDouble(param, kParamDouble));
    auto list = NANOGetArray<APMPBEventParamDictionary>(param, kParamList);
    if (list.empty()) return std::nullopt;
    std::vector<APMParameters> dictionaries;
    for (const auto& entry : list) dictionaries.push_back(parametersFromParams(NANOGetArray<APMPBEventParam>(entry, 0)));
    return APMValue(std::move(dictionaries));
}

APMParameters APMParametersFromProtoEvent(const APMPBEvent& event) {
    return parametersFromParams(NANOGetArray<APMPBEventParam>(event, kEventParams));
}

}  // namespace measurement
