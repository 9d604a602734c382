#pragma once

// Reading the rows of a table of a damaged file that still read, in time
// linear in the file's cells. Not part of the public surface.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/store/sqlite_store.h"

namespace measurement {

// The row IDs of every table-leaf page image of the file a connection has
// open, and how many cells those images hold, read from its bytes once,
// when a read first needs them (see sqlite_pages::tableLeafRowIDs), through
// the connection's own handles of the file and its log.
class LeafCells {
public:
    explicit LeafCells(sqlite3* db) : db_(db) {}
    const std::vector<std::int64_t>& rowIDs();
    std::uint64_t count();

private:
    void readOnce();

    sqlite3* db_;
    bool read_ = false;
    std::vector<std::int64_t> rowIDs_;
    std::uint64_t count_ = 0;
};

// Reads the rows of a table whose row IDs each read by themselves, in
// row-ID order, with the values such a look-up gives, of the types the
// table's owner declares (a row with another is one the owner could not
// have written: damage made it, and it counts as a look-up that failed on
// damage). The row IDs looked up: those of an in-order read of the keys (to
// its first error) and, when it met damage, those of every table-leaf page
// image of the file, which hold every cell a look-up can find, wherever
// damaged pages lead it. Nothing read from a damaged page skips a row: a
// row ID from there only adds a look-up.
//
// The work is linear in the cells of the file: the in-order read gives no
// more keys than the table-leaf images hold (a tree that damage turned into
// a circle ends there), each key is looked up once, and where the read gave
// keys out of order, one more in-order read examines the cells there.
class TableReader {
public:
    // `schemaDamage`, when the connection reads a schema that SQLite could
    // not load whole: why, and a table missing from what loaded is one
    // whose declaration did not parse. `fromPages`: the rows are read from
    // the table's pages with the owner's declaration, whatever SQLite's
    // says (one whose columns damage merged or split would give values
    // under other columns than they were written for).
    TableReader(sqlite3* db, const std::string& table, LeafCells* leaves, const APMDeclaredTables& declared,
                std::optional<std::string> schemaDamage = std::nullopt, bool fromPages = false);
    ~TableReader();
    TableReader(const TableReader&) = delete;
    TableReader& operator=(const TableReader&) = delete;

    // The row handler sees the look-up positioned on a row (column 0 the
    // row ID); false from it ends the read. False when the table could not
    // be read for a reason other than damage (*error filled) or the handler
    // ended it. The stretches skipped are those between two rows read next
    // to each other where damage was met: a look-up that failed on it, the
    // in-order read stopping short, keys of that read that do not read, or
    // another row than the look-up of its row ID answers.
    bool read(const std::function<bool(sqlite3_stmt*)>& row, std::vector<APMUnreadableStretch>* skipped,
              std::string* error);

    // The virtual-machine steps of SQLite that the reads took: their cost,
    // counted the same on every machine.
    std::uint64_t steps() const { return steps_; }

private:
    struct Work;
    // Before the work, whose statements add their last steps as they end.
    std::uint64_t steps_ = 0;
    std::unique_ptr<Work> work_;
};

}  // namespace measurement
