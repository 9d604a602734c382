// Carrying what a damaged database file still holds into a new file made from its owner's declarations.
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "measurement/store/declared_types.h"
#include "measurement/store/sqlite_connections.h"
#include "measurement/store/sqlite_damage.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/store/sqlite_table_reader.h"

namespace measurement {

namespace {

namespace fs = std::filesystem;

using sqlite_damage::isDamage;

constexpr const char* kNotDeclared = "a table its owner does not keep: not carried";
// Names by which SQLite takes a table's row ID rather than a column.
constexpr const char* kRowIDNames[] = {"rowid", "oid", "_rowid_"};

std::string quoted(const std::string& name) { return APMSqliteStore::quoteIdentifier(name); }

bool sameName(const std::string& a, const std::string& b) { return sqlite3_stricmp(a.c_str(), b.c_str()) == 0; }

// One statement of the engine's own text, run to its end: never one read
// from a file, and never more than one.
bool execute(sqlite3* db, const std::string& sql, std::string* error) {
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr);
    while (rc == SQLITE_OK || rc == SQLITE_ROW) rc = sqlite3_step(statement);
    sqlite3_finalize(statement);
    if (rc == SQLITE_DONE) return true;
    *error = sqlite3_errmsg(db);
    return false;
}

void removeWithJournal(const std::string& path) {
    std::error_code ec;
    for (const char* suffix : kAPMSqliteStoreCompanionSuffixes) fs::remove(path + suffix, ec);
    fs::remove(path, ec);
}

// The first column of every row a query gives, as text, up to its first
// failure. False when it fails, with SQLite's error.
bool texts(sqlite3* db, const std::string& sql, const std::string& bound, std::vector<std::string>* out,
           std::string* error) {
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr);
    if (rc == SQLITE_OK && !bound.empty()) {
        sqlite3_bind_text(statement, 1, bound.c_str(), static_cast<int>(bound.size()), SQLITE_TRANSIENT);
    }
    while (rc == SQLITE_OK && (rc = sqlite3_step(statement)) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        out->emplace_back(text ? text : "");
        rc = SQLITE_OK;
    }
    if (rc != SQLITE_DONE) *error = sqlite3_errmsg(db);
    sqlite3_finalize(statement);
    return rc == SQLITE_DONE;
}

// The damaged file as the carry reads it: through the store's connection,
// or, where SQLite cannot load the file's schema, through one of its own
// that reads what of the schema parses. Only the names of its tables are
// taken from what it declares.
class DamagedFile {
    static constexpr const char* kTables =
        "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'";
    static constexpr const char* kLoadedTables =
        "SELECT name FROM pragma_table_list WHERE schema = 'main' AND type = 'table' AND name NOT LIKE 'sqlite\\_%' "
        "ESCAPE '\\'";

public:
    explicit DamagedFile(sqlite3* db) : db_(db) {}
    ~DamagedFile() {
        if (own_) sqlite3_close_v2(own_);
    }
    DamagedFile(const DamagedFile&) = delete;
    DamagedFile& operator=(const DamagedFile&) = delete;

    // The file's tables, by the names it stores them under. Where SQLite
    // cannot load the schema, those a lenient read of it gives: the
    // schema's rows up to its damage, and the tables of what loaded (none
    // when even that fails, which leaves nothing to carry). False for a
    // failure that is not damage.
    bool readTables(std::string* error) {
        std::string refused;
        if (texts(db_, kTables, "", &tables_, &refused)) return true;
        if (!isDamage(db_, sqlite3_errcode(db_))) {
            *error = refused;
            return false;
        }
        const char* path = sqlite3_db_filename(db_, "main");
        std::string why;
        own_ = path && *path ? sqlite_connections::openLenientReader(path, &why) : nullptr;
        if (!own_) return true;
        db_ = own_;
        schemaDamage_ = refused;
        tables_.clear();
        texts(db_, kTables, "", &tables_, &why);
        std::vector<std::string> loaded;
        texts(db_, kLoadedTables, "", &loaded, &why);
        for (const auto& table : loaded) {
            if (std::none_of(tables_.begin(), tables_.end(), [&](const std::string& t) { return t == table; })) {
                tables_.push_back(table);
            }
        }
        return true;
    }

    sqlite3* db() const { return db_; }
    const std::vector<std::string>& tables() const { return tables_; }
    const std::optional<std::string>& schemaDamage() const { return schemaDamage_; }

    // The columns of a table as SQLite reads its declaration; none when it
    // did not parse.
    std::vector<std::string> columnsOf(const std::string& table) const {
        std::vector<std::string> columns;
        std::string ignored;
        if (!texts(db_, "SELECT name FROM pragma_table_info(?1)", table, &columns, &ignored)) columns.clear();
        return columns;
    }

private:
    sqlite3* db_;
    sqlite3* own_ = nullptr;
    std::vector<std::string> tables_;
    std::optional<std::string> schemaDamage_;
};

