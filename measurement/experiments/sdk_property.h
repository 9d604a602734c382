// What a registering SDK tells the experiments service about itself.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/foundation/messages.h"
#include "platform/foundation/value.h"

namespace measurement {

class APMESDKProperty;

using APMECustomProperties = std::map<std::string, std::string>;

// Asked each time a request is built, for custom properties that change.
class APMESDKPropertyProviderDelegate {
public:
    virtual ~APMESDKPropertyProviderDelegate() = default;
    // None when the SDK has none to add.
    virtual std::optional<APMECustomProperties> dynamicCustomPropertiesForSDKProperty(const APMESDKProperty& property) = 0;
};

// Written by the registering SDK and read on the task manager's worker
// queue while a request is built: safe from any thread.
class APMESDKProperty {
public:
    // None (860000, level 1) for a name that is not a string.
    static std::shared_ptr<APMESDKProperty> initWithName(const platform::Value& name);
    explicit APMESDKProperty(std::string name) : name_(std::move(name)) {}

    const std::string& name() const { return name_; }
    std::int64_t version() const;
    void setVersion(std::int64_t version);
    std::optional<std::string> appID() const;
    void setAppID(std::optional<std::string> appID);
    std::optional<std::string> diversionKey() const;
    void setDiversionKey(std::optional<std::string> diversionKey);
    std::optional<APMECustomProperties> customProperties() const;
    void setCustomProperties(std::optional<APMECustomProperties> properties);
    // Held weakly.
    std::shared_ptr<APMESDKPropertyProviderDelegate> delegate() const;
    void setDelegate(const std::shared_ptr<APMESDKPropertyProviderDelegate>& delegate);

    // The SDK's entry of the request: the name, "<key>-<name>" as diversion
    // ID, the version, the app ID when there is one and the custom
    // properties (the delegate's over the static ones) when there are any.
    // The key is the property's own or, when it has none (or an empty one),
    // the identity's, asked only then. None (860001) when neither is there.
    std::optional<APMPBClientProperty> proto(const std::function<std::optional<std::string>()>& identityDiversionKey) const;

private:
    const std::string name_;
    mutable std::mutex mutex_;
    std::int64_t version_ = 0;
    std::optional<std::string> appID_;
    std::optional<std::string> diversionKey_;
    std::optional<APMECustomProperties> customProperties_;
    std::weak_ptr<APMESDKPropertyProviderDelegate> delegate_;
};

}  // namespace measurement
