"""The damage each kind of trial writes into a copy of the base's database file."""
from sqlite_file_pages import (TABLE_LEAF, Layout, cell_ranges, rightmost_leaf, tree_pages, used_ranges,
                               varint)

LAST_LEAF_BYTES = (20, 600)
SCHEMA_BYTES = (1, 16)
BYTE_VALUES = 256
SCHEMA_ROOT = 1


def draw_start(rng, ranges):
    """A byte drawn evenly from the [start, end) ranges given, and the end of its range."""
    at = rng.randrange(sum(end - start for start, end in ranges))
    for start, end in ranges:
        if at < end - start:
            return start + at, end
        at -= end - start
    raise AssertionError("a draw past the ranges it was drawn from")


def read_file(database):
    with open(database, "rb") as f:
        return bytearray(f.read())


def write_back(database, data, start, end):
    with open(database, "r+b") as f:
        f.seek(start)
        f.write(data[start:end])


def damage_last_leaf(database, root, rng):
    """Writes 20 to 600 random bytes over the rightmost leaf under `root`, from a byte the
    page uses past its header (a cell pointer or a cell) to the page's end at the latest."""
    data = read_file(database)
    layout = Layout(data)
    leaf = rightmost_leaf(data, layout, root)
    start, _ = draw_start(rng, [r for r in used_ranges(data, layout, leaf) if r[1] > r[0]])
    end = min(start + rng.randint(*LAST_LEAF_BYTES), layout.start(leaf) + layout.page_size)
    data[start:end] = rng.randbytes(end - start)
    write_back(database, data, start, end)
    return "page %d +%d, %d bytes" % (leaf, start - layout.start(leaf), end - start)


def damage_schema(database, entries, rng):
    """Changes 1 to 16 bytes of one cell of the schema table, each to another value; says
    where, and whose cell it is (`entries` names the schema's row IDs)."""
    data = read_file(database)
    layout = Layout(data)
    cells = [c for p in tree_pages(data, layout, SCHEMA_ROOT) for c in cell_ranges(data, layout, p)]
    start, cell_end = draw_start(rng, cells)
    cell_start = next(s for s, e in cells if s <= start < e)
    whose = entry_of(data, layout, cell_start, entries)
    end = min(start + rng.randint(*SCHEMA_BYTES), cell_end)
    for at in range(start, end):
        data[at] ^= rng.randrange(1, BYTE_VALUES)
    write_back(database, data, start, end)
    return "page %d +%d, %d bytes, %s +%d" % (start // layout.page_size + 1, start % layout.page_size,
                                            end - start, whose, start - cell_start)


def entry_of(data, layout, cell_start, entries):
    """The name of the schema entry whose leaf cell starts at `cell_start`, by its row ID."""
    if data[layout.header(cell_start // layout.page_size + 1)] != TABLE_LEAF:
        return "an interior cell"
    _, past = varint(data, cell_start)
    rowid, _ = varint(data, past)
    return entries.get(rowid, "entry %d" % rowid)
