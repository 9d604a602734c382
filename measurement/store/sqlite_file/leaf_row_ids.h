#pragma once

// The row IDs a database file's table-leaf pages hold, read from the pages
// SQLite reads, past SQLite. Not part of the public surface.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "measurement/store/sqlite_file/file_bytes.h"
#include "measurement/store/sqlite_file/page_image.h"

namespace measurement::sqlite_pages {

// What reading row IDs cost: bytes of pages read, and bytes examined in
// them (each varint at most 9 bytes; where a look-up skips a payload's
// size past that, one pass over the page serves every cell of it).
struct LeafWork {
    std::uint64_t cells = 0;
    std::uint64_t bytesRead = 0;
    std::uint64_t bytesExamined = 0;
};

// Adds the row IDs of the cells of a page image that SQLite takes for a
// table leaf (flag 0x0D at headerOffset: 100 on page 1, else 0), as a
// look-up of a row ID finds them: every cell pointer it would follow,
// whatever the rest of the page holds. A cell whose key SQLite's look-up
// and its in-order read would take differently (a damaged payload size)
// gives both. Answers how many cells it read.
std::size_t addTableLeafRowIDs(const unsigned char* page, std::size_t pageSize, std::size_t headerOffset,
                               std::vector<std::int64_t>* rowIDs, LeafWork* work = nullptr);

// The row IDs of every table-leaf page of the file as SQLite reads it (its
// committed log frames laid over it, see sqlite_btree::FileImage), of any
// table, ascending and distinct: a superset of the row IDs a look-up can
// find in any table of it, however damaged its pages are. Each page read
// once; one that cannot be read gives nothing, and so does a file whose
// header does not read. *cells: how many cells those pages hold, as SQLite
// reads them, which no read of a table's tree that visits no page twice
// outnumbers.
std::vector<std::int64_t> tableLeafRowIDs(const sqlite_btree::FileImage& image, std::uint64_t* cells = nullptr,
                                          LeafWork* work = nullptr);
// The same of the file and log given as byte sources: read through a
// connection's own handles while a connection of this process has the file
// open (APMConnectionFileBytes), since closing a descriptor of the file
// would end the locks SQLite holds on it. The path's form reads with
// descriptors of its own: only where no connection of this process has it
// open.
std::vector<std::int64_t> tableLeafRowIDs(const APMByteSource& file, const APMByteSource& log,
                                          std::uint64_t* cells = nullptr);
std::vector<std::int64_t> tableLeafRowIDs(const std::string& databasePath, std::uint64_t* cells = nullptr);

}  // namespace measurement::sqlite_pages
