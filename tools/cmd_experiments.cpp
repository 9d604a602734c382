// `velmora experiments [--fetch] [--json] [--data DIR]`: starts the measurement
// engine as the application does and prints what its experiments client
// holds: the experiment IDs that go into bundles, the server configuration's
// experiment flag, and the activated, pending and launched snapshots stored.
// With --fetch it first waits for the client's first fetch of the run (ten
// seconds after the start) from the experiments service named by
// $VELMORA_EXPERIMENTS_SERVICE_URL (or the service property list), lets the
// engine upload what it stored, puts the fetched snapshot in force as the
// engine does once nothing is left to upload, and then prints.
#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <string>
#include <thread>

#include "measurement/core/facade.h"
#include "measurement/core/measurement.h"
#include "measurement/experiments/experiments_database.h"
#include "measurement/experiments/experiments_network.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/json_codec.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/user_defaults.h"
#include "platform/frameworks/app_core/application_state.h"
#include "platform/frameworks/app_core/background_task.h"
#include "tools/command_registry.h"
#include "velmora/shell/measurement_analytics.h"

namespace {

using measurement::APMEManager;
using platform::Value;

constexpr double kWaitSeconds = 60;

struct ExperimentsOptions {
    std::string data;
    bool fetch = false;
    bool json = false;
};

// The data folder as the other commands take it: --data, else $VELMORA_DATA,
// else velmora under the user's data home.
void useDataFolder(const std::string& given) {
    const char* variable = std::getenv("VELMORA_DATA");
    const std::filesystem::path folder =
        !given.empty() ? std::filesystem::path(given)
        : variable && *variable ? std::filesystem::path(variable)
                                : platform::ProcessInfo::defaultApplicationSupportDirectory().parent_path();
    platform::ProcessInfo::setApplicationSupportDirectory(folder / "Application Support");
    platform::UserDefaults::setDataDirectory(folder / "Preferences");
}

// Waits until the engine has handled everything accepted so far (which
// first waits for its start).
bool waitUntilEngineStarted() {
    auto started = std::make_shared<std::promise<void>>();
    measurement::APMAnalytics::performAfterQueuedOperations("velmora:experiments", [started] { started->set_value(); });
    return started->get_future().wait_for(std::chrono::duration<double>(kWaitSeconds)) == std::future_status::ready;
}

double fetchOutcomeTime() {
    const measurement::APMUserDefaults suite(measurement::kAPMEExperimentSuiteName);
    return std::max(suite.doubleForKey(measurement::kAPMEFetchSuccessTimestampKey),
                    suite.doubleForKey(measurement::kAPMEFetchFailureTimestampKey));
}

// Waits, running the main queue as the application's loop would, until a
// fetch has ended after `since`; then lets the manager pass on what it
// brought: pending snapshots stored and announced to their SDKs.
bool waitForFetch(APMEManager& manager, double since) {
    if (!platform::dispatch::mainQueue().runUntil([since] { return fetchOutcomeTime() >= since; }, kWaitSeconds)) {
        return false;
    }
    for (int round = 0; round < 2; ++round) {
        manager.taskManager()->dispatchSyncOnWorkerQueue([] {});
        manager.dispatchSyncOnSerialQueue([] {});
    }
    manager.taskManager()->dispatchSyncOnWorkerQueue([] {});
    platform::dispatch::mainQueue().drain();
    return true;
}

// As the application does when it resigns active: what is stored goes up
// (with no service to take it, it stays).
bool uploadStored() {
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    return platform::BackgroundTasks::shared().waitUntilNoActiveTask(kWaitSeconds);
}

Value tableValue(measurement::APMEDatabase& database, const std::string& table) {
    std::optional<measurement::APMError> error;
    const auto snapshots = table == measurement::kAPMEActivatedSnapshotTable ? database.fetchAllActivatedSnapshots(&error)
                           : table == measurement::kAPMEPendingSnapshotTable ? database.fetchAllPendingSnapshots(&error)
                                                                             : database.fetchAllLaunchedSnapshots(&error);
    Value::Array rows;
    for (const auto& snapshot : snapshots.value_or(std::vector<measurement::APMESnapshot>{})) {
        Value::Array ids;
        for (const auto& experiment : snapshot.experiments()) ids.emplace_back(experiment.experimentID());
        Value::Dictionary row;
        row["sdk_name"] = snapshot.SDKName();
        row["experiment_ids"] = std::move(ids);
        row["timestamp"] = snapshot.timestamp();
        row["manually_activated"] = snapshot.manuallyActivated();
        row["description"] = snapshot.description();
        rows.emplace_back(std::move(row));
    }
    return rows;
}

Value stateValue(APMEManager& manager) {
    Value::Array ids;
    for (auto id : manager.experimentIDs()) ids.emplace_back(static_cast<long long>(id));
    const auto config = measurement::APMMeasurement::sharedInstance()->remoteConfigInstance();
    Value::Dictionary tables;
    if (auto database = measurement::APMEDatabase::initWithPath(manager.taskManager()->databasePath())) {
        for (const char* table : {measurement::kAPMEActivatedSnapshotTable, measurement::kAPMEPendingSnapshotTable,
                                  measurement::kAPMELaunchedSnapshotTable}) {
            tables.emplace(table, tableValue(*database, table));
        }
    }
    const measurement::APMUserDefaults suite(measurement::kAPMEExperimentSuiteName);
    return Value::Dictionary{
        {"service", measurement::APMEExperimentsFetchURL()},
        {"experiment_ids", ids},
        {"regional_defaults_enabled", config ? Value(config->regionalDefaultsEnabled()) : Value()},
        {"last_success", suite.doubleForKey(measurement::kAPMEFetchSuccessTimestampKey)},
        {"last_failure", suite.doubleForKey(measurement::kAPMEFetchFailureTimestampKey)},
        {"tables", tables}};
}

void printState(const Value& state) {
    const std::string service = state["service"].stringValue();
    std::cout << "experiments service: " << (service.empty() ? "none" : service) << '\n';
    std::cout << "experiment IDs in bundles:";
    if (state["experiment_ids"].asArray().empty()) std::cout << " none";
    for (const auto& id : state["experiment_ids"].asArray()) std::cout << ' ' << id.intValue();
    std::cout << "\nregional defaults: " << (state["regional_defaults_enabled"].boolValue() ? "on" : "off") << '\n';
    for (const char* table : {measurement::kAPMEActivatedSnapshotTable, measurement::kAPMEPendingSnapshotTable,
                              measurement::kAPMELaunchedSnapshotTable}) {
        const auto& rows = state["tables"][table];
        std::cout << table << ':';
        if (!rows.isArray() || rows.asArray().empty()) std::cout << " none";
        std::cout << '\n';
        if (!rows.isArray()) continue;
        for (const auto& row : rows.asArray()) {
            std::cout << "  " << row["description"].stringValue()
                      << (row["manually_activated"].boolValue() ? " (activated by its SDK)" : "") << '\n';
        }
    }
}

// What the engine does once it has nothing left to upload: a snapshot its
// client was told of goes in force, and bundles carry its experiment IDs
// from then on. The client records that in its database on its own queue,
// which is waited for before the tables are read.
void activateFetchedSnapshot(APMEManager& manager) {
    auto engine = measurement::APMMeasurement::sharedInstance();
    engine->scheduler().workerQueue()->sync([&] {
        if (auto config = engine->remoteConfigInstance()) config->activateNewSnapshot();
    });
    manager.taskManager()->dispatchSyncOnWorkerQueue([] {});
}

int runExperiments(const ExperimentsOptions& options) {
    useDataFolder(options.data);
    // Without a service a fetch can only fail, a minute later: say so now.
    if (options.fetch && measurement::APMEExperimentsFetchURL().empty()) {
        std::cerr << "velmora experiments: --fetch needs an experiments service, and none is configured: set "
                     "$VELMORA_EXPERIMENTS_SERVICE_URL (the address of a running `velmora collector`, say)\n";
        return 1;
    }
    const double start = static_cast<double>(std::time(nullptr));
    if (!velmora::configureMeasurementAnalytics() || !waitUntilEngineStarted()) {
        std::cerr << "velmora experiments: the engine did not start\n";
        return 1;
    }
    auto manager = measurement::APMMeasurement::sharedInstance()->experimentsManager();
    if (!manager) {
        std::cerr << "velmora experiments: the engine has no experiments client\n";
        return 1;
    }
    if (options.fetch && !waitForFetch(*manager, start)) {
        std::cerr << "velmora experiments: no fetch ended within " << kWaitSeconds << " s\n";
        return 1;
    }
    if (!uploadStored()) {
        std::cerr << "velmora experiments: the engine did not finish within " << kWaitSeconds << " s\n";
        return 1;
    }
    if (options.fetch) activateFetchedSnapshot(*manager);
    const auto state = stateValue(*manager);
    if (options.json) {
        std::cout << platform::writeJSON(state, true) << '\n';
    } else {
        printState(state);
    }
    if (options.fetch && state["last_success"].realValue() < start) {
        std::cerr << "velmora experiments: the fetch failed\n";
        return 1;
    }
    return 0;
}

const tools::CommandRegistration registration([](CLI::App& app, int& status) {
    auto options = std::make_shared<ExperimentsOptions>();
    auto* command = app.add_subcommand(
        "experiments", "Start the measurement engine and print its experiments: IDs in bundles, flags, stored snapshots");
    command->add_flag("--fetch", options->fetch,
                      "Wait for the first fetch of the run (10 s after the start) and let the engine put it in force");
    command->add_flag("--json", options->json, "Print the state as JSON");
    command->add_option("--data,--data-dir", options->data,
                        "Data folder (default: $VELMORA_DATA, else velmora under the user's data home)");
    command->callback([options, &status] { status = runExperiments(*options); });
});

}  // namespace
