#pragma once

// A bundler over a real measurement database in a temporary folder, with a
// server configuration in memory, persisted settings in the folder, and
// consent, identity, audiences, engine and dice that the tests set.

#include <doctest/doctest.h>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/event.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/store/config_test_support.h"
#include "measurement/store/database.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/remote_config.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/upload/bundler.h"
#include "measurement/upload/upload_test_support.h"
#include "platform/dispatch/timer.h"
#include "testsupport/temp_dir.h"

namespace upload_test {

using config_test::ConfigBuilder;

struct FakeConsent : APMUploadConsentSeam {
    std::string signals = "G1--";
    bool analyticsDenied = false;
    std::string consentSignals() const override { return signals; }
    std::string consentDiagnostics() const override { return "19999"; }
    bool isAnalyticsStorageDenied() const override { return analyticsDenied; }
    bool isAdUserDataDenied() const override { return false; }
    std::string description() const override { return "consent " + signals; }
};

// Records what bundling asks of the audiences and answers as told.
struct RecordingAudience : APMBundleAudienceSeam {
    std::vector<std::string> evaluatedEvents;
    std::vector<std::string> evaluatedProperties;
    std::vector<std::optional<double>> propertyEvaluationTimes;
    int sessionClears = 0;
    int resultRequests = 0;
    bool failEvents = false;
    bool failResults = false;
    std::vector<APMPBAudienceLeafFilterResult> results;

    bool evaluateFiltersForEvent(const APMEvent& event, const APMEventAggregates&, APMBundleAudienceCache*) override {
        evaluatedEvents.push_back(event.name());
        return !failEvents;
    }
    bool evaluateFiltersForNanoUserProperty(const APMPBUserAttribute& property, APMBundleAudienceCache*,
                                            std::optional<double> evaluationTime) override {
        evaluatedProperties.push_back(NANOGetString(property, user_attribute_field::kName).value_or(""));
        propertyEvaluationTimes.push_back(evaluationTime);
        return true;
    }
    bool resultsForBundling(std::vector<APMPBAudienceLeafFilterResult>* out) override {
        ++resultRequests;
        *out = results;
        return !failResults;
    }
    bool clearEvaluationResultsForSessionScopedFilters() override {
        ++sessionClears;
        return true;
    }
};

struct RecordingEngine : APMBundlingEngineSeam {
    bool npaUpdate = false;
    int npaWrites = 0;
    bool shouldUpdateNPAUserProperty() const override { return npaUpdate; }
    void setShouldUpdateNPAUserProperty(bool value) override { npaUpdate = value; }
    void setPersonalizedAdsUserPropertyOnWorkerQueue() override { ++npaWrites; }
};

struct FakeExperiments : APMExperimentsManagerInterface {
    std::vector<std::int64_t> ids;
    std::shared_ptr<APMExperimentsClient> registerSDKProperty(const std::string&, std::int64_t,
                                                              std::weak_ptr<APMExperimentsClientDelegate>) override {
        return nullptr;
    }
    std::vector<std::int64_t> experimentIDs() override { return ids; }
    void reset() override {}
};

inline constexpr const char* kTestBundleAppID = "com.velmora.bernoulli";

// A metadata header as the engine core stores it.
inline APMPBMeasurementBundle makeHeader(const std::string& signals = "G111",
                                         const std::vector<APMPBUserAttribute>& properties = {}) {
    APMPBMeasurementBundle header;
    NANOSetInt32(header, APMPBMeasurementBundleFieldIndex(1), 1);
    setBundleString(header, bundle_tag::kAppID, kTestBundleAppID);
    setBundleString(header, bundle_tag::kConsentSignals, signals);
    NANOSetArray(header, bundleFieldIndex(bundle_tag::kUserAttributes), properties);
    return header;
}

inline APMEvent makeEvent(const std::string& name, double timestamp, APMParameters parameters = {},
                          bool realtime = false) {
    const bool isPublic = !name.empty() && name.front() != '_';
    APMEvent event("app", isPublic, name, timestamp, 0, std::move(parameters));
    event.setRealtime(realtime);
    return event;
}

inline APMParameters intParameters(std::initializer_list<std::pair<const char*, std::int64_t>> values) {
    APMParameters parameters;
    for (const auto& [name, value] : values) parameters.emplace(name, APMValue(value));
    return parameters;
}

class BundlerFixture {
public:
    BundlerFixture() {
        config = std::make_unique<APMRemoteConfig>(configStorage, config_test::testEnvironment(), nullptr, experiments);
        persisted = std::make_unique<APMPersistedConfig>(dir / "settings.plist");
        onWorker([&] {
            std::optional<APMError> error;
            database = APMDatabase::makeWithPath(databasePath(), &error);
        });
        REQUIRE(database);
        APMBundlerInputs inputs;
        inputs.consent = consent;
        inputs.identity = identity;
        inputs.audience = audience;
        inputs.engine = engine;
        inputs.random = [this](std::uint32_t bound) { return roll(bound); };
        bundler = std::make_unique<APMBundler>(*database, *config, *persisted, inputs);
    }
    ~BundlerFixture() {
        onWorker([&] {
            bundler.reset();
            database.reset();
        });
    }

