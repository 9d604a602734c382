// The rows a transaction writes, noted with their values, and read back by their row IDs before it commits.
// The pre-update hook is part of the SQLite library this system is built against.
#define SQLITE_ENABLE_PREUPDATE_HOOK
#include "measurement/store/sqlite_written_rows.h"

#include <sqlite3.h>

#include <cmath>
#include <cstring>
#include <iterator>

#include "measurement/store/sqlite_store.h"

namespace measurement {

namespace {

// The integers a double holds exactly without a fraction: -2^63 up to, not
// including, 2^63.
constexpr double kLowestInteger = -9223372036854775808.0;
constexpr double kPastHighestInteger = 9223372036854775808.0;

void appendBytes(std::string* into, char type, const void* bytes, std::size_t size) {
    into->push_back(type);
    into->append(reinterpret_cast<const char*>(&size), sizeof size);
    if (size > 0) into->append(static_cast<const char*>(bytes), size);
}

void appendInteger(std::string* into, std::int64_t value) { appendBytes(into, 'i', &value, sizeof value); }

}  // namespace

void APMWrittenRows::appendValue(std::string* into, sqlite3_value* value) {
    switch (sqlite3_value_type(value)) {
        case SQLITE_INTEGER: appendInteger(into, sqlite3_value_int64(value)); return;
        case SQLITE_FLOAT: {
            const double real = sqlite3_value_double(value);
            if (real == std::floor(real) && real >= kLowestInteger && real < kPastHighestInteger) {
                appendInteger(into, static_cast<std::int64_t>(real));
            } else {
                appendBytes(into, 'r', &real, sizeof real);
            }
            return;
        }
        case SQLITE_TEXT: {
            const unsigned char* text = sqlite3_value_text(value);
            appendBytes(into, 't', text, static_cast<std::size_t>(sqlite3_value_bytes(value)));
            return;
        }
        case SQLITE_BLOB: {
            const void* blob = sqlite3_value_blob(value);
            appendBytes(into, 'b', blob, static_cast<std::size_t>(sqlite3_value_bytes(value)));
            return;
        }
        default: into->push_back('n'); return;
    }
}

void APMWrittenRows::watch(sqlite3* db) {
    sqlite3_preupdate_hook(db, &APMWrittenRows::noteRow, this);
    sqlite3_commit_hook(db, &APMWrittenRows::refuseCommit, this);
}

// Called by SQLite as each row changes, before the change: only what the
// row is to hold is taken, by column.
void APMWrittenRows::noteRow(void* context, sqlite3* db, int operation, const char* database, const char* table,
                             sqlite3_int64 oldRowID, sqlite3_int64 newRowID) {
    auto* self = static_cast<APMWrittenRows*>(context);
    if (!self->noting_ || std::strcmp(database, "main") != 0) return;
    auto& rows = self->statement_[table];
    if (operation == SQLITE_DELETE || oldRowID != newRowID) rows[oldRowID] = std::nullopt;
    if (operation == SQLITE_DELETE) return;
    std::string values;
    const int columns = sqlite3_preupdate_count(db);
    for (int column = 0; column < columns; ++column) {
        sqlite3_value* value = nullptr;
        if (sqlite3_preupdate_new(db, column, &value) != SQLITE_OK || !value) {
            values.push_back('?');  // cannot be told: never equal to what is read
            continue;
        }
        appendValue(&values, value);
    }
    rows[newRowID] = std::move(values);
}

int APMWrittenRows::refuseCommit(void* context) { return static_cast<APMWrittenRows*>(context)->holdsRows() ? 1 : 0; }

void APMWrittenRows::mergeInto(Tables* below, const Tables& above) {
    for (const auto& [table, rows] : above) {
        auto& into = (*below)[table];
        for (const auto& [rowID, values] : rows) into[rowID] = values;
    }
}

void APMWrittenRows::transactionBegan() {
    forget();
    layers_.emplace_back();
}

void APMWrittenRows::savepointBegan() {
    if (!layers_.empty()) layers_.emplace_back();
}

void APMWrittenRows::savepointEnded(bool kept) {
    if (layers_.size() < 2) return;
    if (kept) mergeInto(&layers_[layers_.size() - 2], layers_.back());
    layers_.pop_back();
}

void APMWrittenRows::statementEnded(bool ran) {
    if (ran && !layers_.empty()) mergeInto(&layers_.back(), statement_);
    statement_.clear();
}

void APMWrittenRows::forget() {
    layers_.clear();
    statement_.clear();
}

APMWrittenRows::Tables APMWrittenRows::rowsToReadBack() const {
    Tables merged;
    for (const auto& layer : layers_) mergeInto(&merged, layer);
    for (auto table = merged.begin(); table != merged.end();) {
        auto& rows = table->second;
        for (auto row = rows.begin(); row != rows.end();) row = row->second ? std::next(row) : rows.erase(row);
        table = rows.empty() ? merged.erase(table) : std::next(table);
    }
    return merged;
}

bool APMWrittenRows::holdsRows() const {
    auto holds = [](const Tables& tables) {
        for (const auto& [table, rows] : tables) {
            for (const auto& [rowID, values] : rows) {
                if (values) return true;
            }
        }
        return false;
    };
    if (holds(statement_)) return true;
    for (const auto& layer : layers_) {
        if (holds(layer)) return true;
    }
    return false;
}

// A look-up of the row ID goes down the table's tree from its root as every
// reader does; SQLite may have put the row where that never leads (a damaged
// page's cells, whose largest row ID it read wrong, under a row ID another
// row has). A table that no longer exists went with the transaction's own
// change of the schema: nothing of it is left to read.
std::optional<std::string> APMSqliteStore::rowsNotReadBack() {
    const auto tables = written_->rowsToReadBack();
    written_->forget();
    for (const auto& [table, rows] : tables) {
        auto lookUp = prepare("SELECT * FROM " + quoteIdentifier(table) + " NOT INDEXED WHERE rowid = ?1", nullptr);
        if (!lookUp) {
            if (damage_) return "the file is damaged (" + *damage_ + ")";
            continue;
        }
        for (const auto& [rowID, values] : rows) {
            sqlite3_reset(lookUp.get());
            sqlite3_bind_int64(lookUp.get(), 1, rowID);
            const int rc = sqlite3_step(lookUp.get());
            // Columns the transaction added after the write are not the row's.
            std::string read;
            for (int column = 0; rc == SQLITE_ROW && column < sqlite3_column_count(lookUp.get()) &&
                                 read.size() < values->size();
                 ++column) {
                APMWrittenRows::appendValue(&read, sqlite3_column_value(lookUp.get(), column));
            }
            if (rc == SQLITE_ROW && read == *values) continue;
            const std::string row = "row " + std::to_string(rowID) + " of " + table;
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
                const std::string why = row + " could not be read back: " + sqlite3_errmsg(db_);
                noteDamage(rc);
                return why;
            }
            const std::string problem =
                row + (rc == SQLITE_DONE ? " is not found by its row ID once written"
                                         : " reads back by its row ID with other values than written");
            noteDamageFound(problem);
            return problem;
        }
    }
    return std::nullopt;
}

}  // namespace measurement
