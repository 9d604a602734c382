// The rows a transaction writes, noted with their values, and read back by their row IDs before it commits.
// The pre-update hook is part of the SQLite library this system is built against.
#define SQLITE_ENABLE_PREUPDATE_HOOK
#include "measurement/store/sqlite_written_rows.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <string_view>
#include <utility>

#include "measurement/store/sqlite_store.h"

namespace measurement {

namespace {

// The integers a double holds exactly without a fraction: -2^63 up to, not
// including, 2^63.
constexpr double kLowestInteger = -9223372036854775808.0;
constexpr double kPastHighestInteger = 9223372036854775808.0;
// Kinds of value, mixed in before each value's own digest.
enum : std::uint64_t { kNull = 1, kInteger, kReal, kText, kBlob };

std::uint64_t bytesDigest(const void* bytes, int size) {
    if (!bytes || size <= 0) return 0;
    const std::string_view view(static_cast<const char*>(bytes), static_cast<std::size_t>(size));
    return std::hash<std::string_view>()(view);
}

}  // namespace

void APMValuesDigest::mix(std::uint64_t part) {
    constexpr std::uint64_t kGolden = 0x9e3779b97f4a7c15ULL;
    digest_ ^= part + kGolden + (digest_ << 6) + (digest_ >> 2);
}

void APMValuesDigest::add(sqlite3_value* value) {
    switch (sqlite3_value_type(value)) {
        case SQLITE_INTEGER:
            mix(kInteger);
            mix(static_cast<std::uint64_t>(sqlite3_value_int64(value)));
            return;
        case SQLITE_FLOAT: {
            const double real = sqlite3_value_double(value);
            if (real == std::floor(real) && real >= kLowestInteger && real < kPastHighestInteger) {
                mix(kInteger);
                mix(static_cast<std::uint64_t>(static_cast<std::int64_t>(real)));
                return;
            }
            std::uint64_t bits = 0;
            std::memcpy(&bits, &real, sizeof bits);
            mix(kReal);
            mix(bits);
            return;
        }
        case SQLITE_TEXT: {
            const unsigned char* text = sqlite3_value_text(value);
            mix(kText);
            mix(bytesDigest(text, sqlite3_value_bytes(value)));
            return;
        }
        case SQLITE_BLOB: {
            const void* blob = sqlite3_value_blob(value);
            mix(kBlob);
            mix(bytesDigest(blob, sqlite3_value_bytes(value)));
            return;
        }
        default: mix(kNull); return;
    }
}

void APMWrittenRows::watch(sqlite3* db) {
    sqlite3_preupdate_hook(db, &APMWrittenRows::noteRow, this);
    sqlite3_commit_hook(db, &APMWrittenRows::refuseCommit, this);
}

std::uint32_t APMWrittenRows::tableIndex(const char* table) {
    for (std::uint32_t index = 0; index < tables_.size(); ++index) {
        if (tables_[index] == table) return index;
    }
    tables_.emplace_back(table);
    return static_cast<std::uint32_t>(tables_.size() - 1);
}

// Called by SQLite as each row changes, before the change: only what the
// row is to hold is taken, by column.
void APMWrittenRows::noteRow(void* context, sqlite3* db, int operation, const char* database, const char* table,
                             sqlite3_int64 oldRowID, sqlite3_int64 newRowID) {
    auto* self = static_cast<APMWrittenRows*>(context);
    if (!self->noting_ || std::strcmp(database, "main") != 0) return;
    const std::uint32_t index = self->tableIndex(table);
    if (operation == SQLITE_DELETE || oldRowID != newRowID) self->written_.push_back({index, true, 0, oldRowID, 0});
    if (operation == SQLITE_DELETE) return;
    APMValuesDigest digest;
    const int columns = sqlite3_preupdate_count(db);
    for (int column = 0; column < columns; ++column) {
        sqlite3_value* value = nullptr;
        // A value that cannot be told is never equal to what is read.
        if (sqlite3_preupdate_new(db, column, &value) != SQLITE_OK || !value) return;
        digest.add(value);
    }
    self->written_.push_back({index, false, columns, newRowID, digest.value()});
}

int APMWrittenRows::refuseCommit(void* context) {
    return static_cast<APMWrittenRows*>(context)->lastWritten().empty() ? 0 : 1;
}

void APMWrittenRows::transactionBegan() { forget(); }

void APMWrittenRows::savepointBegan() { marks_.push_back(written_.size()); }

void APMWrittenRows::savepointEnded(bool kept) {
    if (marks_.empty()) return;
    if (!kept) written_.resize(std::min(written_.size(), marks_.back()));
    marks_.pop_back();
}

void APMWrittenRows::statementBegan() { statementMark_ = written_.size(); }

void APMWrittenRows::statementEnded(bool ran) {
    if (!ran) written_.resize(std::min(written_.size(), statementMark_));
}

void APMWrittenRows::forget() {
    written_.clear();
    marks_.clear();
    statementMark_ = 0;
}

std::vector<APMWrittenRows::Written> APMWrittenRows::lastWritten() const {
    // Newest first; a stable sort keeps that order among a row's writes.
    std::vector<Written> rows(written_.rbegin(), written_.rend());
    std::stable_sort(rows.begin(), rows.end(), [](const Written& a, const Written& b) {
        return a.table != b.table ? a.table < b.table : a.rowID < b.rowID;
    });
    rows.erase(std::unique(rows.begin(), rows.end(),
                           [](const Written& a, const Written& b) { return a.table == b.table && a.rowID == b.rowID; }),
               rows.end());
    rows.erase(std::remove_if(rows.begin(), rows.end(), [](const Written& row) { return row.deleted; }), rows.end());
    return rows;
}

std::vector<APMWrittenRows::Row> APMWrittenRows::takeRowsToReadBack() {
    std::vector<Row> rows;
    for (const auto& row : lastWritten()) rows.push_back({tables_[row.table], row.rowID, row.columns, row.values});
    forget();
    return rows;
}

namespace {

using Rows = std::vector<APMWrittenRows::Row>;

// The first of the rows of one table that the look-up statement, which
// answers them in row-ID order, does not give with their values; the
// statement's last result code.
std::pair<Rows::const_iterator, int> firstNotReadBy(sqlite3_stmt* lookUp, Rows::const_iterator wanted,
                                                   Rows::const_iterator end) {
    int rc = SQLITE_OK;
    while (wanted != end && (rc = sqlite3_step(lookUp)) == SQLITE_ROW) {
        const std::int64_t rowID = sqlite3_column_int64(lookUp, 0);
        if (rowID < wanted->rowID) continue;
        if (rowID > wanted->rowID) break;  // that one is not found
        // Columns the transaction added after the write are not the row's.
        const int columns = sqlite3_column_count(lookUp) - 1;
        APMValuesDigest read;
        for (int column = 0; column < std::min(wanted->columns, columns); ++column) {
            read.add(sqlite3_column_value(lookUp, column + 1));
        }
        if (columns < wanted->columns || read.value() != wanted->values) break;
        ++wanted;
    }
    return {wanted, rc};
}

}  // namespace

// A look-up of the row ID goes down the table's tree from its root as every
// reader does; SQLite may have put the row where that never leads (a damaged
// page's cells, whose largest row ID it read wrong, under a row ID another
// row has). The rows of a table are looked up by one statement. A table
// that no longer exists went with the transaction's own change of the
// schema: nothing of it is left to read.
std::optional<std::string> APMSqliteStore::rowsNotReadBack() {
    const auto rows = written_->takeRowsToReadBack();
    for (auto first = rows.begin(); first != rows.end();) {
        const auto end = std::find_if(first, rows.end(), [&](const auto& row) { return row.table != first->table; });
        // A look-up for each row ID of the list, in its order.
        auto lookUp = prepare("SELECT t.rowid, t.* FROM json_each(?1) AS listed CROSS JOIN " +
                                  quoteIdentifier(first->table) + " AS t NOT INDEXED ON t.rowid = listed.value",
                              nullptr);
        if (!lookUp && damage_) return "the file is damaged (" + *damage_ + ")";
        std::string rowIDs = "[";
        for (auto row = first; row != end; ++row) {
            char digits[24];
            rowIDs.append(digits, std::to_chars(digits, digits + sizeof digits, row->rowID).ptr);
            rowIDs += ',';
        }
        rowIDs.back() = ']';
        if (lookUp) sqlite3_bind_text(lookUp.get(), 1, rowIDs.data(), static_cast<int>(rowIDs.size()), SQLITE_STATIC);
        const auto [unread, rc] = lookUp ? firstNotReadBy(lookUp.get(), first, end) : std::pair(end, SQLITE_DONE);
        if (unread != end) {
            const std::string row = "row " + std::to_string(unread->rowID) + " of " + unread->table;
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
                const std::string why = row + " could not be read back: " + sqlite3_errmsg(db_);
                noteDamage(rc);
                return why;
            }
            const bool found = rc == SQLITE_ROW && sqlite3_column_int64(lookUp.get(), 0) == unread->rowID;
            const std::string problem = row + (found ? " reads back by its row ID with other values than written"
                                                     : " is not found by its row ID once written");
            noteDamageFound(problem);
            return problem;
        }
        first = end;
    }
    return std::nullopt;
}

}  // namespace measurement
