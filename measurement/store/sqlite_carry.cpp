// Carrying what a file the store gives up still holds into a new file made from its owner's declarations.
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "measurement/store/declared_types.h"
#include "measurement/store/sqlite_connections.h"
#include "measurement/store/sqlite_damage.h"
#include "measurement/store/sqlite_statement.h"
#include "measurement/store/sqlite_store.h"
#include "measurement/store/sqlite_table_reader.h"

namespace measurement {

namespace {

namespace fs = std::filesystem;

using sqlite_btree::RecordValue;
using sqlite_page_rows::Row;
using sqlite_statement::Statement;
// Statements of the engine's own text only: never one read from a file.
using sqlite_statement::execute;

constexpr const char* kNotDeclared = "a table its owner does not keep: not carried";
constexpr const char* kNotDatabase = "the file does not read as a database: ";
constexpr const char* kRowID = "rowid";

std::string quoted(const std::string& name) { return APMSqliteStore::quoteIdentifier(name); }

void removeWithJournal(const std::string& path) {
    std::error_code ec;
    for (const char* suffix : kAPMSqliteStoreCompanionSuffixes) fs::remove(path + suffix, ec);
    fs::remove(path, ec);
}

int bind(sqlite3_stmt* statement, int place, const RecordValue& value) {
    const auto size = static_cast<sqlite3_uint64>(value.bytes.size());
    switch (value.type) {
        case RecordValue::Type::integer: return sqlite3_bind_int64(statement, place, value.integer);
        case RecordValue::Type::real: return sqlite3_bind_double(statement, place, value.real);
        case RecordValue::Type::text:
            return sqlite3_bind_text64(statement, place, value.bytes.data(), size, SQLITE_TRANSIENT, SQLITE_UTF8);
        // An empty blob must stay a blob, not become NULL.
        case RecordValue::Type::blob:
            return size == 0 ? sqlite3_bind_zeroblob(statement, place, 0)
                             : sqlite3_bind_blob64(statement, place, value.bytes.data(), size, SQLITE_TRANSIENT);
        case RecordValue::Type::null: return sqlite3_bind_null(statement, place);
    }
    return sqlite3_bind_null(statement, place);
}

platform::Value valueOf(const RecordValue& value) {
    switch (value.type) {
        case RecordValue::Type::integer: return platform::Value(value.integer);
        case RecordValue::Type::real: return platform::Value(value.real);
        case RecordValue::Type::text: return platform::Value(value.bytes);
        case RecordValue::Type::blob: {
            platform::Data data;
            data.bytes.assign(value.bytes.begin(), value.bytes.end());
            return platform::Value(std::move(data));
        }
        case RecordValue::Type::null: break;
    }
    return platform::Value();
}

// A carry under way: the tables of the file that the owner declares, made
// in the new file as declared (with the columns a newer layout of the
// owner's adds, untyped, so that their values go along), and their rows.
class Carry {
public:
    Carry(TableReader& from, sqlite3* into, const APMDeclaredSchema& declared)
        : from_(from), into_(into), declared_(declared) {}

    bool all(std::string* why) {
        for (const auto& stored : from_.tables()) {
            if (!declared_types::declaredColumnsOf(declared_.tables, stored)) {
                skipped.push_back({stored, std::nullopt, std::nullopt, kNotDeclared});
            }
        }
        for (const auto& [name, columns] : declared_.tables) {
            std::string error;
            const auto shape = from_.shapeOf(name, &error);
            if (!error.empty()) {
                *why = error;
                return false;
            }
            if (shape && !table(name, columns, *shape, why)) return false;
        }
        return true;
    }

