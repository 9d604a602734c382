// Before the first write into a file: the page each table appends its rows to, read from the file's bytes, must read whole.
#include <sqlite3.h>

#include <algorithm>
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

// The schema's own table, rooted on page 1, and every other table with row
// IDs (a table without them is an index tree; a virtual one has no pages).
constexpr const char* kSchemaTable = "sqlite_master";
constexpr std::uint32_t kSchemaRoot = 1;
constexpr const char* kTablesQuery =
    "SELECT m.name, m.rootpage FROM main.sqlite_master AS m JOIN pragma_table_list AS l ON l.schema = 'main' "
    "AND l.name = m.name WHERE m.type = 'table' AND l.type = 'table' AND l.wr = 0";
// A table's columns as its records hold them: all but virtual generated
// ones (hidden 2), in order; and its one INTEGER PRIMARY KEY, whose value
// the record leaves NULL and the row ID gives.
constexpr const char* kColumnsQuery = "SELECT name, hidden, pk, upper(type) = 'INTEGER' FROM pragma_table_xinfo(?1, 'main')";
constexpr int kVirtualGenerated = 2;

using AppendPages = APMSqliteStore::AppendPages;

// The columns a look-up selects, in the record's order.
struct StoredColumns {
    std::vector<std::string> names;
    // The one standing for the row ID, when there is one.
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

AppendPages storedColumns(sqlite3* db, const std::string& table, StoredColumns* columns, std::string* why) {
    auto info = prepareOnce(db, kColumnsQuery);
    if (!info) return failure(db, sqlite3_errcode(db), why);
    sqlite3_bind_text(info.get(), 1, table.data(), static_cast<int>(table.size()), SQLITE_STATIC);
    int keys = 0;
    std::optional<std::size_t> integerKey;
    int rc = SQLITE_OK;
    while ((rc = sqlite3_step(info.get())) == SQLITE_ROW) {
        if (sqlite3_column_int(info.get(), 1) == kVirtualGenerated) continue;
        if (sqlite3_column_int(info.get(), 2) > 0) {
            ++keys;
            if (sqlite3_column_int(info.get(), 3) != 0) integerKey = columns->names.size();
        }
        const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 0));
        columns->names.emplace_back(name ? name : "");
    }
    if (rc != SQLITE_DONE) return failure(db, rc, why);
    if (keys == 1) columns->rowIDAlias = integerKey;
    return AppendPages::whole;
}

std::string lookUpQuery(const std::string& table, const StoredColumns& columns) {
    std::string query = "SELECT rowid";
    for (const auto& name : columns.names) query += ", " + APMSqliteStore::quoteIdentifier(name);
    return query + " FROM main." + APMSqliteStore::quoteIdentifier(table) + " NOT INDEXED WHERE rowid = ?1";
}

// What keeps the look-up's row from being the cell's: none when it is.
std::optional<std::string> otherThanCell(sqlite3_stmt* row, const sqlite_btree::Record& record,
                                         const StoredColumns& columns, std::int64_t rowID) {
    if (sqlite3_column_int64(row, 0) != rowID) return "its look-up answers row " + std::to_string(sqlite3_column_int64(row, 0));
    // Columns added after the row was written read as their defaults.
    const std::size_t compared = std::min(record.size(), columns.names.size());
    for (std::size_t column = 0; column < compared; ++column) {
        if (!sameValue(record[column], row, static_cast<int>(column) + 1, columns.rowIDAlias == column, rowID)) {
            return "its look-up gives another value of " + columns.names[column] + " than its cell holds";
        }
    }
    return std::nullopt;
}

}  // namespace

APMSqliteStore::AppendPages APMSqliteStore::checkAppendPage(const sqlite_btree::FileImage& image,
                                                           const std::string& table, std::uint32_t root,
                                                           std::string* why) {
    ++appendPageChecks_;
    const auto leaf = sqlite_btree::rightmostLeaf(image, root);
    const std::string where = "the page table " + table + " appends its rows to (page " + std::to_string(leaf.page) + ")";
    if (leaf.damage) {
        *why = where + " does not read whole: page " + std::to_string(leaf.damage->page) + ": " + leaf.damage->why;
        return AppendPages::damaged;
    }
    if (leaf.cells.empty()) return AppendPages::whole;
    StoredColumns columns;
    if (const auto read = storedColumns(db_, table, &columns, why); read != AppendPages::whole) return read;
    auto lookUp = prepareOnce(db_, lookUpQuery(table, columns));
    if (!lookUp) return failure(db_, sqlite3_errcode(db_), why);
    for (const auto& cell : leaf.cells) {
        const std::string row = where + ": row " + std::to_string(cell.rowID);
        std::string malformed;
        const auto record = sqlite_btree::decodeRecord(cell.payload, &malformed);
        if (!record) {
            *why = row + ": " + malformed;
            return AppendPages::damaged;
        }
        sqlite3_reset(lookUp.get());
        sqlite3_bind_int64(lookUp.get(), 1, cell.rowID);
        const int rc = sqlite3_step(lookUp.get());
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return failure(db_, rc, why);
        const auto other = rc == SQLITE_ROW ? otherThanCell(lookUp.get(), *record, columns, cell.rowID)
                                            : std::optional<std::string>("it is not found by its row ID");
        if (other) {
            *why = row + ": " + *other;
            return AppendPages::damaged;
        }
    }
    return AppendPages::whole;
}

APMSqliteStore::AppendPages APMSqliteStore::checkAppendPages(std::string* why) {
    const char* path = sqlite3_db_filename(db_, "main");
    if (!path || !*path) return AppendPages::whole;  // in memory: no bytes on a disk to damage
    std::vector<std::pair<std::string, std::uint32_t>> tables{{kSchemaTable, kSchemaRoot}};
    {
        auto list = prepareOnce(db_, kTablesQuery);
        if (!list) return failure(db_, sqlite3_errcode(db_), why);
        int rc = SQLITE_OK;
        while ((rc = sqlite3_step(list.get())) == SQLITE_ROW) {
            const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(list.get(), 0));
            const std::int64_t root = sqlite3_column_int64(list.get(), 1);
            if (root <= 0 || root > std::numeric_limits<std::uint32_t>::max()) {
                *why = "the root page of table " + std::string(name ? name : "") + " lies outside the file";
                return AppendPages::damaged;
            }
            tables.emplace_back(name ? name : "", static_cast<std::uint32_t>(root));
        }
        if (rc != SQLITE_DONE) return failure(db_, rc, why);
    }
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
        const auto pages = checkAppendPage(image, table.first, table.second, why);
        if (pages != AppendPages::whole) return pages;
    }
    return AppendPages::whole;
}

}  // namespace measurement
