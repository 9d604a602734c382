// The engine with its experiments client: the server configuration registers, fetched experiments come into force and their IDs reach the uploaded bundles, also after a restart.
#include <doctest/doctest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "measurement/core/arurerudo.h"
#include "measurement/core/core_test_support.h"
#include "measurement/core/facade.h"
#include "measurement/core/measurement.h"
#include "measurement/experiments/experiments_network.h"
#include "measurement/experiments/flag_values.h"
#include "measurement/foundation/environment.h"
#include "measurement/upload/uploader_test_support.h"
#include "platform/foundation/notification_center.h"
#include "platform/frameworks/app_core/application_state.h"
#include "platform/frameworks/utilities/gzip.h"
#include "testsupport/loopback_server.h"
#include "testsupport/scoped_launch_options.h"

using namespace measurement;

namespace {

constexpr int field(int tag) { return APMPBFieldIndexForTag(tag); }


// The service's reply: the configuration's SDK with experiments 31 and 7,
// the second turning regional defaults off, and the launched experiment 0.
testsupport::ScriptedResponse experimentsReply() {
    std::vector<APMPBExperiment> experiments;
    for (const auto& [id, flagName, value] : std::vector<std::tuple<int, std::string, platform::Value>>{
             {31, "color", platform::Value("blue")},
             {7, "regional_defaults_enabled", platform::Value(false)},
             {0, "launched", platform::Value(1)}}) {
        APMPBExperiment experiment;
        NANOSetInt32(experiment, field(nano_APMPBExperiment_experiment_id_tag), id);
        NANOSetArray(experiment, field(nano_APMPBExperiment_flags_tag),
                     std::vector{*flagMessageWithNameValue(platform::Value(flagName), value)});
        experiments.push_back(experiment);
    }
    APMPBSnapshot snapshot;
    NANOSetString(snapshot, field(nano_APMPBSnapshot_sdk_name_tag), std::string(kAPMExperimentsSDKName));
    NANOSetArray(snapshot, field(nano_APMPBSnapshot_experiments_tag), experiments);
    APMPBExperimentResponse response;
    NANOSetArray(response, field(nano_APMPBExperimentResponse_snapshots_tag), std::vector{snapshot});
    const auto body = platform::rul_dataByGzippingData(response.protoBuffer());
    REQUIRE(body);
    testsupport::ScriptedResponse reply;
    reply.body.assign(body->begin(), body->end());
    return reply;
}

struct EngineWithServices {
    testsupport::LoopbackServer server;
    testsupport::ScopedLaunchOptions services{[this](platform::LaunchOptions& o) {
        o.measurementServiceURL = server.url("");
        o.experimentsServiceURL = server.url("");
    }};
    testing::EngineFixture engine;

    EngineWithServices() {
        testsupport::ScriptedResponse accepted;
        accepted.status = 204;
        server.answer("/a", accepted);
        server.answer("/sdk-exp", experimentsReply());
    }

    static std::shared_ptr<APMMeasurement> measurement() { return APMMeasurement::sharedInstance(); }
    std::size_t requestsTo(const std::string& path) const {
        std::size_t count = 0;
        for (const auto& request : server.requests()) count += request.path == path;
        return count;
    }