    std::int64_t rows = 0;
    // Rows that read but that the new file's constraints refused.
    std::int64_t refused = 0;
    std::string firstRefusal;
    std::vector<APMUnreadableStretch> skipped;
    std::vector<std::string> readFromPages;

private:
    bool table(const std::string& name, const APMColumnInfo& declared, const TableReader::Shape& shape,
               std::string* why) {
        std::string definition;
        for (const auto& column : declared) {
            definition += (definition.empty() ? "" : ", ") + quoted(column.name) + " " + column.type;
        }
        for (std::size_t at = declared.size(); at < shape.columns.size(); ++at) {
            definition += ", " + quoted(shape.columns[at].name);
        }
        if (!execute(into_, "CREATE TABLE " + quoted(name) + " (" + definition + ")", why) || !indexes(name, why)) {
            return false;
        }
        if (shape.byDeclaration) readFromPages.push_back(name);
        return from_.read(
            name, shape, [&](const Row& row) { return insert(name, shape, row, why); }, &skipped, why);
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

    // The row with the values it has; the columns it lacks take their
    // defaults. One statement for each set of columns rows have.
    bool insert(const std::string& name, const TableReader::Shape& shape, const Row& row, std::string* why) {
        std::string key = name + "\x1f" + (row.rowID ? "1" : "0");
        for (const auto& value : row.values) key += value ? '1' : '0';
        Statement& statement = inserts_[key];
        if (!statement) statement = Statement(into_, insertText(name, shape, row));
        if (!statement) {
            *why = statement.message();
            return false;
        }
        statement.reset();
        int place = 0;
        int rc = row.rowID ? sqlite3_bind_int64(statement.get(), ++place, *row.rowID) : SQLITE_OK;
        for (const auto& value : row.values) {
            if (value && rc == SQLITE_OK) rc = bind(statement.get(), ++place, *value);
        }
        if (rc == SQLITE_OK) statement.step();
        rc = (rc == SQLITE_OK ? statement.code() : rc) & 0xff;
        if (rc == SQLITE_DONE) {
            ++(sqlite3_changes(into_) > 0 ? rows : refused);
            return true;
        }
        // What the new file cannot hold is one row refused; anything else
        // ends the carry.
        if (rc != SQLITE_TOOBIG && rc != SQLITE_MISMATCH && rc != SQLITE_CONSTRAINT) {
            *why = sqlite3_errmsg(into_);
            return false;
        }
        if (firstRefusal.empty()) {
            firstRefusal = name + (row.rowID ? " row " + std::to_string(*row.rowID) : " a row") + ": " +
                           sqlite3_errstr(rc);
        }
        ++refused;
        return true;
    }

    static std::string insertText(const std::string& name, const TableReader::Shape& shape, const Row& row) {
        std::string names = row.rowID ? kRowID : "", values = row.rowID ? "?" : "";
        for (std::size_t at = 0; at < row.values.size(); ++at) {
            if (!row.values[at]) continue;
            names += (names.empty() ? "" : ", ") + quoted(shape.columns[at].name);
            values += values.empty() ? "?" : ", ?";
        }
        return names.empty() ? "INSERT OR IGNORE INTO " + quoted(name) + " DEFAULT VALUES"
                             : "INSERT OR IGNORE INTO " + quoted(name) + " (" + names + ") VALUES (" + values + ")";
    }

    TableReader& from_;
    sqlite3* into_;
    const APMDeclaredSchema& declared_;
    std::map<std::string, Statement> inserts_;
};

}  // namespace

// In one transaction of the new file, with a rollback journal, so that a
// process that ends meanwhile leaves a file that opens as empty or whole.
// The schema version the file's owner keeps (user_version) is not carried:
// the owner examines the new file's layout anew.
bool APMSqliteStore::carryReadableRows(const std::string& target, Carried* carried, std::string* why) {
    removeWithJournal(target);
    TableReader from(db_, declared_.tables);
    if (from.unreadable() && from.readFailed()) {
        *why = *from.unreadable();
        return false;
    }
    if (from.unreadable()) {
        carried->skipped.push_back({kAPMSqliteStoreSchemaTable, std::nullopt, std::nullopt, kNotDatabase + *from.unreadable()});
    }
    carried->skipped.insert(carried->skipped.end(), from.schemaSkipped().begin(), from.schemaSkipped().end());
    sqlite3* into = nullptr;
    bool done = sqlite3_open_v2(target.c_str(), &into, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) == SQLITE_OK;
    if (!done) *why = into ? sqlite3_errmsg(into) : "cannot make " + target;
    done = done && sqlite_connections::distrustFile(into, why) && execute(into, "BEGIN", why);
    {
        Carry carry(from, into, declared_);
        done = done && carry.all(why) && execute(into, "COMMIT", why);
        carried->rows += carry.rows;
        carried->refused += carry.refused;
        if (carried->firstRefusal.empty()) carried->firstRefusal = carry.firstRefusal;
        carried->skipped.insert(carried->skipped.end(), carry.skipped.begin(), carry.skipped.end());
        carried->readFromPages = carry.readFromPages;
    }
    if (from.schemaDamage()) {
        carried->skipped.push_back({kAPMSqliteStoreSchemaTable, std::nullopt, std::nullopt,
                                    sqlite_damage::kSchemaReadInPart + *from.schemaDamage()});
    }
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
    TableReader reader(db_, declared_.tables);
    if (auto header = reader.headerDamage()) skipped.push_back(std::move(*header));
    if (auto log = reader.logDamage()) skipped.push_back(std::move(*log));
    const auto shape = reader.shapeOf(table, &why);
    if (!shape && why.empty() && (schemaDamage_ || !reader.schemaSkipped().empty())) {
        // Its declaration may be what did not read.
        skipped.push_back({table, std::nullopt, std::nullopt, "the schema, damaged, holds no such table"});
        return skipped;
    }
    const bool read = shape && reader.read(
                                   table, *shape,
                                   [&](const Row& row) {
                                       APMRow values;
                                       if (row.rowID) values.emplace(kRowID, platform::Value(*row.rowID));
                                       for (std::size_t at = 0; at < row.values.size(); ++at) {
                                           const auto& value = row.values[at];
                                           if (value && value->type != RecordValue::Type::null) {
                                               values.emplace(shape->columns[at].name, valueOf(*value));
                                           }
                                       }
                                       visit(std::move(values));
                                       return true;
                                   },
                                   &skipped, &why);
    if (!read) {
        fail(error, kAPMSqliteStoreStatementCode, "Failed to read table", kAPMSqliteStoreStepFailedCode,
             table + ": " + (why.empty() ? "no such table" : why));
        return std::nullopt;
    }
    return skipped;
}

}  // namespace measurement
