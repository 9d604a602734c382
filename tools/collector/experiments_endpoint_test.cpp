// The collector's experiments reply, and the engine's experiment IDs read back from the bundles it receives.
#include <doctest/doctest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "measurement/core/arurerudo.h"
#include "measurement/core/core_test_support.h"
#include "measurement/core/measurement.h"
#include "measurement/experiments/experiments_network.h"
#include "measurement/experiments/task_manager.h"
#include "measurement/foundation/environment.h"
#include "measurement/foundation/messages.h"
#include "measurement/upload/uploader_test_support.h"
#include "platform/foundation/http_client.h"
#include "platform/foundation/json_codec.h"
#include "platform/foundation/notification_center.h"
#include "platform/frameworks/app_core/application_state.h"
#include "platform/frameworks/utilities/gzip.h"
#include "testsupport/file_text.h"
#include "testsupport/scoped_launch_options.h"
#include "testsupport/temp_dir.h"
#include "tools/collector/collector_service.h"
#include "tools/collector/experiments_file.h"

using namespace measurement;
using tools::collector::CollectorOptions;
using tools::collector::CollectorService;

namespace {

constexpr int field(int tag) { return APMPBFieldIndexForTag(tag); }

const char* const kReply = R"({"snapshots": [{"sdk_name": "doz_urerizarori",
    "experiments": [{"experiment_id": 31, "flags": [{"name": "color", "string_value": "blue"}]},
                    {"experiment_id": 7, "flags": [{"name": "regional_defaults_enabled", "bool_value": false},
                                                   {"name": "n", "int_value": 3}, {"name": "r", "double_value": 0.5}]}]}],
    "sdk_responses": [{"sdk_name": "other", "status": 2}]})";

platform::HTTPResponse postRequest(int port, const std::string& body) {
    platform::HTTPRequest request;
    request.method = "POST";
    request.url = "http://127.0.0.1:" + std::to_string(port) + kAPMEExperimentsPath;
    request.body.assign(body.begin(), body.end());
    request.timeoutSeconds = 10;
    auto response = platform::CurlHTTPClient().send(request);
    REQUIRE_FALSE(response.failed());
    return response;
}

}  // namespace

TEST_CASE("the collector answers an experiment request with the gzipped reply of a file") {
    testsupport::TempDir dir;
    testsupport::writeText(dir / "experiments.json", kReply);
    CollectorOptions options;
    options.experimentsPath = dir / "experiments.json";
    std::ostringstream out;
    CollectorService service(options, out);
    const int port = service.start();

    const auto response = postRequest(port, "");
    REQUIRE(response.statusCode == 200);
    const auto inflated = platform::rul_dataByInflatingGzippedData(response.body);
    REQUIRE(inflated);
    const auto decoded = APMPBExperimentResponse::initWithBuffer(*inflated);
    REQUIRE(decoded);
    const auto snapshots = NANOGetArray<APMPBSnapshot>(*decoded, field(nano_APMPBExperimentResponse_snapshots_tag));
    REQUIRE(snapshots.size() == 1);
    const auto experiments = NANOGetArray<APMPBExperiment>(snapshots[0], field(nano_APMPBSnapshot_experiments_tag));
    REQUIRE(experiments.size() == 2);
    const auto flags = NANOGetArray<APMPBFlag>(experiments[1], field(nano_APMPBExperiment_flags_tag));
    REQUIRE(flags.size() == 3);
    CHECK(NANOHasField(flags[0], field(nano_APMPBFlag_bool_value_tag)));
    CHECK_FALSE(NANOGetBool(flags[0], field(nano_APMPBFlag_bool_value_tag)));
    CHECK(NANOGetInt64(flags[1], field(nano_APMPBFlag_int_value_tag)) == 3);
    CHECK(NANOGetDouble(flags[2], field(nano_APMPBFlag_double_value_tag)) == 0.5);
    const auto perSDK = NANOGetArray<APMPBSdkResponse>(*decoded, field(nano_APMPBExperimentResponse_sdk_responses_tag));
    REQUIRE(perSDK.size() == 1);
    CHECK(NANOGetInt32(perSDK[0], field(nano_APMPBSdkResponse_status_tag)) == 2);

    SUBCASE("the encoded form is served byte for byte") {
        const std::string encoded(inflated->begin(), inflated->end());
        testsupport::writeText(dir / "experiments.pb", encoded);
        CollectorOptions binary;
        binary.experimentsPath = dir / "experiments.pb";
        CollectorService second(binary, out);
        const auto again = postRequest(second.start(), "");
        CHECK(platform::rul_dataByInflatingGzippedData(again.body) == inflated);
    }
    service.stop();
    CHECK(out.str().find("POST /sdk-exp: 200, snapshots doz_urerizarori [31, 7]; other: status 2\n"
                         "  request ; clients none\n") != std::string::npos);
    // The request's own texts are escaped: a platform "i\nx" starts no line.
    CHECK(tools::collector::describeExperimentsRequest({0x0a, 0x05, 0x0a, 0x03, 'i', '\n', 'x'}) ==
          "i\\nx 0; clients none");
}

