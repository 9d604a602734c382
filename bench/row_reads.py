"""Rows of a SQLite file read one at a time by row ID, as a reader apart from the engine sees them.

Each look-up stands alone, so damage that stops one row does not hide the
rows after it; nothing here writes to the file or runs SQL text it holds.
"""
import sqlite3
import urllib.parse

SCAN_STEPS_PER_CALL = 1000
SCAN_BYTES_PER_CALL = 100
SCAN_MIN_CALLS = 1000


def connect(path, immutable=False, writable_schema=False):
    """A read-only connection to `path`: `immutable` when the file has no log to
    read (so that no -wal or -shm is made beside it before a trial), and with
    `writable_schema` so that a schema entry SQLite cannot parse costs only itself."""
    query = "mode=ro&immutable=1" if immutable else "mode=ro"
    uri = "file:%s?%s" % (urllib.parse.quote(path), query)
    conn = sqlite3.connect(uri, uri=True)
    # Damage may leave text that is not UTF-8: it reads as what its bytes are, never as an error.
    conn.text_factory = lambda raw: raw.decode("utf-8", "surrogateescape")
    if writable_schema:
        conn.execute("PRAGMA writable_schema=ON")
        try:
            # With writable_schema the first statement fails on a schema that does
            # not parse, and those after it see the entries that did.
            conn.execute("SELECT count(*) FROM sqlite_master").fetchall()
        except sqlite3.Error:
            pass
    return conn


def quoted(name):
    return '"%s"' % name.replace('"', '""')


def row_query(conn, table):
    """The look-up of one row of `table` by row ID, its columns named c0 (the row ID), c1...:
    a damaged declaration may name a column with bytes that are not UTF-8, which no
    result's column name may hold here. None when the table has no columns that read."""
    try:
        columns = len(conn.execute("PRAGMA table_info(%s)" % quoted(table)).fetchall())
    except sqlite3.Error:
        return None
    if columns == 0:
        return None
    names = ", ".join("c%d" % i for i in range(columns + 1))
    return "WITH r(%s) AS (SELECT rowid, * FROM %s WHERE rowid = ?) SELECT * FROM r" % (names, quoted(table))


def look_up(conn, query, rowid):
    """The row under `rowid` as a tuple (row ID first), None when none reads."""
    if query is None:
        return None
    try:
        return conn.execute(query, (rowid,)).fetchone()
    except sqlite3.Error:
        return None


def rows_by_rowid(conn, table, rowids):
    """{rowid: row} of the row IDs in `rowids` that read by themselves."""
    query = row_query(conn, table)
    found = {}
    for rowid in rowids:
        row = look_up(conn, query, rowid)
        if row is not None:
            found[rowid] = row
    return found


def named_rowids(conn, table, text, read, file_bytes):
    """The row IDs whose row holds the value `text`: those among the rows already
    `read` and those a scan of the table finds (the scan may stop at damage),
    each confirmed by a look-up of its own row ID."""
    candidates = {rowid for rowid, row in read.items() if text in row[1:]}
    # A damaged tree may lead a scan round its pages: the scan gives up past a bound of
    # SQLite's steps that grows with the file, far above what a sound file's scan takes.
    calls = 0
    budget = max(SCAN_MIN_CALLS, file_bytes // SCAN_BYTES_PER_CALL)

    def give_up():
        nonlocal calls
        calls += 1
        return calls > budget

    conn.set_progress_handler(give_up, SCAN_STEPS_PER_CALL)
    try:
        for (rowid,) in conn.execute("SELECT rowid FROM %s WHERE name = ?" % quoted(table), (text,)):
            candidates.add(rowid)
    except sqlite3.Error:
        pass
    finally:
        conn.set_progress_handler(None, SCAN_STEPS_PER_CALL)
    query = row_query(conn, table)
    return sorted(r for r in candidates if (row := look_up(conn, query, r)) is not None and text in row[1:])


def engine_tables(path):
    """[(table, largest row ID)] of every table of a sound file, in schema order."""
    conn = connect(path, immutable=True)
    try:
        names = [n for (n,) in conn.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' ORDER BY rowid")]
        return [(n, conn.execute("SELECT coalesce(max(rowid), 0) FROM %s" % quoted(n)).fetchone()[0])
                for n in names]
    finally:
        conn.close()


def table_root(path, table):
    conn = connect(path, immutable=True)
    try:
        return conn.execute("SELECT rootpage FROM sqlite_master WHERE type = 'table' AND name = ?",
                            (table,)).fetchone()[0]
    finally:
        conn.close()
