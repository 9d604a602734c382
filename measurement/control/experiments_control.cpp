// The engine's experiments client, driven from outside the public
// interface, in plain values.
#include "measurement/control/experiments_control.h"

#include <algorithm>
#include <memory>
#include <mutex>

#include "measurement/core/measurement.h"
#include "measurement/experiments/experiments_database.h"
#include "measurement/experiments/experiments_network.h"
#include "platform/dispatch/queue.h"

namespace measurement::control {

namespace {

using platform::Value;

std::shared_ptr<APMEManager> manager() { return APMMeasurement::sharedInstance()->experimentsManager(); }

double fetchOutcomeTime() {
    const APMUserDefaults suite(kAPMEExperimentSuiteName);
    return std::max(suite.doubleForKey(kAPMEFetchSuccessTimestampKey),
                    suite.doubleForKey(kAPMEFetchFailureTimestampKey));
}

// The table's snapshots; none, with why in `failure`, when it cannot be
// read.
Value tableValue(APMEDatabase& database, const std::string& table, std::optional<std::string>& failure) {
    std::optional<APMError> error;
    const auto snapshots = table == kAPMEActivatedSnapshotTable ? database.fetchAllActivatedSnapshots(&error)
                           : table == kAPMEPendingSnapshotTable ? database.fetchAllPendingSnapshots(&error)
                                                                             : database.fetchAllLaunchedSnapshots(&error);
    if (!snapshots) {
        failure = "the table " + table + " of the experiments database cannot be read" +
                  (error ? ": " + error->localizedDescription() : std::string());
        return Value();
    }
    Value::Array rows;
    for (const auto& snapshot : snapshots.value_or(std::vector<APMESnapshot>{})) {
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

}  // namespace

std::string experimentsFetchURL() { return APMEExperimentsFetchURL(); }

bool hasExperimentsClient() { return manager() != nullptr; }

ExperimentsFetch waitForExperimentsFetch(double since, double timeoutSeconds) {
    auto client = manager();
    if (!client) return {};
    // A fetch that failed posts nothing to the main queue, whose loop would
    // not look again until its time was up: the end of each fetch wakes it.
    auto failure = std::make_shared<std::optional<std::string>>();
    auto mutex = std::make_shared<std::mutex>();
    client->taskManager()->setFetchEndObserver([failure, mutex](const std::optional<std::string>& why) {
        {
            std::lock_guard lock(*mutex);
            *failure = why;
        }
        platform::dispatch::mainQueue().async([] {});
    });
    const bool ended =
        platform::dispatch::mainQueue().runUntil([since] { return fetchOutcomeTime() >= since; }, timeoutSeconds);
    client->taskManager()->setFetchEndObserver(nullptr);
    if (!ended) return {};
    for (int round = 0; round < 2; ++round) {
        client->taskManager()->dispatchSyncOnWorkerQueue([] {});
        client->dispatchSyncOnSerialQueue([] {});
    }
    client->taskManager()->dispatchSyncOnWorkerQueue([] {});
    platform::dispatch::mainQueue().drain();
    std::lock_guard lock(*mutex);
    return {true, *failure};
}

void activateFetchedSnapshot() {
    auto engine = APMMeasurement::sharedInstance();
    engine->scheduler().workerQueue()->sync([&] {
        if (auto config = engine->remoteConfigInstance()) config->activateNewSnapshot();
    });
    // The client records that in its database on its own queue, which is
    // waited for before the tables are read.
    if (auto client = manager()) client->taskManager()->dispatchSyncOnWorkerQueue([] {});
}

const std::vector<std::string>& snapshotTables() {
    static const std::vector<std::string> tables{kAPMEActivatedSnapshotTable, kAPMEPendingSnapshotTable,
                                                 kAPMELaunchedSnapshotTable};
    return tables;
}

Value experimentsState() {
    auto client = manager();
    Value::Array ids;
    if (client) {
        for (auto id : client->experimentIDs()) ids.emplace_back(static_cast<long long>(id));
    }
    const auto config = APMMeasurement::sharedInstance()->remoteConfigInstance();
    Value::Dictionary tables;
    std::optional<std::string> failure;
    if (client) {
        const auto path = client->taskManager()->databasePath();
        if (auto database = APMEDatabase::initWithPath(path)) {
            for (const auto& table : snapshotTables()) tables.emplace(table, tableValue(*database, table, failure));
        } else {
            failure = "the experiments database " + path + " could not be opened";
        }
    }
    const APMUserDefaults suite(kAPMEExperimentSuiteName);
    return Value::Dictionary{
        {"service", APMEExperimentsFetchURL()},
        {"experiment_ids", ids},
        {"regional_defaults_enabled", config ? Value(config->regionalDefaultsEnabled()) : Value()},
        {"last_success", suite.doubleForKey(kAPMEFetchSuccessTimestampKey)},
        {"last_failure", suite.doubleForKey(kAPMEFetchFailureTimestampKey)},
        {"tables", tables},
        {"error", failure ? Value(*failure) : Value()}};
}

}  // namespace measurement::control
