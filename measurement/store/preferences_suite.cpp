// A preferences suite as the engine reads and writes it.
#include "measurement/store/preferences_suite.h"

namespace measurement {

APMUserDefaults APMUserDefaults::sharedUserDefaults() { return APMUserDefaults(); }

APMUserDefaults::APMUserDefaults(const std::string& suiteName) : defaults_(suiteName) {}

std::optional<platform::Value> APMUserDefaults::objectForKey(const std::string& key) const {
    return defaults_.objectForKey(key);
}

std::optional<platform::Value> APMUserDefaults::numberForKey(const std::string& key) const {
    auto value = objectForKey(key);
    if (!value || !(value->isNumber() || value->isBool())) return std::nullopt;
    return value;
}

std::optional<std::string> APMUserDefaults::stringForKey(const std::string& key) const {
    auto value = objectForKey(key);
    if (!value || !value->isString()) return std::nullopt;
    return value->asString();
}

double APMUserDefaults::doubleForKey(const std::string& key) const {
    auto value = objectForKey(key);
    return value && (value->isNumber() || value->isBool()) ? value->realValue() : 0.0;
}

bool APMUserDefaults::setObject(const platform::Value& value, const std::string& key) {
    return defaults_.setObject(value, key);
}

bool APMUserDefaults::setBool(bool value, const std::string& key) { return defaults_.setBool(value, key); }

bool APMUserDefaults::setDouble(double value, const std::string& key) { return defaults_.setDouble(value, key); }

bool APMUserDefaults::removeObjectForKey(const std::string& key) { return defaults_.removeObjectForKey(key); }

bool APMUserDefaults::clearAllData() { return defaults_.removeAllObjects(); }

}  // namespace measurement
