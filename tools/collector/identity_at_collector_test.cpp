// The engine uploading to the local collector: what arrives carries the
// identity's fields, under the consent in force at the upload, and the same
// app instance ID after a restart.
#include <doctest/doctest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "measurement/core/arurerudo.h"
#include "measurement/core/core_test_support.h"
#include "measurement/core/facade.h"
#include "measurement/foundation/environment.h"
#include "platform/foundation/json_codec.h"
#include "platform/foundation/process_info.h"
#include "platform/frameworks/app_core/app.h"
#include "testsupport/scoped_launch_options.h"
#include "testsupport/temp_dir.h"
#include "tools/collector/collector_service.h"

using namespace measurement;
using platform::Value;

namespace {

constexpr const char* kVendorID = "6B1D2C3E-4F50-4A61-8B72-93A4B5C6D7E8";

std::vector<Value> bundlesOf(const std::filesystem::path& path) {
    std::vector<Value> bundles;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        auto batch = platform::parseJSON(line);
        REQUIRE(batch);
        for (const auto& bundle : (*batch)["bundles"].asArray()) bundles.push_back(bundle);
    }
    return bundles;
}

}  // namespace

TEST_CASE("uploaded bundles carry the identity's fields, and the app instance ID survives a restart") {
    testsupport::TempDir dir;
    tools::collector::CollectorOptions options;
    options.logPath = dir / "batches.jsonl";
    std::ostringstream printed;
    tools::collector::CollectorService collector(options, printed);
    const int port = collector.start();
    testsupport::ScopedLaunchOptions address(
        [port](platform::LaunchOptions& o) { o.measurementServiceURL = "http://127.0.0.1:" + std::to_string(port); });
    platform::ProcessInfo::setIdentifierForVendor(kVendorID);
    // Real queues and time: the uploads go over the loopback network.
    testing::EngineFixture engine(false);
    engine.configure();
    testing::waitUntilHandled();
    const auto instanceID = VEZArurerudo::appInstanceID();
    REQUIRE(instanceID);
    testing::resignAndUpload();

    // Analytics storage denied: the identifiers stay home.
    VEZArurerudo::setConsent({{"analytics_storage", "denied"}});
    VEZArurerudo::logEventWithName("while_denied");
    testing::waitUntilHandled();
    testing::resignAndUpload();

    // A new process on the same files, storage granted again.
    engine.restart();
    engine.configure();
    VEZArurerudo::setConsent({{"analytics_storage", "granted"}});
    VEZArurerudo::logEventWithName("after_restart");
    testing::waitUntilHandled();
    testing::resignAndUpload();
    platform::ProcessInfo::reset();

    const auto bundles = bundlesOf(*options.logPath);
    REQUIRE(bundles.size() == 3);
    const auto appID = platform::VEZApp::defaultAppOptions()->appID;
    const struct {
        const char* event;
        bool identifiers;
    } expected[] = {{"_f", true}, {"while_denied", false}, {"after_restart", true}};
    for (std::size_t i = 0; i < 3; ++i) {
        CAPTURE(i);
        const auto& bundle = bundles[i];
        REQUIRE(bundle["events"].isArray());
        CHECK(bundle["events"].asArray().at(0)["name"] == Value(expected[i].event));
        CHECK(bundle["measurement_app_id"] == Value(appID));
        CHECK(bundle["app_version_major"] == Value(1));
        CHECK(bundle["library_version"] == Value(110100));
        CHECK(bundle["library_version_at_storage"] == Value(110100));
        // No advertising framework linked: no advertising identifier, the
        // vendor one instead.
        CHECK(bundle["resettable_device_id"].isNull());
        CHECK(bundle["app_instance_id"] == (expected[i].identifiers ? Value(*instanceID) : Value()));
        CHECK(bundle["vendor_device_id"] == (expected[i].identifiers ? Value(kVendorID) : Value()));
    }
}
