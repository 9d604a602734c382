// The database's raw events and their metadata headers.
#include "measurement/store/database.h"

#include <cmath>

#include "measurement/store/database_rows.h"

namespace measurement {

using namespace database_detail;

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

std::optional<std::int64_t> APMDatabase::nextMetadataFingerprintToProcess(APMErrorOut error) {
    checkWorkerQueue("nextMetadataFingerprintToProcess:");
    auto rows = query("SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, error);
    if (!rows || rows->empty()) return std::nullopt;
    return rowInteger(rows->front(), "metadata_fingerprint");
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
    auto bundle = APMPBMeasurementBundle::initWithBuffer(rowBytes(rows->front(), "metadata").value_or(NANOBytes()));
    if (!bundle) APMSetError(error, kAPMDatabaseUndecodableDataCode, "Stored raw event metadata does not decode");
    return bundle;
}

std::optional<std::vector<APMRawEventData>> APMDatabase::rawEventsWithMetadataFingerprint(
    std::int64_t metadataFingerprint, APMErrorOut error, const APMRawEventFilter& eventFilter) {
    checkWorkerQueue("rawEventsWithMetadataFingerprint:error:eventFilter:");
    auto rows = query("SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
                      {metadataFingerprint, kAPMRawEventsReadLimit}, error);
    if (!rows) return std::nullopt;
    std::vector<APMRawEventData> events;
    for (std::size_t position = 0; position < rows->size(); ++position) {
        const APMRow& row = (*rows)[position];
        if (eventFilter && !eventFilter(row, position)) break;
        auto event = rawEventDataFromDictionary(row, nullptr);
        if (!event) break;
        events.push_back(std::move(*event));
    }
    return events;
}

std::optional<APMRawEventData> APMDatabase::rawEventDataFromDictionary(const APMRow& row, APMErrorOut error) const {
    const auto rowID = rowInteger(row, "rowid");
    const auto fingerprint = rowInteger(row, "metadata_fingerprint");
    const auto name = rowText(row, "name");
    const auto timestamp = rowReal(row, "timestamp");
    const auto data = rowBytes(row, "data");
    // Internal names start with "_"; every other stored event was logged
    // under a public name.
    std::optional<APMEvent> event;
    if (name && !name->empty() && data) event = decodedEvent(*data, name->front() != '_');
    if (!rowID || !fingerprint || !timestamp || !event) {
        APMSetError(error, kAPMDatabaseUndecodableDataCode, "Received invalid raw event row");
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
