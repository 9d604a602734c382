// Tests of the server configuration: parsing, storage, URLs and programs.
#include <doctest/doctest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "measurement/foundation/monitor.h"
#include "measurement/store/config_test_support.h"
#include "measurement/store/remote_config.h"
#include "platform/dispatch/timer.h"

using namespace measurement;
using config_test::ConfigBuilder;
using config_test::MemoryConfigStorage;
using platform::Value;

namespace {

ConfigBuilder versioned(std::int64_t version) {
    ConfigBuilder builder;
    builder.version(version).setting("measurement.upload.interval", std::to_string(100 + version));
    return builder;
}

}  // namespace

TEST_CASE("taking a new configuration follows the database transaction") {
    APMMonitorCapture capture;
    auto storage = std::make_shared<MemoryConfigStorage>();
    APMRemoteConfig config(storage, config_test::testEnvironment());
    REQUIRE(config.updateMeasurementConfig(versioned(1).config(), nullptr));
    REQUIRE(config.version() == 1);
    const NANOBytes storedV1 = storage->data;

    SUBCASE("a configuration for another app identifier is refused and stores nothing") {
        std::optional<APMError> error;
        ConfigBuilder other("another-app");
        other.version(2);
        CHECK_FALSE(config.updateMeasurementConfig(other.config(), &error));
        REQUIRE(error);
        CHECK(error->code() == kAPMRemoteConfigWrongAppIDErrorCode);
        CHECK(storage->data == storedV1);
        CHECK(storage->writes == 1);
        CHECK(config.version() == 1);

        ConfigBuilder missing(std::nullopt);
        missing.version(3);
        CHECK_FALSE(config.updateMeasurementConfig(missing.config(), nullptr));
        CHECK(storage->data == storedV1);
    }

    SUBCASE("an empty configuration is refused") {
        std::optional<APMError> error;
        CHECK_FALSE(config.updateMeasurementConfig(APMPBMeasurementConfig(), &error));
        REQUIRE(error);
        CHECK(error->code() == kAPMRemoteConfigEmptyConfigErrorCode);
        CHECK(storage->writes == 1);
    }

    SUBCASE("a rollback leaves the configuration in memory as it was") {
        const bool committed = storage->performTransaction([&] {
            CHECK(config.updateMeasurementConfig(versioned(2).config(), nullptr));
            return false;  // the audiences refused it, say
        });
        CHECK_FALSE(committed);
        CHECK(config.version() == 1);
        CHECK(config.uploadingInterval() == 101);
        CHECK(storage->data == storedV1);
    }

    SUBCASE("a commit applies it, and not before") {
        storage->performTransaction([&] {
            CHECK(config.updateMeasurementConfig(versioned(2).config(), nullptr));
            CHECK(config.version() == 1);
            return true;
        });
        CHECK(config.version() == 2);
        CHECK(config.uploadingInterval() == 102);
    }

    SUBCASE("a savepoint that rolls back inside a committed transaction drops what it staged") {
        storage->performTransaction([&] {
            storage->performTransaction([&] {
                config.updateMeasurementConfig(versioned(2).config(), nullptr);
                return false;
            });
            return true;
        });
        CHECK(config.version() == 1);
    }

    SUBCASE("a committed savepoint waits for the transaction around it") {
        storage->performTransaction([&] {
            storage->performTransaction([&] { return config.updateMeasurementConfig(versioned(2).config(), nullptr); });
            CHECK(config.version() == 1);
            return false;
        });
        CHECK(config.version() == 1);
        CHECK(storage->data == storedV1);
    }

    SUBCASE("an exception in the transaction drops it too") {
        CHECK_THROWS_AS(storage->performTransaction([&]() -> bool {
            config.updateMeasurementConfig(versioned(2).config(), nullptr);
            throw std::runtime_error("audience failure");
        }),
                        std::runtime_error);
        CHECK(config.version() == 1);
    }

    SUBCASE("a storage failure is answered with its error and changes nothing") {
        storage->failWrites = true;
        std::optional<APMError> error;
        CHECK_FALSE(config.updateMeasurementConfig(versioned(2).config(), &error));
        CHECK(error);
        CHECK(config.version() == 1);
    }

    SUBCASE("the last of two configurations in one transaction wins") {
        storage->performTransaction([&] {
            config.updateMeasurementConfig(versioned(2).config(), nullptr);
            config.updateMeasurementConfig(versioned(3).config(), nullptr);
            return true;
        });
        CHECK(config.version() == 3);
    }

    SUBCASE("a new instance loads what was stored") {
        APMRemoteConfig reloaded(storage, config_test::testEnvironment());
        CHECK(reloaded.version() == 1);
        CHECK(reloaded.uploadingInterval() == 101);
    }
}

