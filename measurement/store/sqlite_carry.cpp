// Reading what a damaged database file still holds, row by row, and carrying it into a new file.
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <system_error>

#include "measurement/store/sqlite_store.h"

namespace measurement {

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kLowestRowID = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kHighestRowID = std::numeric_limits<std::int64_t>::max();

bool isDamage(int code) {
    const int primary = code & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// A statement prepared apart from the store's kept ones: these run on files
// that are being given up.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) {
        code_ = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement_, nullptr);
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool prepared() const { return code_ == SQLITE_OK && statement_; }
    int code() const { return code_; }
    sqlite3_stmt* get() const { return statement_; }

private:
    sqlite3_stmt* statement_ = nullptr;
    int code_ = SQLITE_OK;
};

// `from` moved up by `step` (at least 1), no further than the highest row ID.
std::int64_t advanced(std::int64_t from, std::uint64_t step) {
    const auto room = static_cast<std::uint64_t>(kHighestRowID) - static_cast<std::uint64_t>(from);
    return step >= room ? kHighestRowID : static_cast<std::int64_t>(static_cast<std::uint64_t>(from) + step);
}

// Reads a table's rows in row-ID order through its own tree, never an
// index. A read that fails on damage starts again past it: a row whose key
// the tree leads to but whose columns do not read is skipped alone; where
// the way down the tree itself fails (a damaged leaf or interior page), the
// first row ID whose way down reads is found by doubling steps and then
// halving them, and every row before it is skipped. Each probe reads only
// the pages on one way down, so that skipping a page costs some hundred
// page reads at most, however large the table.
class TableReader {
public:
    TableReader(sqlite3* db, const std::string& table)
        : db_(db),
          table_(table),
          scan_(db, "SELECT rowid, * FROM " + APMSqliteStore::quoteIdentifier(table) +
                        " NOT INDEXED WHERE rowid >= ?1 ORDER BY rowid"),
          probe_(db, "SELECT rowid FROM " + APMSqliteStore::quoteIdentifier(table) +
                         " NOT INDEXED WHERE rowid >= ?1 ORDER BY rowid LIMIT 1") {}

    // The row handler sees the scan positioned on a row (column 0 the row
    // ID); false from it ends the read. False when the table could not be
    // read for a reason other than damage (*error filled) or the handler
    // ended it.
    bool read(const std::function<bool(sqlite3_stmt*)>& row, std::vector<APMUnreadableStretch>* skipped,
              std::string* error) {
        if (!scan_.prepared() || !probe_.prepared()) {
            // A schema that does not read is damage too: nothing of it reads.
            if (isDamage(scan_.code()) || isDamage(probe_.code())) {
                skip(skipped);
                return true;
            }
            *error = sqlite3_errmsg(db_);
            return false;
        }
        std::int64_t cursor = kLowestRowID;
        for (;;) {
            sqlite3_reset(scan_.get());
            sqlite3_bind_int64(scan_.get(), 1, cursor);
            int rc = SQLITE_OK;
            while ((rc = sqlite3_step(scan_.get())) == SQLITE_ROW) {
                const std::int64_t rowID = sqlite3_column_int64(scan_.get(), 0);
                if (pending_) skipped->back().beforeRowID = rowID;
                pending_ = false;
                lastRead_ = rowID;
                if (!row(scan_.get())) return false;
                if (rowID == kHighestRowID) return true;
                cursor = rowID + 1;
            }
            if (rc == SQLITE_DONE) return true;
            if (!isDamage(rc)) {
                *error = sqlite3_errmsg(db_);
                return false;
            }
            skip(skipped);
            std::optional<std::int64_t> next;
            rc = seek(cursor, &next);
            if (rc == SQLITE_OK) {
                // The tree leads to the row, but the row does not read.
                if (!next || *next == kHighestRowID) return true;
                cursor = *next + 1;
                continue;
            }
            if (isDamage(rc)) rc = pastDamage(&cursor);
            if (rc == SQLITE_OK) continue;
            if (isDamage(rc)) return true;  // nothing after the damage reads
            *error = sqlite3_errmsg(db_);
            return false;
        }
    }

private:
    // Opens a stretch of skipped rows after the last row read, unless one
    // is open already.
    void skip(std::vector<APMUnreadableStretch>* skipped) {
        if (pending_) return;
        skipped->push_back({table_, lastRead_, std::nullopt, sqlite3_errmsg(db_)});
        pending_ = true;
    }

