#!/usr/bin/env python3
"""Row trials: what one `velmora analytics log` keeps of a measurement file that it sets aside.

    row_trials.py VELMORA [--kind layout|pointer|shm|frame|all] [--seed 1] [--trials 20]
                          [--cache DIR] [--timeout 600]

VELMORA is the tool of the build under trial (`build/tools/velmora`). Each
trial changes a copy of a base data folder of 3,001 events that this build
logged (made once per build and kept under --cache, as damage_trials.py makes
it), runs one `velmora analytics log`, and reads the file at the database's
path again with Python's sqlite3 module, read only, each table of the engine
by row ID over the engine's own columns.

layout (8 cases): another program's legal change to the schema, or damage to
  it, that the engine's writes cannot go into: a column named rowid added to
  raw_events, a column of raw_events renamed, daily_counts made again WITHOUT
  ROWID, user_attributes made again with other columns, raw_events made again
  with CHECK (0) (rows copied with the check ignored) or with a NOT NULL
  column without a default, one letter of raw_events' declaration changed
  with one bit of the schema version, a generated column added. Counted: the
  rows of the engine's tables that read by row ID before the change, and those
  of them the live file holds after, with the same values.
pointer (48 cases): one cell pointer of the last raw_events leaf set to 4080
  to 4095, at its first, middle and last cell. Counted: the raw events
  `velmora analytics dump` lists before the command, and those of them the
  live file lacks after it (rows the carry lost that the dump gave).
shm, frame (--trials each, 20 by default): 40 more events logged, one process
  each, whose commits stay in the log; a connection of this script's own holds
  the file while random bytes go over a span of the log index's hash area
  (shm) or of the page image of one committed frame that holds its page's
  latest image (frame), and while the command
  runs. The database and its log are copied right after the damage and read
  fresh, by SQLite alone; counted: the rows of that read the live file lacks
  after the command (or holds with other values).
"""
import argparse, json, os, random, shutil, sqlite3, subprocess, sys, tempfile

from row_reads import connect, quoted
from trial_base import DATABASE, base_folder, tool_environment

BASE_EVENTS = 3001
LOGGED_EVENTS = 40
PAGE_SIZE = 4096
POINTERS = range(PAGE_SIZE - 16, PAGE_SIZE)
LEAF_HEADER = 8
INDEX_HASH = (16384, 32768)
LOG_HEADER = 32
FRAME_HEADER = 24
SCHEMA_VERSION_LOW_BYTE = 43
DEFAULT_TIMEOUT = 600
ENGINE_TABLES = ("raw_events", "raw_events_metadata", "queue", "events", "user_attributes", "daily_counts",
                 "app_metadata")


def engine_columns(database):
    """{table: [column]} of the engine's tables in a file of the engine's own layout."""
    conn = connect(database)
    try:
        return {t: [c[1] for c in conn.execute("PRAGMA table_info(%s)" % quoted(t))] for t in ENGINE_TABLES}
    finally:
        conn.close()


def engine_rows(database, columns):
    """{table: {rowid: row}} over the engine's columns; a table that does not read gives none."""
    conn = sqlite3.connect("file:%s?mode=ro" % database, uri=True)
    rows = {}
    try:
        for table, names in columns.items():
            listed = ", ".join(quoted(c) for c in names)
            try:
                rows[table] = {r[0]: r[1:] for r in conn.execute("SELECT rowid, %s FROM %s" % (listed, quoted(table)))}
            except sqlite3.Error:
                rows[table] = {}
    finally:
        conn.close()
    return rows


# Tables whose rows one event's command updates in place (its counts, its aggregates, the app's
# record): a row of them is kept when its row ID is; of the others, when its values are too.
UPDATED_TABLES = ("daily_counts", "events", "app_metadata")


def kept(before, after):
    def same(table, rowid, row):
        found = after.get(table, {}).get(rowid)
        return found is not None and (table in UPDATED_TABLES or found == row)
    return sum(1 for t, rows in before.items() for r, row in rows.items() if same(t, r, row))


def run_tool(tool, data, *arguments, timeout=DEFAULT_TIMEOUT):
    done = subprocess.run([tool, *arguments, "--data", data], env=tool_environment(), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, errors="replace", timeout=timeout)
    return done.returncode, done.stdout


def copy_base(base, work, name):
    data = os.path.join(work, name)
    shutil.rmtree(data, ignore_errors=True)
    shutil.copytree(base, data)
    return data, os.path.join(data, DATABASE)


def remade(table, columns, more="", tail="", extra=""):
    """Statements that make one of the engine's tables again, its rows copied (by row ID unless
    the table has none)."""
    definition = ", ".join('"%s" %s' % c for c in columns)
    names = ", ".join(quoted(c[0]) for c in columns)
    rowid = "" if "WITHOUT ROWID" in tail else "rowid, "
    return ["CREATE TABLE again (%s%s)%s" % (definition, more, tail),
            "INSERT INTO again (%s%s%s) SELECT %s%s%s FROM %s" % (rowid, names, ", extra" if extra else "", rowid,
                                                                  names, ", " + extra if extra else "", table),
            "DROP TABLE %s" % table, "ALTER TABLE again RENAME TO %s" % table]


