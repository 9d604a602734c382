// Audience results of bundled events, read back by the collector.
#include <doctest/doctest.h>

#include <filesystem>
#include <memory>

#include "measurement/audience/audience.h"
#include "measurement/audience/audience_codes.h"
#include "measurement/core/bundle_audience.h"
#include "measurement/foundation/bundle_tags.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/store/database.h"
#include "measurement/store/database_config_storage.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/remote_config.h"
#include "measurement/upload/bundler.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/json_codec.h"
#include "testsupport/temp_dir.h"
#include "tools/collector/batch_description.h"
#include "tools/collector/config_file.h"

using namespace measurement;
using platform::Value;

namespace {

// Audiences as the collector serves them: 1 counts calculations (static),
// 2 follows the "tier" property (dynamic), 3 has a session-scoped filter on
// refused inputs and a static one on calculations, 4 counts calculations.
std::string audienceJSON(int audienceID) {
    switch (audienceID) {
        case 1:
            return R"({"audience_id": 1, "event_filters": [{"filter_id": 0, "event_name": "kuvo_calculate",
                       "event_count_filter": {"comparison_type": 2, "comparison_value": "0"}}]})";
        case 2:
            return R"({"audience_id": 2, "property_filters": [{"filter_id": 0, "property_name": "tier",
                       "dynamic": true, "filter": {"string_filter": {"match_type": 5, "expression": "Gold"}}}]})";
        case 3:
            return R"({"audience_id": 3, "event_filters": [
                       {"filter_id": 0, "event_name": "kuvo_got_error", "session_scoped": true},
                       {"filter_id": 1, "event_name": "kuvo_calculate"}]})";
        default:
            return R"({"audience_id": )" + std::to_string(audienceID) +
                   R"(, "event_filters": [{"filter_id": 0, "event_name": "kuvo_calculate"}]})";
    }
}

// The audiences of the collector's configuration, as a fetch hands them over.
std::vector<APMPBAudience> servedAudiences(const std::vector<int>& audienceIDs) {
    std::string json = R"({"app_id": "velmora-collector-app", "audiences": [)";
    for (std::size_t i = 0; i < audienceIDs.size(); ++i) json += (i ? "," : "") + audienceJSON(audienceIDs[i]);
    json += "]}";
    const auto description = platform::parseJSON(json);
    REQUIRE(description);
    std::string error;
    const auto bytes = tools::collector::encodeConfigJSON(*description, &error);
    REQUIRE_MESSAGE(bytes, error);
    const auto config = APMPBMeasurementConfig::initWithBuffer(*bytes);
    REQUIRE(config);
    return NANOGetArray<APMPBAudience>(*config, NANOFieldIndexForTag<APMPBMeasurementConfig>(
                                                    nano_APMPBMeasurementConfig_audiences_tag));
}

// Stored events bundled over a real database with the engine's audience
// component, and the queued bundles read back by the collector.
class Pipeline {
public:
    Pipeline() {
        scheduler_.workerQueue()->sync([&] {
            database_ = APMDatabase::makeWithPath((dir_ / "measurement.sql").string(), nullptr);
            REQUIRE(database_);
            audience_ = std::make_shared<APMAudience>(*database_, [this] { return limits; });
        });
        APMRemoteConfigEnvironment environment;
        environment.appID = "velmora-collector-app";
        config_ = std::make_unique<APMRemoteConfig>(std::make_shared<APMDatabaseConfigStorage>(database_), environment);
        persisted_ = std::make_unique<APMPersistedConfig>(dir_ / "settings.plist");
    }
    ~Pipeline() {
        scheduler_.workerQueue()->sync([&] {
            audience_.reset();
            database_.reset();
        });
    }

    // A configuration arrives, inside the transaction that stores it.
    bool configure(const std::vector<APMPBAudience>& audiences) {
        bool accepted = false;
        scheduler_.workerQueue()->sync(
            [&] { database_->performTransaction([&] { return accepted = audience_->updateAudiences(audiences); }); });
        return accepted;
    }

    // Stores the events with a header holding the "tier" property, makes one
    // bundle of them and answers how the collector reads it.
    Value bundle(const std::string& tier, const std::vector<std::string>& eventNames) {
        const double now = platform::dispatch::currentClock()->now();
        ++fingerprint_;
        APMPBMeasurementBundle header;
        NANOSetString(header, bundleFieldIndex(bundle_tag::kAppID), std::string("velmora-collector-app"));
        NANOSetArray(header, bundleFieldIndex(bundle_tag::kUserAttributes),
                     std::vector{APMUserAttribute("app", "tier", APMValue(tier), now).protoUserAttribute()});
        bool made = false;
        std::vector<APMQueuedBundle> queued;
        scheduler_.workerQueue()->sync([&] {
            REQUIRE(database_->insertRawEventMetadata(header, fingerprint_, nullptr));
            for (const auto& name : eventNames) {
                REQUIRE(database_->insertRawEvent(APMEvent("app", false, name, now, 0, APMParameters{}), fingerprint_,
                                                  nullptr));
            }
            APMBundlerInputs inputs;
            inputs.audience = std::make_shared<APMEngineBundleAudience>(audience_);
            APMBundler bundler(*database_, *config_, *persisted_, inputs);
            made = bundler.bundleRawEvents();
            auto read = database_->queryBundlesWithCountLimit(100, 1 << 30, nullptr);
            REQUIRE(read);
            queued = std::move(*read);
            std::vector<std::int64_t> rows;
            for (const auto& entry : queued) rows.push_back(entry.rowID);
            REQUIRE(database_->deleteBundlesWithRowIDs(rows, nullptr));
        });
        REQUIRE(made);
        REQUIRE(queued.size() == 1);
        APMPBMeasurementBatch batch;
        NANOSetArray(batch, 0, std::vector{queued.front().bundle});
        std::string error;
        const auto read = tools::collector::batchValue(batch.protoBuffer(), &error);
        REQUIRE_MESSAGE(read, error);
        text = tools::collector::batchText(*read);
        return read->operator[]("bundles").asArray().at(0);
    }