TEST_CASE("experiments replies the collector refuses") {
    testsupport::TempDir dir;
    std::ostringstream out;
    {
        CollectorService service(CollectorOptions{}, out);
        CHECK(postRequest(service.start(), "").statusCode == 404);
    }
    struct Case {
        const char* text;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"[]", "the experiments reply must be an object"},
        {R"({"snapshots": [{"experiments": [{"experiment_id": 4294967296}]}]})",
         "\"snapshots[0].experiments[0].experiment_id\" must be a whole number"},
        {R"({"snapshots": [{"sdk_name": 3}]})", "\"snapshots[0].sdk_name\" must be text"},
        {R"({"sdk_responses": [{"status": -1}]})", "\"sdk_responses[0].status\" must be a whole number"},
        {R"({"snapshots": [], "extra": 1})", "\".extra\" must be one of the message's fields"},
        {"not json", "not JSON"},
    };
    for (const auto& c : cases) {
        const std::string text = c.text;
        CAPTURE(text);
        testsupport::writeText(dir / "bad.json", text);
        std::string reason;
        CHECK_FALSE(tools::collector::loadExperiments(dir / "bad.json", &reason));
        CAPTURE(reason);
        CHECK(reason.find(c.reason) != std::string::npos);
        CollectorOptions options;
        options.experimentsPath = dir / "bad.json";
        CHECK_THROWS_AS(CollectorService(options, out), std::invalid_argument);
    }
}

TEST_CASE("the engine fetches its experiments from the collector, whose bundles then carry their IDs") {
    testsupport::TempDir dir;
    testsupport::writeText(dir / "experiments.json", kReply);
    CollectorOptions options;
    options.experimentsPath = dir / "experiments.json";
    options.logPath = dir / "batches.jsonl";
    std::ostringstream printed;
    CollectorService collector(options, printed);
    const int port = collector.start();
    testsupport::ScopedLaunchOptions services([port](platform::LaunchOptions& o) {
        o.measurementServiceURL = o.experimentsServiceURL = "http://127.0.0.1:" + std::to_string(port);
    });
    testing::EngineFixture engine;
    engine.configure();
    auto manager = APMMeasurement::sharedInstance()->experimentsManager();
    const auto fetched = [] {
        return APMUserDefaults(kAPMEExperimentSuiteName).doubleForKey(kAPMEFetchSuccessTimestampKey) > 0;
    };
    engine.time().advance(10);
    REQUIRE(upload_test::runArrivingWork(manager->taskManager()->workerQueue(), engine.time(), 20, fetched));
    engine.settle();
    REQUIRE(fetched());

    // Two uploads: the one after which the snapshot comes into force, and
    // one carrying its IDs.
    for (const char* name : {"before", "after"}) {
        const std::size_t before = collector.batchCount();
        VEZArurerudo::logEventWithName(name);
        engine.settle();
        platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
        engine.settle();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (collector.batchCount() == before && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        REQUIRE(upload_test::runArrivingWork(APMMeasurement::sharedInstance()->scheduler().workerQueue(),
                                             engine.time(), 20,
                                             [] { return !APMMeasurement::sharedInstance()->isNetworkRequestPending(); }));
        engine.settle();
    }
    collector.stop();
    std::ifstream log(*options.logPath);
    std::vector<platform::Value> bundles;
    for (std::string line; std::getline(log, line);) {
        const auto batch = platform::parseJSON(line);
        REQUIRE(batch);
        for (const auto& bundle : (*batch)["bundles"].asArray()) bundles.push_back(bundle);
    }
    REQUIRE(bundles.size() == 2);
    CHECK(bundles[0]["experiment_ids"].isNull());
    CHECK(bundles[1]["experiment_ids"] == platform::Value(platform::Value::Array{7, 31}));
    CHECK(printed.str().find("POST /sdk-exp: 200, snapshots doz_urerizarori [31, 7]") != std::string::npos);
}