// A carry under way: the tables of the damaged file that the owner
// declares, made in the new file as declared (with the columns the damaged
// file adds, untyped, so that a newer layout's values go along), and their
// rows, matched by column name.
class Carry {
public:
    Carry(DamagedFile& from, sqlite3* into, const APMDeclaredSchema& declared)
        : from_(from), into_(into), declared_(declared), leaves_(from.db()) {}

    bool all(std::string* why) {
        for (const auto& stored : from_.tables()) {
            if (!declared_types::declaredColumnsOf(declared_.tables, stored)) {
                skipped.push_back({stored, std::nullopt, std::nullopt, kNotDeclared});
            }
        }
        for (const auto& entry : declared_.tables) {
            const auto stored = std::find_if(from_.tables().begin(), from_.tables().end(),
                                             [&](const std::string& table) { return sameName(table, entry.first); });
            if (stored != from_.tables().end() && !table(*stored, entry.first, entry.second, why)) return false;
        }
        return true;
    }

    std::int64_t rows = 0;
    // Rows that read but that the new file's constraints refused.
    std::int64_t refused = 0;
    std::vector<APMUnreadableStretch> skipped;
    std::vector<std::string> readFromPages;

private:
    // A column of the damaged file's table, and the new table's column it
    // fills.
    struct Filled {
        std::string from;
        std::string to;
    };

    // The rows fill the columns the damaged file has, by name: a declared
    // column it has under no declared name takes the column in its place,
    // unless that has a declared name (damage to the declaration's text,
    // whose values lie where the owner put them); one it lacks takes its
    // default. Its other columns go along, untyped. A declaration that does
    // not parse names none: the rows, read from the table's pages, come
    // under the declared names.
    bool table(const std::string& stored, const std::string& name, const APMColumnInfo& declared, std::string* why) {
        std::vector<std::string> source = from_.columnsOf(stored);
        const bool fromPages = shifted(source, declared);
        if (fromPages) readFromPages.push_back(stored);
        if (source.empty() || fromPages) {
            source.clear();
            for (const auto& column : declared) source.push_back(column.name);
        }
        const auto declares = [&](const std::string& column) {
            return std::any_of(declared.begin(), declared.end(), [&](const APMColumn& c) { return sameName(c.name, column); });
        };
        std::vector<Filled> filled;
        std::string definition;
        for (std::size_t at = 0; at < declared.size(); ++at) {
            const std::string& column = declared[at].name;
            definition += (definition.empty() ? "" : ", ") + quoted(column) + " " + declared[at].type;
            const auto same = std::find_if(source.begin(), source.end(), [&](const std::string& c) { return sameName(c, column); });
            if (same != source.end()) {
                filled.push_back({*same, column});
            } else if (at < source.size() && !declares(source[at]) && !isRowIDName(source[at])) {
                filled.push_back({source[at], column});
            }
        }
        for (const auto& extra : source) {
            const bool taken = std::any_of(filled.begin(), filled.end(), [&](const Filled& f) { return f.from == extra; });
            if (taken || isRowIDName(extra)) continue;
            filled.push_back({extra, extra});
            definition += ", " + quoted(extra);
        }
        if (!execute(into_, "CREATE TABLE " + quoted(name) + " (" + definition + ")", why) || !indexes(name, why)) {
            return false;
        }
        return rowsOf(stored, name, filled, fromPages, why);
    }

    // Whether damage merged or split the declared columns: another count
    // of them, and at some place a name the owner does not give that
    // place. SQLite's reads would give the values that follow under other
    // columns than they were written for; the table's pages hold them as
    // written. A count alone that differs is another layout of the owner's,
    // which adds columns at the end.
    static bool shifted(const std::vector<std::string>& source, const APMColumnInfo& declared) {
        if (source.empty() || source.size() == declared.size()) return false;
        for (std::size_t at = 0; at < std::min(source.size(), declared.size()); ++at) {
            if (!sameName(source[at], declared[at].name)) return true;
        }
        return false;
    }

    static bool isRowIDName(const std::string& column) {
        return std::any_of(std::begin(kRowIDNames), std::end(kRowIDNames),
                           [&](const char* name) { return sameName(column, name); });
    }

    // Made before the rows go in, so that rows a unique index refuses are
    // counted as refused rather than failing the index.
    bool indexes(const std::string& name, std::string* why) {
        const auto found = declared_.indexStatements.find(name);
        if (found == declared_.indexStatements.end()) return true;
        for (const auto& statement : found->second) {
            std::string error;
            if (!execute(into_, statement, &error)) {
                *why = "an index could not be made (" + statement + "): " + error;
                return false;
            }
        }
        return true;
    }