TEST_CASE("loading the stored configuration") {
    APMMonitorCapture capture;
    auto storage = std::make_shared<MemoryConfigStorage>();

    SUBCASE("nothing stored: the built-in default") {
        APMRemoteConfig config(storage, config_test::testEnvironment());
        CHECK(config.version() == -1);
        CHECK(config.uploadingInterval() == 3600);
        CHECK(capture.codes().empty());
    }
    SUBCASE("bytes that do not decode are reported and the default is used") {
        storage->data = {0xff, 0xff, 0xff};
        APMRemoteConfig config(storage, config_test::testEnvironment());
        CHECK(capture.hasCode(kAPMRemoteConfigStoredConfigUnusableCode));
        CHECK(config.version() == -1);
    }
    SUBCASE("a stored configuration of another app is not used") {
        ConfigBuilder other("another-app");
        storage->data = other.version(4).bytes();
        APMRemoteConfig config(storage, config_test::testEnvironment());
        CHECK(capture.hasCode(kAPMRemoteConfigStoredConfigUnusableCode));
        CHECK(config.version() == -1);
    }
    SUBCASE("a storage that cannot be read is reported") {
        storage->failReads = true;
        APMRemoteConfig config(storage, config_test::testEnvironment());
        CHECK(capture.hasCode(kAPMRemoteConfigStoredConfigUnreadableCode));
        CHECK(config.version() == -1);
    }
}

TEST_CASE("the sections of a configuration") {
    APMMonitorCapture capture;
    auto storage = std::make_shared<MemoryConfigStorage>();
    APMRemoteConfig config(storage, config_test::testEnvironment());

    SUBCASE("consent defaults, delegations and regional defaults, unknown entries skipped") {
        config.parseRemoteConfigFromMeasurementConfig(ConfigBuilder()
                                                          .consent({{1, 2}, {3, 1}, {7, 1}, {2, 3}, {4, 0}},
                                                                   {{3, 1}, {4, 9}, {0, 2}},
                                                                   {{3, 2}, {4, 1}, {5, 2}})
                                                          .config());
        CHECK(config.consentDefaults() == Value::Dictionary{{"ad_storage", "denied"}, {"ad_user_data", "granted"}});
        CHECK(config.consentDelegations() == Value::Dictionary{{"ad_user_data", "ad_storage"}});
        CHECK(config.regionalDefaults() ==
              Value::Dictionary{{"ad_user_data", "denied"}, {"ad_personalization", "granted"}});

        config.parseRemoteConfigFromMeasurementConfig(ConfigBuilder().config());
        CHECK(config.consentDefaults().empty());
        CHECK(config.consentDelegations().empty());
        CHECK(config.regionalDefaults().empty());
    }

    SUBCASE("version, data controls, core platform services and the DMA region") {
        CHECK(config.version() == -1);
        CHECK_FALSE(config.isDMARegion());
        config.parseRemoteConfigFromMeasurementConfig(ConfigBuilder()
                                                          .version(42)
                                                          .dmaRegion(true)
                                                          .dataControls({"redact_device_info", "no_ad_id"})
                                                          .corePlatformServices({"ads", "ads", "analytics"})
                                                          .config());
        CHECK(config.version() == 42);
        CHECK(config.isDMARegion());
        CHECK(config.dataControls() == std::vector<std::string>{"redact_device_info", "no_ad_id"});
        CHECK(config.corePlatformServices() == std::set<std::string>{"ads", "analytics"});
    }

    SUBCASE("per-event entries") {
        config.parseRemoteConfigFromMeasurementConfig(ConfigBuilder()
                                                          .event("kuvo_calculate", true, false, std::nullopt)
                                                          .event("purchase", std::nullopt, true, 2)
                                                          .event("level_up", false, std::nullopt, 65535)
                                                          .event("share", std::nullopt, std::nullopt, 65536)
                                                          .event("_vs", std::nullopt, std::nullopt, 0)
                                                          .config());
        CHECK(config.isEventBlocklisted("kuvo_calculate"));
        CHECK_FALSE(config.isEventBlocklisted("purchase"));
        CHECK_FALSE(config.isEventBlocklisted("_s"));
        CHECK(config.isEventCustomConversion("purchase"));
        CHECK_FALSE(config.isEventCustomConversion("kuvo_calculate"));
        CHECK_FALSE(config.isEventCustomConversion("unknown"));
        CHECK(config.eventHasSamplingRate("purchase"));
        CHECK_FALSE(config.eventHasSamplingRate("kuvo_calculate"));
        CHECK(config.samplingRateForEvent("purchase") == 2);
        CHECK(config.samplingRateForEvent("level_up") == 65535);
        CHECK(config.eventHasSamplingRate("share"));
        CHECK(config.samplingRateForEvent("share") == 1);
        CHECK(config.samplingRateForEvent("_vs") == 1);
        CHECK(config.samplingRateForEvent("unknown") == 1);
    }

    SUBCASE("the blocklist switches decide for names without an entry of their own") {
        config.parseRemoteConfigFromMeasurementConfig(ConfigBuilder()
                                                          .setting("measurement.upload.blacklist_public", "true")
                                                          .event("level_up", false, std::nullopt, std::nullopt)
                                                          .config());
        CHECK(config.isEventBlocklisted("tapped_history_clear"));
        CHECK_FALSE(config.isEventBlocklisted("level_up"));
        CHECK_FALSE(config.isEventBlocklisted("_e"));
        config.parseRemoteConfigFromMeasurementConfig(
            ConfigBuilder().setting("measurement.upload.blacklist_internal", "true").config());
        CHECK(config.isEventBlocklisted("_e"));
        CHECK_FALSE(config.isEventBlocklisted("tapped_history_clear"));
    }
}

