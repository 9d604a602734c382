// Before the first write into a file: the page each table appends its rows to, read from the file's bytes, must read whole.
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/store/sqlite_btree.h"
#include "measurement/store/sqlite_damage.h"
#include "measurement/store/sqlite_store.h"

namespace measurement {

namespace {

using sqlite_btree::RecordValue;
using AppendPages = APMSqliteStore::AppendPages;

// Every table with pages (a virtual one has none) and its declaration, the
// schema's own first, on page 1.
constexpr const char* kTablesQuery =
    "SELECT 'sqlite_master', 1, '' UNION ALL SELECT name, rootpage, sql FROM main.sqlite_master WHERE type = 'table' "
    "AND rootpage > 0";
// A table's columns as its records hold them, all but virtual generated
// ones (hidden 2), in order. Asked only of a table whose declaration may
// hold generated columns: each answer prepares a statement of its own,
// which costs more than the rest of a table's check.
constexpr const char* kStoredColumnsQuery = "SELECT name FROM pragma_table_xinfo(?1, 'main') WHERE hidden <> 2";
// A table without row IDs is an index tree, appended to by key.
constexpr const char* kWithoutRowIDQuery = "SELECT wr FROM pragma_table_list WHERE schema = 'main' AND name = ?1";

struct Table {
    std::string name;
    std::int64_t root = 0;
    std::string declaration;
};

// A table's look-up by row ID, selecting its columns in its records'
// order, and which of them is its one INTEGER PRIMARY KEY, whose value a
// record leaves NULL and the row ID gives.
struct LookUp {
    APMStatementLease statement;
    std::vector<std::string> columns;
    std::optional<std::size_t> rowIDAlias;
};

APMStatementLease prepareOnce(sqlite3* db, const std::string& text) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, text.c_str(), static_cast<int>(text.size()), &statement, nullptr);
    return APMStatementLease(statement, nullptr);
}

// What a statement's failure says: damage, or nothing of the file.
AppendPages failure(sqlite3* db, int code, std::string* why) {
    *why = sqlite3_errmsg(db);
    return sqlite_damage::isDamage(db, code) ? AppendPages::damaged : AppendPages::unknown;
}

std::string text(sqlite3_stmt* statement, int column) {
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return bytes ? bytes : "";
}

bool identifierByte(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || (c & 0x80); }

// Whether a declaration, looked at as text only, may declare a generated
// column, which takes the word AS and then its expression in parentheses;
// a comment may stand between them.
bool mayDeclareGenerated(const std::string& declaration) {
    if (declaration.find("/*") != std::string::npos || declaration.find("--") != std::string::npos) return true;
    for (std::size_t at = 0; at + 1 < declaration.size(); ++at) {
        if (std::toupper(static_cast<unsigned char>(declaration[at])) != 'A' ||
            std::toupper(static_cast<unsigned char>(declaration[at + 1])) != 'S' ||
            (at > 0 && identifierByte(declaration[at - 1]))) {
            continue;
        }
        std::size_t next = at + 2;
        while (next < declaration.size() && std::isspace(static_cast<unsigned char>(declaration[next]))) ++next;
        if (next < declaration.size() && declaration[next] == '(') return true;
    }
    return false;
}

AppendPages tablesOf(sqlite3* db, std::vector<Table>* tables, std::string* why) {
    auto list = prepareOnce(db, kTablesQuery);
    if (!list) return failure(db, sqlite3_errcode(db), why);
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(list.get())) == SQLITE_ROW) {
        Table table;
        table.name = text(list.get(), 0);
        table.root = sqlite3_column_int64(list.get(), 1);
        table.declaration = text(list.get(), 2);
        tables->push_back(std::move(table));
    }
    return rc == SQLITE_DONE ? AppendPages::whole : failure(db, rc, why);
}

// The columns the look-up selects: "*", or those the records hold when
// some may be virtual.
AppendPages selectedColumns(sqlite3* db, const Table& table, std::string* selected, std::string* why) {
    *selected = "*";
    if (!mayDeclareGenerated(table.declaration)) return AppendPages::whole;
    auto columns = prepareOnce(db, kStoredColumnsQuery);
    if (!columns) return failure(db, sqlite3_errcode(db), why);
    sqlite3_bind_text(columns.get(), 1, table.name.data(), static_cast<int>(table.name.size()), SQLITE_STATIC);
    std::string list;
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(columns.get())) == SQLITE_ROW) {
        list += (list.empty() ? "" : ", ") + APMSqliteStore::quoteIdentifier(text(columns.get(), 0));
    }
    if (rc != SQLITE_DONE) return failure(db, rc, why);
    if (!list.empty()) *selected = list;
    return AppendPages::whole;
}

