// The rows a transaction writes, noted with their values, and read back by their row IDs before it commits.
// The pre-update hook is part of the SQLite library this system is built against.
#define SQLITE_ENABLE_PREUPDATE_HOOK
#include "measurement/store/sqlite_written_rows.h"

#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <utility>

#include "measurement/store/sqlite_store.h"
#include "measurement/store/written_rows_shared_state.h"

namespace measurement {

std::atomic<detail::PreupdateValueReader>& detail::preupdateNewValue() {
    static std::atomic<PreupdateValueReader> reader{&sqlite3_preupdate_new};
    return reader;
}

namespace {

// The integers a double holds exactly without a fraction: -2^63 up to, not
// including, 2^63.
constexpr double kLowestInteger = -9223372036854775808.0;
constexpr double kPastHighestInteger = 9223372036854775808.0;
// The type of the pointer the read-back's SQL function is handed.
constexpr const char* kComparedRowsType = "apm_compared_rows";

// Kinds of value, mixed in before each value's own digest.
enum : std::uint64_t { kNull = 1, kInteger, kReal, kText, kBlob };

// Eight bytes at a time: each step mixes a word into the state one-to-one,
// so that strings of one length that differ in one word never meet.
std::uint64_t bytesDigest(const void* bytes, int size) {
    constexpr std::uint64_t kMultiplier = 0x9fb21c651e98df25ULL;  // odd: multiplying by it is one-to-one
    constexpr int kShift = 29;
    std::uint64_t digest = static_cast<std::uint64_t>(std::max(size, 0));
    const auto* at = static_cast<const unsigned char*>(bytes);
    for (int left = bytes ? size : 0; left > 0; left -= 8, at += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, at, static_cast<std::size_t>(std::min(left, 8)));
        digest = (digest ^ word) * kMultiplier;
        digest ^= digest >> kShift;
    }
    return digest;
}

// The rows of one table the read-back statement compares, in the order it
// lists their row IDs, and how many of them it has reached.
struct ComparedRows {
    const APMWrittenRow* rows = nullptr;
    std::size_t count = 0;
    std::size_t reached = 0;
};

// The function the read-back statement calls for each listed row:
// (compared rows, place in the list, row ID read, column...) is whether the
// row read is the one written there, with its values. Columns the
// transaction added after the write are not the row's.
void readsAsWritten(sqlite3_context* context, int count, sqlite3_value** values) {
    auto* compared = count >= 3 ? static_cast<ComparedRows*>(sqlite3_value_pointer(values[0], kComparedRowsType)) : nullptr;
    const std::int64_t place = count >= 3 ? sqlite3_value_int64(values[1]) : -1;
    if (!compared || place < 0 || static_cast<std::uint64_t>(place) >= compared->count) {
        sqlite3_result_error(context, "no written row to compare", -1);
        return;
    }
    const APMWrittenRow& row = compared->rows[place];
    compared->reached = static_cast<std::size_t>(place) + 1;
    bool same = sqlite3_value_type(values[2]) == SQLITE_INTEGER && sqlite3_value_int64(values[2]) == row.rowID &&
                count - 3 >= row.columns;
    APMValuesDigest read;
    for (int column = 0; same && column < row.columns; ++column) read.add(values[3 + column]);
    sqlite3_result_int(context, same && read.value() == row.values ? 1 : 0);
}

}  // namespace

void APMValuesDigest::mix(std::uint64_t part) {
    constexpr std::uint64_t kGolden = 0x9e3779b97f4a7c15ULL;
    digest_ ^= part + kGolden + (digest_ << 6) + (digest_ >> 2);
}

void APMValuesDigest::add(sqlite3_value* value) {
    const int type = sqlite3_value_type(value);
    switch (type) {
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
        // Text as the bytes the file holds: taken as text, it would be
        // copied to end it with a NUL.
        case SQLITE_TEXT:
        case SQLITE_BLOB: {
            const void* bytes = sqlite3_value_blob(value);
            mix(type == SQLITE_TEXT ? kText : kBlob);
            mix(bytesDigest(bytes, sqlite3_value_bytes(value)));
            return;
        }
        default: mix(kNull); return;
    }
}