namespace {

class RecordingHost : public APMEventEditingHost {
public:
    explicit RecordingHost(APMEventEditingModules modules) : modules(std::move(modules)) {}
    std::optional<APMEventEditingResult> handleEvent(const APMPEvent&, APMErrorOut) override { return std::nullopt; }
    APMEventEditingModules modules;
};

// Loads every program, or refuses them with a script error.
class FakeEventEditingFactory : public APMEventEditingFactory {
public:
    bool fail = false;
    int loads = 0;
    std::shared_ptr<APMEventEditingHost> makeEventEditingWithProgram(const APMPBProgram&,
                                                                     const APMEventEditingModules& modules,
                                                                     APMErrorOut error) override {
        ++loads;
        if (fail) {
            APMSetError(error, 7, "activity name is not a function");
            return nullptr;
        }
        return std::make_shared<RecordingHost>(modules);
    }
};

}  // namespace

TEST_CASE("event-editing programs of a configuration") {
    APMMonitorCapture capture;
    auto storage = std::make_shared<MemoryConfigStorage>();
    auto factory = std::make_shared<FakeEventEditingFactory>();
    APMRemoteConfig config(storage, config_test::testEnvironment(), factory);

    SUBCASE("a program that fails to load ends the parse: what comes after it is not taken") {
        factory->fail = true;
        config.parseRemoteConfigFromMeasurementConfig(ConfigBuilder()
                                                          .version(8)
                                                          .setting("measurement.upload.interval", "120")
                                                          .event("level_up", true, std::nullopt, std::nullopt)
                                                          .programs(1)
                                                          .dataControls({"no_ad_id"})
                                                          .consent({{2, 2}}, {{1, 2}}, {{1, 1}})
                                                          .dmaRegion(true)
                                                          .config());
        CHECK(capture.count(kAPMRemoteConfigEventEditingFailedCode) == 1);
        CHECK_FALSE(config.eventEditing());
        // Before the programs.
        CHECK(config.version() == 8);
        CHECK(config.uploadingInterval() == 120);
        CHECK(config.isEventBlocklisted("level_up"));
        // After them.
        CHECK(config.dataControls().empty());
        CHECK(config.consentDefaults().empty());
        CHECK(config.consentDelegations().empty());
        CHECK(config.regionalDefaults().empty());
        CHECK_FALSE(config.isDMARegion());

        SUBCASE("the next configuration whose program loads is taken whole") {
            factory->fail = false;
            config.parseRemoteConfigFromMeasurementConfig(
                ConfigBuilder().programs(1).dataControls({"no_ad_id"}).consent({{2, 2}}, {}, {}).config());
            CHECK(config.eventEditing());
            CHECK(config.dataControls() == std::vector<std::string>{"no_ad_id"});
            CHECK(config.consentDefaults() == Value::Dictionary{{"analytics_storage", "denied"}});
        }
    }

    SUBCASE("only the first program is loaded, and its modules read this configuration") {
        config.parseRemoteConfigFromMeasurementConfig(
            ConfigBuilder().programs(3).setting("measurement.custom.greeting", "hello").config());
        CHECK(factory->loads == 1);
        auto entries = capture.entriesWithCode(kAPMRemoteConfigEventEditingLoadedCode);
        REQUIRE(entries.size() == 1);
        CHECK(entries[0].contexts == std::vector<Value>{Value(3)});
        auto host = std::dynamic_pointer_cast<RecordingHost>(config.eventEditing());
        REQUIRE(host);
        CHECK(host->modules.remoteConfigValue("measurement.custom.greeting") == "hello");
        CHECK_FALSE(host->modules.remoteConfigValue("measurement.custom.absent"));
        CHECK(host->modules.appMetadata() == Value::Dictionary{{"platform", "ios"},
                                                               {"package_name", "com.velmora.bernoulli"},
                                                               {"ruz_version", 10000000},
                                                               {"app_version", "2.4.1"}});

        // The host keeps the settings of its own configuration.
        config.parseRemoteConfigFromMeasurementConfig(ConfigBuilder().config());
        CHECK_FALSE(config.eventEditing());
        CHECK(host->modules.remoteConfigValue("measurement.custom.greeting") == "hello");
    }

    SUBCASE("without a script runtime nothing is loaded and nothing is reported") {
        APMRemoteConfig plain(storage, config_test::testEnvironment(), nullptr);
        plain.parseRemoteConfigFromMeasurementConfig(ConfigBuilder().programs(1).config());
        CHECK_FALSE(plain.eventEditing());
        CHECK_FALSE(capture.hasCode(kAPMRemoteConfigEventEditingFailedCode));
    }
}

