"""The b-tree pages of a SQLite file read from its bytes: where damage goes.

Only what the damage trials need: a table's rightmost leaf (where SQLite
appends new rows) and the byte ranges of the cells of a table's pages. Every
walk is bounded by the file's page count, so a page that points back into its
own tree ends it instead of looping.
"""
import struct

FILE_HEADER_SIZE = 100
PAGE_SIZE_OFFSET = 16
RESERVED_OFFSET = 20
LARGEST_PAGE_SIZE_CODE = 1  # a stored page size of 1 means 65536
LARGEST_PAGE_SIZE = 65536
TABLE_INTERIOR = 0x05
TABLE_LEAF = 0x0D
LEAF_HEADER_SIZE = 8
INTERIOR_HEADER_SIZE = 12
CELL_COUNT_OFFSET = 3
CONTENT_START_OFFSET = 5
RIGHT_CHILD_OFFSET = 8
CELL_POINTER_SIZE = 2
CHILD_POINTER_SIZE = 4
OVERFLOW_POINTER_SIZE = 4
VARINT_MAX_BYTES = 9


class Layout:
    """The page size and usable size a file's header gives."""

    def __init__(self, data):
        if len(data) < FILE_HEADER_SIZE:
            raise ValueError("no SQLite header: the file has %d bytes" % len(data))
        (code,) = struct.unpack_from(">H", data, PAGE_SIZE_OFFSET)
        self.page_size = LARGEST_PAGE_SIZE if code == LARGEST_PAGE_SIZE_CODE else code
        self.usable = self.page_size - data[RESERVED_OFFSET]
        self.page_count = len(data) // self.page_size

    def start(self, pgno):
        """The file offset of page `pgno`'s first byte."""
        return (pgno - 1) * self.page_size

    def header(self, pgno):
        """The file offset of page `pgno`'s b-tree header (past the file header on page 1)."""
        return self.start(pgno) + (FILE_HEADER_SIZE if pgno == 1 else 0)


def varint(data, at):
    """(value, offset past it) of the SQLite varint at `at`."""
    value = 0
    for i in range(VARINT_MAX_BYTES - 1):
        byte = data[at + i]
        value = (value << 7) | (byte & 0x7F)
        if byte < 0x80:
            return value, at + i + 1
    return (value << 8) | data[at + VARINT_MAX_BYTES - 1], at + VARINT_MAX_BYTES


def page_type(data, layout, pgno):
    return data[layout.header(pgno)]


def cell_offsets(data, layout, pgno):
    """The file offsets of the cells of page `pgno`, as its pointer array gives them."""
    head = layout.header(pgno)
    header_size = INTERIOR_HEADER_SIZE if data[head] == TABLE_INTERIOR else LEAF_HEADER_SIZE
    (count,) = struct.unpack_from(">H", data, head + CELL_COUNT_OFFSET)
    pointers = head + header_size
    return [layout.start(pgno) + struct.unpack_from(">H", data, pointers + CELL_POINTER_SIZE * i)[0]
            for i in range(count)]


def leaf_cell_size(data, layout, at):
    """The bytes a table leaf cell at `at` takes on its page, overflow pointer included."""
    payload, past = varint(data, at)
    _, past = varint(data, past)
    most_local = layout.usable - 35
    if payload <= most_local:
        return past - at + payload
    least_local = (layout.usable - 12) * 32 // 255 - 23
    local = least_local + (payload - least_local) % (layout.usable - 4)
    if local > most_local:
        local = least_local
    return past - at + local + OVERFLOW_POINTER_SIZE


def cell_ranges(data, layout, pgno):
    """[(start, end)) file offsets of each cell of table page `pgno`."""
    ranges = []
    for at in cell_offsets(data, layout, pgno):
        if page_type(data, layout, pgno) == TABLE_INTERIOR:
            _, past = varint(data, at + CHILD_POINTER_SIZE)
            ranges.append((at, past))
        else:
            ranges.append((at, at + leaf_cell_size(data, layout, at)))
    return ranges


def children(data, layout, pgno):
    """The child pages of interior table page `pgno`, its right child last."""
    found = [struct.unpack_from(">I", data, at)[0] for at in cell_offsets(data, layout, pgno)]
    found.append(struct.unpack_from(">I", data, layout.header(pgno) + RIGHT_CHILD_OFFSET)[0])
    return found


def tree_pages(data, layout, root):
    """Every page of the table tree under `root`, each once, in the order reached."""
    seen, order, waiting = set(), [], [root]
    while waiting and len(order) < layout.page_count:
        pgno = waiting.pop(0)
        if pgno in seen or not 1 <= pgno <= layout.page_count:
            continue
        seen.add(pgno)
        order.append(pgno)
        if page_type(data, layout, pgno) == TABLE_INTERIOR:
            waiting.extend(children(data, layout, pgno))
    return order


def rightmost_leaf(data, layout, root):
    """The leaf page that the right children from `root` lead to."""
    pgno = root
    for _ in range(layout.page_count):
        kind = page_type(data, layout, pgno)
        if kind == TABLE_LEAF:
            return pgno
        if kind != TABLE_INTERIOR:
            raise ValueError("page %d is no table page (type %d)" % (pgno, kind))
        pgno = children(data, layout, pgno)[-1]
    raise ValueError("the right children from page %d lead round in a loop" % root)


def used_ranges(data, layout, pgno):
    """[(start, end)) file offsets of leaf page `pgno`'s cell pointers and cell content."""
    head = layout.header(pgno)
    (count,) = struct.unpack_from(">H", data, head + CELL_COUNT_OFFSET)
    (content,) = struct.unpack_from(">H", data, head + CONTENT_START_OFFSET)
    pointers = head + LEAF_HEADER_SIZE
    return [(pointers, pointers + CELL_POINTER_SIZE * count),
            (layout.start(pgno) + (content or LARGEST_PAGE_SIZE), layout.start(pgno) + layout.page_size)]
