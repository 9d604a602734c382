// Whether stored values are of the types their columns are declared with.
#include "measurement/store/declared_types.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>

#include "measurement/foundation/text.h"

namespace measurement::declared_types {

namespace {

// The storage classes, each with the word a declaration names it by and how
// a message names a value of it.
struct StorageClass {
    int type;
    const char* declared;
    const char* value;
};
constexpr StorageClass kStorageClasses[] = {
    {SQLITE_INTEGER, "INTEGER", "an integer"},
    {SQLITE_FLOAT, "REAL", "a real"},
    {SQLITE_TEXT, "TEXT", "text"},
    {SQLITE_BLOB, "BLOB", "a blob"},
    {SQLITE_NULL, nullptr, "NULL"},
};
constexpr const char* kNotNull = "NOT NULL";
constexpr const char* kPrimaryKey = "PRIMARY KEY";
constexpr const char* kDefault = "DEFAULT";

const StorageClass* storageClass(int type) {
    for (const auto& each : kStorageClasses) {
        if (each.type == type) return &each;
    }
    return nullptr;
}

std::string upper(std::string_view text) {
    std::string result(text);
    for (auto& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return result;
}

bool sameName(const std::string& a, const std::string& b) { return upper(a) == upper(b); }

int typeOf(const platform::Value& value) {
    if (value.isInt()) return SQLITE_INTEGER;
    if (value.isReal()) return SQLITE_FLOAT;
    if (value.isString()) return SQLITE_TEXT;
    if (value.isData()) return SQLITE_BLOB;
    return SQLITE_NULL;
}

}  // namespace

ColumnRule ruleOf(const std::string& declaration) {
    const std::string text = upper(declaration);
    ColumnRule rule;
    rule.notNull = text.find(kNotNull) != std::string::npos;
    const std::string first = text.substr(0, text.find(' '));
    for (const auto& each : kStorageClasses) {
        if (each.declared && first == each.declared) rule.type = each.type;
    }
    rule.rowID = rule.type == SQLITE_INTEGER && text.find(kPrimaryKey) != std::string::npos;
    rule.defaulted = text.find(kDefault) != std::string::npos;
    return rule;
}

// Every value of every row a carry takes is checked: the message is made
// only for a wrong one, and text is checked where SQLite keeps it.
std::optional<std::string> wrongValue(const std::string& column, const ColumnRule& rule, int type,
                                      std::string_view text) {
    auto named = [&] { return "the column " + APMSqliteStore::quoteIdentifier(column); };
    if (type == SQLITE_NULL) {
        if (!rule.notNull) return std::nullopt;
        return named() + " is NULL where it is declared " + kNotNull;
    }
    if (rule.type != kAnyType && type != rule.type) {
        const auto* found = storageClass(type);
        return named() + " holds " + (found ? found->value : "a value of no known type") + " where it is declared " +
               storageClass(rule.type)->declared;
    }
    if (type == SQLITE_TEXT && !APMIsValidUTF8(text)) return named() + " holds text that is not UTF-8";
    return std::nullopt;
}

DeclaredColumns declaredColumns(const APMColumnInfo& declared) {
    DeclaredColumns columns;
    for (const auto& column : declared) columns.push_back({column.name, ruleOf(column.type)});
    return columns;
}

std::optional<std::string> wrongValueInRow(const APMRow& row, const DeclaredColumns& declared) {
    for (const auto& column : declared) {
        const auto found = row.find(column.name);
        const int type = found == row.end() ? SQLITE_NULL : typeOf(found->second);
        const std::string_view text = type == SQLITE_TEXT ? std::string_view(found->second.asString()) : "";
        if (auto wrong = wrongValue(column.name, column.rule, type, text)) return wrong;
    }
    return std::nullopt;
}

const APMColumnInfo* declaredColumnsOf(const APMDeclaredTables& tables, const std::string& table) {
    const auto found = std::find_if(tables.begin(), tables.end(),
                                    [&](const auto& entry) { return sameName(entry.first, table); });
    return found == tables.end() ? nullptr : &found->second;
}

}  // namespace measurement::declared_types