    // SQLITE_OK with the first row ID at or after `from` (none when there
    // is none), or the error of the way down.
    int seek(std::int64_t from, std::optional<std::int64_t>* found) {
        sqlite3_reset(probe_.get());
        sqlite3_bind_int64(probe_.get(), 1, from);
        const int rc = sqlite3_step(probe_.get());
        *found = rc == SQLITE_ROW ? std::optional(sqlite3_column_int64(probe_.get(), 0)) : std::nullopt;
        const int result = rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
        sqlite3_reset(probe_.get());
        return result;
    }

    // Moves the cursor, whose way down is damaged, to the lowest row ID
    // after it whose way down reads: SQLITE_OK, or the damage error when
    // none up to the highest does.
    int pastDamage(std::int64_t* cursor) {
        std::optional<std::int64_t> ignored;
        std::int64_t bad = *cursor;
        std::int64_t good = kHighestRowID;
        for (std::uint64_t step = 1;; step *= 2) {
            const std::int64_t trial = advanced(bad, step);
            const int rc = seek(trial, &ignored);
            if (rc == SQLITE_OK) {
                good = trial;
                break;
            }
            if (!isDamage(rc) || trial == kHighestRowID) return rc;
            bad = trial;
        }
        while (static_cast<std::uint64_t>(good) - static_cast<std::uint64_t>(bad) > 1) {
            const std::int64_t middle = advanced(bad, (static_cast<std::uint64_t>(good) - static_cast<std::uint64_t>(bad)) / 2);
            const int rc = seek(middle, &ignored);
            if (rc == SQLITE_OK) {
                good = middle;
            } else if (isDamage(rc)) {
                bad = middle;
            } else {
                return rc;
            }
        }
        *cursor = good;
        return SQLITE_OK;
    }

    sqlite3* db_;
    std::string table_;
    Statement scan_;
    Statement probe_;
    std::optional<std::int64_t> lastRead_;
    bool pending_ = false;
};

// The non-hidden columns of the table, in the order "*" gives them.
std::optional<std::vector<std::string>> columnsOf(sqlite3* db, const std::string& table, std::string* error) {
    Statement info(db, "SELECT name FROM pragma_table_info(?1)");
    if (!info.prepared()) {
        *error = sqlite3_errmsg(db);
        return std::nullopt;
    }
    sqlite3_bind_text(info.get(), 1, table.c_str(), static_cast<int>(table.size()), SQLITE_TRANSIENT);
    std::vector<std::string> columns;
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(info.get())) == SQLITE_ROW) {
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 0));
        columns.emplace_back(name ? name : "");
    }
    if (rc != SQLITE_DONE) {
        *error = sqlite3_errmsg(db);
        return std::nullopt;
    }
    return columns;
}

bool execute(sqlite3* db, const std::string& sql, std::string* error) {
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    *error = sqlite3_errmsg(db);
    return false;
}

void removeWithJournal(const std::string& path) {
    std::error_code ec;
    for (const char* suffix : kAPMSqliteStoreCompanionSuffixes) fs::remove(path + suffix, ec);
    fs::remove(path, ec);
}

// The tables (first) and indexes the file declares, as their statements;
// an empty list when its schema is too damaged to read, which leaves
// nothing to carry. False for a failure of another kind.
bool schemaOf(sqlite3* db, std::vector<std::pair<std::string, std::string>>* objects, std::string* error) {
    Statement schema(db,
                     "SELECT type, name, sql FROM sqlite_master WHERE type IN ('table', 'index') AND sql IS NOT NULL "
                     "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY type = 'index', rowid");
    if (!schema.prepared()) {
        if (isDamage(schema.code())) return true;
        *error = sqlite3_errmsg(db);
        return false;
    }
    int rc = SQLITE_OK;
    std::vector<std::pair<std::string, std::string>> read;
    while ((rc = sqlite3_step(schema.get())) == SQLITE_ROW) {
        const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(schema.get(), 0));
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(schema.get(), 1));
        const auto* sql = reinterpret_cast<const char*>(sqlite3_column_text(schema.get(), 2));
        // Indexes are named with an empty table: only tables carry rows.
        read.emplace_back(std::string(type ? type : "") == "table" ? (name ? name : "") : "", sql ? sql : "");
    }
    if (rc == SQLITE_DONE) {
        *objects = std::move(read);
        return true;
    }
    if (isDamage(rc)) return true;
    *error = sqlite3_errmsg(db);
    return false;
}

}  // namespace

