#pragma once

// A table's rows taken from the cells that hold them, past SQLite: the one
// reading of what a damaged file holds. Not part of the public surface.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "measurement/store/declared_types.h"
#include "measurement/store/sqlite_file/btree.h"
#include "measurement/store/sqlite_store.h"

namespace measurement::sqlite_page_rows {

using sqlite_btree::RecordValue;

// A column of the rows read: the place of the record that holds its value
// (none: the table holds no such column, and the column takes its
// default), whether a NULL there is the row ID (a column that is the row ID
// under a name of its own, whose value a record leaves NULL), and the rule
// its values meet, for a column the table's owner declares.
struct Column {
    std::string name;
    std::optional<std::size_t> place;
    bool rowID = false;
    std::optional<declared_types::ColumnRule> rule;
};

// A row read: its row ID (none in a table without row IDs) and a value for
// each column, none where the record ends before the column's place (a row
// written before the column was added) or the table lacks it. Text is
// UTF-8, as SQLite gives it from a file of any encoding.
struct Row {
    std::optional<std::int64_t> rowID;
    std::vector<std::optional<RecordValue>> values;
};

// Takes the record's values into the row under the columns; what keeps it
// from being a row the owner could have written (a value of another type
// than declared, NULL or none where it is declared NOT NULL without a
// default) when it cannot be.
std::optional<std::string> rowOf(sqlite_btree::Record record, const std::vector<Column>& columns, Row* row);

// The work of a read, counted: pages and cells read.
struct Work {
    std::uint64_t pagesRead = 0;
    std::uint64_t cellsRead = 0;
};

// Walks the table's tree from its root (sqlite_btree::walkTable: each page
// at most once, the file's committed log frames over its pages), handing
// `visit` each row whose cell reads within its page and whose record makes
// a row (rowOf), in the order the tree holds them (row-ID order in an
// intact tree), each row ID once: the first cell the tree gives under it.
// What does not read is a stretch in *skipped: a page, a cell, a record or
// a row that does not, another cell under a row ID given before; each from
// the last row given before it, where the tree holds it, to the next row
// given in row-ID order (two rows given next to each other). Damage that
// names no row, met with no row given since the last, joins that stretch,
// and past a thousand stretches all damage joins the last. False when
// `visit` ended the read, or a read the system failed ended it (*failed,
// when given, says why): what it did not read then is no damage.
bool readRows(const sqlite_btree::FileImage& image, std::uint32_t root, const std::string& table,
              const std::vector<Column>& columns, const std::function<bool(const Row&)>& visit,
              std::vector<APMUnreadableStretch>* skipped, Work* work = nullptr,
              std::optional<std::string>* failed = nullptr);

// An object of the file's schema as its table holds it (page 1, read as
// above): its type, name and root page (none for a value that names no
// page).
struct SchemaEntry {
    std::string type;
    std::string name;
    std::optional<std::uint32_t> root;
};
// *failed as readRows's.
std::vector<SchemaEntry> schemaOf(const sqlite_btree::FileImage& image, std::vector<APMUnreadableStretch>* skipped,
                                  std::optional<std::string>* failed = nullptr);

}  // namespace measurement::sqlite_page_rows
