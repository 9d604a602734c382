#pragma once

// The rows of a table whose declaration SQLite cannot parse, read from its
// pages. Not part of the public surface.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "measurement/store/sqlite_store.h"

namespace measurement::sqlite_page_rows {

// The root page the file's schema gives the table of that name: its row
// there is read whether or not its declaration parses. None when the
// schema holds no such table, or no root a page could have.
std::optional<std::uint32_t> rootOf(sqlite3* db, const std::string& table);

// Walks the table's tree from its root in the file the connection has open
// (its pages as SQLite would read them, the log's committed frames over the
// file's), each page once, and hands each cell whose record decodes to
// `row` as a statement positioned on it: column 0 its row ID, then its
// values under the owner's declared columns, in their order (a record of
// fewer values, written before columns were added, gives fewer columns);
// each row ID once, the first the tree gives. A record that does not
// decode, or holds a value of another type than declared, is a stretch of
// its own; so is each page that does not read. False when `row` ended the
// read, or SQLite failed to hand a row on (*error filled). The statements'
// steps are added to *steps.
bool readRows(sqlite3* db, std::uint32_t root, const std::string& table, const APMColumnInfo& declared,
              const std::function<bool(sqlite3_stmt*)>& row, std::vector<APMUnreadableStretch>* skipped,
              std::string* error, std::uint64_t* steps);

}  // namespace measurement::sqlite_page_rows
