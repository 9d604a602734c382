// Reading what a damaged database file still holds, row by row, and carrying it into a new file.
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "measurement/store/declared_types.h"
#include "measurement/store/sqlite_damage.h"
#include "measurement/store/sqlite_pages.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/store/sqlite_written_rows.h"

namespace measurement {

namespace {

namespace fs = std::filesystem;

using sqlite_damage::isDamage;

constexpr const char* kTooManyRows = "the table's tree leads to more rows than the file's pages can hold";

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

// One transaction over a table's read, unless the caller has one open: the
// in-order read and the look-ups see the same rows, and the file's locks
// are taken once rather than at each look-up. Committed, so that whatever
// the row handler wrote on the connection stays as it would have without.
class ReadTransaction {
public:
    explicit ReadTransaction(sqlite3* db) : db_(sqlite3_get_autocommit(db) ? db : nullptr) {
        if (db_ && sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) db_ = nullptr;
    }
    ~ReadTransaction() {
        // SQLite may have ended it on a failure of the file.
        if (!db_ || sqlite3_get_autocommit(db_)) return;
        if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    ReadTransaction(const ReadTransaction&) = delete;
    ReadTransaction& operator=(const ReadTransaction&) = delete;

private:
    sqlite3* db_;
};

// The row IDs on every table-leaf page image of the open file, read from
// its bytes once, when a table's read first needs them.
class LeafRowIDs {
public:
    explicit LeafRowIDs(sqlite3* db) : db_(db) {}
    const std::vector<std::int64_t>& get() {
        if (!read_) {
            const char* path = sqlite3_db_filename(db_, "main");
            if (path && *path) rowIDs_ = sqlite_pages::tableLeafRowIDs(path);
            read_ = true;
        }
        return rowIDs_;
    }

private:
    sqlite3* db_;
    bool read_ = false;
    std::vector<std::int64_t> rowIDs_;
};

// As many rows as the file's page images can hold: an in-order read that
// gives more goes round a circle that damage made in the tree.
std::uint64_t rowBound(const char* path) {
    constexpr std::uint64_t kUnbounded = std::numeric_limits<std::uint64_t>::max();
    if (!path || !*path) return kUnbounded;  // a database in memory: nothing on a disk to damage
    const auto images = sqlite_pages::pageImagesOf(path);
    const std::uint64_t cells = sqlite_pages::maxCellsPerPage(images.pageSize);
    return cells != 0 && images.count > kUnbounded / cells ? kUnbounded : images.count * cells;
}

constexpr const char* kUnreadKeys = "the table's tree gives row IDs out of order or that do not read by themselves";

// What the in-order read of a table's keys gave: the keys as its tree gives
// them, whether they came out of order, and where and why it stopped short.
struct Scan {
    std::vector<std::int64_t> rowIDs;
    bool disordered = false;
    bool stopped = false;
    std::string error;
};

// A row ID whose look-up failed on damage, with SQLite's error.
struct FailedLookUp {
    std::int64_t rowID;
    std::string error;
};

// Reads the rows of a table whose row IDs each read by themselves, in
// row-ID order, with the values such a look-up gives, of the types the
// table's owner declares (a row with another is one the owner could not
// have written: damage made it, and it counts as a look-up that failed on
// damage). The row IDs looked
// up: those of an in-order read of the keys (to its first error) and, when
// it met damage, those of every table-leaf page image of the file, which
// hold every cell a look-up can find, wherever damaged pages lead it.
// Nothing read from a damaged page skips a row: a row ID from there only
// adds a look-up. The work is bounded by the page images: the in-order read
// by as many rows as they can hold (a tree that damage turned into a circle
// ends), the look-ups by the cells they hold.
class TableReader {
public:
    TableReader(sqlite3* db, const std::string& table, LeafRowIDs* leaves, const APMDeclaredTables& declared)
        : db_(db),
          table_(table),
          leaves_(leaves),
          scan_(db, "SELECT rowid FROM " + APMSqliteStore::quoteIdentifier(table) + " NOT INDEXED ORDER BY rowid"),
          lookup_(db, "SELECT rowid, * FROM " + APMSqliteStore::quoteIdentifier(table) +
                          " NOT INDEXED WHERE rowid = ?1") {
        const APMColumnInfo* columns = declared_types::declaredColumnsOf(declared, table);
        if (columns && lookup_.prepared()) checkColumns(*columns);
    }