def declared(database, table):
    conn = connect(database)
    try:
        return [(c[1], c[2] + (" NOT NULL" if c[3] else "") + (" DEFAULT %s" % c[4] if c[4] is not None else "") +
                 (" PRIMARY KEY" if c[5] else "")) for c in conn.execute("PRAGMA table_info(%s)" % quoted(table))]
    finally:
        conn.close()


def layout_cases(database):
    ua = ["CREATE TABLE again (property TEXT NOT NULL PRIMARY KEY, origin TEXT NOT NULL, set_timestamp REAL NOT "
          "NULL, value NOT NULL, source TEXT)",
          "INSERT INTO again (rowid, property, origin, set_timestamp, value, source) SELECT rowid, name, origin, "
          "set_timestamp, value, 'elsewhere' FROM user_attributes",
          "DROP TABLE user_attributes", "ALTER TABLE again RENAME TO user_attributes"]
    return [
        ("rowid column", ["ALTER TABLE raw_events ADD COLUMN rowid INTEGER"], False),
        ("column renamed", ["ALTER TABLE raw_events RENAME COLUMN name TO event_name"], False),
        ("WITHOUT ROWID", remade("daily_counts", declared(database, "daily_counts"), tail=" WITHOUT ROWID"), False),
        ("other columns", ua, False),
        ("CHECK (0)", ["PRAGMA ignore_check_constraints = ON"] +
         remade("raw_events", declared(database, "raw_events"), more=", CHECK (0)"), False),
        ("NOT NULL, no default", remade("raw_events", declared(database, "raw_events"),
                                        more=", extra TEXT NOT NULL", extra="'x'"), False),
        ("version bit + nbme", ["PRAGMA writable_schema = ON",
                                "UPDATE sqlite_master SET sql = replace(sql, '\"name\"', '\"nbme\"') WHERE name = "
                                "'raw_events'"], True),
        ("generated column", ["ALTER TABLE raw_events ADD COLUMN g AS (length(name) * 2) VIRTUAL"], False),
    ]


def run_layout(args, base, work):
    columns = engine_columns(os.path.join(base, DATABASE))
    print("layout: case, rows before, rows kept after, status")
    for name, statements, version_bit in layout_cases(os.path.join(base, DATABASE)):
        data, database = copy_base(base, work, "layout")
        before = engine_rows(database, columns)
        conn = sqlite3.connect(database, isolation_level=None)
        for statement in statements:
            conn.execute(statement)
        conn.close()
        if version_bit:
            with open(database, "r+b") as f:
                f.seek(SCHEMA_VERSION_LOW_BYTE)
                byte = f.read(1)[0]
                f.seek(SCHEMA_VERSION_LOW_BYTE)
                f.write(bytes([byte ^ 1]))
        status, _ = run_tool(args.tool, data, "analytics", "log", "u1", timeout=args.timeout)
        after = engine_rows(database, columns)
        print("  %-22s %6d %6d  %d" % (name, sum(len(r) for r in before.values()), kept(before, after), status))


def last_leaf(database):
    conn = sqlite3.connect("file:%s?mode=ro" % database, uri=True)
    try:
        return conn.execute("SELECT pageno FROM dbstat WHERE name = 'raw_events' AND pagetype = 'leaf' ORDER BY "
                            "path DESC LIMIT 1").fetchone()[0]
    finally:
        conn.close()


