// An SDK's property and the client-property entry it makes of itself for the request.
#include "measurement/experiments/sdk_property.h"

#include <vector>

#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/experiments_monitor.h"

namespace measurement {

namespace {

constexpr int field(int tag) { return APMPBFieldIndexForTag(tag); }

std::vector<APMPBCustomProperty> customPropertyMessages(const APMECustomProperties& properties) {
    std::vector<APMPBCustomProperty> messages;
    for (const auto& [key, value] : properties) {
        APMPBCustomProperty message;
        NANOSetString(message, field(nano_APMPBCustomProperty_key_tag), key);
        NANOSetString(message, field(nano_APMPBCustomProperty_value_tag), value);
        messages.push_back(std::move(message));
    }
    return messages;
}

}  // namespace

std::shared_ptr<APMESDKProperty> APMESDKProperty::initWithName(const platform::Value& name) {
    if (!name.isString()) {
        APMEMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMESDKPropertyInvalidNameCode,
                                           "Cannot init SDK property with invalid name", name);
        return nullptr;
    }
    return std::make_shared<APMESDKProperty>(name.asString());
}

std::int64_t APMESDKProperty::version() const {
    std::lock_guard lock(mutex_);
    return version_;
}
void APMESDKProperty::setVersion(std::int64_t version) {
    std::lock_guard lock(mutex_);
    version_ = version;
}
std::optional<std::string> APMESDKProperty::appID() const {
    std::lock_guard lock(mutex_);
    return appID_;
}
void APMESDKProperty::setAppID(std::optional<std::string> appID) {
    std::lock_guard lock(mutex_);
    appID_ = std::move(appID);
}
std::optional<std::string> APMESDKProperty::diversionKey() const {
    std::lock_guard lock(mutex_);
    return diversionKey_;
}
void APMESDKProperty::setDiversionKey(std::optional<std::string> diversionKey) {
    std::lock_guard lock(mutex_);
    diversionKey_ = std::move(diversionKey);
}
std::optional<APMECustomProperties> APMESDKProperty::customProperties() const {
    std::lock_guard lock(mutex_);
    return customProperties_;
}
void APMESDKProperty::setCustomProperties(std::optional<APMECustomProperties> properties) {
    std::lock_guard lock(mutex_);
    customProperties_ = std::move(properties);
}
std::shared_ptr<APMESDKPropertyProviderDelegate> APMESDKProperty::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}
void APMESDKProperty::setDelegate(const std::shared_ptr<APMESDKPropertyProviderDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

std::optional<APMPBClientProperty> APMESDKProperty::proto(
    const std::function<std::optional<std::string>()>& identityDiversionKey) const {
    auto key = diversionKey();
    if ((!key || key->empty()) && identityDiversionKey) key = identityDiversionKey();
    if (!key || key->empty()) {
        APMEMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMESDKPropertyNoDiversionKeyCode,
                                           "Diversion key is empty", platform::Value(name_));
        return std::nullopt;
    }
    APMPBClientProperty message;
    NANOSetString(message, field(nano_APMPBClientProperty_diversion_id_tag), *key + "-" + name_);
    NANOSetString(message, field(nano_APMPBClientProperty_sdk_name_tag), name_);
    NANOSetString(message, field(nano_APMPBClientProperty_app_id_tag), appID());
    NANOSetInt64(message, field(nano_APMPBClientProperty_sdk_version_tag), version());

    APMECustomProperties custom = customProperties().value_or(APMECustomProperties{});
    // Asked outside the lock: the delegate may read this property.
    if (auto provider = delegate()) {
        if (auto dynamic = provider->dynamicCustomPropertiesForSDKProperty(*this)) {
            for (auto& [name, value] : *dynamic) custom.insert_or_assign(name, value);
        }
    }
    if (!custom.empty()) {
        NANOSetArray(message, field(nano_APMPBClientProperty_custom_properties_tag), customPropertyMessages(custom));
    }
    return message;
}

}  // namespace measurement
