// Bundling of 10,000 stored raw events of the application's own shapes
// (calculations, refused inputs, screen views) with 0, 10 and 100 audience
// definitions: every event is evaluated against the filters stored under its
// name and every bundle reads and rewrites the audiences' results. Each
// figure is the best of three runs on a fresh database, with the median and
// the longest of the same three beside it; the ratios compare the same
// events within this run. The process's peak memory, its context switches
// and the load average at the start and the end close the run.
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
#include "measurement/audience/audience.h"
#include "measurement/audience/audience_fields.h"
#include "measurement/audience/filter_outcome.h"
#include "measurement/core/bundle_audience.h"
#include "measurement/foundation/bundle_tags.h"
#include "measurement/foundation/event.h"
#include "measurement/foundation/monitor.h"
#include "measurement/foundation/scheduler.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/store/database.h"
#include "measurement/store/database_config_storage.h"
#include "measurement/store/persisted_config.h"
#include "measurement/store/remote_config.h"
#include "measurement/upload/app_event_shapes.h"
#include "measurement/upload/bundler.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/launch_options.h"

using namespace measurement;
using namespace measurement::audience_field;

namespace {

constexpr int kEvents = 10000;
constexpr std::int64_t kFingerprint = 42;
constexpr int kRuns = 3;

APMPBMeasurementBundle header() {
    APMPBMeasurementBundle bundle;
    NANOSetInt32(bundle, bundleFieldIndex(bundle_tag::kProtocolVersion), 1);
    NANOSetString(bundle, bundleFieldIndex(bundle_tag::kPlatform), std::string("ios"));
    NANOSetString(bundle, bundleFieldIndex(bundle_tag::kAppID), std::string("com.velmora.bernoulli"));
    NANOSetString(bundle, bundleFieldIndex(bundle_tag::kConsentSignals), std::string("G111"));
    const APMUserAttribute tier("app", "tier", APMValue(std::string("gold")), 1700000000);
    const APMUserAttribute level("app", "level", APMValue(std::int64_t{7}), 1700000000);
    NANOSetArray(bundle, bundleFieldIndex(bundle_tag::kUserAttributes),
                 std::vector{tier.protoUserAttribute(), level.protoUserAttribute()});
    return bundle;
}

APMPBNumberFilter number(std::uint32_t type, const std::string& value) {
    APMPBNumberFilter filter;
    NANOSetInt32(filter, kNumberComparisonType, static_cast<std::int32_t>(type));
    NANOSetString(filter, kNumberComparisonValue, value);
    return filter;
}

APMPBFilter stringParameter(const std::string& name, std::uint32_t type, const std::string& expression) {
    APMPBStringFilter string;
    NANOSetInt32(string, kStringMatchType, static_cast<std::int32_t>(type));
    NANOSetString(string, kStringExpression, expression);
    APMPBFilter filter;
    NANOSetMessage(filter, kFilterString, string);
    NANOSetString(filter, kFilterParameterName, name);
    return filter;
}

APMPBEventFilter eventFilter(std::int32_t filterID, const std::string& name, std::vector<APMPBFilter> parameters,
                             int flagTag) {
    APMPBEventFilter filter;
    NANOSetInt32(filter, kEventFilterID, filterID);
    NANOSetString(filter, kEventFilterEventName, name);
    if (!parameters.empty()) NANOSetArray(filter, kEventFilterParameterFilters, parameters);
    if (flagTag) NANOSetBool(filter, APMPBFieldIndexForTag(flagTag), true);
    return filter;
}

// Audience i: one filter for each event shape of the run (a count and a
// parameter comparison, a string match that is a regular expression for
// every third audience, an exact screen name) and one user-property
// filter, with dynamic, sequence and session-scoped filters among them.
APMPBAudience audienceNumber(int i) {
    APMPBFilter steps;
    NANOSetMessage(steps, kFilterNumber, number(kAPMComparisonGreaterThan, "3"));
    NANOSetString(steps, kFilterParameterName, std::string("solutionStepsCount"));
    auto calculate = eventFilter(0, "kuvo_calculate", {steps}, i % 2 ? nano_APMPBEventFilter_dynamic_tag : 0);
    NANOSetMessage(calculate, kEventFilterCountFilter, number(kAPMComparisonGreaterThan, std::to_string(i)));
    const auto error = eventFilter(
        1, "kuvo_got_error",
        {i % 3 == 0 ? stringParameter("error_case", kAPMMatchRegularExpression, "less.*x§" + std::to_string(i))
                    : stringParameter("error_case", kAPMMatchBeginsWith, "mustBe")},
        i % 4 == 0 ? nano_APMPBEventFilter_sequence_tag : 0);
    const auto screen = eventFilter(2, "_vs", {stringParameter("_sn", kAPMMatchExact, "Calculator")},
                                    i % 5 == 0 ? nano_APMPBEventFilter_session_scoped_tag : 0);
    APMPBStringFilter gold;
    NANOSetInt32(gold, kStringMatchType, static_cast<std::int32_t>(kAPMMatchInList));
    NANOSetArray(gold, kStringExpressionList, std::vector<std::string>{"silver", "gold"});
    APMPBFilter goldFilter;
    NANOSetMessage(goldFilter, kFilterString, gold);
    APMPBPropertyFilter tier;
    NANOSetInt32(tier, kPropertyFilterID, 3);
    NANOSetString(tier, kPropertyFilterName, std::string("tier"));
    NANOSetMessage(tier, kPropertyFilterFilter, goldFilter);
    NANOSetBool(tier, kPropertyFilterDynamic, true);
    APMPBAudience audience;
    NANOSetInt32(audience, kAudienceID, i + 1);
    NANOSetArray(audience, kAudienceEventFilters, std::vector{calculate, error, screen});
    NANOSetArray(audience, kAudiencePropertyFilters, std::vector{tier});
    return audience;
}

struct Figures {
    double seconds = 0;
    int bundles = 0;
    std::size_t storedResults = 0;
};

Figures runOnce(int audiences) {
    bench::ScratchFolder dir("audiences");
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
        auto audience = std::make_shared<APMAudience>(*database);
        std::vector<APMPBAudience> definitions;
        for (int i = 0; i < audiences; ++i) definitions.push_back(audienceNumber(i));
        if (!audience->updateAudiences(definitions)) {
            std::fprintf(stderr, "the definitions were refused\n");
            std::exit(1);
        }
        const double start = platform::dispatch::currentClock()->now() - kEvents;
        database->insertRawEventMetadata(header(), kFingerprint, nullptr);
        database->performTransaction([&] {
            for (int i = 0; i < kEvents; ++i)
                database->insertRawEvent(bench::calculatorSessionEvent(i, start), kFingerprint, nullptr);
            return true;
        });
        APMBundlerInputs inputs;
        inputs.audience = std::make_shared<APMEngineBundleAudience>(audience);
        APMBundler bundler(*database, config, persisted, inputs);
        const auto begin = std::chrono::steady_clock::now();
        while (bundler.bundleRawEvents()) ++figures.bundles;
        figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        figures.storedResults = database->allFilterResults(nullptr).value_or(std::map<std::int32_t, APMFilterResult>{}).size();
        audience.reset();
        database.reset();
    });
    return figures;
}