def run_pointer(args, base, work):
    database = os.path.join(base, DATABASE)
    leaf = last_leaf(database)
    with open(database, "rb") as f:
        f.seek((leaf - 1) * PAGE_SIZE)
        page = f.read(PAGE_SIZE)
    cells = int.from_bytes(page[3:5], "big")
    columns = {"raw_events": engine_columns(database)["raw_events"]}
    stored = engine_rows(database, columns)["raw_events"]
    losing = lost = beyond = beyond_rows = 0
    print("pointer: cell, pointer, rows dumped, of them lost by the carry, stored rows lost beside the cell's")
    for cell in (0, cells // 2, cells - 1):
        for pointer in POINTERS:
            data, copy = copy_base(base, work, "pointer")
            with open(copy, "r+b") as f:
                f.seek((leaf - 1) * PAGE_SIZE + LEAF_HEADER + 2 * cell)
                f.write(pointer.to_bytes(2, "big"))
            _, out = run_tool(args.tool, data, "analytics", "dump", timeout=args.timeout)
            dumped = {e["rowid"] for e in json.loads(out or "{}").get("raw_events", [])}
            run_tool(args.tool, data, "analytics", "log", "p1", timeout=args.timeout)
            after = engine_rows(copy, columns)["raw_events"]
            missing = len(dumped - set(after))
            losing += missing > 0
            lost += missing
            pointed = cell_rowid(page, cell)
            gone = sum(1 for r, row in stored.items() if r != pointed and after.get(r) != row)
            beyond += gone > 0
            beyond_rows += gone
            print("  %3d %5d %6d %4d %4d" % (cell, pointer, len(dumped), missing, gone))
    print("pointer totals: %d of %d cases lose rows the dump gave, %d rows in all; %d lose stored rows beside the "
          "pointed cell's, %d rows in all" % (losing, 3 * len(POINTERS), lost, beyond, beyond_rows))


def varint(data, at):
    value = 0
    for i in range(9):
        byte = data[at + i]
        if i == 8:
            return (value << 8) | byte, at + 9
        value = (value << 7) | (byte & 0x7f)
        if byte < 0x80:
            return value, at + i + 1
    return value, at + 9


def cell_rowid(page, cell):
    """The row ID of a table leaf's cell, as its bytes give it."""
    at = int.from_bytes(page[LEAF_HEADER + 2 * cell:LEAF_HEADER + 2 * cell + 2], "big")
    _, at = varint(page, at)
    return varint(page, at)[0]


def damage_index(path, rng):
    start = rng.randrange(*INDEX_HASH)
    end = min(INDEX_HASH[1], start + rng.randint(64, INDEX_HASH[1] - INDEX_HASH[0]))
    with open(path + "-shm", "r+b") as f:
        f.seek(start)
        f.write(rng.randbytes(end - start))
    return "index +%d, %d bytes" % (start, end - start)


def damage_frame(path, rng):
    """Random bytes over a span of a committed frame that holds its page's latest image, which a
    process holding the file takes for the page."""
    with open(path + "-wal", "rb") as f:
        log = f.read()
    frames = (len(log) - LOG_HEADER) // (FRAME_HEADER + PAGE_SIZE)
    latest = {}
    for at in range(frames):
        offset = LOG_HEADER + at * (FRAME_HEADER + PAGE_SIZE)
        latest[int.from_bytes(log[offset:offset + 4], "big")] = at
    frame = rng.choice(sorted(latest.values()))
    start = rng.randrange(PAGE_SIZE)
    end = min(PAGE_SIZE, start + rng.randint(16, PAGE_SIZE))
    with open(path + "-wal", "r+b") as f:
        f.seek(LOG_HEADER + frame * (FRAME_HEADER + PAGE_SIZE) + FRAME_HEADER + start)
        f.write(rng.randbytes(end - start))
    return "frame %d of %d +%d, %d bytes" % (frame, frames, start, end - start)


def run_held(args, base, work, kind):
    columns = engine_columns(os.path.join(base, DATABASE))
    losing = lost = 0
    print("%s: trial, damage, rows of a fresh read of a copy, of them lost, status" % kind)
    for trial in range(args.trials):
        rng = random.Random("%d-%s-%d" % (args.seed, kind, trial))
        data, database = copy_base(base, work, kind)
        for i in range(LOGGED_EVENTS):
            run_tool(args.tool, data, "analytics", "log", "l%d" % i, timeout=args.timeout)
        holder = sqlite3.connect(database)
        holder.execute("SELECT count(*) FROM raw_events").fetchall()
        where = (damage_index if kind == "shm" else damage_frame)(database, rng)
        copy = os.path.join(work, "fresh.sql")
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(copy + suffix):
                os.remove(copy + suffix)
        shutil.copyfile(database, copy)
        shutil.copyfile(database + "-wal", copy + "-wal")
        fresh = engine_rows(copy, columns)
        status, _ = run_tool(args.tool, data, "analytics", "log", "h1", timeout=args.timeout)
        holder.close()
        after = engine_rows(database, columns)
        rows = sum(len(r) for r in fresh.values())
        missing = rows - kept(fresh, after)
        losing += missing > 0
        lost += missing
        print("  %2d %-34s %6d %5d  %d" % (trial, where, rows, missing, status))
    print("%s totals: %d of %d trials lose rows, %d rows in all" % (kind, losing, args.trials, lost))


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tool")
    parser.add_argument("--kind", choices=("layout", "pointer", "shm", "frame", "all"), default="all")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--trials", type=int, default=20)
    parser.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "velmora-trial-bases"))
    parser.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT)
    return parser.parse_args()


def main():
    args = arguments()
    args.tool = os.path.abspath(args.tool)
    base = base_folder(args.tool, args.cache, BASE_EVENTS)
    print("load average at the start: %.2f %.2f %.2f" % os.getloadavg())
    with tempfile.TemporaryDirectory(prefix="velmora-row-trials-") as work:
        kinds = ("layout", "pointer", "shm", "frame") if args.kind == "all" else (args.kind,)
        for kind in kinds:
            if kind == "layout":
                run_layout(args, base, work)
            elif kind == "pointer":
                run_pointer(args, base, work)
            else:
                run_held(args, base, work, kind)
    print("load average at the end: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    sys.exit(main())
