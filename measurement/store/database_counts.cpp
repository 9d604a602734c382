// The database's daily counts and event aggregates.
#include "measurement/store/database.h"

#include "measurement/foundation/monitor.h"
#include "measurement/store/database_rows.h"

namespace measurement {

using namespace database_detail;

namespace {

// The daily counts are one row, under this ID.
constexpr std::int64_t kDailyCountsRowID = 1;
constexpr const char* kFirstOpenEventName = "_f";

// A stored count beyond 32 bits reads as 0, as a count that overflows does.
std::int32_t count32(const APMRow& row, const std::string& column) { return rowInteger32(row, column).value_or(0); }

std::optional<APMEventAggregates> aggregatesFromRow(const APMRow& row) {
    const auto name = rowText(row, "name");
    if (!name || name->empty()) return std::nullopt;
    APMEventAggregates aggregates(*name, count32(row, "lifetime_count"), count32(row, "current_bundle_count"),
                                  count32(row, "current_session_count"),
                                  rowReal(row, "last_fire_timestamp").value_or(0));
    aggregates.setLastBundledTimestamp(rowReal(row, "last_bundled_timestamp").value_or(0));
    aggregates.setLastSamplingRate(count32(row, "last_sampling_rate"));
    aggregates.setLastSampledComplexEventID(rowInteger(row, "last_sampled_complex_event_id"));
    aggregates.setLastExemptFromSampling(rowInteger(row, "last_exempt_from_sampling").value_or(0) != 0);
    aggregates.setLastBundledDay(count32(row, "last_bundled_day"));
    return aggregates;
}

APMRow rowFromAggregates(const APMEventAggregates& aggregates) {
    APMRow row{
        {"name", aggregates.name()},
        {"lifetime_count", aggregates.lifetimeCount()},
        {"current_bundle_count", aggregates.currentBundleCount()},
        {"current_session_count", aggregates.currentSessionCount()},
        {"last_fire_timestamp", aggregates.lastFireTimestamp()},
        {"last_bundled_timestamp", aggregates.lastBundledTimestamp()},
        {"last_sampling_rate", aggregates.lastSamplingRate()},
        {"last_exempt_from_sampling", aggregates.lastExemptFromSampling()},
        {"last_bundled_day", aggregates.lastBundledDay()},
    };
    if (aggregates.lastSampledComplexEventID()) {
        row.emplace("last_sampled_complex_event_id", *aggregates.lastSampledComplexEventID());
    }
    return row;
}

}  // namespace

std::optional<APMDailyCounts> APMDatabase::dailyCounts(APMErrorOut error) {
    checkWorkerQueue("dailyCounts:");
    auto rows = query("SELECT * FROM daily_counts WHERE id = ?", {kDailyCountsRowID}, error);
    if (!rows) return std::nullopt;
    if (rows->empty()) return APMDailyCounts();
    const APMRow& row = rows->front();
    auto count = [&](const char* column) { return rowInteger(row, column).value_or(0); };
    return APMDailyCounts(count("day_index"), count("conversions_count"), count("all_events_count"),
                          count("public_events_count"), count("error_events_count"), count("realtime_count"),
                          count("dcu_realtime_count"));
}

// Written for every event: the row, there from the first event on, is
// changed in place (one write, where replacing it deletes and inserts it);
// it is inserted only when missing. Each text is prepared once.
bool APMDatabase::updateDailyCounts(const APMDailyCounts& counts, APMErrorOut error) {
    checkWorkerQueue("updateDailyCounts:error:");
    const APMBindings values = {kDailyCountsRowID,          counts.dayIndex(),          counts.conversionsCount(),
                                counts.allEventsCount(),    counts.publicEventsCount(), counts.errorEventsCount(),
                                counts.realtimeCount(),     counts.dcuRealtimeCount()};
    const auto changed =
        store_->executeStatement("UPDATE daily_counts SET day_index = ?2, conversions_count = ?3, all_events_count = ?4, "
                                 "public_events_count = ?5, error_events_count = ?6, realtime_count = ?7, "
                                 "dcu_realtime_count = ?8 WHERE id = ?1",
                                 values, error);
    if (!changed) return false;
    return *changed > 0 ||
           store_
               ->executeStatement("INSERT OR REPLACE INTO daily_counts (id, day_index, conversions_count, all_events_count, "
                                  "public_events_count, error_events_count, realtime_count, dcu_realtime_count) "
                                  "VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                                  values, error)
               .has_value();
}

std::optional<APMEventAggregates> APMDatabase::eventAggregatesWithName(const std::string& name, APMErrorOut error) {
    checkWorkerQueue("eventAggregatesWithName:error:");
    if (name.empty()) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode, "Received empty event name for getting event aggregates");
        return std::nullopt;
    }
    auto rows = query("SELECT * FROM events WHERE name = ?", {name}, error);
    if (!rows || rows->empty()) return std::nullopt;
    return aggregatesFromRow(rows->front());
}

