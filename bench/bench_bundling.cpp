// Bundling of 10,000 stored raw events of the application's own shapes
// (calculations with their solution steps, refused inputs, screen views):
// bundles and events per second, and the bytes per event as stored raw and
// as queued for upload, with and without sampling. Each figure is the best
// of three runs on a fresh database, with the median and the longest time of
// the same three beside it; ratios are taken within this run. The process's
// peak memory, its context switches and the load average at the start and
// the end close the run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/bench_fixture.h"
#include "bench/bench_report.h"
#include "measurement/foundation/bundle_tags.h"
#include "measurement/foundation/event.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/store/database.h"
#include "measurement/store/database_config_storage.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/remote_config.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/upload/app_event_shapes.h"
#include "measurement/upload/bundler.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/launch_options.h"

using namespace measurement;

namespace {

constexpr int kEvents = 10000;
constexpr std::int64_t kFingerprint = 42;
constexpr int kRuns = 3;

struct Figures {
    double seconds = 0;
    int bundles = 0;
    int bundledEvents = 0;
    double rawBytes = 0;
    double queuedBytes = 0;
};

APMPBMeasurementBundle header() {
    APMPBMeasurementBundle bundle;
    NANOSetInt32(bundle, bundleFieldIndex(bundle_tag::kProtocolVersion), 1);
    NANOSetString(bundle, bundleFieldIndex(bundle_tag::kPlatform), std::string("ios"));
    NANOSetString(bundle, bundleFieldIndex(bundle_tag::kOSVersion), std::string("17.4.1"));
    NANOSetString(bundle, bundleFieldIndex(bundle_tag::kDeviceModel), std::string("iPhone15,2"));
    NANOSetString(bundle, bundleFieldIndex(bundle_tag::kAppID), std::string("com.velmora.bernoulli"));
    NANOSetString(bundle, bundleFieldIndex(bundle_tag::kConsentSignals), std::string("G111"));
    return bundle;
}

double sumOfColumnLengths(const std::string& path, const std::string& table) {
    auto store = APMSqliteStore::makeWithDatabasePath(path, nullptr);
    auto rows = store ? store->recordsForQuery("SELECT SUM(LENGTH(data)) AS n FROM " + table, {}, nullptr)
                      : std::nullopt;
    return rows && !rows->empty() ? rows->front().at("n").realValue() : 0;
}

Figures runOnce(bool sampling) {
    bench::ScratchFolder dir("bundling");
    APMScheduler scheduler;
    const std::string path = (dir / "measurement.sql").string();
    std::shared_ptr<APMDatabase> database;
    scheduler.workerQueue()->sync([&] { database = APMDatabase::makeWithPath(path, nullptr); });
    if (!database) {
        std::fprintf(stderr, "cannot open the database\n");
        std::exit(1);
    }
    APMRemoteConfigEnvironment environment;
    environment.appID = "velmora-bernoulli-ios";
    environment.bundleIdentifier = "com.velmora.bernoulli";
    APMRemoteConfig config(std::make_shared<APMDatabaseConfigStorage>(database), environment);
    APMPersistedConfig persisted(dir / "settings.plist");
    Figures figures;
    scheduler.workerQueue()->sync([&] {
        if (sampling) {
            APMPBMeasurementConfig server;
            NANOSetString(server, NANOFieldIndexForTag<APMPBMeasurementConfig>(2), environment.appID);
            APMPBSetting enabled;
            NANOSetString(enabled, 0, std::string("measurement.event_sampling_enabled"));
            NANOSetString(enabled, 1, std::string("true"));
            NANOSetArray(server, NANOFieldIndexForTag<APMPBMeasurementConfig>(3), std::vector<APMPBSetting>{enabled});
            APMPBEventConfig rate;
            NANOSetString(rate, 0, std::string("_vs"));
            NANOSetInt32(rate, 3, 4);
            NANOSetArray(server, NANOFieldIndexForTag<APMPBMeasurementConfig>(4), std::vector<APMPBEventConfig>{rate});
            config.updateMeasurementConfig(server, nullptr);
        }
        const double start = platform::dispatch::currentClock()->now() - kEvents;
        database->insertRawEventMetadata(header(), kFingerprint, nullptr);
        database->performTransaction([&] {
            for (int i = 0; i < kEvents; ++i)
                database->insertRawEvent(bench::calculatorSessionEvent(i, start), kFingerprint, nullptr);
            return true;
        });
        figures.rawBytes = sumOfColumnLengths(path, "raw_events");

        APMBundler bundler(*database, config, persisted);
        const auto begin = std::chrono::steady_clock::now();
        while (bundler.bundleRawEvents()) ++figures.bundles;
        figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        for (const auto& queued : database->queryBundlesWithCountLimit(1 << 20, 1LL << 40, nullptr).value_or(
                 std::vector<APMQueuedBundle>{})) {
            figures.bundledEvents +=
                static_cast<int>(NANOGetArray<APMPBEvent>(queued.bundle, bundleFieldIndex(bundle_tag::kEvents)).size());
        }
        figures.queuedBytes = sumOfColumnLengths(path, "queue");
        database.reset();
    });
    return figures;
}

using Measured = bench::BestOf<Figures>;

Measured best(bool sampling) { return bench::bestOf(kRuns, [&] { return runOnce(sampling); }); }

void print(const char* label, const Measured& measured) {
    const Figures& figures = measured.best;
    std::printf("%-26s %8d %10.0f %12.0f %12.1f %12.1f %12.1f %10.3f %10.3f\n", label, figures.bundles,
                figures.bundles / figures.seconds, kEvents / figures.seconds, figures.rawBytes / kEvents,
                figures.queuedBytes / kEvents,
                figures.bundledEvents ? figures.queuedBytes / figures.bundledEvents : 0.0, measured.seconds.median,
                measured.seconds.longest);
}

}  // namespace

int main() {
    const bench::RunReport report;
    platform::LaunchOptions::install(platform::LaunchOptions::fromVariables(std::getenv));
    APMMonitor::shared().muteConsole();
    std::printf("bundling %d stored events (5 kuvo_calculate : 2 kuvo_got_error : 3 screen views), best of %d "
                "(median and longest seconds of the same %d beside)\n",
                kEvents, kRuns, kRuns);
    std::printf("%-26s %8s %10s %12s %12s %12s %12s %10s %10s\n", "", "bundles", "bundles/s", "events/s", "raw B/event",
                "queued B/ev", "B/sent ev", "median s", "longest s");
    const Measured plain = best(false);
    print("default flags", plain);
    const Measured sampled = best(true);
    print("screen views sampled 1:4", sampled);
    std::printf("sampled / default time: %.2f (of the medians %.2f)\n", sampled.best.seconds / plain.best.seconds,
                sampled.seconds.median / plain.seconds.median);
    report.printEnd("bench_bundling");
    return 0;
}
