// Before each table's first write into a file: the page it appends its rows to, read from the file's bytes, must read whole.
#include "measurement/store/sqlite_append_check.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measurement/store/sqlite_file/btree.h"
#include "measurement/store/sqlite_file/page_image.h"
#include "measurement/store/sqlite_damage.h"
#include "measurement/store/sqlite_store.h"

namespace measurement {

namespace {

using sqlite_btree::RecordValue;
using AppendPages = APMSqliteStore::AppendPages;

// The schema's own table, on page 1, and the counters of AUTOINCREMENT,
// which an insert into a table declared with it writes as well.
constexpr const char* kSchemaTable = "sqlite_master";
constexpr const char* kSequenceTable = "sqlite_sequence";
constexpr const char* kAutoincrement = "AUTOINCREMENT";
// Every table with pages (a virtual one has none) and its declaration, the
// schema's own first; and one of them by name.
constexpr const char* kTablesQuery =
    "SELECT 'sqlite_master', 1, '' UNION ALL SELECT name, rootpage, sql FROM main.sqlite_master WHERE type = 'table' "
    "AND rootpage > 0";
constexpr const char* kTableQuery =
    "SELECT name, rootpage, sql FROM main.sqlite_master WHERE type = 'table' AND rootpage > 0 AND name = ?1 COLLATE "
    "NOCASE";
// The statement texts whose writes are kept, at most: past them all are
// noted afresh as they are prepared again.
constexpr std::size_t kKeptStatementWrites = 512;
// A table's columns as its records hold them, all but virtual generated
// ones (hidden 2), in order. Asked only of a table whose declaration may
// hold generated columns: each answer prepares a statement of its own,
// which costs more than the rest of a table's check.
constexpr const char* kStoredColumnsQuery = "SELECT name FROM pragma_table_xinfo(?1, 'main') WHERE hidden <> 2";
// A table without row IDs is an index tree, appended to by key.
constexpr const char* kWithoutRowIDQuery = "SELECT wr FROM pragma_table_list WHERE schema = 'main' AND name = ?1";

using Table = APMAppendTable;

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

AppendPages lookUpOf(sqlite3* db, const Table& table, LookUp* lookUp, std::string* why) {
    std::string selected;
    if (const auto listed = selectedColumns(db, table, &selected, why); listed != AppendPages::whole) return listed;
    lookUp->statement = prepareOnce(db, "SELECT rowid, " + selected + " FROM main." +
                                            APMSqliteStore::quoteIdentifier(table.name) + " NOT INDEXED WHERE rowid = ?1");
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

// Table names as SQLite compares them: ASCII letters in either case.
std::string folded(const char* name) {
    std::string text(name);
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void addOnce(std::vector<std::string>* names, std::string name) {
    if (std::find(names->begin(), names->end(), name) == names->end()) names->push_back(std::move(name));
}

bool declaresAutoincrement(const std::string& declaration) {
    return std::search(declaration.begin(), declaration.end(), kAutoincrement, kAutoincrement + std::strlen(kAutoincrement),
                       [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; }) !=
           declaration.end();
}

}  // namespace

// ---- what each statement writes ----

int APMAppendChecks::noteAction(void* context, int action, const char* first, const char*, const char* database,
                                const char*) {
    auto* checks = static_cast<APMAppendChecks*>(context);
    if (checks->noting_) checks->note(action, first, database);
    return SQLITE_OK;
}

// Whatever else changes the file changes its schema: its table is checked.
void APMAppendChecks::note(int action, const char* first, const char* database) {
    const bool main = !database || sqlite3_stricmp(database, "main") == 0;
    switch (action) {
        case SQLITE_INSERT:
        case SQLITE_UPDATE:
        case SQLITE_DELETE:
            if (first && main) addOnce(&noted_.tables, folded(first));
            return;
        case SQLITE_CREATE_TABLE:
            if (first && main) addOnce(&noted_.made, folded(first));
            addOnce(&noted_.tables, kSchemaTable);
            return;
        case SQLITE_READ:
        case SQLITE_SELECT:
        case SQLITE_FUNCTION:
        case SQLITE_PRAGMA:
        case SQLITE_TRANSACTION:
        case SQLITE_SAVEPOINT:
        case SQLITE_RECURSIVE:
        case SQLITE_ATTACH:
        case SQLITE_DETACH:
            return;
        default:
            if (main) addOnce(&noted_.tables, kSchemaTable);
    }
}

void APMAppendChecks::endNoting(const std::string& text) {
    noting_ = false;
    if (writes_.size() >= kKeptStatementWrites) writes_.clear();
    writes_[text] = std::move(noted_);
    noted_ = {};
}

const APMStatementWrites* APMAppendChecks::writesOf(const std::string& text) const {
    const auto found = writes_.find(text);
    return found == writes_.end() ? nullptr : &found->second;
}

void APMAppendChecks::useFile(std::uint64_t generation) {
    if (generation == generation_) return;
    generation_ = generation;
    checked_.clear();
    image_.reset();
    frames_ = {};
}

const sqlite_btree::FileImage& APMAppendChecks::image(sqlite3* db, std::uint64_t transaction) {
    if (!image_ || imageTransaction_ != transaction || image_->unreadable()) {
        image_.reset();
        image_ = std::make_unique<sqlite_btree::FileImage>(db, &frames_);
        imageTransaction_ = transaction;
    }
    return *image_;
}

bool APMAppendChecks::checked(const std::string& table) const { return checked_.count(table) > 0; }

void APMAppendChecks::markChecked(const std::string& table) { checked_.insert(table); }

// ---- the check ----

bool APMSqliteStore::appendPagesChecked(const std::string& statement) {
    const char* path = db_ ? sqlite3_db_filename(db_, "main") : nullptr;
    // In memory, or only read: no bytes on a disk to damage, no write.
    if (!path || !*path || sqlite3_db_readonly(db_, "main") == 1) return true;
    appendChecks_->useFile(fileGeneration_.load());
    const auto* writes = appendChecks_->writesOf(statement);
    if (!writes) return false;
    const auto checked = [&](const std::string& table) { return appendChecks_->checked(table); };
    return std::all_of(writes->tables.begin(), writes->tables.end(), checked) &&
           std::all_of(writes->made.begin(), writes->made.end(), checked);
}

// A table the statement makes that the file does not hold yet has no page
// to check: it is taken as checked once the statement has made it.
APMSqliteStore::AppendPages APMSqliteStore::tablesToCheck(const std::string& statement, std::vector<Table>* tables,
                                                          std::string* why) {
    const auto* writes = appendChecks_->writesOf(statement);
    if (!writes) return tablesOf(db_, tables, why);
    auto lookUp = [&](const std::string& name, bool* found) {
        *found = name == kSchemaTable;
        if (*found) {
            tables->push_back({kSchemaTable, 1, ""});
            return AppendPages::whole;
        }
        auto query = prepare(kTableQuery, nullptr);
        if (!query) return failure(db_, sqlite3_errcode(db_), why);
        sqlite3_bind_text(query.get(), 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
        const int rc = sqlite3_step(query.get());
        if (rc != SQLITE_ROW) return rc == SQLITE_DONE ? AppendPages::whole : failure(db_, rc, why);
        *found = true;
        tables->push_back({text(query.get(), 0), sqlite3_column_int64(query.get(), 1), text(query.get(), 2)});
        return AppendPages::whole;
    };
    std::vector<std::string> names = writes->tables;
    for (const auto& name : writes->made) addOnce(&names, name);
    for (std::size_t at = 0; at < names.size(); ++at) {
        if (appendChecks_->checked(names[at])) continue;
        bool found = false;
        if (const auto looked = lookUp(names[at], &found); looked != AppendPages::whole) return looked;
        const bool made = std::find(writes->made.begin(), writes->made.end(), names[at]) != writes->made.end();
        if (!found && made) appendMade_.push_back(names[at]);
        if (found && declaresAutoincrement(tables->back().declaration)) addOnce(&names, kSequenceTable);
    }
    return AppendPages::whole;
}

// Inside the statement's transaction, where no other process commits: the
// log read from the disk is what SQLite reads. Damage found is met before
// anything of the statement is written.
bool APMSqliteStore::checkBeforeWrite(const std::string& statement, APMErrorOut error) {
    appendMade_.clear();
    if (appendPagesChecked(statement)) return true;
    std::string why;
    const auto pages = checkAppendPages(statement, &why);
    if (pages == AppendPages::whole) return true;
    appendMade_.clear();
    if (pages == AppendPages::damaged) {
        noteDamageFound(why);
        appendDamageMet_ = true;
    }
    fail(error, pages == AppendPages::damaged ? kAPMSqliteStoreDamagedCode : kAPMSqliteStoreTransactionCode,
         "Failed to execute statement", 0, path_ + ": " + why);
    return false;
}

APMSqliteStore::AppendPages APMSqliteStore::checkAppendPages(const std::string& statement, std::string* why) {
    std::vector<Table> tables;
    if (const auto listed = tablesToCheck(statement, &tables, why); listed != AppendPages::whole) return listed;
    if (tables.empty()) return AppendPages::whole;
    // Through the connection's own handles: a descriptor of the file opened
    // and closed here would end the locks SQLite holds on it. The log's
    // frames read by an earlier check of this file are not read again.
    const auto& image = appendChecks_->image(db_, transactionsBegun_);
    if (image.unreadable()) {
        *why = "the file's pages do not read: " + *image.unreadable();
        return image.readFailed() ? AppendPages::unknown : AppendPages::damaged;
    }
    for (const auto& table : tables) {
        // A file of no page yet holds no table.
        const auto pages = image.pageCount() == 0 ? AppendPages::whole
                                                  : checkTable(db_, image, table, &appendPageChecks_, why);
        if (pages != AppendPages::whole) return pages;
        appendChecks_->markChecked(folded(table.name.c_str()));
    }
    return AppendPages::whole;
}

void APMSqliteStore::appendTablesMade() {
    for (const auto& table : appendMade_) appendChecks_->markChecked(table);
    appendMade_.clear();
}

}  // namespace measurement