TEST_CASE("whether the configuration has expired") {
    platform::dispatch::ManualTime time;
    APMMonitorCapture capture;
    auto storage = std::make_shared<MemoryConfigStorage>();
    APMRemoteConfig config(storage, config_test::testEnvironment());

    SUBCASE("the built-in default never expires, and says why") {
        CHECK_FALSE(config.isExpired());
        CHECK(capture.count(kAPMRemoteConfigDefaultConfigTimestampCode) == 1);
    }

    SUBCASE("a stored configuration expires once the cache time has passed") {
        config.updateMeasurementConfig(ConfigBuilder().version(1).config(), nullptr);
        storage->lastUpdate = time.now();
        CHECK_FALSE(config.isExpired());
        time.advance(3599);
        CHECK_FALSE(config.isExpired());
        time.advance(1);
        CHECK(config.isExpired());
    }

    SUBCASE("the server's cache time counts, and so does a clock set back") {
        config.updateMeasurementConfig(
            ConfigBuilder().version(1).setting("measurement.config.cache_time", "60").config(), nullptr);
        storage->lastUpdate = time.now();
        time.advance(59);
        CHECK_FALSE(config.isExpired());
        time.advance(1);
        CHECK(config.isExpired());
        time.clock().setNow(storage->lastUpdate - 60);
        CHECK(config.isExpired());
        time.clock().setNow(storage->lastUpdate - 30);
        CHECK_FALSE(config.isExpired());
    }

    SUBCASE("an unreadable update time counts as expired") {
        config.updateMeasurementConfig(ConfigBuilder().version(1).config(), nullptr);
        storage->failReads = true;
        CHECK(config.isExpired());
        CHECK(capture.hasCode(kAPMRemoteConfigLastUpdateUnreadableCode));
    }
}

