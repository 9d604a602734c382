// The experiment request: the application's property and one client property per registered SDK.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "measurement/experiments/sdk_property.h"
#include "measurement/foundation/messages.h"

namespace measurement {

// Written by the manager's registration and read on the task manager's
// worker queue: safe from any thread.
class APMEExperimentRequestBuilder {
public:
    static std::shared_ptr<APMEExperimentRequestBuilder> sharedInstance();

    // Keeps the property under its name, replacing an earlier one; none
    // changes nothing (880000).
    void addSDKProperty(const std::shared_ptr<APMESDKProperty>& property);
    // Where the diversion key of SDKs without their own comes from: the
    // measurement identity's key. None until the engine sets it.
    void setIdentityDiversionKeyProvider(std::function<std::optional<std::string>()> provider);

    // Platform "ios", the first preferred language in lower case (when the
    // device lists one), the bundle identifier, the application-environment
    // flag and the library version.
    APMPBAppProperty appPropertyProto() const;
    // The application's property and the client properties of the SDKs
    // whose diversion key is known (the list is left unset when there is
    // none).
    APMPBExperimentRequest request() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<APMESDKProperty>> clientPropertyBySDKName_;
    std::function<std::optional<std::string>()> identityDiversionKey_;
};

}  // namespace measurement
