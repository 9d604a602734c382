#pragma once

// The row IDs a database file's table-leaf pages hold, read from its bytes
// and its log's, past SQLite. Not part of the public surface.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "measurement/store/sqlite_file/file_bytes.h"
#include "measurement/store/sqlite_file/format.h"

namespace measurement::sqlite_pages {

// Each reading below takes the file and its log ("-wal" beside it) as byte
// sources: read through a connection's own handles while a connection of
// this process has the file open (APMConnectionFileBytes), since closing a
// descriptor of the file would end the locks SQLite holds on it. The forms
// that take the file's path read it with descriptors of their own: only
// where no connection of this process has it open.

// The page images SQLite may read a database file's pages from: the file's
// own pages and every frame of its write-ahead log ("-wal" beside it).
struct PageImages {
    // Of the file's header (of the log's when the file's is no page size);
    // 0 when neither gives one.
    std::uint32_t pageSize = 0;
    // Pages of the file (a last one cut short counts) and whole frames of
    // the log.
    std::uint64_t count = 0;
};

PageImages pageImagesOf(const APMByteSource& file, const APMByteSource& log);
PageImages pageImagesOf(const std::string& databasePath);

// The most cells SQLite takes one page of this size to hold.
using sqlite_format::maxCellsPerPage;

// Adds the row IDs of the cells of a page image that SQLite takes for a
// table leaf (flag 0x0D at headerOffset: 100 on page 1, else 0), as a
// look-up of a row ID finds them: every cell pointer it would follow,
// whatever the rest of the page holds. A cell whose key SQLite's look-up
// and its in-order read would take differently (a damaged payload size)
// gives both.
// Answers how many cells it read.
std::size_t addTableLeafRowIDs(const unsigned char* page, std::size_t pageSize, std::size_t headerOffset,
                               std::vector<std::int64_t>* rowIDs);

// The row IDs of every table-leaf page image of the file, of any table,
// ascending and distinct: a superset of the row IDs a look-up can find in
// any table of it, however damaged its pages are. Each image read once;
// one that cannot be read gives nothing. *cells: how many cells those
// images hold, as SQLite reads them, which no read of a table's tree that
// visits no page twice outnumbers.
std::vector<std::int64_t> tableLeafRowIDs(const APMByteSource& file, const APMByteSource& log,
                                          std::uint64_t* cells = nullptr);
std::vector<std::int64_t> tableLeafRowIDs(const std::string& databasePath, std::uint64_t* cells = nullptr);

}  // namespace measurement::sqlite_pages