using Measured = bench::BestOf<Figures>;

Measured best(int audiences) { return bench::bestOf(kRuns, [&] { return runOnce(audiences); }); }

}  // namespace

int main() {
    const bench::RunReport report;
    platform::LaunchOptions::install(platform::LaunchOptions::fromVariables(std::getenv));
    APMMonitor::shared().muteConsole();
    std::printf("bundling %d stored events (5 kuvo_calculate : 2 kuvo_got_error : 3 screen views), best of %d "
                "(median and longest of the same %d beside)\n",
                kEvents, kRuns, kRuns);
    std::printf("%-10s %8s %10s %12s %14s %10s %10s %10s\n", "audiences", "bundles", "seconds", "events/s",
                "results kept", "time / 0", "median s", "longest s");
    const Measured none = best(0);
    for (const int count : {0, 10, 100}) {
        const Measured measured = count == 0 ? none : best(count);
        const Figures& figures = measured.best;
        std::printf("%-10d %8d %10.3f %12.0f %14zu %10.2f %10.3f %10.3f\n", count, figures.bundles, figures.seconds,
                    kEvents / figures.seconds, figures.storedResults, figures.seconds / none.best.seconds,
                    measured.seconds.median, measured.seconds.longest);
    }
    report.printEnd("bench_audiences");
    return 0;
}
