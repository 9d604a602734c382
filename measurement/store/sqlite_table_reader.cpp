// Reading what the tables of a file the store gives up hold, under their owner's declared columns.
#include "measurement/store/sqlite_table_reader.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <string_view>
#include <utility>

#include "measurement/store/sqlite_connections.h"
#include "measurement/store/sqlite_damage.h"
#include "measurement/store/sqlite_statement.h"

namespace measurement {

namespace {

using sqlite_btree::RecordValue;
using sqlite_damage::isDamage;
using sqlite_page_rows::Column;
using sqlite_statement::Statement;

// Names by which SQLite takes a table's row ID rather than a column: a
// column under one is never given, lest it stand for the row ID.
constexpr const char* kRowIDNames[] = {"rowid", "oid", "_rowid_"};
// A column's `hidden` in SQLite's view: a generated column, virtual (its
// records hold no value for it) or stored.
constexpr int kVirtualGenerated = 2;
constexpr int kStoredGenerated = 3;
constexpr std::string_view kInternalPrefix = "sqlite_";
constexpr const char* kColumnsQuery = "SELECT name, type, pk, hidden FROM pragma_table_xinfo(?1, 'main')";
constexpr const char* kWithoutRowIDQuery =
    "SELECT wr FROM pragma_table_list WHERE schema = 'main' AND name = ?1 COLLATE NOCASE";
constexpr const char* kRootQuery =
    "SELECT rootpage FROM main.sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE AND "
    "typeof(rootpage) = 'integer' AND rootpage BETWEEN 1 AND ?2 LIMIT 1";
constexpr const char* kSchemaLoad = "SELECT 1 FROM main.sqlite_master LIMIT 1";
constexpr const char* kNoRoot = "the schema gives the table no root page";
constexpr const char* kIntegerType = "INTEGER";
constexpr const char* kHeaderDamage = "the file's header says otherwise than it holds: ";
// In the words the check before a table's first write says it in.
constexpr const char* kLogDamage = "the file's log does not read whole: ";

bool sameName(const std::string& a, const std::string& b) { return sqlite3_stricmp(a.c_str(), b.c_str()) == 0; }

bool isRowIDName(const std::string& name) {
    return std::any_of(std::begin(kRowIDNames), std::end(kRowIDNames), [&](const char* id) { return sameName(name, id); });
}

// A value of a row SQLite read, as a record holds it.
RecordValue recordValue(sqlite3_stmt* statement, int column) {
    RecordValue value;
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER:
            value.type = RecordValue::Type::integer;
            value.integer = sqlite3_column_int64(statement, column);
            break;
        case SQLITE_FLOAT:
            value.type = RecordValue::Type::real;
            value.real = sqlite3_column_double(statement, column);
            break;
        case SQLITE_TEXT:
            value.type = RecordValue::Type::text;
            value.bytes = sqlite_statement::columnText(statement, column);
            break;
        case SQLITE_BLOB: {
            value.type = RecordValue::Type::blob;
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
            if (bytes) value.bytes.assign(bytes, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
            break;
        }
        default: break;
    }
    return value;
}

// A column of a table as SQLite's view of its declaration gives it: its
// place in the table's records (none for a virtual generated column),
// whether it is generated, and whether it is the row ID under its own name.
struct FileColumn {
    std::string name;
    std::optional<std::size_t> place;
    bool generated = false;
    bool rowID = false;
};

}  // namespace

struct TableReader::Table {
    std::string name;
    std::optional<std::uint32_t> root;
    bool withoutRowID = false;
    // None where SQLite's view does not know the table.
    std::optional<std::vector<FileColumn>> columns;
};

namespace {

using Declared = APMColumnInfo;

bool declares(const Declared& declared, const std::string& name) {
    return std::any_of(declared.begin(), declared.end(), [&](const APMColumn& c) { return sameName(c.name, name); });
}

std::vector<const FileColumn*> plainColumns(const std::vector<FileColumn>& columns) {
    std::vector<const FileColumn*> plain;
    for (const auto& column : columns) {
        if (!column.generated) plain.push_back(&column);
    }
    return plain;
}

// Damage merged or split the declared columns: another count, and at some
// place a name the owner does not declare. Another count alone is another
// layout of the owner's, which adds columns at the end.
bool shifted(const std::vector<const FileColumn*>& plain, const Declared& declared) {
    if (plain.size() == declared.size()) return false;
    for (std::size_t at = 0; at < std::min(plain.size(), declared.size()); ++at) {
        if (!declares(declared, plain[at]->name)) return true;
    }
    return false;
}

bool newerLayout(const std::vector<const FileColumn*>& plain, const Declared& declared) {
    if (plain.size() <= declared.size()) return false;
    for (std::size_t at = 0; at < declared.size(); ++at) {
        if (!sameName(plain[at]->name, declared[at].name)) return false;
    }
    return true;
}

std::vector<Column> byDeclaration(const Declared& declared) {
    std::vector<Column> columns;
    for (std::size_t at = 0; at < declared.size(); ++at) {
        const auto rule = declared_types::ruleOf(declared[at].type);
        columns.push_back({declared[at].name, at, rule.rowID, rule});
    }
    return columns;
}

std::vector<Column> byName(const std::vector<FileColumn>& file, const Declared& declared) {
    const auto plain = plainColumns(file);
    std::vector<Column> columns;
    for (std::size_t at = 0; at < declared.size(); ++at) {
        const auto same = std::find_if(plain.begin(), plain.end(),
                                       [&](const FileColumn* c) { return sameName(c->name, declared[at].name); });
        const FileColumn* source = same != plain.end() ? *same : nullptr;
        if (!source && at < plain.size() && !declares(declared, plain[at]->name) && !isRowIDName(plain[at]->name)) {
            source = plain[at];
        }
        columns.push_back({declared[at].name, source ? source->place : std::nullopt, source && source->rowID,
                           declared_types::ruleOf(declared[at].type)});
    }
    if (!newerLayout(plain, declared)) return columns;
    for (std::size_t at = declared.size(); at < plain.size(); ++at) {
        if (!isRowIDName(plain[at]->name)) columns.push_back({plain[at]->name, plain[at]->place, plain[at]->rowID, {}});
    }
    return columns;
}

std::vector<Column> ownColumns(const std::vector<FileColumn>& file) {
    std::vector<Column> columns;
    for (const FileColumn* column : plainColumns(file)) {
        if (!isRowIDName(column->name)) columns.push_back({column->name, column->place, column->rowID, {}});
    }
    return columns;
}

// A header that says otherwise than the file holds is damage to the whole
// file, said of the schema's table, where every read starts; the pages are
// read all the same.
APMUnreadableStretch headerStretch(const std::string& why) {
    return {kAPMSqliteStoreSchemaTable, std::nullopt, std::nullopt, std::string(kHeaderDamage) + why};
}

}  // namespace

// One read transaction over the reads, where one can be had (its statement
// also has the connection open the log), and the pages read at its
// snapshot: the frames its read lock takes, which a writer that starts the
// log afresh meanwhile (as it may under a snapshot that needs no frame)
// leaves in the file. Ended as it was begun.
TableReader::TableReader(sqlite3* db, const APMDeclaredTables& declared) : db_(db), declared_(declared) {
    began_ = sqlite3_get_autocommit(db_) && sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_exec(db_, kSchemaLoad, nullptr, nullptr, nullptr);
    image_ = std::make_unique<sqlite_btree::FileImage>(db_);
    if (image_->unreadable()) return;
    if (const auto& header = image_->headerDamage()) schemaSkipped_.push_back(headerStretch(*header));
    schema_ = sqlite_page_rows::schemaOf(*image_, &schemaSkipped_, &failed_);
}

TableReader::~TableReader() {
    if (own_) sqlite3_close_v2(own_);
    if (began_ && !sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

const std::optional<std::string>& TableReader::unreadable() const { return failed_ ? failed_ : image_->unreadable(); }

std::optional<APMUnreadableStretch> TableReader::headerDamage() const {
    const auto& header = image_->headerDamage();
    return header && !image_->unreadable() ? std::optional(headerStretch(*header)) : std::nullopt;
}

std::optional<APMUnreadableStretch> TableReader::logDamage() const {
    const auto& log = image_->logDamage();
    if (!log || image_->unreadable()) return std::nullopt;
    return APMUnreadableStretch{kAPMSqliteStoreSchemaTable, std::nullopt, std::nullopt, std::string(kLogDamage) + *log};
}

bool TableReader::readFailed() const { return failed_ || image_->readFailed(); }

std::vector<std::string> TableReader::tables() const {
    std::vector<std::string> names;
    for (const auto& entry : schema_) {
        if (entry.type != "table" ||
            sqlite3_strnicmp(entry.name.c_str(), kInternalPrefix.data(), static_cast<int>(kInternalPrefix.size())) == 0) {
            continue;
        }
        if (std::none_of(names.begin(), names.end(), [&](const std::string& n) { return sameName(n, entry.name); })) {
            names.push_back(entry.name);
        }
    }
    return names;
}

// SQLite's view of the declarations, once: through the connection, or
// where it cannot load the schema, through one of the reader's own that
// loads what parses (none when even that fails). False for a failure that
// is not damage.
bool TableReader::loadView(std::string* error) {
    if (failed_) {
        *error = *failed_;
        return false;
    }
    if (viewLoaded_) return true;
    const int rc = sqlite3_exec(db_, kSchemaLoad, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK && !isDamage(db_, rc)) {
        *error = sqlite3_errmsg(db_);
        return false;
    }
    viewLoaded_ = true;
    if (rc == SQLITE_OK) return true;
    schemaDamage_ = sqlite3_errmsg(db_);
    const char* path = sqlite3_db_filename(db_, "main");
    std::string why;
    own_ = path && *path ? sqlite_connections::openLenientReader(path, &why) : nullptr;
    return true;
}

std::optional<TableReader::Table> TableReader::tableOf(const std::string& name) {
    Table table;
    const auto entry = std::find_if(schema_.begin(), schema_.end(), [&](const sqlite_page_rows::SchemaEntry& e) {
        return e.type == "table" && sameName(e.name, name);
    });
    if (entry != schema_.end()) {
        table.name = entry->name;
        table.root = entry->root;
    }
    sqlite3* view = own_ ? own_ : (schemaDamage_ ? nullptr : db_);
    if (view) {
        std::vector<FileColumn> columns;
        Statement query(view, kColumnsQuery);
        query.bind(1, name);
        std::size_t place = 0;
        int keys = 0;
        std::vector<std::size_t> integerKeys;
        while (query.step()) {
            const auto hidden = query.integer(3);
            FileColumn column{query.text(0), std::nullopt, hidden == kVirtualGenerated || hidden == kStoredGenerated};
            if (hidden != kVirtualGenerated) column.place = place++;
            if (query.integer(2) > 0 && sameName(query.text(1), kIntegerType)) integerKeys.push_back(columns.size());
            keys += query.integer(2) > 0 ? 1 : 0;
            columns.push_back(std::move(column));
        }
        Statement withoutRowID(view, kWithoutRowIDQuery);
        withoutRowID.bind(1, name);
        table.withoutRowID = withoutRowID.step() && withoutRowID.integer(0) != 0;
        // SQLite takes a table's one key column declared INTEGER for its row ID.
        if (keys == 1 && integerKeys.size() == 1 && !table.withoutRowID) columns[integerKeys[0]].rowID = true;
        if (!columns.empty()) table.columns = std::move(columns);
        if (entry == schema_.end() && table.columns) {
            Statement root(view, kRootQuery);
            root.bind(1, name);
            root.bind(2, std::int64_t{std::numeric_limits<std::uint32_t>::max()});
            if (root.step()) table.root = static_cast<std::uint32_t>(root.integer(0));
            table.name = name;
        }
    }
    if (entry == schema_.end() && !table.columns) return std::nullopt;
    return table;
}

std::optional<TableReader::Shape> TableReader::shapeOf(const std::string& name, std::string* error) {
    if (!loadView(error)) return std::nullopt;
    const auto table = tableOf(name);
    if (!table) return std::nullopt;
    const APMColumnInfo* declared = declared_types::declaredColumnsOf(declared_, name);
    Shape shape;
    if (!declared) {
        if (table->columns) shape.columns = ownColumns(*table->columns);
        return shape;
    }
    shape.byDeclaration = !table->columns || shifted(plainColumns(*table->columns), *declared);
    shape.columns = shape.byDeclaration ? byDeclaration(*declared) : byName(*table->columns, *declared);
    return shape;
}

bool TableReader::read(const std::string& name, const Shape& shape,
                       const std::function<bool(const sqlite_page_rows::Row&)>& visit,
                       std::vector<APMUnreadableStretch>* skipped, std::string* error) {
    if (!loadView(error)) return false;
    const auto table = tableOf(name);
    if (!table) {
        *error = "no such table: " + name;
        return false;
    }
    auto whole = [&](const std::string& why) { skipped->push_back({name, std::nullopt, std::nullopt, why}); };
    if (table->withoutRowID) return readWithoutRowIDs(*table, shape, visit, skipped, error);
    if (image_->unreadable()) {
        if (image_->readFailed()) {
            *error = *image_->unreadable();
            return false;
        }
        whole(*image_->unreadable());
        return true;
    }
    if (!table->root) {
        whole(kNoRoot);
        return true;
    }
    if (!sqlite_page_rows::readRows(*image_, *table->root, name, shape.columns, visit, skipped, &work_, &failed_)) {
        if (failed_) *error = *failed_;
        if (error->empty()) *error = "the read was ended";
        return false;
    }
    return true;
}

// Through SQLite, by the place of each column in its declaration: the
// tree of such a table holds its rows in index cells, by key.
bool TableReader::readWithoutRowIDs(const Table& table, const Shape& shape,
                                    const std::function<bool(const sqlite_page_rows::Row&)>& visit,
                                    std::vector<APMUnreadableStretch>* skipped, std::string* error) {
    sqlite3* view = own_ ? own_ : db_;
    std::string listed;
    for (const auto& column : table.columns.value_or(std::vector<FileColumn>{})) {
        if (column.place) listed += (listed.empty() ? "" : ", ") + APMSqliteStore::quoteIdentifier(column.name);
    }
    Statement rows(view, "SELECT " + (listed.empty() ? std::string("*") : listed) + " FROM main." +
                             APMSqliteStore::quoteIdentifier(table.name));
    sqlite_page_rows::Row row;
    while (rows.step()) {
        sqlite_btree::Record record;
        for (int column = 0; column < sqlite3_column_count(rows.get()); ++column) {
            record.push_back(recordValue(rows.get(), column));
        }
        if (auto wrong = sqlite_page_rows::rowOf(std::move(record), shape.columns, &row)) {
            skipped->push_back({table.name, std::nullopt, std::nullopt, "a row: " + *wrong});
        } else if (!visit(row)) {
            if (error->empty()) *error = "the read was ended";
            return false;
        }
    }
    if (rows.code() == SQLITE_DONE) return true;
    if (!isDamage(view, rows.code())) {
        *error = sqlite3_errmsg(view);
        return false;
    }
    skipped->push_back({table.name, std::nullopt, std::nullopt, sqlite3_errmsg(view)});
    return true;
}

}  // namespace measurement
