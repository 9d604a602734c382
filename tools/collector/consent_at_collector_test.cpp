// The engine uploading to the local collector: what arrives carries the
// consent under which its events were stored.
#include <doctest/doctest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "measurement/core/arurerudo.h"
#include "measurement/core/core_test_support.h"
#include "measurement/core/facade.h"
#include "measurement/core/measurement.h"
#include "measurement/foundation/environment.h"
#include "platform/foundation/json_codec.h"
#include "testsupport/scoped_launch_options.h"
#include "testsupport/temp_dir.h"
#include "tools/collector/collector_service.h"

using namespace measurement;
using platform::Value;

namespace {

std::vector<Value> loggedBatches(const std::filesystem::path& path) {
    std::vector<Value> batches;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        auto batch = platform::parseJSON(line);
        REQUIRE(batch);
        batches.push_back(*batch);
    }
    return batches;
}

std::vector<std::string> eventNames(const Value& bundle) {
    std::vector<std::string> names;
    for (const auto& event : bundle["events"].asArray()) names.push_back(event["name"].stringValue());
    return names;
}

}  // namespace

TEST_CASE("an uploaded bundle carries the consent signals and diagnostics of its events") {
    testsupport::TempDir dir;
    tools::collector::CollectorOptions options;
    options.logPath = dir / "batches.jsonl";
    std::ostringstream printed;
    tools::collector::CollectorService collector(options, printed);
    const int port = collector.start();
    testsupport::ScopedLaunchOptions address(
        [port](platform::LaunchOptions& o) { o.measurementServiceURL = "http://127.0.0.1:" + std::to_string(port); });
    // Real queues and time: the upload goes over the loopback network.
    testing::EngineFixture engine(false);
    engine.configure();
    testing::waitUntilHandled();

    // The first open goes first, under no consent at all.
    testing::resignAndUpload();
    REQUIRE(collector.batchCount() == 1);

    // An event stored while ad storage and ad user data are granted, then a
    // further grant before the upload: the bundle keeps what held when its
    // event was stored.
    VEZArurerudo::setConsent({{"ad_storage", "granted"}, {"ad_user_data", "granted"}});
    VEZArurerudo::logEventWithName("after_consent");
    testing::waitUntilHandled();
    VEZArurerudo::setConsent({{"analytics_storage", "granted"}});
    testing::waitUntilHandled();
    CHECK(APMMeasurement::sharedInstance()->consentState()->consentSignals() == "G111");
    testing::resignAndUpload();
    REQUIRE(collector.batchCount() == 2);

    const auto batches = loggedBatches(*options.logPath);
    REQUIRE(batches.size() == 2);
    const auto& first = batches[0]["bundles"].asArray();
    REQUIRE(first.size() == 1);
    CHECK(eventNames(first[0]) == std::vector<std::string>{"_f"});
    CHECK(first[0]["consent_signals"] == Value("G1--"));
    CHECK(first[0]["consent_diagnostics"] == Value("19999"));

    const auto& second = batches[1]["bundles"].asArray();
    REQUIRE(second.size() == 1);
    CHECK(eventNames(second[0]) == std::vector<std::string>{"after_consent"});
    CHECK(second[0]["consent_signals"] == Value("G11-"));
    CHECK(second[0]["consent_diagnostics"] == Value("15959"));
}
