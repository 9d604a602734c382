// Events logged through the public interface, bundled on the engine's worker queue.
#include <doctest/doctest.h>

#include <cstdlib>
#include <fstream>

#include "measurement/core/arurerudo.h"
#include "measurement/core/core_test_support.h"
#include "measurement/core/measurement.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/upload/app_event_shapes.h"
#include "measurement/foundation/bundle_tags.h"
#include "measurement/upload/bundler.h"
#include "platform/frameworks/utilities/gzip.h"

using namespace measurement;
using namespace bundle_tag;

namespace {

constexpr double kHourEnd = 1700002800.0;

// Makes bundles on the engine's worker queue until nothing is left, as the
// upload does before it posts a batch, over the engine's own configuration
// and settings.
int bundleEverything() {
    auto engine = APMMeasurement::sharedInstance();
    REQUIRE(engine->database());
    int made = 0;
    engine->scheduler().workerQueue()->sync([&] {
        APMBundler bundler(*engine->database(), *engine->remoteConfigInstance(), *engine->persistedConfig());
        while (bundler.bundleRawEvents()) ++made;
    });
    return made;
}

// The queue's stored bytes, inflated: what an upload would send.
std::vector<NANOBytes> queuedEncodings(const std::string& databasePath) {
    auto store = APMSqliteStore::makeWithDatabasePath(databasePath, nullptr);
    REQUIRE(store);
    auto rows = store->recordsForQuery("SELECT data FROM queue ORDER BY rowid", {}, nullptr);
    REQUIRE(rows);
    std::vector<NANOBytes> encodings;
    for (const auto& row : *rows) {
        auto inflated = platform::rul_dataByInflatingGzippedData(row.at("data").asData().bytes);
        REQUIRE(inflated);
        encodings.push_back(*inflated);
    }
    return encodings;
}

// protoc's own reading of the bytes, without any schema.
std::string decodeRaw(const testsupport::TempDir& folder, const NANOBytes& bytes, int index) {
    const auto input = folder / ("bundle" + std::to_string(index) + ".pb");
    const auto output = folder / ("bundle" + std::to_string(index) + ".txt");
    std::ofstream(input, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
    const std::string command =
        "/usr/bin/protoc --decode_raw < '" + input.string() + "' > '" + output.string() + "' 2>&1";
    REQUIRE(std::system(command.c_str()) == 0);
    std::ifstream in(output);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST_CASE("events logged through the public interface become one bundle per hour") {
    measurement::testing::EngineFixture engine;
    engine.configure();  // stores the first open
    testsupport::TempDir scratch;
    engine.time().advance(60);
    VEZArurerudo::logEventWithName("kuvo_calculate", upload_test::kuvoCalculateParameters());
    VEZArurerudo::logEventWithName("ad_impression", {{"value", 0.25}, {"currency", "EUR"}});
    engine.settle();
    engine.time().advance(kHourEnd + 30 - engine.time().now());
    VEZArurerudo::logEventWithName("kuvo_got_error", upload_test::kuvoGotErrorParameters());
    engine.settle();
    REQUIRE(engine.rawEvents().size() == 4);

    CHECK(bundleEverything() == 2);
    CHECK(engine.rawEvents().empty());
    const auto encodings = queuedEncodings(APMMeasurement::sharedInstance()->database()->databasePath());
    REQUIRE(encodings.size() == 2);
    std::vector<APMPBMeasurementBundle> bundles;
    for (const auto& encoding : encodings) {
        auto bundle = APMPBMeasurementBundle::initWithBuffer(encoding);
        REQUIRE(bundle);
        bundles.push_back(*bundle);
    }
    auto names = [](const APMPBMeasurementBundle& bundle) {
        std::vector<std::string> result;
        for (const auto& event : NANOGetArray<APMPBEvent>(bundle, bundleFieldIndex(kEvents))) {
            result.push_back(NANOGetString(event, event_field::kName).value_or(""));
        }
        return result;
    };
    CHECK(names(bundles[0]) == std::vector<std::string>{"_f", "kuvo_calculate", "_ai"});
    CHECK(names(bundles[1]) == std::vector<std::string>{"kuvo_got_error"});
    CHECK(NANOGetInt32(bundles[0], bundleFieldIndex(kBundleIndex)) == 1);
    CHECK(NANOGetInt32(bundles[1], bundleFieldIndex(kBundleIndex)) == 2);
    CHECK_FALSE(NANOHasField(bundles[0], bundleFieldIndex(kPreviousBundleEndTimestamp)));
    CHECK(NANOGetInt64(bundles[1], bundleFieldIndex(kPreviousBundleEndTimestamp)) ==
          NANOGetInt64(bundles[0], bundleFieldIndex(kEndTimestamp)));
    CHECK(NANOGetInt64(bundles[0], bundleFieldIndex(kEndTimestamp)) < 1700002800000LL);
    CHECK(NANOGetInt64(bundles[1], bundleFieldIndex(kStartTimestamp)) == 1700002830000LL);

    const auto first = decodeRaw(scratch, encodings[0], 0);
    CHECK(first.find("\"solutionStepsCount\"") != std::string::npos);
    CHECK(first.find("\"_ai\"") != std::string::npos);
    CHECK(first.find("\"ad_impression\"") == std::string::npos);
    const auto second = decodeRaw(scratch, encodings[1], 1);
    CHECK(second.find("\"mustBeLessThanX") != std::string::npos);
}