// A name SQLite takes for the table's row ID: the first of its three that
// no column of the table's own takes (asked only of a declaration whose
// text names the first). None when every one is a column.
std::optional<std::string> rowIDName(sqlite3* db, const Table& table) {
    static constexpr const char* kNames[] = {"rowid", "oid", "_rowid_"};
    std::string lowered = table.declaration;
    for (auto& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lowered.find(kNames[0]) == std::string::npos) return kNames[0];
    auto column = prepareOnce(db, "SELECT 1 FROM pragma_table_xinfo(?1, 'main') WHERE name = ?2 COLLATE NOCASE");
    for (const char* name : kNames) {
        if (!column) break;
        sqlite3_reset(column.get());
        sqlite3_bind_text(column.get(), 1, table.name.data(), static_cast<int>(table.name.size()), SQLITE_STATIC);
        sqlite3_bind_text(column.get(), 2, name, -1, SQLITE_STATIC);
        if (sqlite3_step(column.get()) == SQLITE_DONE) return name;
    }
    return std::nullopt;
}

AppendPages lookUpOf(sqlite3* db, const Table& table, LookUp* lookUp, std::string* why) {
    std::string selected;
    if (const auto listed = selectedColumns(db, table, &selected, why); listed != AppendPages::whole) return listed;
    const auto rowID = rowIDName(db, table);
    if (!rowID) return AppendPages::whole;  // no look-up by row ID to compare with
    lookUp->statement = prepareOnce(db, "SELECT " + *rowID + ", " + selected + " FROM main." +
                                            APMSqliteStore::quoteIdentifier(table.name) + " NOT INDEXED WHERE " +
                                            *rowID + " = ?1");
    sqlite3_stmt* statement = lookUp->statement.get();
    if (!statement) return failure(db, sqlite3_errcode(db), why);
    int keys = 0;
    std::optional<std::size_t> integerKey;
    for (int column = 1; column < sqlite3_column_count(statement); ++column) {
        const char* name = sqlite3_column_name(statement, column);
        lookUp->columns.emplace_back(name ? name : "");
        const char* type = nullptr;
        int primaryKey = 0;
        if (!name || sqlite3_table_column_metadata(db, "main", table.name.c_str(), name, &type, nullptr, nullptr,
                                                   &primaryKey, nullptr) != SQLITE_OK || !primaryKey) {
            continue;
        }
        ++keys;
        if (type && sqlite3_stricmp(type, "INTEGER") == 0) integerKey = lookUp->columns.size() - 1;
    }
    if (keys == 1) lookUp->rowIDAlias = integerKey;
    return AppendPages::whole;
}

bool withoutRowIDs(sqlite3* db, const std::string& table) {
    auto query = prepareOnce(db, kWithoutRowIDQuery);
    if (!query) return false;
    sqlite3_bind_text(query.get(), 1, table.data(), static_cast<int>(table.size()), SQLITE_STATIC);
    return sqlite3_step(query.get()) == SQLITE_ROW && sqlite3_column_int(query.get(), 0) != 0;
}

bool sameBytes(sqlite3_stmt* row, int column, const std::string& bytes) {
    // Taken as a blob first: the bytes as the file holds them.
    const void* read = sqlite3_column_blob(row, column);
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(row, column));
    return size == bytes.size() && (size == 0 || std::memcmp(read, bytes.data(), size) == 0);
}

// Whether the look-up's column gives the value the cell holds, as SQLite
// reads it: a whole value of a REAL column may be stored as an integer.
bool sameValue(const RecordValue& stored, sqlite3_stmt* row, int column, bool rowIDAlias, std::int64_t rowID) {
    const int type = sqlite3_column_type(row, column);
    switch (stored.type) {
        case RecordValue::Type::null:
            return type == SQLITE_NULL || (rowIDAlias && type == SQLITE_INTEGER && sqlite3_column_int64(row, column) == rowID);
        case RecordValue::Type::integer:
            if (type == SQLITE_INTEGER) return sqlite3_column_int64(row, column) == stored.integer;
            return type == SQLITE_FLOAT && sqlite3_column_double(row, column) == static_cast<double>(stored.integer);
        case RecordValue::Type::real:
            return type == SQLITE_FLOAT && sqlite3_column_double(row, column) == stored.real;
        case RecordValue::Type::text:
            return type == SQLITE_TEXT && sameBytes(row, column, stored.bytes);
        case RecordValue::Type::blob:
            return type == SQLITE_BLOB && sameBytes(row, column, stored.bytes);
    }
    return false;
}

