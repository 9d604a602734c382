// The database's raw events and their metadata headers.
#include "measurement/store/database.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "measurement/store/database_rows.h"
#include "measurement/store/declared_types.h"

namespace measurement {

using namespace database_detail;

namespace {

constexpr const char* kFingerprintColumn = "metadata_fingerprint";

// The raw events' columns as the database declares them, each with its rule.
const declared_types::DeclaredColumns& rawEventColumns() {
    static const auto kColumns = declared_types::declaredColumns(APMDatabase::declaredTables().at("raw_events"));
    return kColumns;
}

// The fingerprint's column alone, with its rule.
const declared_types::DeclaredColumns& fingerprintColumn() {
    static const auto kColumn = [] {
        declared_types::DeclaredColumns column;
        std::copy_if(rawEventColumns().begin(), rawEventColumns().end(), std::back_inserter(column),
                     [](const auto& each) { return each.name == kFingerprintColumn; });
        return column;
    }();
    return kColumn;
}

}  // namespace

std::optional<std::int64_t> APMDatabase::insertRawEvent(const APMEvent& event, std::int64_t metadataFingerprint,
                                                        APMErrorOut error) {
    checkWorkerQueue("insertRawEvent:metadataFingerprint:error:");
    if (event.name().empty() || !std::isfinite(event.timestamp())) {
        APMSetError(error, kAPMDatabaseInvalidArgumentCode, "Received raw event without name or valid timestamp");
        return std::nullopt;
    }
    const auto inserted = store_->executeStatement(
        "INSERT INTO raw_events (metadata_fingerprint, name, timestamp, data, is_realtime, clock) "
        "VALUES (?, ?, ?, ?, ?, ?)",
        {metadataFingerprint, event.name(), event.timestamp(), bytesValue(encodedEvent(event)), event.isRealtime(),
         APMCurrentClockStamp()},
        error);
    if (!inserted) return std::nullopt;
    noteRawEventInserted(event.timestamp(), event.isRealtime());
    return store_->lastInsertRowID();
}

bool APMDatabase::insertRawEventMetadata(const APMPBMeasurementBundle& metadata, std::int64_t metadataFingerprint,
                                         APMErrorOut error) {
    checkWorkerQueue("insertRawEventMetadata:metadataFingerprint:error:");
    // Most events share the header of the event before them: an equal one
    // already stored costs a look-up, not a write.
    return store_
        ->executeStatement("INSERT INTO raw_events_metadata (metadata_fingerprint, metadata) VALUES (?, ?) "
                           "ON CONFLICT (metadata_fingerprint) DO UPDATE SET metadata = excluded.metadata "
                           "WHERE metadata IS NOT excluded.metadata",
                           {metadataFingerprint, bytesValue(metadata.protoBuffer())}, error)
        .has_value();
}

std::optional<std::int64_t> APMDatabase::nextMetadataFingerprintToProcess(APMErrorOut error,
                                                                         std::optional<std::int64_t>* unreadableRowID) {
    checkWorkerQueue("nextMetadataFingerprintToProcess:");
    auto rows = query("SELECT metadata_fingerprint, MIN(rowid) AS oldest FROM raw_events", {}, error);
    if (!rows || rows->empty()) return std::nullopt;
    const auto fingerprint = rowInteger(rows->front(), kFingerprintColumn);
    const auto oldest = rowInteger(rows->front(), "oldest");
    if (!fingerprint && oldest) {
        APMSetError(error, kAPMDatabaseUndecodableDataCode,
                    declared_types::wrongValueInRow(rows->front(), fingerprintColumn()).value_or("no fingerprint"));
        if (unreadableRowID) *unreadableRowID = oldest;
    }
    return fingerprint;
}

std::optional<APMPBMeasurementBundle> APMDatabase::queryRawEventsMetadataWithFingerprint(
    std::int64_t metadataFingerprint, APMErrorOut error) {
    checkWorkerQueue("queryRawEventsMetadataWithFingerprint:error:");
    auto rows = query("SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = ?", {metadataFingerprint},
                      error);
    if (!rows) return std::nullopt;
    if (rows->empty()) {
        APMSetError(error, kAPMDatabaseMissingRowCode, "No raw event metadata for the fingerprint");
        return std::nullopt;
    }
    // A header that is no blob is none the engine wrote: empty bytes would
    // decode as an empty header.
    const auto bytes = rowBytes(rows->front(), "metadata");
    std::optional<APMPBMeasurementBundle> bundle;
    if (bytes) bundle = APMPBMeasurementBundle::initWithBuffer(*bytes);
    if (!bundle) APMSetError(error, kAPMDatabaseUndecodableDataCode, "Stored raw event metadata does not decode");
    return bundle;
}

std::optional<std::vector<APMRawEventData>> APMDatabase::rawEventsWithMetadataFingerprint(
    std::int64_t metadataFingerprint, APMErrorOut error, const APMRawEventFilter& eventFilter,
    APMErrorOut unreadableRow) {
    checkWorkerQueue("rawEventsWithMetadataFingerprint:error:eventFilter:");
    auto rows = query("SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
                      {metadataFingerprint, kAPMRawEventsReadLimit}, error);
    if (!rows) return std::nullopt;
    std::vector<APMRawEventData> events;
    for (std::size_t position = 0; position < rows->size(); ++position) {
        const APMRow& row = (*rows)[position];
        if (eventFilter && !eventFilter(row, position)) break;
        auto event = rawEventDataFromDictionary(row, unreadableRow);
        if (!event) break;
        events.push_back(std::move(*event));
    }
    return events;
}

std::optional<APMRawEventData> APMDatabase::rawEventDataFromDictionary(const APMRow& row, APMErrorOut error) const {
    if (auto wrong = declared_types::wrongValueInRow(row, rawEventColumns())) {
        APMSetError(error, kAPMDatabaseUndecodableDataCode, *wrong);
        return std::nullopt;
    }
    const auto rowID = rowInteger(row, "rowid");
    const auto fingerprint = rowInteger(row, kFingerprintColumn);
    const auto name = rowText(row, "name");
    const auto timestamp = rowReal(row, "timestamp");
    const auto data = rowBytes(row, "data");
    // Internal names start with "_"; every other stored event was logged
    // under a public name.
    std::optional<APMEvent> event;
    if (name && !name->empty() && data) event = decodedEvent(*data, name->front() != '_');
    if (!rowID || !fingerprint || !timestamp || !event) {
        APMSetError(error, kAPMDatabaseUndecodableDataCode,
                    name && name->empty() ? "the event name is empty"
                    : data && !event  ? "the event data does not decode"
                                      : "Received invalid raw event row");
        return std::nullopt;
    }
    APMEvent stored(event->origin(), event->isPublic(), *name, *timestamp, event->previousTimestamp(),
                    event->parameters());
    stored.setRealtime(rowInteger(row, "is_realtime").value_or(0) != 0);
    return APMRawEventData(std::move(stored), *rowID, *fingerprint);
}

bool APMDatabase::deleteRawEventsWithMaxRowID(std::int64_t rowID, APMErrorOut error) {
    checkWorkerQueue("deleteRawEventsWithMaxRowID:error:");
    const bool deleted = store_->deleteRecordsFromTableWithName("raw_events", "rowid <= ?", {rowID}, error).has_value();
    forget(rawEventFacts_);
    return deleted;
}

std::optional<bool> APMDatabase::containsRawEventWithMetadataFingerprint(std::int64_t metadataFingerprint,
                                                                         APMErrorOut error) {
    checkWorkerQueue("containsRawEventWithMetadataFingerprint:error:");
    return queryExists("SELECT 1 FROM raw_events WHERE metadata_fingerprint = ?", {metadataFingerprint}, error);
}

bool APMDatabase::deleteRawEventMetadataWithMetadataFingerprint(std::int64_t metadataFingerprint,
                                                                APMErrorOut error) {
    checkWorkerQueue("deleteRawEventMetadataWithMetadataFingerprint:error:");
    return store_->deleteRecordFromTableWithName("raw_events_metadata", "metadata_fingerprint", metadataFingerprint,
                                                 error);
}

std::optional<double> APMDatabase::queryLatestRawEventTime(APMErrorOut error) {
    checkWorkerQueue("queryLatestRawEventTime:");
    return remembered<double>(rawEventFacts_, &TableFacts::latestTime,
                              [&] { return queryMaxTime("raw_events", "timestamp", error); });
}

std::optional<bool> APMDatabase::containsRealtimeRawEventsWithError(APMErrorOut error) {
    checkWorkerQueue("containsRealtimeRawEventsWithError:");
    return remembered<bool>(rawEventFacts_, &TableFacts::holdsRealtime,
                            [&] { return queryExists("SELECT 1 FROM raw_events WHERE is_realtime = 1", {}, error); });
}

std::optional<bool> APMDatabase::isRawEventsTableEmpty(APMErrorOut error) {
    checkWorkerQueue("isRawEventsTableEmpty:");
    return remembered<bool>(rawEventFacts_, &TableFacts::empty, [&] { return queryIsEmpty("raw_events", error); });
}

}  // namespace measurement