TEST_CASE("service addresses") {
    APMMonitorCapture capture;
    auto storage = std::make_shared<MemoryConfigStorage>();

    SUBCASE("the configuration URL carries the app identifier and its three query items") {
        APMRemoteConfig config(storage, config_test::testEnvironment("https://measure.example.test/svc/"));
        auto url = config.remoteConfigURL("ios", 10000000, 0);
        REQUIRE(url);
        CHECK(url->scheme() == "https");
        CHECK(url->host() == "measure.example.test");
        CHECK(url->path() == "/svc/config/app/velmora-bernoulli-ios");
        auto items = url->queryItems();
        REQUIRE(items);
        CHECK(*items == std::vector<platform::URLQueryItem>{
                            {"platform", "ios"}, {"ruz_version", "10000000"}, {"runtime_version", "0"}});
    }

    SUBCASE("no base address: no URL at all") {
        APMRemoteConfig config(storage, config_test::testEnvironment());
        CHECK_FALSE(config.remoteConfigURL("ios", 10000000, 0));
        CHECK_FALSE(config.uploadURL());
        CHECK_FALSE(config.SKANConversionValueURL());
    }

    SUBCASE("an unusable base address or app identifier gives no URL") {
        APMRemoteConfig broken(storage, config_test::testEnvironment("not a url"));
        CHECK_FALSE(broken.uploadURL());
        auto environment = config_test::testEnvironment("https://measure.example.test");
        environment.appID = "";
        APMRemoteConfig noApp(storage, environment);
        CHECK_FALSE(noApp.remoteConfigURL("ios", 1, 0));
        CHECK(noApp.uploadURL());
    }

    SUBCASE("the upload URL, with the configuration's sub-domain while tracking is authorised") {
        int status = 0;
        auto environment = config_test::testEnvironment("https://collect.example.test");
        environment.trackingAuthorizationStatus = [&status] { return status; };
        APMRemoteConfig config(storage, environment);
        CHECK(config.uploadURL()->string() == "https://collect.example.test/a");

        config.parseRemoteConfigFromMeasurementConfig(ConfigBuilder().uploadSubdomain("eu1").config());
        CHECK(config.uploadURL()->string() == "https://collect.example.test/a");
        status = 3;
        CHECK(config.uploadURL()->string() == "https://eu1.collect.example.test/a");
        // The sub-domain is the batch upload's alone.
        CHECK(config.SKANConversionValueURL()->string() == "https://collect.example.test/skan");

        config.parseRemoteConfigFromMeasurementConfig(ConfigBuilder().uploadSubdomain("eu1/../x").config());
        CHECK(config.uploadURL()->string() == "https://collect.example.test/a");
    }

    SUBCASE("a loopback collector keeps its host and port") {
        auto environment = config_test::testEnvironment("http://127.0.0.1:8123");
        environment.trackingAuthorizationStatus = [] { return 3; };
        APMRemoteConfig config(storage, environment);
        config.parseRemoteConfigFromMeasurementConfig(ConfigBuilder().uploadSubdomain("eu1").config());
        CHECK(config.uploadURL()->string() == "http://127.0.0.1:8123/a");
    }
}

namespace {

class FakeExperimentsClient : public APMExperimentsClient {
public:
    bool pending = false;
    int activations = 0;
    std::optional<Value> regionalFlag;
    bool activateLatestSnapshot(APMErrorOut error) override {
        ++activations;
        if (!pending) {
            APMSetError(error, 1, "no pending snapshot");
            return false;
        }
        pending = false;
        return true;
    }
    std::optional<Value> objectForKeyedSubscript(const std::string& flagName) override {
        return flagName == "regional_defaults_enabled" ? regionalFlag : std::nullopt;
    }
};

class FakeExperimentsManager : public APMExperimentsManagerInterface {
public:
    std::shared_ptr<FakeExperimentsClient> client = std::make_shared<FakeExperimentsClient>();
    std::string sdkName;
    std::int64_t sdkVersion = 0;
    std::weak_ptr<APMExperimentsClientDelegate> delegate;
    int resets = 0;
    std::shared_ptr<APMExperimentsClient> registerSDKProperty(
        const std::string& name, std::int64_t version, std::weak_ptr<APMExperimentsClientDelegate> d) override {
        sdkName = name;
        sdkVersion = version;
        delegate = std::move(d);
        return client;
    }
    std::vector<std::int64_t> experimentIDs() override { return {17, 23}; }
    void reset() override { ++resets; }
};

}  // namespace