    // Waits for the reply of a request made on a network thread to reach
    // the queue, and runs every queue.
    void completeOn(const std::shared_ptr<platform::dispatch::Queue>& queue, const std::string& path,
                    std::size_t count, const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (requestsTo(path) < count && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
        REQUIRE(requestsTo(path) >= count);
        REQUIRE(upload_test::runArrivingWork(queue, engine.time(), 20, done));
        engine.settle();
    }

    // Logs the event and uploads what is stored, as when the application
    // resigns active.
    void logAndUpload(const std::string& event) {
        VEZArurerudo::logEventWithName(event);
        engine.settle();
        const std::size_t uploads = requestsTo("/a");
        platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
        engine.settle();
        completeOn(measurement()->scheduler().workerQueue(), "/a", uploads + 1,
                   [] { return !measurement()->isNetworkRequestPending(); });
    }

    std::vector<std::int32_t> lastBundleExperimentIDs() {
        const auto requests = server.requests();
        for (auto it = requests.rbegin(); it != requests.rend(); ++it) {
            if (it->path != "/a") continue;
            auto batch = APMPBMeasurementBatch::initWithBuffer(it->body);
            REQUIRE(batch);
            const auto bundles = upload_test::bundlesOf(*batch);
            REQUIRE_FALSE(bundles.empty());
            return NANOGetArray<std::int32_t>(
                bundles.back(), APMPBMeasurementBundleFieldIndex(nano_APMPBMeasurementBundle_experiment_ids_tag));
        }
        FAIL("no upload");
        return {};
    }
};

}  // namespace

TEST_CASE("fetched experiments come into force at the next schedule and their IDs go out with the bundles") {
    EngineWithServices s;
    s.engine.configure();
    auto manager = s.measurement()->experimentsManager();
    REQUIRE(manager);
    CHECK(manager->clientForSDKName(platform::Value(kAPMExperimentsSDKName)));
    CHECK(s.measurement()->remoteConfigInstance()->regionalDefaultsEnabled());

    // The first fetch, ten seconds after the start.
    s.engine.time().advance(10);
    s.completeOn(manager->taskManager()->workerQueue(), "/sdk-exp", 1, [&] {
        return APMUserDefaults(kAPMEExperimentSuiteName).doubleForKey(kAPMEFetchSuccessTimestampKey) > 0;
    });
    const auto request = APMPBExperimentRequest::initWithBuffer(s.server.requests().back().body);
    REQUIRE(request);
    // The SDK's entry is diverted by the identity's key, made on a first
    // install and kept in the persisted settings.
    const auto properties =
        NANOGetArray<APMPBClientProperty>(*request, field(nano_APMPBExperimentRequest_client_properties_tag));
    REQUIRE(properties.size() == 1);
    const auto key = s.measurement()->persistedConfig()->diversionKey();
    REQUIRE(key);
    CHECK(key->size() == 5);
    CHECK(NANOGetString(properties[0], field(nano_APMPBClientProperty_diversion_id_tag)) ==
          *key + "-" + kAPMExperimentsSDKName);
    CHECK(manager->experimentIDs().empty());

    // The upload before the snapshot comes into force carries no IDs; the
    // schedule after it puts the snapshot in force.
    s.logAndUpload("before");
    CHECK(s.lastBundleExperimentIDs().empty());
    CHECK(manager->experimentIDs() == std::vector<std::int64_t>{7, 31});
    CHECK_FALSE(s.measurement()->remoteConfigInstance()->regionalDefaultsEnabled());
    s.logAndUpload("after");
    CHECK(s.lastBundleExperimentIDs() == std::vector<std::int32_t>{7, 31});

    SUBCASE("after a restart the experiments are in force from the first bundle") {
        s.engine.restart();
        s.engine.configure();
        CHECK(APMMeasurement::sharedInstance()->experimentsManager()->experimentIDs() ==
              std::vector<std::int64_t>{7, 31});
        CHECK_FALSE(APMMeasurement::sharedInstance()->remoteConfigInstance()->regionalDefaultsEnabled());
        s.logAndUpload("restarted");
        CHECK(s.lastBundleExperimentIDs() == std::vector<std::int32_t>{7, 31});
    }
    SUBCASE("resetting the server configuration resets the experiments and fetches again") {
        s.measurement()->remoteConfigInstance()->reset();
        s.engine.settle();
        CHECK(manager->experimentIDs().empty());
        CHECK(APMUserDefaults(kAPMEExperimentSuiteName).doubleForKey(kAPMEFetchSuccessTimestampKey) == 0);
        s.engine.time().advance(1);
        s.completeOn(manager->taskManager()->workerQueue(), "/sdk-exp", 2, [&] {
            return APMUserDefaults(kAPMEExperimentSuiteName).doubleForKey(kAPMEFetchSuccessTimestampKey) > 0;
        });
    }
}
