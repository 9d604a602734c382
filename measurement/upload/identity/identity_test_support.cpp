// The identity test fixture.
#include "measurement/upload/identity/identity_test_support.h"

#include <fstream>

#include "measurement/store/config_test_support.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/process_info.h"
#include "testsupport/test_hooks.h"

namespace identity_test {

namespace {

void writePlist(const std::filesystem::path& path, const platform::Value::Dictionary& contents) {
    std::ofstream(path) << platform::writePropertyListXML(platform::Value(contents));
}

std::shared_ptr<APMRemoteConfig> makeConfig(const config_test::ConfigBuilder& builder) {
    auto storage = std::make_shared<config_test::MemoryConfigStorage>();
    storage->data = builder.bytes();
    APMRemoteConfigEnvironment environment;
    environment.appID = kMeasurementAppID;
    return std::make_shared<APMRemoteConfig>(storage, environment);
}

}  // namespace

IdentityFixture::IdentityFixture(BundleFiles files) : savedResources_(platform::Bundle::main().resourcePath()) {
    writePlist(folder_ / "Info.plist", files.info);
    writePlist(folder_ / "RozedaService-Info.plist", files.service);
    platform::Bundle::setMainResourcePath(folder_.path());
    platform::ProcessInfo::reset();
    test_hooks::resetProcessIdentifiers();
    consent_ = std::make_shared<APMConsentSettingsUtil>();
    config_ = makeConfig(config_test::ConfigBuilder(kMeasurementAppID));
}

IdentityFixture::~IdentityFixture() {
    identity_.reset();
    persisted_.reset();
    time_.settle();
    platform::Bundle::setMainResourcePath(savedResources_);
    test_hooks::resetProcessIdentifiers();
    platform::ProcessInfo::reset();
}

APMPersistedConfig& IdentityFixture::persisted() { return *persistedConfig(); }

const std::shared_ptr<APMPersistedConfig>& IdentityFixture::persistedConfig() {
    if (!persisted_) persisted_ = std::make_shared<APMPersistedConfig>(folder_ / "settings.plist");
    return persisted_;
}

std::shared_ptr<APMIdentity> IdentityFixture::make() {
    persisted();
    APMIdentityInputs inputs;
    inputs.persistedConfig = persisted_;
    inputs.consent = consent_;
    inputs.support = support_;
    inputs.remoteConfig = [this] { return config_; };
    inputs.agreeOnAppInstanceID = agreement;
    identity_ = APMIdentity::makeWithPersistedConfig(std::move(inputs));
    return identity_;
}

void IdentityFixture::restart() {
    time_.settle();
    identity_.reset();
    persisted_.reset();
    test_hooks::resetProcessIdentifiers();
}

void IdentityFixture::configure(const std::vector<std::pair<std::string, std::string>>& settings) {
    config_test::ConfigBuilder builder(kMeasurementAppID);
    for (const auto& [name, value] : settings) builder.setting(name, value);
    configure(builder);
}

void IdentityFixture::configure(const config_test::ConfigBuilder& builder) { config_ = makeConfig(builder); }

void IdentityFixture::setConsent(const APMConsentSettingsUtil::Settings& settings) {
    consent_->updateSettings(settings, kAPMConsentSourceAPI);
}

}  // namespace identity_test