bool APMDatabase::updateEventAggregates(const APMEventAggregates& aggregates, APMErrorOut error) {
    checkWorkerQueue("updateEventAggregates:error:");
    if (aggregates.name().empty()) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode, "Received event aggregates without name");
        return false;
    }
    return store_->upsertRecord(rowFromAggregates(aggregates), "events", error);
}

std::optional<std::vector<APMEventAggregates>> APMDatabase::allEventAggregates(APMErrorOut error) {
    checkWorkerQueue("allEventAggregates:");
    auto rows = query("SELECT * FROM events ORDER BY rowid", {}, error);
    if (!rows) return std::nullopt;
    return collectRows<APMEventAggregates>(*rows, aggregatesFromRow);
}

bool APMDatabase::clearCurrentSessionCounts(APMErrorOut error) {
    checkWorkerQueue("clearCurrentSessionCounts:");
    return store_->executeStatement("UPDATE events SET current_session_count = 0", {}, error).has_value();
}

bool APMDatabase::createEventsSnapshotTable(APMErrorOut error) {
    checkWorkerQueue("createEventsSnapshotTable:");
    const auto& events = tableLayout("events");
    const std::string columns = columnList(events);
    bool tableMade = false;
    const bool done = transaction(error, [&](APMErrorOut inner) {
        tableMade = store_->executeStatement("DROP TABLE IF EXISTS events_snapshot", {}, inner) &&
                    store_->ensureTableWithName("events_snapshot", events.elementaryColumns, events.addOnColumns, {},
                                                inner);
        return tableMade && store_->executeStatement("INSERT INTO events_snapshot (" + columns + ") SELECT " +
                                                         columns + " FROM events",
                                                     {}, inner);
    });
    if (!tableMade) {
        APMMonitor::shared().logWithLevel(kAPMMonitorLevelSampledWarning, kAPMDatabaseSnapshotTableFailedCode,
                                          "Failed to ensure event snapshot table");
    }
    return done;
}

bool APMDatabase::restoreFromEventsSnapshotTable(APMErrorOut error) {
    checkWorkerQueue("restoreFromEventsSnapshotTable:");
    std::optional<APMError> existsError;
    const bool exists = store_->tableExists("events_snapshot", &existsError);
    if (existsError) {
        if (error) *error = existsError;
        return false;
    }
    if (!exists) return true;
    const auto& events = tableLayout("events");
    const std::string columns = columnList(events);
    return transaction(error, [&](APMErrorOut inner) {
        auto count = queryInteger("SELECT COUNT(*) FROM events_snapshot", {}, inner);
        if (!count) return false;
        if (count->value_or(0) == 0) return true;
        // A snapshot from an older layout lacks the newer columns.
        if (!store_->ensureTableWithName("events_snapshot", events.elementaryColumns, events.addOnColumns, {}, inner)) {
            return false;
        }
        auto current = query("SELECT * FROM events WHERE name = ?", {kFirstOpenEventName}, inner);
        auto snapshotFirstOpen =
            query("SELECT lifetime_count FROM events_snapshot WHERE name = ?", {kFirstOpenEventName}, inner);
        if (!current || !snapshotFirstOpen) return false;
        // A first open the snapshot did not count happened while the
        // aggregates were set aside: its current record stays.
        const bool keepCurrentFirstOpen =
            snapshotFirstOpen->empty() || rowInteger(snapshotFirstOpen->front(), "lifetime_count").value_or(0) == 0;
        if (!store_->executeStatement("DELETE FROM events", {}, inner) ||
            !store_->executeStatement("INSERT INTO events (" + columns + ") SELECT " + columns + " FROM events_snapshot",
                                      {}, inner)) {
            return false;
        }
        if (keepCurrentFirstOpen) {
            if (!store_->deleteRecordFromTableWithName("events", "name", kFirstOpenEventName, inner)) return false;
            if (!current->empty() && !store_->upsertRecord(current->front(), "events", inner)) return false;
        }
        return store_->executeStatement("DELETE FROM events_snapshot", {}, inner).has_value();
    });
}

}  // namespace measurement