    // The row handler sees the look-up positioned on a row (column 0 the
    // row ID); false from it ends the read. False when the table could not
    // be read for a reason other than damage (*error filled) or the handler
    // ended it. The stretches skipped are those between two rows read next
    // to each other where damage was met: a look-up that failed on it, the
    // in-order read stopping short, or keys of that read that do not read.
    bool read(const std::function<bool(sqlite3_stmt*)>& row, std::vector<APMUnreadableStretch>* skipped,
              std::string* error) {
        if (!scan_.prepared() || !lookup_.prepared()) {
            // A schema that does not read is damage too: nothing of it reads.
            if (isDamage(db_, scan_.code()) || isDamage(db_, lookup_.code())) {
                skipped->push_back({table_, std::nullopt, std::nullopt, sqlite3_errmsg(db_)});
                return true;
            }
            *error = sqlite3_errmsg(db_);
            return false;
        }
        const ReadTransaction transaction(db_);
        Scan scan;
        if (!scanRowIDs(&scan, error)) return false;
        std::vector<std::int64_t> rowIDs = scan.rowIDs;
        if (scan.stopped || scan.disordered) {
            rowIDs.insert(rowIDs.end(), leaves_->get().begin(), leaves_->get().end());
        }
        std::sort(rowIDs.begin(), rowIDs.end());
        rowIDs.erase(std::unique(rowIDs.begin(), rowIDs.end()), rowIDs.end());
        std::vector<FailedLookUp> failed;
        for (const std::int64_t rowID : rowIDs) {
            if (!lookUp(rowID, row, &failed, error)) return false;
        }
        stretches(scan, failed, skipped);
        if (scan.disordered) otherCells(scan, skipped);
        return true;
    }

private:
    // The keys in the order the table's tree gives them, up to its first
    // error or as many as the file's page images can hold. False for a
    // failure that is not damage.
    bool scanRowIDs(Scan* scan, std::string* error) {
        const std::uint64_t bound = rowBound(sqlite3_db_filename(db_, "main"));
        int rc = SQLITE_OK;
        while ((rc = sqlite3_step(scan_.get())) == SQLITE_ROW) {
            const std::int64_t rowID = sqlite3_column_int64(scan_.get(), 0);
            scan->stopped = scan->rowIDs.size() >= bound;
            if (scan->stopped) break;
            scan->disordered = scan->disordered || (!scan->rowIDs.empty() && rowID <= scan->rowIDs.back());
            scan->rowIDs.push_back(rowID);
        }
        scan->error = scan->stopped ? kTooManyRows : sqlite3_errmsg(db_);
        const bool damage = isDamage(db_, rc);
        sqlite3_reset(scan_.get());
        if (rc == SQLITE_DONE || scan->stopped) return true;
        if (!damage) {
            *error = scan->error;
            return false;
        }
        scan->stopped = true;
        return true;
    }

    // Offers the row to the handler when its row ID reads by itself; notes
    // the damage a failed look-up met. False for a failure that is not
    // damage, or when the handler ended the read.
    bool lookUp(std::int64_t rowID, const std::function<bool(sqlite3_stmt*)>& row,
                std::vector<FailedLookUp>* failed, std::string* error) {
        sqlite3_reset(lookup_.get());
        sqlite3_bind_int64(lookup_.get(), 1, rowID);
        const int rc = sqlite3_step(lookup_.get());
        if (rc == SQLITE_ROW) {
            if (auto wrong = refusal(rowID)) {
                failed->push_back({rowID, "row " + std::to_string(rowID) + ": " + *wrong});
                sqlite3_reset(lookup_.get());
                return true;
            }
            read_.push_back(rowID);
            const bool goOn = row(lookup_.get());
            sqlite3_reset(lookup_.get());
            return goOn;
        }
        const std::string why = sqlite3_errmsg(db_);
        const bool damage = isDamage(db_, rc);
        sqlite3_reset(lookup_.get());
        if (rc == SQLITE_DONE) return true;  // no such row: a row ID of another table, or garbage
        if (!damage) {
            *error = why;
            return false;
        }
        failed->push_back({rowID, why});
        return true;
    }

    // The look-up's columns that the owner declares, each with its rule.
    void checkColumns(const APMColumnInfo& declared) {
        const auto rules = declared_types::declaredColumns(declared);
        for (int column = 1; column < sqlite3_column_count(lookup_.get()); ++column) {
            const char* name = sqlite3_column_name(lookup_.get(), column);
            const auto found = std::find_if(rules.begin(), rules.end(), [&](const auto& rule) {
                return name && sqlite3_stricmp(rule.name.c_str(), name) == 0;
            });
            if (found != rules.end()) checked_.push_back({column, *found});
        }
    }