    std::string databasePath() const { return (dir / "measurement.sql").string(); }
    void onWorker(const std::function<void()>& block) { scheduler.workerQueue()->sync(block); }

    void configure(const ConfigBuilder& builder) {
        onWorker([&] { REQUIRE(config->updateMeasurementConfig(builder.config(), nullptr)); });
    }

    std::int64_t storeHeader(const APMPBMeasurementBundle& header, std::int64_t fingerprint = 7001) {
        onWorker([&] { REQUIRE(database->insertRawEventMetadata(header, fingerprint, nullptr)); });
        return fingerprint;
    }
    std::int64_t storeEvent(const APMEvent& event, std::int64_t fingerprint = 7001) {
        std::int64_t rowID = 0;
        onWorker([&] {
            auto inserted = database->insertRawEvent(event, fingerprint, nullptr);
            REQUIRE(inserted);
            rowID = *inserted;
        });
        return rowID;
    }

    bool bundle() {
        bool result = false;
        onWorker([&] { result = bundler->bundleRawEvents(); });
        return result;
    }
    // Bundles until nothing more is consumed; the number of calls that
    // answered true.
    int bundleAll() {
        int made = 0;
        while (bundle()) ++made;
        return made;
    }

    std::vector<APMQueuedBundle> queued() {
        std::vector<APMQueuedBundle> bundles;
        onWorker([&] {
            auto read = database->queryBundlesWithCountLimit(1000, 1 << 30, nullptr);
            REQUIRE(read);
            bundles = std::move(*read);
        });
        return bundles;
    }

    // A second connection to the file, for what the tests read and inject
    // behind the database's back.
    APMRows rows(const std::string& sql, const APMBindings& values = {}) {
        auto store = APMSqliteStore::makeWithDatabasePath(databasePath(), nullptr);
        REQUIRE(store);
        auto read = store->recordsForQuery(sql, values, nullptr);
        REQUIRE(read);
        return *read;
    }
    void execute(const std::string& sql, const APMBindings& values = {}) {
        auto store = APMSqliteStore::makeWithDatabasePath(databasePath(), nullptr);
        REQUIRE(store);
        REQUIRE(store->executeStatement(sql, values, nullptr));
    }
    // Makes every write of that kind to the table fail, as a full or
    // damaged file would.
    void refuse(const std::string& trigger, const std::string& when) {
        execute("CREATE TRIGGER " + trigger + " " + when + " BEGIN SELECT RAISE(ABORT, 'injected'); END");
    }
    std::size_t count(const std::string& table) {
        return static_cast<std::size_t>(rows("SELECT COUNT(*) AS n FROM " + table).front().at("n").intValue());
    }

    std::optional<APMEventAggregates> aggregates(const std::string& name) {
        std::optional<APMEventAggregates> result;
        onWorker([&] { result = database->eventAggregatesWithName(name, nullptr); });
        return result;
    }
    std::optional<APMUserAttribute> userAttribute(const std::string& name) {
        std::optional<APMUserAttribute> result;
        onWorker([&] { result = database->userAttributeWithName(name, nullptr); });
        return result;
    }
    APMAppMetadata appMetadata() {
        std::optional<APMAppMetadata> metadata;
        onWorker([&] { metadata = database->queryAppMetadata(nullptr); });
        REQUIRE(metadata);
        return *metadata;
    }
    APMDailyCounts dailyCounts() {
        std::optional<APMDailyCounts> counts;
        onWorker([&] { counts = database->dailyCounts(nullptr); });
        REQUIRE(counts);
        return *counts;
    }

    // The dice answer the queued rolls, then 0 (kept).
    std::uint32_t roll(std::uint32_t bound) {
        rollBounds.push_back(bound);
        if (rolls.empty()) return 0;
        const auto value = rolls.front();
        rolls.pop_front();
        return value;
    }

    platform::dispatch::ManualTime time;
    APMMonitorCapture capture;
    testsupport::TempDir dir;
    APMScheduler scheduler;
    std::shared_ptr<config_test::MemoryConfigStorage> configStorage =
        std::make_shared<config_test::MemoryConfigStorage>();
    std::shared_ptr<FakeExperiments> experiments = std::make_shared<FakeExperiments>();
    std::unique_ptr<APMRemoteConfig> config;
    std::unique_ptr<APMPersistedConfig> persisted;
    std::unique_ptr<APMDatabase> database;
    std::shared_ptr<FakeConsent> consent = std::make_shared<FakeConsent>();
    std::shared_ptr<FakeIdentity> identity = std::make_shared<FakeIdentity>();
    std::shared_ptr<RecordingAudience> audience = std::make_shared<RecordingAudience>();
    std::shared_ptr<RecordingEngine> engine = std::make_shared<RecordingEngine>();
    std::deque<std::uint32_t> rolls;
    std::vector<std::uint32_t> rollBounds;
    std::unique_ptr<APMBundler> bundler;
};

// The events of a bundle by name, in order.
inline std::vector<std::string> eventNames(const APMPBMeasurementBundle& bundle) {
    std::vector<std::string> names;
    for (const auto& event : NANOGetArray<APMPBEvent>(bundle, bundleFieldIndex(bundle_tag::kEvents))) {
        names.push_back(NANOGetString(event, event_field::kName).value_or(""));
    }
    return names;
}

}  // namespace upload_test
