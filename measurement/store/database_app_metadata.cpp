// The database's app metadata row.
#include "measurement/store/database.h"

#include <algorithm>
#include <cmath>

#include "measurement/foundation/monitor.h"
#include "measurement/store/database_rows.h"

namespace measurement {

using namespace database_detail;

namespace {

// The table holds one row, under this ID.
constexpr std::int64_t kAppMetadataRowID = 1;

}  // namespace

// Writes the given columns of the one row, creating it when missing and
// leaving its other columns as they are.
bool APMDatabase::updateAppMetadataColumns(const APMRow& columns, APMErrorOut error) {
    std::string names = "id", updates;
    APMBindings values{platform::Value(kAppMetadataRowID)};
    for (const auto& [name, value] : columns) {
        const std::string quoted = APMSqliteStore::quoteIdentifier(name);
        names += ", " + quoted;
        updates += (updates.empty() ? "" : ", ") + quoted + " = excluded." + quoted;
        values.push_back(value);
    }
    return store_
        ->executeStatement("INSERT INTO app_metadata (" + names + ") VALUES (" + placeholders(values.size()) +
                               ") ON CONFLICT (id) DO UPDATE SET " + updates,
                           values, error)
        .has_value();
}

std::optional<APMAppMetadata> APMDatabase::queryAppMetadata(APMErrorOut error) {
    checkWorkerQueue("queryAppMetadata:");
    auto rows = query(
        "SELECT last_bundle_index, last_bundle_start_timestamp, last_bundle_end_timestamp FROM app_metadata WHERE id = ?",
        {kAppMetadataRowID}, error);
    if (!rows) return std::nullopt;
    if (rows->empty()) return APMAppMetadata();
    const APMRow& row = rows->front();
    const auto index = rowInteger32(row, "last_bundle_index");
    std::optional<APMAppMetadata> metadata;
    if (index) {
        metadata = APMAppMetadata::make(*index, rowReal(row, "last_bundle_start_timestamp").value_or(0),
                                        rowReal(row, "last_bundle_end_timestamp").value_or(0));
    }
    if (!metadata) APMSetError(error, kAPMDatabaseUndecodableDataCode, "Stored app metadata is invalid");
    return metadata;
}

bool APMDatabase::updateAppMetadata(const APMAppMetadata& metadata, APMErrorOut error) {
    checkWorkerQueue("updateAppMetadata:error:");
    return updateAppMetadataColumns({{"last_bundle_index", static_cast<std::int64_t>(metadata.lastBundleIndex())},
                                     {"last_bundle_start_timestamp", metadata.lastBundleStartTimestamp()},
                                     {"last_bundle_end_timestamp", metadata.lastBundleEndTimestamp()}},
                                    error);
}

bool APMDatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp, APMErrorOut error) {
    checkWorkerQueue("updateRemoteConfigSuccessfulTimestamp:error:");
    if (!std::isfinite(timestamp)) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode, "Received invalid configuration update time");
        return false;
    }
    return updateAppMetadataColumns({{"remote_config_successful_timestamp", timestamp}}, error);
}

std::optional<double> APMDatabase::remoteConfigSuccessfulTimestamp(APMErrorOut error) {
    checkWorkerQueue("remoteConfigSuccessfulTimestamp:");
    auto rows = query("SELECT remote_config_successful_timestamp FROM app_metadata WHERE id = ?", {kAppMetadataRowID},
                      error);
    if (!rows) return std::nullopt;
    return rows->empty() ? 0.0 : rowReal(rows->front(), "remote_config_successful_timestamp").value_or(0.0);
}

std::optional<std::int64_t> APMDatabase::recordFirstOpenUnlessRecorded(std::int64_t millis, bool* recorded,
                                                                      APMErrorOut error) {
    checkWorkerQueue("recordFirstOpenUnlessRecorded:");
    *recorded = false;
    auto rows = query("SELECT first_open_timestamp, lost_to_damage FROM app_metadata WHERE id = ?",
                      {kAppMetadataRowID}, error);
    if (!rows) return std::nullopt;
    const auto stored = rows->empty() ? 0 : rowInteger(rows->front(), "first_open_timestamp").value_or(0);
    if (stored > 0) return stored;
    if (!rows->empty() && rowInteger(rows->front(), "lost_to_damage").value_or(0) != 0) return 0;
    if (!updateAppMetadataColumns({{"first_open_timestamp", millis}}, error)) return std::nullopt;
    *recorded = true;
    return millis;
}

std::optional<std::int64_t> APMDatabase::highestQueueRowIDUsed(APMErrorOut error) {
    auto highest = queryInteger("SELECT MAX(IFNULL((SELECT MAX(rowid) FROM queue), 0), "
                                "IFNULL((SELECT last_queue_row_id FROM app_metadata WHERE id = ?), 0))",
                                {kAppMetadataRowID}, error);
    if (!highest) return std::nullopt;
    return *highest;
}

