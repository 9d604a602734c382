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
#include "measurement/store/sqlite_file/log_snapshot.h"
#include "measurement/store/sqlite_file/page_image.h"
#include "measurement/store/sqlite_damage.h"
#include "measurement/store/sqlite_statement.h"
#include "measurement/store/sqlite_store.h"

namespace measurement {

namespace {

using sqlite_btree::RecordValue;
using AppendPages = APMSqliteStore::AppendPages;
using sqlite_statement::Statement;

// The schema's own table, on page 1, and the counters of AUTOINCREMENT,
// which an insert into a table declared with it writes as well.
constexpr const char* kSchemaTable = "sqlite_master";
constexpr const char* kSequenceTable = "sqlite_sequence";
constexpr const char* kAutoincrement = "AUTOINCREMENT";
// A row of the schema's table: type, name, table, root page, declaration.
enum SchemaColumn : std::size_t { kTypeColumn, kNameColumn, kRootColumn = 3, kDeclarationColumn, kSchemaColumns };
constexpr const char* kTableType = "table";
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
    Statement statement;
    std::vector<std::string> columns;
    std::optional<std::size_t> rowIDAlias;
};

// What a statement's failure says: damage, or nothing of the file.
AppendPages failure(sqlite3* db, int code, std::string* why) {
    *why = sqlite3_errmsg(db);
    return sqlite_damage::isDamage(db, code) ? AppendPages::damaged : AppendPages::unknown;
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

// The columns the look-up selects: "*", or those the records hold when
// some may be virtual.
AppendPages selectedColumns(sqlite3* db, const Table& table, std::string* selected, std::string* why) {
    *selected = "*";
    if (!mayDeclareGenerated(table.declaration)) return AppendPages::whole;
    Statement columns(db, kStoredColumnsQuery);
    columns.bind(1, table.name);
    std::string list;
    while (columns.step()) list += (list.empty() ? "" : ", ") + APMSqliteStore::quoteIdentifier(columns.text(0));
    if (columns.code() != SQLITE_DONE) return failure(db, columns.code(), why);
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
    Statement column(db, "SELECT 1 FROM pragma_table_xinfo(?1, 'main') WHERE name = ?2 COLLATE NOCASE");
    for (const char* name : kNames) {
        if (!column) break;
        column.reset();
        column.bind(1, table.name);
        column.bind(2, name);
        if (!column.step() && column.code() == SQLITE_DONE) return name;
    }
    return std::nullopt;
}

AppendPages lookUpOf(sqlite3* db, const Table& table, LookUp* lookUp, std::string* why) {
    std::string selected;
    if (const auto listed = selectedColumns(db, table, &selected, why); listed != AppendPages::whole) return listed;
    const auto rowID = rowIDName(db, table);
    if (!rowID) return AppendPages::whole;  // no look-up by row ID to compare with
    lookUp->statement = Statement(db, "SELECT " + *rowID + ", " + selected + " FROM main." +
                                          APMSqliteStore::quoteIdentifier(table.name) + " NOT INDEXED WHERE " + *rowID +
                                          " = ?1");
    sqlite3_stmt* statement = lookUp->statement.get();
    if (!statement) return failure(db, lookUp->statement.code(), why);
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
    Statement query(db, kWithoutRowIDQuery);
    query.bind(1, table);
    return query.step() && query.integer(0) != 0;
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
    // The system's failure says nothing of the file.
    if (leaf.failed) {
        *why = "table " + table.name + ": " + *leaf.failed;
        return AppendPages::unknown;
    }
    if (leaf.damage && leaf.damage->page == root && withoutRowIDs(db, table.name)) return AppendPages::whole;
    ++*checked;
    if (leaf.damage) {
        *why = where + " does not read whole: page " + std::to_string(leaf.damage->page) + ": " + leaf.damage->why;
        return AppendPages::damaged;
    }
    if (leaf.cells.empty()) return AppendPages::whole;
    LookUp lookUp;
    if (const auto prepared = lookUpOf(db, table, &lookUp, why); prepared != AppendPages::whole) return prepared;
    Statement& statement = lookUp.statement;
    if (!statement) return AppendPages::whole;
    for (const auto& cell : leaf.cells) {
        const std::string row = where + ": row " + std::to_string(cell.rowID);
        std::string malformed;
        const auto record = sqlite_btree::decodeRecord(cell.payload, &malformed);
        if (!record) {
            *why = row + ": " + malformed;
            return AppendPages::damaged;
        }
        statement.reset();
        statement.bind(1, cell.rowID);
        const bool found = statement.step();
        if (!found && statement.code() != SQLITE_DONE) return failure(db, statement.code(), why);
        const auto other = found ? otherThanCell(statement.get(), *record, lookUp, cell.rowID)
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

// Text of the schema as SQLite compares names: in a file of UTF-16 text,
// the names the engine gives (ASCII) read with their zero bytes left out.
std::string textOf(const RecordValue& value, bool utf8) {
    if (utf8) return value.bytes;
    std::string text;
    for (const char c : value.bytes) {
        if (c != '\0') text += c;
    }
    return text;
}

// The tables of the schema as the file holds it, committed: what the
// transaction under way made is not there, and has no page to check yet.
// False (*why) when the schema's own pages do not read whole, or (*failed)
// a read of them the system failed.
bool readCommittedTables(const sqlite_btree::FileImage& image, std::unordered_map<std::string, Table>* tables,
                         std::string* why, bool* failed) {
    tables->clear();
    tables->emplace(kSchemaTable, Table{kSchemaTable, 1, ""});
    if (image.pageCount() == 0) return true;
    const bool utf8 = image.utf8();
    std::string malformed;
    const auto walk = sqlite_btree::walkTable(image, 1, [&](const sqlite_btree::TableCell& cell) {
        const auto record = sqlite_btree::decodeRecord(cell.payload, &malformed);
        if (!record) {
            malformed = "row " + std::to_string(cell.rowID) + ": " + malformed;
            return false;
        }
        if (record->size() < kSchemaColumns || textOf((*record)[kTypeColumn], utf8) != kTableType ||
            (*record)[kRootColumn].type != RecordValue::Type::integer || (*record)[kRootColumn].integer <= 0) {
            return true;
        }
        const std::string name = textOf((*record)[kNameColumn], utf8);
        tables->emplace(folded(name.c_str()),
                        Table{name, (*record)[kRootColumn].integer, textOf((*record)[kDeclarationColumn], utf8)});
        return true;
    });
    *failed = walk.failed.has_value();
    if (walk.failed) {
        *why = "the schema cannot be read: " + *walk.failed;
        return false;
    }
    if (walk.damage.empty() && !walk.ended) return true;
    *why = "the schema does not read whole: " +
           (walk.ended ? malformed : "page " + std::to_string(walk.damage.front().page) + ": " + walk.damage.front().why);
    return false;
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
    schemaRead_ = false;
}

// A statement that spills its pages into a log every frame of which was
// copied into the file starts the log afresh inside the transaction, under
// a read lock taken anew: the image made before would read the frames'
// old places, which now hold the transaction's own pages.
const sqlite_btree::FileImage& APMAppendChecks::image(sqlite3* db, std::uint64_t transaction) {
    auto snapshot = sqlite_btree::readSnapshotOf(db);
    if (!image_ || imageTransaction_ != transaction || image_->unreadable() || imageSnapshot_ != snapshot) {
        image_.reset();
        image_ = std::make_unique<sqlite_btree::FileImage>(db, &frames_);
        imageTransaction_ = transaction;
        imageSnapshot_ = std::move(snapshot);
    }
    return *image_;
}

// Read again only when the schema's count of its changes moved.
const std::unordered_map<std::string, APMAppendTable>* APMAppendChecks::committedTables(
    const sqlite_btree::FileImage& image, std::string* why, bool* failed) {
    *failed = false;
    if (!schemaRead_ || schemaCookie_ != image.schemaCookie()) {
        schemaRead_ = readCommittedTables(image, &schema_, why, failed);
        schemaCookie_ = image.schemaCookie();
        if (!schemaRead_) return nullptr;
    }
    return &schema_;
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
    return std::all_of(writes->tables.begin(), writes->tables.end(),
                       [&](const std::string& table) { return appendChecks_->checked(table); });
}

// Those of the file's committed tables the statement writes (every one, for
// a statement whose writes are not known) that this file has not had
// checked; the counters of AUTOINCREMENT with a table declared so.
APMSqliteStore::AppendPages APMSqliteStore::tablesToCheck(const std::string& statement,
                                                          const sqlite_btree::FileImage& image,
                                                          std::vector<Table>* tables, std::string* why) {
    bool failed = false;
    const auto* schema = appendChecks_->committedTables(image, why, &failed);
    if (!schema) return failed ? AppendPages::unknown : AppendPages::damaged;
    std::vector<std::string> names;
    if (const auto* writes = appendChecks_->writesOf(statement)) {
        names = writes->tables;
    } else {
        for (const auto& table : *schema) names.push_back(table.first);
    }
    for (std::size_t at = 0; at < names.size(); ++at) {
        const auto found = schema->find(names[at]);
        if (appendChecks_->checked(names[at]) || found == schema->end()) continue;
        tables->push_back(found->second);
        if (declaresAutoincrement(found->second.declaration)) addOnce(&names, kSequenceTable);
    }
    return AppendPages::whole;
}

// Inside the statement's transaction, where no other process commits: the
// log read from the disk is what SQLite reads. Damage found is met before
// anything of the statement is written.
bool APMSqliteStore::checkBeforeWrite(const std::string& statement, APMErrorOut error) {
    if (appendPagesChecked(statement)) return true;
    std::string why;
    const auto pages = checkAppendPages(statement, &why);
    if (pages == AppendPages::whole) return true;
    if (pages == AppendPages::damaged) {
        noteDamageFound(why);
        appendDamageMet_ = true;
    }
    fail(error, pages == AppendPages::damaged ? kAPMSqliteStoreDamagedCode : kAPMSqliteStoreTransactionCode,
         "Failed to execute statement", 0, path_ + ": " + why);
    return false;
}

APMSqliteStore::AppendPages APMSqliteStore::checkAppendPages(const std::string& statement, std::string* why) {
    // Through the connection's own handles: a descriptor of the file opened
    // and closed here would end the locks SQLite holds on it. The log's
    // frames read by an earlier check of this file are not read again.
    const auto& image = appendChecks_->image(db_, transactionsBegun_);
    if (image.unreadable()) {
        *why = "the file's pages do not read: " + *image.unreadable();
        return image.readFailed() ? AppendPages::unknown : AppendPages::damaged;
    }
    // SQLite's next commit would write over the frames a damaged one hides
    // from it, and with them the commits they hold.
    if (image.logDamage()) {
        *why = "the file's log does not read whole: " + *image.logDamage();
        return AppendPages::damaged;
    }
    std::vector<Table> tables;
    if (const auto listed = tablesToCheck(statement, image, &tables, why); listed != AppendPages::whole) return listed;
    for (const auto& table : tables) {
        const auto pages = checkTable(db_, image, table, &appendPageChecks_, why);
        if (pages != AppendPages::whole) return pages;
        appendChecks_->markChecked(folded(table.name.c_str()));
    }
    return AppendPages::whole;
}

}  // namespace measurement