bool APMWrittenRows::watch(sqlite3* db) {
    sqlite3_preupdate_hook(db, &APMWrittenRows::noteRow, this);
    sqlite3_commit_hook(db, &APMWrittenRows::refuseCommit, this);
    // Only statements of this connection's own may call it, none that the
    // file's schema holds (a trigger, a view).
    return sqlite3_create_function_v2(db, kAPMReadsAsWrittenFunction, -1, SQLITE_UTF8 | SQLITE_DIRECTONLY, nullptr,
                                      &readsAsWritten, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// SQLite names a table by one pointer while its schema stays loaded; the
// name is compared all the same, as a pointer freed with an old schema may
// come back naming another table.
std::uint32_t APMWrittenRows::tableIndex(const char* table) {
    for (const auto& [name, index] : tableNames_) {
        if (name == table && std::strcmp(tables_[index].c_str(), table) == 0) return index;
    }
    auto known = std::find(tables_.begin(), tables_.end(), table);
    if (known == tables_.end()) known = tables_.insert(known, table);
    const auto index = static_cast<std::uint32_t>(known - tables_.begin());
    tableNames_.emplace_back(table, index);
    return index;
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
        if (detail::preupdateNewValue().load(std::memory_order_relaxed)(db, column, &value) != SQLITE_OK || !value) {
            self->written_.push_back({index, false, kAPMWrittenRowUntold, newRowID, 0});
            return;
        }
        digest.add(value);
    }
    self->written_.push_back({index, false, columns, newRowID, digest.value()});
}

int APMWrittenRows::refuseCommit(void* context) {
    const auto* self = static_cast<APMWrittenRows*>(context);
    return self->written_.empty() || self->lastWritten().empty() ? 0 : 1;
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
    tableNames_.clear();
}

std::vector<APMWrittenRows::Written> APMWrittenRows::lastWritten() const {
    // By table and row ID, each row's newest write first.
    struct Place {
        std::uint32_t table;
        std::uint32_t position;
        std::int64_t rowID;
    };
    std::vector<Place> places;
    places.reserve(written_.size());
    for (std::size_t position = 0; position < written_.size(); ++position) {
        places.push_back({written_[position].table, static_cast<std::uint32_t>(position), written_[position].rowID});
    }
    std::sort(places.begin(), places.end(), [](const Place& a, const Place& b) {
        if (a.table != b.table) return a.table < b.table;
        return a.rowID != b.rowID ? a.rowID < b.rowID : a.position > b.position;
    });
    std::vector<Written> rows;
    for (std::size_t at = 0; at < places.size(); ++at) {
        const bool older = at > 0 && places[at].table == places[at - 1].table && places[at].rowID == places[at - 1].rowID;
        if (!older && !written_[places[at].position].deleted) rows.push_back(written_[places[at].position]);
    }
    return rows;
}

std::vector<APMWrittenRows::Row> APMWrittenRows::takeRowsToReadBack() {
    std::vector<Row> rows;
    for (const auto& row : lastWritten()) rows.push_back({tables_[row.table], row.rowID, row.columns, row.values});
    forget();
    return rows;
}

namespace {

// The text of the statement that gives the first of a table's listed rows
// that does not read back by its row ID as written: its place in the list
// and the row ID read (NULL: none found). Every row ID is looked up from
// the table's root as every reader does; a row whose write SQLite put where
// that never leads (a damaged page's cells, whose largest row ID it read
// wrong) is not found, or another row is.
std::string readBackQuery(const std::string& table, const std::vector<std::string>& columns) {
    std::string query = "SELECT listed.key, written.rowid FROM json_each(?1) AS listed LEFT JOIN main." +
                        APMSqliteStore::quoteIdentifier(table) +
                        " AS written NOT INDEXED ON written.rowid = listed.value WHERE NOT " +
                        kAPMReadsAsWrittenFunction + "(?2, listed.key, written.rowid";
    for (const auto& column : columns) query += ", written." + APMSqliteStore::quoteIdentifier(column);
    return query + ") LIMIT 1";
}

// The row IDs as a JSON array, in their order.
std::string rowIDList(const APMWrittenRow* rows, std::size_t count) {
    std::string list = "[";
    for (std::size_t index = 0; index < count; ++index) {
        char digits[24];
        list.append(digits, std::to_chars(digits, digits + sizeof digits, rows[index].rowID).ptr);
        list += ',';
    }
    list.back() = ']';
    return list;
}

}  // namespace

// The columns `*` gives of the table as the schema is now, in order; none
// when the table no longer exists (the transaction's own change of the
// schema took it, and nothing of it is left to read); no list when that
// cannot be told.
std::optional<std::vector<std::string>> APMSqliteStore::readBackColumns(const std::string& table) {
    // Stepped, a kept statement is prepared again if the schema changed.
    auto probe = prepare("SELECT * FROM main." + quoteIdentifier(table) + " LIMIT 0", nullptr);
    if (probe && sqlite3_step(probe.get()) == SQLITE_DONE) {
        std::vector<std::string> columns;
        for (int column = 0; column < sqlite3_column_count(probe.get()); ++column) {
            const char* name = sqlite3_column_name(probe.get(), column);
            if (!name) return std::nullopt;
            columns.emplace_back(name);
        }
        return columns;
    }
    probe.release();
    std::optional<APMError> error;
    const bool exists = tableExists(table, &error);
    if (error || exists) return std::nullopt;
    return std::vector<std::string>{};
}

std::optional<std::string> APMSqliteStore::rowsNotReadBack() {
    const auto rows = written_->takeRowsToReadBack();
    for (auto first = rows.begin(); first != rows.end();) {
        const auto end = std::find_if(first, rows.end(), [&](const auto& row) { return row.table != first->table; });
        const auto unread = tableRowsNotReadBack(&*first, static_cast<std::size_t>(end - first));
        if (unread) return unread;
        first = end;
    }
    return std::nullopt;
}

// The rows all belong to one table, in row-ID order.
std::optional<std::string> APMSqliteStore::tableRowsNotReadBack(const APMWrittenRow* rows, std::size_t count) {
    const std::string& table = rows->table;
    const auto columns = readBackColumns(table);
    if (columns && columns->empty()) return std::nullopt;
    const auto untold = std::find_if(rows, rows + count, [](const APMWrittenRow& row) {
        return row.columns == kAPMWrittenRowUntold;
    });
    if (untold != rows + count) {
        return "the values written to row " + std::to_string(untold->rowID) + " of " + table +
               " could not be told, so that it cannot be read back";
    }
    ComparedRows compared{rows, count};
    const std::string rowIDs = rowIDList(rows, count);
    auto lookUp = columns ? prepare(readBackQuery(table, *columns), nullptr) : APMStatementLease();
    if (!lookUp) {
        return damage_ ? "the file is damaged (" + *damage_ + ")"
                       : "the rows written to " + table + " could not be read back: " + sqlite3_errmsg(db_);
    }
    sqlite3_bind_text(lookUp.get(), 1, rowIDs.data(), static_cast<int>(rowIDs.size()), SQLITE_STATIC);
    sqlite3_bind_pointer(lookUp.get(), 2, &compared, kComparedRowsType, nullptr);
    const int rc = sqlite3_step(lookUp.get());
    if (rc == SQLITE_DONE) return std::nullopt;
    // The row given, or the one the statement was reading when it failed.
    const std::size_t last = count - 1;
    const std::size_t place =
        rc == SQLITE_ROW
            ? static_cast<std::size_t>(std::clamp<std::int64_t>(sqlite3_column_int64(lookUp.get(), 0), 0,
                                                                 static_cast<std::int64_t>(last)))
            : std::min(compared.reached, last);
    const std::string row = "row " + std::to_string(rows[place].rowID) + " of " + table;
    if (rc != SQLITE_ROW) {
        const std::string why = row + " could not be read back: " + sqlite3_errmsg(db_);
        noteDamage(rc);
        return why;
    }
    const bool found = sqlite3_column_type(lookUp.get(), 1) != SQLITE_NULL;
    const std::string problem = row + (found ? " reads back by its row ID with other values than written"
                                             : " is not found by its row ID once written");
    noteDamageFound(problem);
    return problem;
}

}  // namespace measurement
