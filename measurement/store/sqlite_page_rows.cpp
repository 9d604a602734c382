// Reading the rows of a table whose declaration SQLite cannot parse from the file's pages.
#include "measurement/store/sqlite_page_rows.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <map>
#include <memory>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "measurement/store/declared_types.h"
#include "measurement/store/sqlite_file/btree.h"
#include "measurement/store/sqlite_file/page_image.h"
#include "measurement/store/sqlite_file/record.h"

namespace measurement::sqlite_page_rows {

namespace {

using sqlite_btree::Record;
using sqlite_btree::RecordValue;

int storageClass(const RecordValue& value) {
    switch (value.type) {
        case RecordValue::Type::integer: return SQLITE_INTEGER;
        case RecordValue::Type::real: return SQLITE_FLOAT;
        case RecordValue::Type::text: return SQLITE_TEXT;
        case RecordValue::Type::blob: return SQLITE_BLOB;
        case RecordValue::Type::null: return SQLITE_NULL;
    }
    return SQLITE_NULL;
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

// SQLite keeps a real of a column declared REAL that holds a whole number
// as an integer, and reads it back as a real.
void realsAsDeclared(Record* record, const declared_types::DeclaredColumns& rules, std::size_t count) {
    for (std::size_t at = 0; at < count; ++at) {
        RecordValue& value = (*record)[at];
        if (rules[at].rule.type != SQLITE_FLOAT || value.type != RecordValue::Type::integer) continue;
        value.type = RecordValue::Type::real;
        value.real = static_cast<double>(value.integer);
    }
}

// SQLite keeps the value of a column that is the row ID under a name of
// its own as NULL in the record, and reads it as the row ID.
void rowIDsAsDeclared(Record* record, const declared_types::DeclaredColumns& rules, std::size_t count,
                      std::int64_t rowID) {
    for (std::size_t at = 0; at < count; ++at) {
        RecordValue& value = (*record)[at];
        if (!rules[at].rule.rowID || value.type != RecordValue::Type::null) continue;
        value.type = RecordValue::Type::integer;
        value.integer = rowID;
    }
}

// What keeps the first `count` values from being ones the owner could have
// written: the first of another type than its column's declaration names.
std::optional<std::string> wrongValue(const Record& record, const declared_types::DeclaredColumns& rules,
                                      std::size_t count) {
    for (std::size_t at = 0; at < count; ++at) {
        const int type = storageClass(record[at]);
        const std::string_view text = type == SQLITE_TEXT ? std::string_view(record[at].bytes) : std::string_view();
        if (auto wrong = declared_types::wrongValue(rules[at].name, rules[at].rule, type, text)) return wrong;
    }
    return std::nullopt;
}

// A statement that gives its bound values back as one row under the
// owner's names for its first `count` columns: the row as a look-up of it
// would give it.
class RowOfValues {
public:
    RowOfValues(sqlite3* db, const APMColumnInfo& declared, std::size_t count, std::uint64_t* steps)
        : db_(db), count_(count), steps_(steps) {
        std::string sql = "SELECT ?1 AS rowid";
        for (std::size_t at = 0; at < count; ++at) {
            sql += ", ?" + std::to_string(at + 2) + " AS " + APMSqliteStore::quoteIdentifier(declared[at].name);
        }
        sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement_, nullptr);
    }
    ~RowOfValues() {
        if (statement_ && steps_) {
            *steps_ += static_cast<std::uint64_t>(sqlite3_stmt_status(statement_, SQLITE_STMTSTATUS_VM_STEP, 0));
        }
        sqlite3_finalize(statement_);
    }
    RowOfValues(const RowOfValues&) = delete;
    RowOfValues& operator=(const RowOfValues&) = delete;

    // False when the handler ended the read, or SQLite would not give the
    // row (*error filled).
    bool hand(std::int64_t rowID, const Record& record, const std::function<bool(sqlite3_stmt*)>& row,
              std::string* error) {
        bool bound = statement_ != nullptr;
        if (bound) {
            sqlite3_reset(statement_);
            bound = sqlite3_bind_int64(statement_, 1, rowID) == SQLITE_OK;
        }
        for (std::size_t at = 0; bound && at < count_; ++at) {
            bound = bind(statement_, static_cast<int>(at) + 2, record[at]) == SQLITE_OK;
        }
        if (!bound || sqlite3_step(statement_) != SQLITE_ROW) {
            *error = sqlite3_errmsg(db_);
            return false;
        }
        const bool goOn = row(statement_);
        sqlite3_reset(statement_);
        return goOn;
    }

private:
    sqlite3* db_;
    std::size_t count_;
    std::uint64_t* steps_;
    sqlite3_stmt* statement_ = nullptr;
};

}  // namespace

std::optional<std::uint32_t> rootOf(sqlite3* db, const std::string& table) {
    constexpr const char* kRoot =
        "SELECT rootpage FROM sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE AND typeof(rootpage) = "
        "'integer' AND rootpage BETWEEN 1 AND ?2 LIMIT 1";
    sqlite3_stmt* statement = nullptr;
    std::optional<std::uint32_t> root;
    if (sqlite3_prepare_v2(db, kRoot, -1, &statement, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(statement, 1, table.c_str(), static_cast<int>(table.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(statement, 2, std::numeric_limits<std::uint32_t>::max());
        if (sqlite3_step(statement) == SQLITE_ROW) root = static_cast<std::uint32_t>(sqlite3_column_int64(statement, 0));
    }
    sqlite3_finalize(statement);
    return root;
}

bool readRows(sqlite3* db, std::uint32_t root, const std::string& table, const APMColumnInfo& declared,
              const std::function<bool(sqlite3_stmt*)>& row, std::vector<APMUnreadableStretch>* skipped,
              std::string* error, std::uint64_t* steps) {
    auto damage = [&](std::string why) { skipped->push_back({table, std::nullopt, std::nullopt, std::move(why)}); };
    const sqlite_btree::FileImage image(db);
    if (image.unreadable()) {
        damage(*image.unreadable());
        return true;
    }
    const auto rules = declared_types::declaredColumns(declared);
    // One statement for each count of values the records hold.
    std::map<std::size_t, std::unique_ptr<RowOfValues>> rows;
    std::unordered_set<std::int64_t> seen;
    bool goOn = true;
    const auto walk = sqlite_btree::walkTable(image, root, [&](const sqlite_btree::TableCell& cell) {
        if (!seen.insert(cell.rowID).second) return true;
        const std::string named = "row " + std::to_string(cell.rowID) + ": ";
        std::string why;
        auto record = sqlite_btree::decodeRecord(cell.payload, &why);
        if (!record) {
            damage(named + why);
            return true;
        }
        const std::size_t count = std::min(record->size(), declared.size());
        realsAsDeclared(&*record, rules, count);
        rowIDsAsDeclared(&*record, rules, count, cell.rowID);
        if (auto wrong = wrongValue(*record, rules, count)) {
            damage(named + *wrong);
            return true;
        }
        auto& statement = rows[count];
        if (!statement) statement = std::make_unique<RowOfValues>(db, declared, count, steps);
        goOn = statement->hand(cell.rowID, *record, row, error);
        return goOn;
    });
    for (const auto& page : walk.damage) damage("page " + std::to_string(page.page) + ": " + page.why);
    return goOn;
}

}  // namespace measurement::sqlite_page_rows