bool APMDatabase::recordQueueRowIDUsed(std::int64_t rowID, APMErrorOut error) {
    return updateAppMetadataColumns({{"last_queue_row_id", rowID}}, error);
}

std::optional<std::string> APMDatabase::recordAppInstanceIDUnlessRecorded(const std::string& proposed,
                                                                          APMErrorOut error) {
    checkWorkerQueue("recordAppInstanceIDUnlessRecorded:");
    return changeAppInstanceID(std::nullopt, proposed, error);
}

std::optional<std::string> APMDatabase::replaceAppInstanceID(const std::string& replacing, const std::string& proposed,
                                                             APMErrorOut error) {
    checkWorkerQueue("replaceAppInstanceID:");
    return changeAppInstanceID(replacing, proposed, error);
}

std::optional<std::string> APMDatabase::changeAppInstanceID(const std::optional<std::string>& replacing,
                                                            const std::string& proposed, APMErrorOut error) {
    std::optional<std::string> decided;
    const bool done = transaction(error, [&](APMErrorOut inner) {
        auto rows = query("SELECT app_instance_id FROM app_metadata WHERE id = ?", {kAppMetadataRowID}, inner);
        if (!rows) return false;
        const auto stored = rows->empty() ? std::nullopt : rowText(rows->front(), "app_instance_id");
        if (stored && !stored->empty() && stored != replacing) {
            decided = stored;
            return true;
        }
        decided = proposed;
        return updateAppMetadataColumns({{"app_instance_id", proposed}}, inner);
    });
    return done ? decided : std::nullopt;
}

std::optional<bool> APMDatabase::appMetadataLostToDamage(APMErrorOut error) {
    const auto lost = queryInteger("SELECT lost_to_damage FROM app_metadata WHERE id = ?", {kAppMetadataRowID}, error);
    if (!lost) return std::nullopt;
    return lost->value_or(0) != 0;
}

// A carried file of the engine's held a first open and, unless analytics
// storage was denied, an app instance ID. When its app metadata did not come
// across whole (the row lay on a damaged page, or the check found the table
// damaged), or without a first open from a schema that did not read whole,
// what it lacks now was lost, and is noted so, so that the first open is not
// reported again and a new ID is not taken as at a first start without a
// word. A file that read whole without one (another program's, set aside
// with the engine's tables it held) had none to lose.
void APMDatabase::noteCarriedLoss() {
    const auto loss = store_->takeCarriedLoss();
    if (!loss) return;
    auto named = [&](const char* table) {
        return std::any_of(loss->begin(), loss->end(),
                           [&](const APMUnreadableStretch& stretch) { return stretch.table == table; });
    };
    const bool damaged = named("app_metadata");
    const auto firstOpen =
        queryInteger("SELECT first_open_timestamp FROM app_metadata WHERE id = ?", {kAppMetadataRowID}, nullptr);
    const bool carried = firstOpen && firstOpen->value_or(0) > 0;
    if (!damaged && (carried || !named(kAPMSqliteStoreSchemaTable))) return;
    std::optional<APMError> error;
    if (updateAppMetadataColumns({{"lost_to_damage", std::int64_t{1}}}, &error)) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMDatabaseAppMetadataLostCode,
                                          "The app metadata did not come whole out of the damaged database: the first "
                                          "open and the app instance ID it lacks were lost, and are not taken anew as "
                                          "at a first start. Path",
                                          platform::Value(databasePath()));
        return;
    }
    APMMonitor::shared().logWithLevel(kAPMMonitorLevelError, kAPMDatabaseAppMetadataLostCode,
                                      "The app metadata did not come whole out of the damaged database, and the loss "
                                      "could not be noted. Path, error",
                                      platform::Value(databasePath()), error ? error->asContext() : platform::Value());
}

bool APMDatabase::updateMeasurementConfigData(const NANOBytes& data, APMErrorOut error) {
    checkWorkerQueue("updateMeasurementConfigData:error:");
    return updateAppMetadataColumns({{"measurement_config", bytesValue(data)}}, error);
}

std::optional<NANOBytes> APMDatabase::measurementConfigData(APMErrorOut error) {
    checkWorkerQueue("measurementConfigData:");
    auto rows = query("SELECT measurement_config FROM app_metadata WHERE id = ?", {kAppMetadataRowID}, error);
    if (!rows) return std::nullopt;
    return rows->empty() ? NANOBytes() : rowBytes(rows->front(), "measurement_config").value_or(NANOBytes());
}

}  // namespace measurement