TEST_CASE("the configuration as the experiments client's SDK") {
    APMMonitorCapture capture;
    auto storage = std::make_shared<MemoryConfigStorage>();
    auto manager = std::make_shared<FakeExperimentsManager>();
    manager->client->pending = true;
    manager->client->regionalFlag = Value(false);
    bool enabled = false;
    auto environment = config_test::testEnvironment();
    environment.isMeasurementEnabled = [&enabled] { return enabled; };
    APMRemoteConfig config(storage, environment, nullptr, manager);

    CHECK(manager->sdkName == "doz_urerizarori");
    CHECK(manager->sdkVersion == 10000000);
    CHECK(manager->client->activations == 1);
    CHECK_FALSE(capture.hasCode(kAPMRemoteConfigStaleSnapshotActivationFailedCode));

    SUBCASE("the cached experiments flag decides the regional defaults") {
        CHECK_FALSE(config.regionalDefaultsEnabled());
        config.parseRemoteConfigFromMeasurementConfig(
            ConfigBuilder().setting("measurement.regional_defaults_enabled", "true").config());
        CHECK_FALSE(config.regionalDefaultsEnabled());
    }

    SUBCASE("a new snapshot is activated only after the client announced one") {
        config.activateNewSnapshot();
        CHECK(manager->client->activations == 1);

        auto delegate = manager->delegate.lock();
        REQUIRE(delegate);
        manager->client->pending = true;
        manager->client->regionalFlag = Value(1);
        delegate->clientDidReceiveNewSnapshot();
        config.activateNewSnapshot();
        CHECK(manager->client->activations == 2);
        CHECK(config.regionalDefaultsEnabled());
        config.activateNewSnapshot();
        CHECK(manager->client->activations == 2);
    }

    SUBCASE("a failed activation is reported and tried again next time") {
        config.clientDidReceiveNewSnapshot();
        config.activateNewSnapshot();
        CHECK(capture.count(kAPMRemoteConfigSnapshotActivationFailedCode) == 1);
        manager->client->pending = true;
        config.activateNewSnapshot();
        CHECK(manager->client->activations == 3);
        CHECK(capture.count(kAPMRemoteConfigSnapshotActivationFailedCode) == 1);
    }

    SUBCASE("fetch errors, the fetch question, experiment IDs and reset") {
        auto delegate = manager->delegate.lock();
        REQUIRE(delegate);
        delegate->clientDidReceiveFetchError(apm_errorWithCode(5, "timed out"));
        CHECK(capture.count(kAPMRemoteConfigExperimentFetchFailedCode) == 1);
        CHECK_FALSE(delegate->shouldFetchExperimentsForClient());
        enabled = true;
        CHECK(delegate->shouldFetchExperimentsForClient());
        CHECK(config.experimentIDs() == std::vector<std::int64_t>{17, 23});
        config.reset();
        CHECK(manager->resets == 1);
    }

    SUBCASE("a reset drops the cached flag and the waiting mark with the snapshots") {
        config.parseRemoteConfigFromMeasurementConfig(
            ConfigBuilder().setting("measurement.regional_defaults_enabled", "true").config());
        REQUIRE_FALSE(config.regionalDefaultsEnabled());
        config.clientDidReceiveNewSnapshot();
        config.reset();
        CHECK(config.regionalDefaultsEnabled());
        manager->client->pending = true;
        config.activateNewSnapshot();
        CHECK(manager->client->activations == 1);
    }
}

TEST_CASE("a stale snapshot that cannot be activated at start is reported") {
    APMMonitorCapture capture;
    auto manager = std::make_shared<FakeExperimentsManager>();
    APMRemoteConfig config(std::make_shared<MemoryConfigStorage>(), config_test::testEnvironment(), nullptr, manager);
    CHECK(capture.count(kAPMRemoteConfigStaleSnapshotActivationFailedCode) == 1);
    CHECK(config.regionalDefaultsEnabled());
    CHECK(APMRemoteConfig(std::make_shared<MemoryConfigStorage>(), config_test::testEnvironment()).experimentIDs().empty());
}
