// The experiments database: pending, activated and launched snapshots, one row per SDK in each table.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/experiments/snapshot.h"
#include "measurement/foundation/measurement_error.h"
#include "measurement/store/sqlite_store.h"

namespace measurement {

inline constexpr const char* kAPMEDatabaseFileName = "rozeda_experimentation_database.sql";
inline constexpr const char* kAPMEPendingSnapshotTable = "pending_snapshot_table";
inline constexpr const char* kAPMEActivatedSnapshotTable = "activated_snapshot_table";
inline constexpr const char* kAPMELaunchedSnapshotTable = "launched_snapshot_table";
// Each read of a table stops after this many rows.
inline constexpr std::int64_t kAPMESnapshotTableLimit = 100000;

// Not thread-safe: the task manager calls it on its worker queue only.
// Failures answer false or none, fill the optional error (measurement
// error domain) and are logged.
class APMEDatabase {
public:
    // Opens (or creates) the file and ensures the three tables; none for an
    // empty path (810000) or when that fails. A file whose tables cannot be
    // ensured is deleted, so that the next open starts afresh; one that
    // another process held past the store's wait is kept.
    static std::unique_ptr<APMEDatabase> initWithPath(const std::string& path);
    ~APMEDatabase();
    APMEDatabase(const APMEDatabase&) = delete;
    APMEDatabase& operator=(const APMEDatabase&) = delete;

    const std::string& databasePath() const { return path_; }
    // `label` ("Init", "Reset") names the occasion in the log.
    bool initializeDatabaseResourcesWithContext(const std::string& label, const std::string& path);
    // *examined (when given) tells whether the tables were looked at, that
    // is, whether the file could be had for the transaction.
    bool ensureAllTables(bool* examined = nullptr);
    // Closes the store and deletes the file; later calls fail until the next
    // open.
    void closeAndDelete();
    // Deletes the file and builds an empty database on the same path.
    void reset();
    // The block's work in one exclusive transaction: committed when it
    // answers true, rolled back when it answers false or throws.
    bool performTransaction(const std::function<bool()>& block);

    // Every row of the table as a snapshot (its stored time and mark), row
    // order; rows that give no snapshot are logged and left out.
    std::optional<std::vector<APMESnapshot>> fetchAllActivatedSnapshots(APMErrorOut error);
    std::optional<std::vector<APMESnapshot>> fetchAllPendingSnapshots(APMErrorOut error);
    std::optional<std::vector<APMESnapshot>> fetchAllLaunchedSnapshots(APMErrorOut error);

    // Moves a pending snapshot into force at time t: its experiment 0 into
    // the launched table, the others into the activated table (an empty row
    // when there are none, so that a restart finds what memory holds), and
    // deletes the SDK's pending rows of time t or earlier.
    bool activateSnapshot(const APMESnapshot* snapshot, double timestamp, APMErrorOut error);
    bool deleteActivatedExperimentsOfSDKName(const std::string& sdkName, APMErrorOut error);
    // Activated rows three days old or older.
    bool deleteStaleActivatedSnapshots(APMErrorOut error);
    // Each snapshot in list order, with its own time and mark; stops at the
    // first failure.
    bool upsertPendingExperimentSnapshots(const std::vector<APMESnapshot>& snapshots, APMErrorOut error);
    bool deletePendingExperimentsOfSDKName(const std::string& sdkName, APMErrorOut error);
    // Activates, oldest first and each at its own time, the pending rows
    // whose SDK does not activate them itself (mark 0); rows marked 1 or
    // NULL stay.
    bool activatePendingSnapshotsAutomatically(APMErrorOut error);
    bool deleteLaunchedExperimentSDKName(const std::string& sdkName, APMErrorOut error);

    // One row, replacing the SDK's row in that table; the mark column is
    // written only when a mark is given.
    bool upsertSnapshot(const APMPBSnapshot& snapshot, const std::string& tableName, double timestamp,
                        std::optional<bool> manuallyActivated, APMErrorOut error);
    std::optional<APMRows> allDataTypesFromTableWithName(const std::string& tableName, std::int64_t tableLimit,
                                                         APMErrorOut error);
    bool deleteExperimentsOfSDKName(const std::string& sdkName, const std::string& tableName, APMErrorOut error);

private:
    explicit APMEDatabase(std::string path) : path_(std::move(path)) {}
    APMSqliteStore* openStore(APMErrorOut error);
    std::optional<std::vector<APMESnapshot>> fetchAllSnapshots(const std::string& tableName, APMErrorOut error);
    bool activateRow(const APMRow& row, APMErrorOut error);

    std::string path_;
    std::unique_ptr<APMSqliteStore> sqliteStore_;
};

}  // namespace measurement
