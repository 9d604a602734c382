#pragma once

// Everything the engine has stored and not yet uploaded, read back.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/measurement_error.h"
#include "measurement/foundation/messages.h"
#include "measurement/foundation/raw_event_data.h"
#include "measurement/foundation/user_attribute.h"
#include "measurement/store/sqlite_store.h"

namespace measurement {

// One stored raw event with the metadata header it was stored under.
struct APMStoredRawEvent {
    APMRawEventData raw;
    std::optional<APMPBMeasurementBundle> metadata;
};

// A stored row that does not read back: its table, row ID and what is
// wrong with it.
struct APMUnreadableRow {
    std::string table;
    std::int64_t rowID = 0;
    std::string reason;
};

// Everything the engine has stored and not yet uploaded, read back from the
// measurement database (for tools and tests; the engine itself reads
// through the database's own operations). Nothing is left out silently:
// rows that do not read back are listed with the reason, and the stretches
// of rows that a damaged file no longer gives are listed as damage (the
// rest of each table is read all the same).
struct APMStoredData {
    std::vector<APMStoredRawEvent> rawEvents;
    std::vector<APMPBMeasurementBundle> queuedBundles;
    std::vector<APMUserAttribute> userAttributes;
    std::vector<APMUnreadableRow> unreadableRows;
    std::vector<APMUnreadableStretch> damage;
    // The tables read that the file does not hold at all (a file of 0 bytes
    // holds none): read as holding no row, and named here.
    std::vector<std::string> missingTables;
};

// What a reading hands over as it goes, in this order: the damage found,
// once, before any row, with the tables the file does not hold; each
// queued bundle; each raw event; the rows that do not read back; the user
// properties, by name. What is held meanwhile
// does not grow with the rows read: the headers of the raw events (one
// for each distinct header), the rows that do not read back and the user
// properties (a few by the engine's limits) are kept until their turn.
struct APMStoredDataReceiver {
    std::function<void(const std::vector<APMUnreadableStretch>&)> damage;
    // Said only when there is one.
    std::function<void(const std::vector<std::string>&)> missingTables;
    std::function<void(APMPBMeasurementBundle)> queuedBundle;
    std::function<void(APMStoredRawEvent)> rawEvent;
    std::function<void(const std::vector<APMUnreadableRow>&)> unreadableRows;
    std::function<void(const std::vector<APMUserAttribute>&)> userAttributes;
};

// Reads as APMReadStoredData does, handing each part over as it is read.
// The file is read twice in one read transaction: once for the damage,
// which comes first, then for the rows. False, with an error, when it
// cannot be opened or read; a failure met after the damage was handed over
// (the file failed between the two readings) leaves what was handed over.
bool APMReadStoredDataInTurn(const APMStoredDataReceiver& receiver, APMErrorOut error);

// Reads the database file of the engine's folder on a background queue,
// for reading only: nothing is made or changed, damage found included (a
// folder without a database reads as nothing stored; a file that does not
// read as a database at all, as nothing but one stretch of damage, of the
// schema's table "sqlite_master", saying why). None and an error when it
// cannot be opened or read.
std::optional<APMStoredData> APMReadStoredData(APMErrorOut error);

}  // namespace measurement
