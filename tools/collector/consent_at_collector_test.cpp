// The engine uploading to the local collector: what arrives carries the
// consent under which its events were stored.
#include <doctest/doctest.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>

#include "measurement/core/arurerudo.h"
#include "measurement/core/core_test_support.h"
#include "measurement/core/facade.h"
#include "measurement/core/measurement.h"
#include "measurement/foundation/environment.h"
#include "platform/foundation/json_codec.h"
#include "platform/foundation/notification_center.h"
#include "platform/frameworks/app_core/application_state.h"
#include "platform/frameworks/app_core/background_task.h"
#include "testsupport/scoped_variable.h"
#include "testsupport/temp_dir.h"
#include "tools/collector/collector_service.h"

using namespace measurement;
using platform::Value;

namespace {

// Waits until everything the facade accepted so far has reached the engine.
void waitUntilHandled() {
    std::promise<void> handled;
    APMAnalytics::performAfterQueuedOperations("test:handled", [&handled] { handled.set_value(); });
    handled.get_future().wait();
}

// As the application resigning active: what was logged is stored and
// uploaded, and the background task ends with the upload.
void resignAndUpload() {
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    REQUIRE(platform::BackgroundTasks::shared().waitUntilNoActiveTask(30));
}

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
    testsupport::ScopedVariable address(kAPMMeasurementServiceURLVariable,
                                        "http://127.0.0.1:" + std::to_string(collector.start()));
    // Real queues and time: the upload goes over the loopback network.
    testing::EngineFixture engine(false);
    engine.configure();
    waitUntilHandled();

    // The first open goes first, under no consent at all.
    resignAndUpload();
    REQUIRE(collector.batchCount() == 1);

    // An event stored while ad storage and ad user data are granted, then a
    // further grant before the upload: the bundle keeps what held when its
    // event was stored.
    VEZArurerudo::setConsent({{"ad_storage", "granted"}, {"ad_user_data", "granted"}});
    VEZArurerudo::logEventWithName("after_consent");
    waitUntilHandled();
    VEZArurerudo::setConsent({{"analytics_storage", "granted"}});
    waitUntilHandled();
    CHECK(APMMeasurement::sharedInstance()->consentState()->consentSignals() == "G111");
    resignAndUpload();
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
