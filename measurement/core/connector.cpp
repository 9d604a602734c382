// The interop connector: dictionaries to conditional user properties and back.
#include "measurement/core/connector.h"

#include "measurement/core/seams.h"
#include "platform/dispatch/clock.h"

namespace measurement {

namespace {

std::string stringOf(const platform::Value::Dictionary& dictionary, const char* key) {
    auto found = dictionary.find(key);
    return found != dictionary.end() && found->second.isString() ? found->second.asString() : std::string();
}

}  // namespace

void VEZArurerudoConnector::setConditionalUserProperty(const platform::Value::Dictionary& property) {
    if (property.empty()) return;
    APMConditionalUserPropertyRequest request;
    request.name = stringOf(property, "name");
    if (request.name.empty()) return;
    request.origin = stringOf(property, "origin");
    for (const auto& [key, value] : property) {
        if (key == "name" || key == "origin") continue;
        if (key == "value") {
            if (value.isString()) request.value = APMValue(value.asString());
        } else if (key == "creationTimestamp") {
            if (value.isNumber()) request.creationTimestamp = value.realValue();
        } else {
            request.properties.emplace(key, value);
        }
    }
    APMSeams::conditionalUserProperties()->setConditionalUserProperty(request, request.name);
}

void VEZArurerudoConnector::clearConditionalUserProperty(
    const std::string& name, const std::string& origin, const std::string& clearEventName,
    const std::vector<platform::Value::Dictionary>& clearEventParameters) {
    std::optional<APMEvent> clearEvent;
    if (!clearEventName.empty()) {
        const auto parameters = clearEventParameters.empty() ? platform::Value::Dictionary{} : clearEventParameters.front();
        clearEvent = APMEvent(origin, false, clearEventName, platform::dispatch::currentClock()->now(), 0, parameters);
    }
    APMSeams::conditionalUserProperties()->clearConditionalUserPropertyWithClearEvent(clearEvent, name);
}

std::vector<platform::Value::Dictionary> VEZArurerudoConnector::conditionalUserProperties(
    const std::string& origin, const std::string& propertyNamePrefix) {
    std::vector<platform::Value::Dictionary> result;
    const auto filter = origin.empty() ? std::nullopt : std::optional<std::string>(origin);
    for (const auto& property :
         APMSeams::conditionalUserProperties()->conditionalUserPropertiesWithNamePrefix(propertyNamePrefix, filter)) {
        if (property.value && property.value->isString()) {
            result.push_back({{"name", property.name}, {"value", property.value->stringValue()}});
        }
    }
    return result;
}

}  // namespace measurement
