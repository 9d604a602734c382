// The experiments database over the engine's SQLite store: opening, the three tables, activation and clean-up.
#include "measurement/experiments/experiments_database.h"

#include "measurement/experiments/experiments_codes.h"
#include "measurement/experiments/experiments_monitor.h"
#include "platform/dispatch/clock.h"

namespace measurement {

namespace {

using platform::Value;

constexpr const char* kSDKNameColumn = "sdk_name";
constexpr const char* kSnapshotProtoColumn = "snapshotProto";
constexpr const char* kTimestampColumn = "timestamp";
constexpr const char* kManuallyActivatedColumn = "manually_activated";

// Lives for the whole process: the worker queue may still be opening the
// database while a process that is done with it ends.
const APMColumnInfo& snapshotColumns() {
    static const auto* columns = new APMColumnInfo{
        {kSDKNameColumn, "TEXT NOT NULL PRIMARY KEY"},
        {kSnapshotProtoColumn, "BLOB NOT NULL"},
        {kTimestampColumn, "REAL NOT NULL"},
        {kManuallyActivatedColumn, "INTEGER"},
    };
    return *columns;
}

void log(int level, long code, const std::string& message, const Value& context = Value(),
         const Value& context2 = Value()) {
    APMEMonitor::shared().logWithLevel(level, code, message, context, context2);
}

// The snapshot a row holds, with the row's time and mark; none when the row
// lacks its message or the message gives no snapshot.
std::optional<APMESnapshot> snapshotFromRow(const APMRow& row) {
    const auto proto = row.find(kSnapshotProtoColumn);
    if (proto == row.end() || !proto->second.isData()) return std::nullopt;
    const auto message = APMPBSnapshot::initWithBuffer(proto->second.asData().bytes);
    if (!message) return std::nullopt;
    auto snapshot = APMESnapshot::initWithProtobuf(*message);
    if (!snapshot) return std::nullopt;
    if (const auto time = row.find(kTimestampColumn); time != row.end()) snapshot->setTimestamp(time->second.realValue());
    if (const auto mark = row.find(kManuallyActivatedColumn); mark != row.end() && mark->second.isNumber()) {
        snapshot->setManuallyActivated(mark->second.boolValue());
    }
    return snapshot;
}

void logUnreadableRow(const std::string& tableName, const APMRow& row) {
    const auto name = row.find(kSDKNameColumn);
    log(kAPMMonitorLevelError, kAPMEDatabaseUnreadableRowCode, "Cannot read a stored snapshot. Table, SDK name",
        Value(tableName), name == row.end() ? Value() : name->second);
}

}  // namespace

std::unique_ptr<APMEDatabase> APMEDatabase::initWithPath(const std::string& path) {
    if (path.empty()) {
        log(kAPMMonitorLevelError, kAPMEDatabaseInvalidPathCode, "Cannot initialize the database with invalid path");
        return nullptr;
    }
    std::unique_ptr<APMEDatabase> database(new APMEDatabase(path));
    if (!database->initializeDatabaseResourcesWithContext("Init", path)) return nullptr;
    return database;
}

APMEDatabase::~APMEDatabase() = default;

bool APMEDatabase::initializeDatabaseResourcesWithContext(const std::string& label, const std::string& path) {
    path_ = path;
    std::optional<APMError> error;
    const APMDeclaredSchema declared = {{{kAPMEPendingSnapshotTable, snapshotColumns()},
                                         {kAPMEActivatedSnapshotTable, snapshotColumns()},
                                         {kAPMELaunchedSnapshotTable, snapshotColumns()}},
                                        {}};
    sqliteStore_ = APMSqliteStore::makeWithDatabasePath(path, &error, declared);
    if (!sqliteStore_) {
        log(kAPMMonitorLevelError, kAPMEDatabaseOpenFailedCode, "Failed to open database (" + label + ")",
            errorContext(error));
        return false;
    }
    // Every process of the engine opens this file and closes it again:
    // keeping the log spares making and deleting it each time.
    sqliteStore_->keepWriteAheadLogOnClose();
    bool examined = false;
    if (ensureAllTables(&examined)) {
        sqliteStore_->setReopenHandler([this] { return ensureAllTables(); });
        return true;
    }
    log(kAPMMonitorLevelError, kAPMEDatabaseTablesFailedCode,
        "Failed to create or validate required database tables (" + label + ")");
    // Only a file whose tables were looked at and do not fit is deleted: one
    // that another process held past the wait may be in use. The store
    // deletes it only when no other process has it open.
    std::optional<APMError> deleteError;
    const bool deleted = !examined || sqliteStore_->closeAndDeleteDatabase(&deleteError);
    sqliteStore_.reset();
    if (!deleted) {
        log(kAPMMonitorLevelSampledWarning, kAPMEDatabaseDeleteAfterFailureCode,
            "Failed to delete old database file after failed validation. Error (" + label + ")",
            errorContext(deleteError));
    }
    return false;
}

// In one exclusive transaction, which waits for other processes as every
// transaction of the store does: processes opening a new file together
// would otherwise each find a table missing and all but one fail to make it.
bool APMEDatabase::ensureAllTables(bool* examined) {
    if (examined) *examined = false;
    if (!sqliteStore_) return false;
    std::optional<APMError> tableError, transactionError;
    // The table the check was at when it failed: the first when its
    // transaction could not even begin.
    const char* table = kAPMEPendingSnapshotTable;
    const bool done = sqliteStore_->performTransactionWithError(&transactionError, [&] {
        if (examined) *examined = true;
        for (const char* each : {kAPMEPendingSnapshotTable, kAPMEActivatedSnapshotTable, kAPMELaunchedSnapshotTable}) {
            table = each;
            if (!sqliteStore_->ensureTableWithName(table, snapshotColumns(), {}, {}, &tableError)) return false;
        }
        return true;
    });
    if (!done) {
        log(kAPMMonitorLevelError, kAPMEDatabaseEnsureTableCode, "Failed to ensure table. Table, error", Value(table),
            errorContext(tableError ? tableError : transactionError));
    }
    return done;
}

void APMEDatabase::closeAndDelete() {
    // Another process that has the file open keeps it: emptied first, it
    // holds nothing either way.
    if (sqliteStore_) {
        sqliteStore_->performTransactionWithError(nullptr, [&] {
            for (const char* table : {kAPMEPendingSnapshotTable, kAPMEActivatedSnapshotTable, kAPMELaunchedSnapshotTable}) {
                if (!sqliteStore_->executeStatement("DELETE FROM " + APMSqliteStore::quoteIdentifier(table), {}, nullptr)) {
                    return false;
                }
            }
            return true;
        });
    }
    const bool deleted = sqliteStore_ ? sqliteStore_->closeAndDeleteDatabase()
                                      : APMSqliteStore::deleteDatabaseAtPath(path_);
    if (!deleted) log(kAPMMonitorLevelSampledWarning, kAPMEDatabaseDeleteDataCode, "Failed to delete database data");
}

void APMEDatabase::reset() {
    const std::string path = path_;
    closeAndDelete();
    if (!initializeDatabaseResourcesWithContext("Reset", path)) {
        log(kAPMMonitorLevelError, kAPMEDatabaseReinitializeCode, "Cannot re-initialize the database");
    }
}

APMSqliteStore* APMEDatabase::openStore(APMErrorOut error) {
    if (!sqliteStore_) APMSetError(error, kAPMSqliteStoreNotOpenCode, "Database is not open");
    return sqliteStore_.get();
}

bool APMEDatabase::performTransaction(const std::function<bool()>& block) {
    std::optional<APMError> error;
    auto* store = openStore(&error);
    bool done = false;
    try {
        done = store && store->performTransactionWithError(&error, block);
    } catch (...) {
        log(kAPMMonitorLevelError, kAPMEDatabaseTransactionCode, "Transaction failed. exception");
        throw;
    }
    if (!done) {
        log(kAPMMonitorLevelError, kAPMEDatabaseTransactionCode,
            "Transaction failed. " + (error ? error->localizedDescription() : std::string()));
    }
    return done;
}

std::optional<APMRows> APMEDatabase::allDataTypesFromTableWithName(const std::string& tableName,
                                                                   std::int64_t tableLimit, APMErrorOut error) {
    auto* store = openStore(error);
    if (!store) return std::nullopt;
    return store->recordsForQuery("SELECT rowid, * FROM " + APMSqliteStore::quoteIdentifier(tableName) +
                                      " ORDER BY rowid LIMIT " + std::to_string(tableLimit),
                                  {}, error);
}

std::optional<std::vector<APMESnapshot>> APMEDatabase::fetchAllSnapshots(const std::string& tableName,
                                                                         APMErrorOut error) {
    auto rows = allDataTypesFromTableWithName(tableName, kAPMESnapshotTableLimit, error);
    if (!rows) return std::nullopt;
    std::vector<APMESnapshot> snapshots;
    for (const auto& row : *rows) {
        // One damaged row loses only itself, not every snapshot of the table.
        if (auto snapshot = snapshotFromRow(row)) {
            snapshots.push_back(std::move(*snapshot));
        } else {
            logUnreadableRow(tableName, row);
        }
    }
    return snapshots;
}

std::optional<std::vector<APMESnapshot>> APMEDatabase::fetchAllActivatedSnapshots(APMErrorOut error) {
    return fetchAllSnapshots(kAPMEActivatedSnapshotTable, error);
}
std::optional<std::vector<APMESnapshot>> APMEDatabase::fetchAllPendingSnapshots(APMErrorOut error) {
    return fetchAllSnapshots(kAPMEPendingSnapshotTable, error);
}
std::optional<std::vector<APMESnapshot>> APMEDatabase::fetchAllLaunchedSnapshots(APMErrorOut error) {
    return fetchAllSnapshots(kAPMELaunchedSnapshotTable, error);
}

bool APMEDatabase::upsertSnapshot(const APMPBSnapshot& snapshot, const std::string& tableName, double timestamp,
                                  std::optional<bool> manuallyActivated, APMErrorOut error) {
    auto* store = openStore(error);
    if (!store) return false;
    APMRow record;
    const auto name = NANOGetString(snapshot, APMPBFieldIndexForTag(nano_APMPBSnapshot_sdk_name_tag));
    if (name) record[kSDKNameColumn] = *name;
    record[kTimestampColumn] = timestamp;
    record[kSnapshotProtoColumn] = platform::Data{snapshot.protoBuffer()};
    if (manuallyActivated) record[kManuallyActivatedColumn] = Value(*manuallyActivated ? 1 : 0);
    return store->upsertRecord(record, tableName, error);
}

bool APMEDatabase::upsertPendingExperimentSnapshots(const std::vector<APMESnapshot>& snapshots, APMErrorOut error) {
    for (const auto& snapshot : snapshots) {
        if (!upsertSnapshot(snapshot.proto(), kAPMEPendingSnapshotTable, snapshot.timestamp(),
                            snapshot.manuallyActivated(), error)) {
            return false;
        }
    }
    return true;
}

bool APMEDatabase::deleteExperimentsOfSDKName(const std::string& sdkName, const std::string& tableName,
                                              APMErrorOut error) {
    auto* store = openStore(error);
    return store && store->deleteRecordFromTableWithName(tableName, kSDKNameColumn, Value(sdkName), error);
}

bool APMEDatabase::deletePendingExperimentsOfSDKName(const std::string& sdkName, APMErrorOut error) {
    return deleteExperimentsOfSDKName(sdkName, kAPMEPendingSnapshotTable, error);
}

bool APMEDatabase::deleteLaunchedExperimentSDKName(const std::string& sdkName, APMErrorOut error) {
    return deleteExperimentsOfSDKName(sdkName, kAPMELaunchedSnapshotTable, error);
}

bool APMEDatabase::deleteActivatedExperimentsOfSDKName(const std::string& sdkName, APMErrorOut error) {
    if (sdkName.empty()) {
        APMSetError(error, kAPMEInvalidArgumentErrorCode, "Received empty SDK Name");
        return false;
    }
    return deleteExperimentsOfSDKName(sdkName, kAPMEActivatedSnapshotTable, error);
}

bool APMEDatabase::deleteStaleActivatedSnapshots(APMErrorOut error) {
    auto* store = openStore(error);
    const double oldest = platform::dispatch::currentClock()->now() - kAPMEStaleSnapshotAge;
    return store && store->deleteRecordsFromTableWithName(kAPMEActivatedSnapshotTable,
                                                          std::string(kTimestampColumn) + " <= ?", {Value(oldest)},
                                                          error);
}

bool APMEDatabase::activateSnapshot(const APMESnapshot* snapshot, double timestamp, APMErrorOut error) {
    if (!snapshot) {
        APMSetError(error, kAPMEInvalidArgumentErrorCode, "Received nil pending snapshot");
        return false;
    }
    std::optional<APMEExperiment> launched;
    std::vector<APMEExperiment> others;
    for (auto& experiment : snapshot->experiments()) {
        if (experiment.experimentID() == 0) {
            launched = std::move(experiment);
        } else {
            others.push_back(std::move(experiment));
        }
    }
    const Value sdkName(snapshot->SDKName());
    if (launched) {
        const auto row = APMESnapshot::initWithSDKName(sdkName, std::vector<APMEExperiment>{*launched});
        if (!row || !upsertSnapshot(row->proto(), kAPMELaunchedSnapshotTable, timestamp, std::nullopt, error)) {
            return false;
        }
    }
    // Written even without experiments: memory now holds an empty activated
    // snapshot, and an old row left here would bring the old experiments
    // back at the next start.
    const auto activated = APMESnapshot::initWithSDKName(sdkName, others);
    if (!activated || !upsertSnapshot(activated->proto(), kAPMEActivatedSnapshotTable, timestamp, std::nullopt, error)) {
        return false;
    }
    auto* store = openStore(error);
    return store && store->deleteRecordsFromTableWithName(
                        kAPMEPendingSnapshotTable,
                        std::string(kSDKNameColumn) + " = ? AND " + kTimestampColumn + " <= ?",
                        {sdkName, Value(timestamp)}, error);
}

bool APMEDatabase::activatePendingSnapshotsAutomatically(APMErrorOut error) {
    auto* store = openStore(error);
    if (!store) return false;
    const auto rows = store->recordsForQuery(
        std::string("SELECT rowid,* FROM ") + kAPMEPendingSnapshotTable + " WHERE NOT " + kManuallyActivatedColumn +
            " = ? ORDER BY rowid",
        {Value(true)}, error);
    if (!rows) return false;
    for (const auto& row : *rows) {
        if (!activateRow(row, error)) return false;
    }
    return true;
}

bool APMEDatabase::activateRow(const APMRow& row, APMErrorOut error) {
    const auto snapshot = snapshotFromRow(row);
    if (!snapshot) {
        // A damaged row must not stop the start of the whole client: it
        // stays where it is, and a later fetch for its SDK replaces it.
        logUnreadableRow(kAPMEPendingSnapshotTable, row);
        return true;
    }
    return activateSnapshot(&*snapshot, snapshot->timestamp(), error) &&
           deletePendingExperimentsOfSDKName(snapshot->SDKName(), error);
}

}  // namespace measurement
