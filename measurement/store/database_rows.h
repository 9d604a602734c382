#pragma once

// Helpers the database's files share: typed reads of a row's columns,
// bytes in and out of values, and the table layouts. Not part of the
// public surface.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "measurement/foundation/event.h"
#include "measurement/foundation/nano_message.h"
#include "measurement/store/sqlite_store.h"

namespace measurement::database_detail {

// The column as an integer / real (integers convert) / text / bytes; none
// when absent or of another kind.
std::optional<std::int64_t> rowInteger(const APMRow& row, const std::string& column);
std::optional<double> rowReal(const APMRow& row, const std::string& column);
std::optional<std::string> rowText(const APMRow& row, const std::string& column);
std::optional<NANOBytes> rowBytes(const APMRow& row, const std::string& column);
// An integer that fits 32 bits; none otherwise.
std::optional<std::int32_t> rowInteger32(const APMRow& row, const std::string& column);

platform::Value bytesValue(const NANOBytes& bytes);

// A typed value as a column value and back (strings, integers and doubles;
// none for a list or another kind of column).
std::optional<platform::Value> columnFromValue(const APMValue& value);
std::optional<APMValue> valueFromColumn(const APMRow& row, const std::string& column);

// An event kept in a column: its encoded message. Its origin comes back
// from the "_o" parameter.
NANOBytes encodedEvent(const APMEvent& event);
std::optional<APMEvent> decodedEvent(const NANOBytes& bytes, bool isPublic);

// The records that the rows convert to, in row order; rows that do not
// convert are passed over.
template <class Record, class Convert>
std::vector<Record> collectRows(const APMRows& rows, Convert fromRow) {
    std::vector<Record> records;
    for (const auto& row : rows) {
        if (std::optional<Record> record = fromRow(row)) records.push_back(std::move(*record));
    }
    return records;
}

// "?, ?, ?" for n values.
std::string placeholders(std::size_t count);
// Runs the action over slices of the IDs small enough for one statement;
// stops at the first false.
bool forEachSlice(const std::vector<std::int64_t>& ids,
                  const std::function<bool(const std::string& placeholders, const APMBindings& values)>& action);

// Reports a call from the main thread; callers carry on either way.
void checkWorkerQueue(const char* methodName);

// One table of the database: the columns it was made with, the columns
// added since (each with a default or nullable, so that older files take
// them), and its indexes.
struct TableLayout {
    std::string name;
    APMColumnInfo elementaryColumns;
    APMColumnInfo addOnColumns;
    std::vector<std::string> indexStatements;
};
const std::vector<TableLayout>& tableLayouts();
// The table a reset of the event aggregates keeps them in, with the columns
// of "events"; made and dropped as needed, so not among the layouts.
inline constexpr const char* kEventsSnapshotTable = "events_snapshot";
const TableLayout& tableLayout(const std::string& name);
// Every column of a layout, elementary then add-on, quoted and joined.
std::string columnList(const TableLayout& layout);

}  // namespace measurement::database_detail
