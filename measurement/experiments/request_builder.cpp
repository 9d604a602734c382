// Building the experiment request from the registered SDK properties and the application's surroundings.
#include "measurement/experiments/request_builder.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/experiments_monitor.h"
#include "measurement/experiments/library_version.h"
#include "measurement/foundation/environment.h"
#include "platform/frameworks/utilities/app_environment.h"

namespace measurement {

namespace {

constexpr int field(int tag) { return APMPBFieldIndexForTag(tag); }

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

std::shared_ptr<APMEExperimentRequestBuilder> APMEExperimentRequestBuilder::sharedInstance() {
    static const auto builder = std::make_shared<APMEExperimentRequestBuilder>();
    return builder;
}

void APMEExperimentRequestBuilder::addSDKProperty(const std::shared_ptr<APMESDKProperty>& property) {
    if (!property) {
        APMEMonitor::shared().logWithLevel(kAPMMonitorLevelSilentError, kAPMEBuilderNilPropertyCode,
                                           "Cannot add an empty SDK property.");
        return;
    }
    std::lock_guard lock(mutex_);
    clientPropertyBySDKName_.insert_or_assign(property->name(), property);
}

void APMEExperimentRequestBuilder::setIdentityDiversionKeyProvider(
    std::function<std::optional<std::string>()> provider) {
    std::lock_guard lock(mutex_);
    identityDiversionKey_ = std::move(provider);
}

APMPBAppProperty APMEExperimentRequestBuilder::appPropertyProto() const {
    APMPBAppProperty property;
    NANOSetString(property, field(nano_APMPBAppProperty_platform_tag), std::string("ios"));
    const auto languages = APMPreferredLanguages();
    if (!languages.empty()) {
        NANOSetString(property, field(nano_APMPBAppProperty_language_tag), lowercased(languages.front()));
    }
    NANOSetString(property, field(nano_APMPBAppProperty_bundle_id_tag), APMBundleIdentifier());
    NANOSetBool(property, field(nano_APMPBAppProperty_app_environment_flag_tag),
                platform::RULAppEnvironmentUtil::isFromAppStore());
    NANOSetInt64(property, field(nano_APMPBAppProperty_library_version_tag), APMELibraryVersion());
    return property;
}

APMPBExperimentRequest APMEExperimentRequestBuilder::request() const {
    std::vector<std::shared_ptr<APMESDKProperty>> properties;
    std::function<std::optional<std::string>()> identityKey;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [name, property] : clientPropertyBySDKName_) properties.push_back(property);
        identityKey = identityDiversionKey_;
    }
    // Built outside the lock: a property asks its delegate and the identity.
    std::vector<APMPBClientProperty> clients;
    for (const auto& property : properties) {
        if (auto client = property->proto(identityKey)) clients.push_back(std::move(*client));
    }
    APMPBExperimentRequest request;
    if (!clients.empty()) NANOSetArray(request, field(nano_APMPBExperimentRequest_client_properties_tag), clients);
    NANOSetMessage(request, field(nano_APMPBExperimentRequest_app_property_tag), appPropertyProto());
    return request;
}

}  // namespace measurement