    // What keeps the row the look-up of that row ID is on from being one
    // the owner could have written there: a cell that the look-up finds by
    // that key but that SQLite reads as another row's (damage to its size),
    // a value of another type than declared. None when it could have been.
    std::optional<std::string> refusal(std::int64_t rowID) const {
        const std::int64_t answered = sqlite3_column_int64(lookup_.get(), 0);
        if (answered != rowID) return "its look-up answers row " + std::to_string(answered);
        for (const auto& [column, declared] : checked_) {
            const int type = sqlite3_column_type(lookup_.get(), column);
            std::string_view text;
            if (type == SQLITE_TEXT) {
                const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(lookup_.get(), column));
                const auto size = static_cast<std::size_t>(sqlite3_column_bytes(lookup_.get(), column));
                text = std::string_view(bytes ? bytes : "", size);
            }
            if (auto wrong = declared_types::wrongValue(declared.name, declared.rule, type, text)) return wrong;
        }
        return std::nullopt;
    }

    // The stretches skipped: the gaps between rows read where a look-up
    // failed, and where the table's own tree gave keys from damaged pages,
    // runs of keys that do not read or come out of order among those that
    // do. A run
    // spans every gap between rows read from the key before it to the key
    // where rows come in order again (a row read inside it came from
    // damaged bytes too), or every gap after the key before it when it runs
    // to the end of what the tree gave (the tree led to no row past it); the
    // tree stopping short marks the gap after the key before it. A gap
    // between two consecutive row IDs holds no row.
    void stretches(const Scan& scan, const std::vector<FailedLookUp>& failed,
                   std::vector<APMUnreadableStretch>* skipped) const {
        const auto& keys = scan.rowIDs;
        std::map<std::size_t, std::string> gaps;
        for (const auto& lookUp : failed) gaps.emplace(gapAfter(lookUp.rowID), lookUp.error);
        std::optional<std::int64_t> lastGood;
        for (std::size_t at = 0; at < keys.size();) {
            if (continues(keys, at, lastGood)) {
                lastGood = keys[at++];
                continue;
            }
            std::size_t resumed = at + 1;
            while (resumed < keys.size() && !continues(keys, resumed, lastGood)) ++resumed;
            const std::size_t last = resumed < keys.size() ? gapBefore(keys[resumed]) : read_.size();
            for (std::size_t gap = gapAfter(lastGood); gap <= last; ++gap) gaps.emplace(gap, kUnreadKeys);
            at = resumed;
        }
        if (scan.stopped) {
            // Said where the rows it did not give begin: a read that went
            // round a circle stops past rows read next to each other.
            std::size_t gap = gapAfter(lastGood);
            while (holdsNoRow(gap)) ++gap;
            gaps[gap] = scan.error;
        }
        for (const auto& [gap, error] : gaps) {
            if (holdsNoRow(gap)) continue;
            skipped->push_back({table_, gap == 0 ? std::nullopt : std::optional(read_[gap - 1]),
                                gap == read_.size() ? std::nullopt : std::optional(read_[gap]), error});
        }
    }

    // Whether the gap lies between two consecutive row IDs read.
    bool holdsNoRow(std::size_t gap) const {
        return gap > 0 && gap < read_.size() && read_[gap - 1] + 1 == read_[gap];
    }

    // Whether the key at `at` goes on with rows in order: it reads and
    // comes after the last that did, and so does the one after it (lest a
    // key that damage made equal to another row's pass for one).
    bool continues(const std::vector<std::int64_t>& keys, std::size_t at, std::optional<std::int64_t> lastGood) const {
        auto follows = [this](std::int64_t rowID, std::optional<std::int64_t> before) {
            return (!before || rowID > *before) && std::binary_search(read_.begin(), read_.end(), rowID);
        };
        return follows(keys[at], lastGood) && (at + 1 == keys.size() || follows(keys[at + 1], keys[at]));
    }

