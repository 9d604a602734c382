#pragma once

// An identity on a temporary folder for tests: manual time and queues, a
// main bundle of its own, a platform support with settable answers, the
// consent state and a server configuration that tests set.

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/store/config_test_support.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/remote_config.h"
#include "measurement/upload/consent/consent_settings_util.h"
#include "measurement/upload/identity/identity.h"
#include "measurement/upload/identity_support/identity_support.h"
#include "platform/dispatch/timer.h"
#include "platform/foundation/value.h"
#include "testsupport/temp_dir.h"

namespace identity_test {

using namespace measurement;

inline constexpr const char* kAdvertisingID = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
// The MD5 digest of kAdvertisingID's text, computed apart from the engine.
inline constexpr const char* kAdvertisingIDHash = "c199e4f4eed5309b824eca68fd918c78";
inline constexpr const char* kOtherAdvertisingID = "9D2A5A4C-0B1E-4F3A-8C77-1F2E3D4C5B6A";
inline constexpr const char* kOtherAdvertisingIDHash = "b80b9003561fb81a084e7c5d1c3f8ffb";
inline constexpr const char* kMeasurementAppID = "velmora-bernoulli-ios";

// The platform's answers, settable; the identifier questions are counted.
struct FakeSupport : APMIdentitySupport {
    std::atomic<bool> hasStatus{true};
    std::atomic<long> status{3};
    std::atomic<bool> hasLAT{true};
    std::atomic<bool> lat{false};
    std::optional<std::string> idfa = std::string(kAdvertisingID);
    std::atomic<int> idfaRequests{0};

    bool hasAppDataConsentStatus() override { return hasStatus; }
    long appDataConsentStatus() override { return status; }
    bool hasLimitedAdTracking() override { return hasLAT; }
    bool limitedAdTracking() override { return lat; }
    std::optional<std::string> resettableDeviceID() override {
        ++idfaRequests;
        return idfa;
    }
};

// The main bundle's Info.plist and service property list for the scope.
struct BundleFiles {
    platform::Value::Dictionary info{{"CFBundleIdentifier", "com.example.identity"},
                                     {"CFBundleShortVersionString", "2.4"},
                                     {"CFBundleVersion", "7.3.11"}};
    platform::Value::Dictionary service{{"ROZEDA_APP_ID", kMeasurementAppID}};
};

class IdentityFixture {
public:
    explicit IdentityFixture(BundleFiles files = {});
    ~IdentityFixture();
    IdentityFixture(const IdentityFixture&) = delete;
    IdentityFixture& operator=(const IdentityFixture&) = delete;

    // A new identity over the persisted settings (made when none is open).
    std::shared_ptr<APMIdentity> make();
    // As a process stop: the identity goes and the settings are written
    // (once the test has let go of the identity too); the next make() reads
    // them again.
    void restart();
    // The server configuration takes these settings ("name" -> "value").
    void configure(const std::vector<std::pair<std::string, std::string>>& settings);
    void configure(const config_test::ConfigBuilder& builder);
    // Consent written through the interface source.
    void setConsent(const APMConsentSettingsUtil::Settings& settings);

    platform::dispatch::ManualTime& time() { return time_; }
    APMMonitorCapture& monitor() { return monitor_; }
    APMPersistedConfig& persisted();
    const std::shared_ptr<APMPersistedConfig>& persistedConfig();
    const std::shared_ptr<APMConsentSettingsUtil>& consent() const { return consent_; }
    const std::shared_ptr<FakeSupport>& support() const { return support_; }
    std::shared_ptr<APMRemoteConfig> config() const { return config_; }
    const std::filesystem::path& folder() const { return folder_.path(); }

    // Where the identities made from now on put their new app instance IDs.
    APMIdentityInputs::AppInstanceIDAgreement agreement;

private:
    platform::dispatch::ManualTime time_;
    testsupport::TempDir folder_;
    std::filesystem::path savedResources_;
    APMMonitorCapture monitor_;
    std::shared_ptr<APMConsentSettingsUtil> consent_;
    std::shared_ptr<FakeSupport> support_ = std::make_shared<FakeSupport>();
    std::shared_ptr<APMRemoteConfig> config_;
    std::shared_ptr<APMPersistedConfig> persisted_;
    std::shared_ptr<APMIdentity> identity_;
};

}  // namespace identity_test
