#pragma once

// Whether stored values are of the types their columns are declared with.
// Not part of the public surface.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "measurement/store/sqlite_store.h"

namespace measurement::declared_types {

// What a column's declaration asks of its values: the storage class its type
// names (SQLite's number for it; kAnyType for a column declared without a
// type, which holds values of several types by design), whether NULL is
// refused, and whether the column is the row ID under a name of its own
// (INTEGER PRIMARY KEY), whose value a record keeps as NULL; and whether
// it has a default, which a row written before the column was added reads.
inline constexpr int kAnyType = 0;
struct ColumnRule {
    int type = kAnyType;
    bool notNull = false;
    bool rowID = false;
    bool defaulted = false;
};
// From a declaration as APMColumn keeps it: "INTEGER NOT NULL DEFAULT 0".
ColumnRule ruleOf(const std::string& declaration);

// What keeps a value of that storage class (SQLite's number; for text, its
// bytes) from being one the owner could have written into the column: a
// type other than the declared one, NULL where NOT NULL is declared, text
// that is not UTF-8. None when it could have been written.
std::optional<std::string> wrongValue(const std::string& column, const ColumnRule& rule, int type,
                                      std::string_view text);

// A table's declared columns, each with its rule.
struct DeclaredColumn {
    std::string name;
    ColumnRule rule;
};
using DeclaredColumns = std::vector<DeclaredColumn>;
DeclaredColumns declaredColumns(const APMColumnInfo& declared);

// wrongValue for every declared column of a row as the store reads it (a
// NULL column is absent from it): the first that is wrong.
std::optional<std::string> wrongValueInRow(const APMRow& row, const DeclaredColumns& declared);

// The declared columns of the table, found as SQLite finds names (whatever
// their case); none for a table not declared.
const APMColumnInfo* declaredColumnsOf(const APMDeclaredTables& tables, const std::string& table);

}  // namespace measurement::declared_types