    // An insert of the columns a row has, with the place in it of each
    // column of the row (the row ID first; 0 for one the new table lacks).
    struct Insert {
        sqlite3_stmt* statement = nullptr;
        std::vector<int> places;
    };

    // Rows read from a table's pages have as many values as their records
    // hold: each count has an insert of its own, which leaves the columns
    // a row lacks to their defaults.
    bool rowsOf(const std::string& stored, const std::string& name, const std::vector<Filled>& columns,
                bool fromPages, std::string* why) {
        std::map<int, Insert> inserts;
        TableReader reader(from_.db(), stored, &leaves_, declared_.tables, from_.schemaDamage(), fromPages);
        const bool done = reader.read(
            [&](sqlite3_stmt* row) {
                Insert& insert = inserts[sqlite3_column_count(row)];
                if (!insert.statement && !prepare(row, name, columns, &insert, why)) return false;
                sqlite3_reset(insert.statement);
                sqlite3_clear_bindings(insert.statement);
                for (int i = 0; i < static_cast<int>(insert.places.size()); ++i) {
                    if (insert.places[i] > 0) sqlite3_bind_value(insert.statement, insert.places[i], sqlite3_column_value(row, i));
                }
                if (sqlite3_step(insert.statement) != SQLITE_DONE) {
                    *why = sqlite3_errmsg(into_);
                    return false;
                }
                ++(sqlite3_changes(into_) > 0 ? rows : refused);
                return true;
            },
            &skipped, why);
        for (auto& entry : inserts) sqlite3_finalize(entry.second.statement);
        return done;
    }

    // The insert of the new table's columns that the row has.
    bool prepare(sqlite3_stmt* row, const std::string& name, const std::vector<Filled>& columns, Insert* insert,
                 std::string* why) {
        insert->places.assign(static_cast<std::size_t>(sqlite3_column_count(row)), 0);
        std::string names, values;
        int place = 0;
        for (std::size_t i = 0; i < insert->places.size(); ++i) {
            const char* from = i == 0 ? "rowid" : sqlite3_column_name(row, static_cast<int>(i));
            const auto to = std::find_if(columns.begin(), columns.end(), [&](const Filled& f) { return from && f.from == from; });
            if (i > 0 && to == columns.end()) continue;
            insert->places[i] = ++place;
            names += (names.empty() ? "" : ", ") + quoted(i == 0 ? std::string("rowid") : to->to);
            values += (values.empty() ? "?" : ", ?") + std::to_string(place);
        }
        const std::string sql = "INSERT OR IGNORE INTO " + quoted(name) + " (" + names + ") VALUES (" + values + ")";
        if (sqlite3_prepare_v2(into_, sql.c_str(), static_cast<int>(sql.size()), &insert->statement, nullptr) ==
            SQLITE_OK) {
            return true;
        }
        *why = sqlite3_errmsg(into_);
        return false;
    }

    DamagedFile& from_;
    sqlite3* into_;
    const APMDeclaredSchema& declared_;
    LeafCells leaves_;
};

}  // namespace

// In one transaction of the new file, with a rollback journal, so that a
// process that ends meanwhile leaves a file that opens as empty or whole.
// The schema version the file's owner keeps (user_version) is not carried:
// the owner examines the new file's layout anew.
bool APMSqliteStore::carryReadableRows(const std::string& target, Carried* carried, std::string* why) {
    removeWithJournal(target);
    DamagedFile from(db_);
    if (!from.readTables(why)) return false;
    if (from.schemaDamage()) {
        carried->skipped.push_back({kAPMSqliteStoreSchemaTable, std::nullopt, std::nullopt,
                                    sqlite_damage::kSchemaReadInPart + *from.schemaDamage()});
    }
    sqlite3* into = nullptr;
    bool done = sqlite3_open_v2(target.c_str(), &into, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK;
    if (!done) *why = into ? sqlite3_errmsg(into) : "cannot make " + target;
    done = done && sqlite_connections::distrustFile(into, why) && execute(into, "BEGIN", why);
    Carry carry(from, into, declared_);
    done = done && carry.all(why) && execute(into, "COMMIT", why);
    carried->rows += carry.rows;
    carried->refused += carry.refused;
    carried->skipped.insert(carried->skipped.end(), carry.skipped.begin(), carry.skipped.end());
    carried->readFromPages = carry.readFromPages;
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
    LeafCells leaves(db_);
    TableReader reader(db_, table, &leaves, declared_.tables, schemaDamage_);
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
