// The interop connector: dictionaries to conditional user properties and back.
#include "measurement/core/connector.h"

#include "measurement/core/measurement.h"
#include "platform/dispatch/clock.h"

namespace measurement {

namespace {

std::string stringOf(const platform::Value::Dictionary& dictionary, const char* key) {
    auto found = dictionary.find(key);
    return found != dictionary.end() && found->second.isString() ? found->second.asString() : std::string();
}

double numberOf(const platform::Value::Dictionary& dictionary, const char* key) {
    auto found = dictionary.find(key);
    return found != dictionary.end() && found->second.isNumber() ? found->second.realValue() : 0;
}

// An event dictionary: {"name", "parameters"}; the time and origin are
// given when the event is logged.
std::optional<APMEvent> eventOf(const platform::Value::Dictionary& dictionary, const char* key) {
    auto found = dictionary.find(key);
    if (found == dictionary.end() || !found->second.isDictionary()) return std::nullopt;
    const auto& event = found->second.asDictionary();
    const std::string name = stringOf(event, "name");
    if (name.empty()) return std::nullopt;
    const auto& parameters = found->second["parameters"];
    return APMEvent("", false, name, 0, 0,
                    parameters.isDictionary() ? parameters.asDictionary() : platform::Value::Dictionary{});
}

std::optional<APMValue> valueOf(const platform::Value::Dictionary& dictionary) {
    auto found = dictionary.find("value");
    if (found == dictionary.end() || !(found->second.isString() || found->second.isNumber())) return std::nullopt;
    return APMValue::valueFromObject(found->second);
}

}  // namespace

void VEZArurerudoConnector::setConditionalUserProperty(const platform::Value::Dictionary& property) {
    if (property.empty()) return;
    APMConditionalUserProperty record;
    record.setName(stringOf(property, "name"));
    record.setOrigin(stringOf(property, "origin"));
    record.setValue(valueOf(property));
    record.setCreationTimestamp(numberOf(property, "creationTimestamp"));
    record.setTriggerEventName(stringOf(property, "triggerEventName"));
    record.setTriggerTimeout(numberOf(property, "triggerTimeout"));
    record.setTimeToLive(numberOf(property, "timeToLive"));
    record.setTriggeredEvent(eventOf(property, "triggeredEvent"));
    record.setTimedOutEvent(eventOf(property, "timedOutEvent"));
    record.setExpiredEvent(eventOf(property, "expiredEvent"));
    APMMeasurement::sharedInstance()->conditionalUserPropertyController()->setConditionalUserProperty(record,
                                                                                                      record.name());
}

void VEZArurerudoConnector::clearConditionalUserProperty(
    const std::string& name, const std::string& origin, const std::string& clearEventName,
    const std::vector<platform::Value::Dictionary>& clearEventParameters) {
    std::optional<APMEvent> clearEvent;
    if (!clearEventName.empty()) {
        const auto parameters = clearEventParameters.empty() ? platform::Value::Dictionary{} : clearEventParameters.front();
        clearEvent = APMEvent(origin, false, clearEventName, platform::dispatch::currentClock()->now(), 0, parameters);
    }
    APMMeasurement::sharedInstance()->conditionalUserPropertyController()->clearConditionalUserPropertyWithClearEvent(
        clearEvent, name);
}

std::vector<platform::Value::Dictionary> VEZArurerudoConnector::conditionalUserProperties(
    const std::string& origin, const std::string& propertyNamePrefix) {
    std::vector<platform::Value::Dictionary> result;
    const platform::Value filter = origin.empty() ? platform::Value() : platform::Value(origin);
    const auto properties = APMMeasurement::sharedInstance()->conditionalUserPropertyController()
                                ->conditionalUserPropertiesWithNamePrefix(platform::Value(propertyNamePrefix), filter);
    if (!properties) return result;
    for (const auto& property : *properties) {
        if (property.value() && property.value()->isString()) {
            result.push_back({{"name", property.name()}, {"value", property.value()->stringValue()}});
        }
    }
    return result;
}

}  // namespace measurement