    std::vector<std::int32_t> storedResultIDs() {
        std::vector<std::int32_t> ids;
        scheduler_.workerQueue()->sync([&] {
            const auto results = database_->allFilterResults(nullptr);
            REQUIRE(results);
            for (const auto& entry : *results) ids.push_back(entry.first);
        });
        return ids;
    }

    APMAudienceLimits limits;
    std::string text;

private:
    testsupport::TempDir dir_;
    APMScheduler scheduler_;
    std::shared_ptr<APMDatabase> database_;
    std::shared_ptr<APMAudience> audience_;
    std::unique_ptr<APMRemoteConfig> config_;
    std::unique_ptr<APMPersistedConfig> persisted_;
    std::int64_t fingerprint_ = 0;
};

// One audience result as the collector reads it: "first", "changed" or
// "unchanged", the filters true and false now, and before when changed.
std::string summary(const Value& result) {
    const auto filters = [](const Value& data) {
        return "true [" + platform::writeJSON(data["true_filters"]) + "] false [" +
               platform::writeJSON(data["false_filters"]) + "]";
    };
    std::string text = std::to_string(result["audience_id"].intValue()) + ": ";
    const Value* previous = result.find("previous_data");
    text += result["new_audience"].boolValue() ? "first" : previous ? "changed" : "unchanged";
    text += ", now " + filters(result["current_data"]);
    if (previous) text += ", before " + filters(*previous);
    return text;
}

std::vector<std::string> summaries(const Value& bundle) {
    std::vector<std::string> lines;
    if (const Value* results = bundle.find("audience_results")) {
        for (const auto& result : results->asArray()) lines.push_back(summary(result));
    }
    return lines;
}

}  // namespace

TEST_CASE("audience results over three bundles, read back at the collector") {
    APMMonitorCapture capture;
    Pipeline pipeline;
    pipeline.limits.maxFilterResultCount = 3;
    REQUIRE(pipeline.configure(servedAudiences({1, 2, 3, 4})));

    // First bundle: every audience reports for the first time.
    const Value first = pipeline.bundle("gold", {"kuvo_calculate", "kuvo_got_error"});
    CHECK(summaries(first) == std::vector<std::string>{
                                  "1: first, now true [[0]] false [[]]",
                                  "2: first, now true [[0]] false [[]]",
                                  "3: first, now true [[0,1]] false [[]]",
                                  "4: first, now true [[0]] false [[]]",
                              });
    CHECK(pipeline.text.find("    audience 2, first report\n      now: true 0; false none\n") != std::string::npos);

    // 101 audiences change nothing; dropping audience 4 keeps its result
    // while its definition was still stored when pruning looked.
    std::vector<int> many;
    for (int i = 0; i < 101; ++i) many.push_back(10 + i);
    CHECK(pipeline.configure(servedAudiences(many)));
    CHECK(capture.hasCode(kAPMAudienceTooManyAudiencesCode));
    CHECK(pipeline.configure(servedAudiences({1, 2, 3})));
    CHECK(pipeline.storedResultIDs() == std::vector<std::int32_t>{1, 2, 3, 4});

    // Second bundle: the dynamic property filter turns false; the static
    // ones stay true and unchanged audiences carry no previous results.
    const Value second = pipeline.bundle("silver", {"kuvo_calculate"});
    CHECK(summaries(second) == std::vector<std::string>{
                                   "1: unchanged, now true [[0]] false [[]]",
                                   "2: changed, now true [[]] false [[0]], before true [[0]] false [[]]",
                                   "3: unchanged, now true [[0,1]] false [[]]",
                                   "4: unchanged, now true [[0]] false [[]]",
                               });
    CHECK(pipeline.text.find("    audience 2, changed since the last report\n"
                             "      now: true none; false 0\n") != std::string::npos);

    // The next configuration finds four results over the maximum of three:
    // audience 4's is stale now and goes.
    CHECK(pipeline.configure(servedAudiences({1, 2, 3})));
    CHECK(capture.hasCode(kAPMAudienceTooManyResultsCode));
    CHECK(pipeline.storedResultIDs() == std::vector<std::int32_t>{1, 2, 3});

    // Third bundle, with a session start: audience 3's session-scoped filter
    // starts again; the others stay as reported.
    const Value third = pipeline.bundle("silver", {"_s", "kuvo_calculate"});
    CHECK(summaries(third) == std::vector<std::string>{
                                  "1: unchanged, now true [[0]] false [[]]",
                                  "2: unchanged, now true [[]] false [[0]]",
                                  "3: changed, now true [[1]] false [[]], before true [[0,1]] false [[]]",
                              });
}