// In one transaction of the new file, with a rollback journal, so that a
// process that ends meanwhile leaves a file that opens as empty or whole.
// The schema version the file's owner keeps (user_version) is not carried:
// the owner examines the new file's layout anew.
bool APMSqliteStore::carryReadableRows(const std::string& target, Carried* carried, std::string* why) {
    removeWithJournal(target);
    std::vector<std::pair<std::string, std::string>> objects;
    if (!schemaOf(db_, &objects, why)) return false;
    sqlite3* into = nullptr;
    bool done = sqlite3_open_v2(target.c_str(), &into, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK;
    if (!done) *why = into ? sqlite3_errmsg(into) : "cannot make " + target;
    done = done && execute(into, "BEGIN", why);
    for (const auto& [table, sql] : objects) {
        if (!done) break;
        // A declaration that no longer reads as one is damage like any other:
        // its rows cannot be carried either.
        std::string refused;
        if (!execute(into, sql, &refused)) {
            if (!table.empty()) carried->skipped.push_back({table, std::nullopt, std::nullopt, refused});
        }
    }
    for (const auto& [table, sql] : objects) {
        if (!done || table.empty()) continue;
        const auto columns = columnsOf(into, table, why);
        if (!columns || columns->empty()) {
            done = columns.has_value();
            continue;
        }
        std::string names = "rowid", values = "?1";
        for (std::size_t i = 0; i < columns->size(); ++i) {
            names += ", " + quoteIdentifier((*columns)[i]);
            values += ", ?" + std::to_string(i + 2);
        }
        Statement insert(into, "INSERT OR IGNORE INTO " + quoteIdentifier(table) + " (" + names + ") VALUES (" +
                                   values + ")");
        if (!insert.prepared()) {
            *why = sqlite3_errmsg(into);
            done = false;
            break;
        }
        TableReader reader(db_, table);
        done = reader.read(
            [&](sqlite3_stmt* row) {
                // The values as stored, each with its own type.
                const int count = std::min(sqlite3_column_count(row), static_cast<int>(columns->size()) + 1);
                sqlite3_reset(insert.get());
                sqlite3_clear_bindings(insert.get());
                for (int i = 0; i < count; ++i) sqlite3_bind_value(insert.get(), i + 1, sqlite3_column_value(row, i));
                if (sqlite3_step(insert.get()) != SQLITE_DONE) {
                    *why = sqlite3_errmsg(into);
                    return false;
                }
                ++(sqlite3_changes(into) > 0 ? carried->rows : carried->refused);
                return true;
            },
            &carried->skipped, why);
    }
    done = done && execute(into, "COMMIT", why);
    if (into) sqlite3_close_v2(into);
    if (!done) removeWithJournal(target);
    return done;
}

std::optional<std::vector<APMUnreadableStretch>> APMSqliteStore::readableRowsOfTable(
    const std::string& table, const std::function<void(APMRow row)>& visit, APMErrorOut error) {
    std::lock_guard lock(mutex_);
    if (!requireOpen(error)) return std::nullopt;
    std::vector<APMUnreadableStretch> skipped;
    std::string why;
    TableReader reader(db_, table);
    const bool read = reader.read(
        [&](sqlite3_stmt* statement) {
            APMRow row;
            for (int column = 0; column < sqlite3_column_count(statement); ++column) {
                platform::Value value = columnValue(statement, column);
                if (value.isNull()) continue;
                const char* name = column == 0 ? "rowid" : sqlite3_column_name(statement, column);
                row.emplace(name ? name : "", std::move(value));
            }
            visit(std::move(row));
            return true;
        },
        &skipped, &why);
    if (!read) {
        fail(error, kAPMSqliteStoreStatementCode, "Failed to read table", kAPMSqliteStoreStepFailedCode,
             table + ": " + why);
        return std::nullopt;
    }
    return skipped;
}

}  // namespace measurement