// What keeps the look-up's row from being the cell's: none when it is.
std::optional<std::string> otherThanCell(sqlite3_stmt* row, const sqlite_btree::Record& record, const LookUp& lookUp,
                                         std::int64_t rowID) {
    if (sqlite3_column_int64(row, 0) != rowID) return "its look-up answers row " + std::to_string(sqlite3_column_int64(row, 0));
    // Columns added after the row was written read as their defaults.
    const std::size_t compared = std::min(record.size(), lookUp.columns.size());
    for (std::size_t column = 0; column < compared; ++column) {
        if (!sameValue(record[column], row, static_cast<int>(column) + 1, lookUp.rowIDAlias == column, rowID)) {
            return "its look-up gives another value of " + lookUp.columns[column] + " than its cell holds";
        }
    }
    return std::nullopt;
}

// Counts each table with row IDs it reads in *checked.
AppendPages checkTable(sqlite3* db, const sqlite_btree::FileImage& image, const Table& table,
                       std::atomic<std::uint64_t>* checked, std::string* why) {
    if (table.root <= 0 || table.root > std::numeric_limits<std::uint32_t>::max()) {
        *why = "the root page of table " + table.name + " lies outside the file";
        return AppendPages::damaged;
    }
    const auto root = static_cast<std::uint32_t>(table.root);
    const auto leaf = sqlite_btree::rightmostLeaf(image, root);
    const std::string where = "the page table " + table.name + " appends its rows to (page " + std::to_string(leaf.page) + ")";
    if (leaf.damage && leaf.damage->page == root && withoutRowIDs(db, table.name)) return AppendPages::whole;
    ++*checked;
    if (leaf.damage) {
        *why = where + " does not read whole: page " + std::to_string(leaf.damage->page) + ": " + leaf.damage->why;
        return AppendPages::damaged;
    }
    if (leaf.cells.empty()) return AppendPages::whole;
    LookUp lookUp;
    if (const auto prepared = lookUpOf(db, table, &lookUp, why); prepared != AppendPages::whole) return prepared;
    sqlite3_stmt* statement = lookUp.statement.get();
    if (!statement) return AppendPages::whole;
    for (const auto& cell : leaf.cells) {
        const std::string row = where + ": row " + std::to_string(cell.rowID);
        std::string malformed;
        const auto record = sqlite_btree::decodeRecord(cell.payload, &malformed);
        if (!record) {
            *why = row + ": " + malformed;
            return AppendPages::damaged;
        }
        sqlite3_reset(statement);
        sqlite3_bind_int64(statement, 1, cell.rowID);
        const int rc = sqlite3_step(statement);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return failure(db, rc, why);
        const auto other = rc == SQLITE_ROW ? otherThanCell(statement, *record, lookUp, cell.rowID)
                                            : std::optional<std::string>("it is not found by its row ID");
        if (other) {
            *why = row + ": " + *other;
            return AppendPages::damaged;
        }
    }
    return AppendPages::whole;
}

}  // namespace

APMSqliteStore::AppendPages APMSqliteStore::checkAppendPages(std::string* why) {
    const char* path = sqlite3_db_filename(db_, "main");
    if (!path || !*path) return AppendPages::whole;  // in memory: no bytes on a disk to damage
    std::vector<Table> tables;
    if (const auto listed = tablesOf(db_, &tables, why); listed != AppendPages::whole) return listed;
    // Through the connection's own handles: a descriptor of the file opened
    // and closed here would end the locks SQLite holds on it.
    const sqlite_btree::FileImage image(db_);
    if (image.unreadable()) {
        *why = "the file's pages do not read: " + *image.unreadable();
        return image.readFailed() ? AppendPages::unknown : AppendPages::damaged;
    }
    // A file of no page yet holds no table.
    if (image.pageCount() == 0 && tables.size() == 1) return AppendPages::whole;
    for (const auto& table : tables) {
        const auto pages = checkTable(db_, image, table, &appendPageChecks_, why);
        if (pages != AppendPages::whole) return pages;
    }
    return AppendPages::whole;
}

}  // namespace measurement