    // The cells the tree gives after a larger or equal key, under a row ID
    // that reads: the look-up of that row ID answers another cell, where
    // the tree leads, unless damage led it to this one (SQLite puts a new
    // row on a damaged page under a row ID another row has, when it reads
    // the page's largest row ID wrong). Each such cell that is another row
    // did not read: a stretch of its own, between the rows read next to its
    // row ID. A cell is reached again by its place in the tree's order: past
    // the last key before it that came in order and reads, which a seek
    // finds, by as many cells as the in-order read gave between them
    // (skipped without reading their values).
    void otherCells(const Scan& scan, std::vector<APMUnreadableStretch>* skipped) {
        const Statement cell(db_, "SELECT rowid, * FROM " + APMSqliteStore::quoteIdentifier(table_) +
                                      " NOT INDEXED WHERE rowid >= ?1 ORDER BY rowid LIMIT 1 OFFSET ?2");
        if (!cell.prepared()) return;
        auto reads = [this](std::int64_t rowID) { return std::binary_search(read_.begin(), read_.end(), rowID); };
        const auto& keys = scan.rowIDs;
        std::optional<std::size_t> anchor;
        std::set<std::int64_t> others;
        for (std::size_t at = 0, highest = 0; at < keys.size(); ++at) {
            if (at > 0 && keys[at] <= keys[highest]) {
                if (anchor && reads(keys[at]) && !others.count(keys[at]) &&
                    anotherRow(cell.get(), keys[*anchor], at - *anchor, keys[at])) {
                    others.insert(keys[at]);
                }
                continue;
            }
            highest = at;
            if (reads(keys[at])) anchor = at;
        }
        for (const std::int64_t rowID : others) {
            const std::size_t after = gapBefore(rowID), before = gapAfter(rowID);
            skipped->push_back({table_, after == 0 ? std::nullopt : std::optional(read_[after - 1]),
                                before == read_.size() ? std::nullopt : std::optional(read_[before]),
                                "another row is stored under row ID " + std::to_string(rowID) +
                                    ", where no look-up of that row ID leads"});
        }
    }

    // Whether the cell that many places past the anchor's in the tree's
    // order, which holds `rowID`, is another row than the look-up of that
    // row ID answers: one of its shape (each column of the same type) with
    // other values. A cell that does not read, or not as such a row, is what
    // damage made of a page's bytes, among keys that do not read: a stretch
    // already. False when it cannot be told (no such cell at that place).
    bool anotherRow(sqlite3_stmt* cell, std::int64_t anchor, std::size_t places, std::int64_t rowID) {
        sqlite3_reset(cell);
        sqlite3_bind_int64(cell, 1, anchor);
        sqlite3_bind_int64(cell, 2, static_cast<std::int64_t>(places));
        if (sqlite3_step(cell) != SQLITE_ROW || sqlite3_column_int64(cell, 0) != rowID) return false;
        sqlite3_reset(lookup_.get());
        sqlite3_bind_int64(lookup_.get(), 1, rowID);
        bool other = sqlite3_step(lookup_.get()) == SQLITE_ROW &&
                     sqlite3_column_count(cell) == sqlite3_column_count(lookup_.get());
        for (int column = 1; other && column < sqlite3_column_count(cell); ++column) {
            other = sqlite3_column_type(cell, column) == sqlite3_column_type(lookup_.get(), column);
        }
        other = other && valuesOf(cell) != valuesOf(lookup_.get());
        sqlite3_reset(lookup_.get());
        return other;
    }

    // The columns after the row ID of the row a statement is on.
    static std::uint64_t valuesOf(sqlite3_stmt* statement) {
        APMValuesDigest values;
        for (int column = 1; column < sqlite3_column_count(statement); ++column) {
            values.add(sqlite3_column_value(statement, column));
        }
        return values.value();
    }

    // The gaps between rows read, numbered by the row read after them (the
    // count of rows read for the gap after the last): the one that holds
    // what lies just after `rowID` (none: before the first), and just
    // before it.
    std::size_t gapAfter(std::optional<std::int64_t> rowID) const {
        if (!rowID) return 0;
        return static_cast<std::size_t>(std::upper_bound(read_.begin(), read_.end(), *rowID) - read_.begin());
    }
    std::size_t gapBefore(std::int64_t rowID) const {
        return static_cast<std::size_t>(std::lower_bound(read_.begin(), read_.end(), rowID) - read_.begin());
    }

    sqlite3* db_;
    std::string table_;
    LeafRowIDs* leaves_;
    Statement scan_;
    Statement lookup_;
    // The look-up's columns whose values are checked, by their place in it.
    std::vector<std::pair<int, declared_types::DeclaredColumn>> checked_;
    // The row IDs read, ascending.
    std::vector<std::int64_t> read_;
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
        if (isDamage(db, schema.code())) return true;
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
    if (isDamage(db, rc)) return true;
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
    LeafRowIDs leaves(db_);
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
        TableReader reader(db_, table, &leaves, declared_);
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
    LeafRowIDs leaves(db_);
    TableReader reader(db_, table, &leaves, declared_);
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
