#pragma once

// A table's b-tree read from a database file's page images, past SQLite:
// walked whole from its root, or down to the leaf it appends to. Not part
// of the public surface.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "measurement/store/sqlite_file/page_image.h"
#include "measurement/store/sqlite_file/record.h"

namespace measurement::sqlite_btree {

// A cell of a table leaf: its row ID and its whole payload, the record
// (decodeRecord), its overflow pages read along.
struct TableCell {
    std::uint32_t page = 0;
    std::int64_t rowID = 0;
    std::string payload;
};

// What did not read, on which page, and why. Two for each interior page
// at most, and one for each leaf: a page of many cells that do not read
// names the first, and counts the others; so does a page of many children
// that do not read (none the file holds, no table page, one the tree led
// to before), so that what is kept stays within the pages read.
struct PageDamage {
    std::uint32_t page = 0;
    std::string why;
};

using DamageHeard = std::function<void(const PageDamage&)>;

struct TableWalk {
    std::vector<PageDamage> damage;
    // Pages read, those of overflow chains included; each at most once.
    std::uint64_t pagesRead = 0;
    std::uint64_t cellsRead = 0;
    // Cells of leaves that did not read, and pointers that led to a cell
    // of the same page read already (the same row again).
    std::uint64_t cellsUnread = 0;
    std::uint64_t cellsRepeated = 0;
    // The work of the walk: bytes of pages read, and bytes of cells and
    // payloads examined in them, at most a few times each page's bytes.
    std::uint64_t work = 0;
    // The most children of interior pages waiting at once for their turn,
    // each a few bytes: no more than the cells of the interior pages read.
    std::uint64_t mostWaiting = 0;
    // Whether the visitor ended the walk.
    bool ended = false;
    // A read the system failed (FileImage::readPage's systemFailed), why:
    // the walk ended there, and names nothing it did not read as damage.
    std::optional<std::string> failed;
};

// Walks the table b-tree whose root is `root` in the order of its keys
// (interior table pages, flag 0x05: the child of each cell in turn, then
// the right child; leaves, flag 0x0D), handing `visit` each leaf cell whose
// payload reads whole; false from it ends the walk. Each page is read at
// most once: a tree that damage led back into itself ends there, so the
// walk is linear in the file's pages and cells. What does not read (a
// page that is no table page, a cell off its page, a payload that runs past
// its page or its overflow chain, a chain that loops, cells whose payloads
// together hold more than their page, which only cells that overlap can)
// is named in `damage`, and the walk goes on with the cells and pages it
// still reaches. Keys are given as the tree holds them, in whatever order
// that is. `heard`, when given, hears each damage as the walk meets it, in
// the tree's order among the cells (that of a cell of an interior page
// where its child would be), every cell's that does not read.
TableWalk walkTable(const FileImage& image, std::uint32_t root, const std::function<bool(const TableCell&)>& visit,
                    const DamageHeard& heard = {});

// The page SQLite appends a table's new rows to: the leaf reached from the
// root by right children alone, and its cells in order.
struct RightmostLeaf {
    std::uint32_t page = 0;
    std::vector<TableCell> cells;
    // None when the leaf and the pages leading to it read whole: table
    // pages, each cell inside its page's cell area, each payload whole
    // (overflow chains followed), keys strictly ascending.
    std::optional<PageDamage> damage;
    // As TableWalk's: no damage is named then, and no cell given.
    std::optional<std::string> failed;
    std::uint64_t pagesRead = 0;
    // As TableWalk's.
    std::uint64_t work = 0;
};
RightmostLeaf rightmostLeaf(const FileImage& image, std::uint32_t root);

}  // namespace measurement::sqlite_btree
