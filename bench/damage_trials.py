#!/usr/bin/env python3
"""Damage trials: the rows a write into a damaged measurement file, and the carry it leads to, lose.

    damage_trials.py VELMORA [--kind last-leaf|schema|both] [--seed 1] [--trials N]
                             [--cache DIR] [--keep DIR] [--timeout 600]

VELMORA is the tool of the build under trial (`build/tools/velmora`). Each
trial damages a copy of a base data folder of 3,001 events that this build
logged with `velmora analytics log` (made once per build and kept under
--cache; its log checkpointed into the file, so that damage to the file's
pages is damage to the rows), leaves no `-damaged` mark, reads the rows by
their row IDs, runs one `velmora analytics log` on the folder, and reads the
file at the database's path again. Every read is SQLite's own (Python's
sqlite3 module), read-only, one `SELECT rowid, * ... WHERE rowid = ?` a row
over the row IDs up to the base's largest, so that a row that does not read
costs only itself.

last-leaf (160 trials): 20 to 600 random bytes written over the rightmost
  leaf of `raw_events` (the page SQLite appends new rows to), starting at a
  byte the page uses past its 8-byte header (its cell pointers or cells) and
  ending at the page's end at the latest; the event `u1` logged.
schema (100 trials): 1 to 16 bytes changed inside one cell of the schema
  table (page 1 past the file header and the table's other pages); every
  table of the engine read before and after with `writable_schema` on, so
  that an entry SQLite cannot parse costs only itself; the event `s1` logged.

Counted in each: the rows that read before the command and are missing after
it (an event also when it reads otherwise after: an event's row never
changes), those of them the damage had altered (an event that read with
other values than the base's), and those that still read, as before, in the
file set aside (`.corrupt`): left behind by the carry, where the others were
made unreadable by the write. Also: the base's rows missing after; whether
the new event is stored as the exit status says (0 stored, 1 not); the
statuses; each command's time (median and longest); the trials that set the
file aside or left a `-damaged` mark or a `-carry` file; the monitor codes
each command printed beyond those of an undamaged control; the load average
at the start and the end. Trial i draws its damage from (seed, kind, i)
alone, so a seed damages the same bytes whatever --trials says; what the
engine writes (the time, a new session's token) differs from run to run,
so a trial's outcome may too: compare totals, over more than one run.
"""
import argparse, os, random, re, shutil, signal, statistics, subprocess, sys, tempfile, time

from row_reads import connect, engine_tables, look_up, named_rowids, row_query, rows_by_rowid, table_root
from trial_base import DATABASE, base_folder, tool_environment
from trial_damage import damage_last_leaf, damage_schema

BASE_EVENTS = 3001
KINDS = ("last-leaf", "schema")
DEFAULT_TRIALS = {"last-leaf": 160, "schema": 100}
NEW_EVENT = {"last-leaf": "u1", "schema": "s1"}
# Room past the base's largest row ID for the rows one event adds.
ROWID_MARGIN = 16
DEFAULT_TIMEOUT = 600
TIMED_OUT = "timeout"
MONITOR_CODE = re.compile(r"\[I-ACS(\d+)\]")
EVENT_TABLE = "raw_events"
LOG_SUFFIXES = ("-wal", "-shm", "-lock", "-journal")


class Run:
    """What one trial's command did: its status, time and monitor codes, and what it left in the folder."""

    def __init__(self, tool, data, event, timeout):
        started = time.monotonic()
        process = subprocess.Popen([tool, "analytics", "log", event, "--data", data], env=tool_environment(),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                                   errors="replace", start_new_session=True)
        try:
            _, err = process.communicate(timeout=timeout)
            self.status = process.returncode
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            _, err = process.communicate()
            self.status = TIMED_OUT
        self.seconds = time.monotonic() - started
        self.codes = set(MONITOR_CODE.findall(err))
        database = os.path.join(data, DATABASE)
        folder, name = os.path.split(database)
        self.set_aside = sorted((os.path.join(folder, f) for f in os.listdir(folder)
                                 if f.startswith(name + ".corrupt") and not f.endswith(LOG_SUFFIXES)),
                                key=os.path.getmtime)
        self.marked = os.path.exists(database + "-damaged")
        self.carry_left = os.path.exists(database + "-carry")

    def said_stored(self):
        return self.status == 0

    def note(self, usual_codes):
        codes = ",".join(sorted(self.codes - usual_codes)) or "-"
        return "status %s, %.2f s, set aside %d%s%s, codes %s" % (
            self.status, self.seconds, len(self.set_aside), ", -damaged left" if self.marked else "",
            ", -carry left" if self.carry_left else "", codes)


class Trial:
    """One copy of the base, damaged or not: the damage, the counts of the reads before and after, the run."""

    def __init__(self, kind, index, where):
        self.kind, self.index, self.where = kind, index, where
        self.readable = self.lost = self.changed = self.altered = self.lost_altered = 0
        self.left_behind = self.base_missing = 0
        self.stored = []
        self.run = None
        self.tables = {}

    def misreported(self):
        return len(self.stored) > 1 or self.run.said_stored() != bool(self.stored)

    def lost_as_stored(self, key="lost as stored"):
        """The events lost that had read as the base stored them (or those of them `key` names)."""
        return self.tables.get(EVENT_TABLE, {}).get(key, 0)


class Context:
    """The build under trial, the base it made, and what the base holds."""

    def __init__(self, args, base, work):
        self.tool, self.seed, self.timeout, self.base, self.work = args.tool, args.seed, args.timeout, base, work
        database = os.path.join(base, DATABASE)
        self.largest = dict(engine_tables(database))
        self.raw_root = table_root(database, EVENT_TABLE)
        conn = connect(database, immutable=True)
        self.base_rows = {t: rows_by_rowid(conn, t, range(1, n + 1)) for t, n in self.largest.items()}
        self.entries = dict(conn.execute("SELECT rowid, name FROM sqlite_master"))
        conn.close()

    def tables(self, kind):
        return [EVENT_TABLE] if kind == "last-leaf" else list(self.largest)


def read_tables(database, tables, largest, margin, **how):
    """{table: {rowid: row}} of the file at `database`, each row looked up by itself; {} when no file is there."""
    if not os.path.isfile(database):
        return {t: {} for t in tables}
    conn = connect(database, **how)
    try:
        return {t: rows_by_rowid(conn, t, range(1, largest[t] + margin + 1)) for t in tables}
    finally:
        conn.close()


def gone_rows(table, before, after):
    """The row IDs that read before and not after; an event also when it reads otherwise."""
    if table == EVENT_TABLE:
        return [r for r, row in before.items() if after.get(r) != row]
    return [r for r in before if r not in after]


def still_read(path, table, rows, writable_schema):
    """The row IDs of `rows` ({rowid: row}) that read as they did in the file at `path`."""
    if not path or not rows:
        return set()
    conn = connect(path, writable_schema=writable_schema)
    try:
        query = row_query(conn, table)
        return {r for r, row in rows.items() if look_up(conn, query, r) == row}
    finally:
        conn.close()


def count(ctx, trial, before, after, writable_schema):
    set_aside = trial.run.set_aside[-1] if trial.run.set_aside else None
    for table, rows in before.items():
        gone = gone_rows(table, rows, after[table])
        base = ctx.base_rows[table]
        altered = {r for r in gone if base.get(r) != rows[r]}
        left = still_read(set_aside, table, {r: rows[r] for r in gone}, writable_schema)
        trial.tables[table] = {
            "base": len(base), "read": len(rows), "lost": len(gone), "left behind": len(left),
            "lost as stored": len(gone) - len(altered), "left behind as stored": len(left - altered),
            "base missing": sum(r not in after[table] for r in base)}
        trial.lost_altered += len(altered) if table == EVENT_TABLE else 0
        trial.altered += sum(base.get(r) != row for r, row in rows.items()) if table == EVENT_TABLE else 0
        trial.changed += sum(r in after[table] for r in gone)
    for key, field in (("read", "readable"), ("lost", "lost"), ("left behind", "left_behind"),
                       ("base missing", "base_missing")):
        setattr(trial, field, sum(t[key] for t in trial.tables.values()))


def file_bytes(database):
    """The bytes of the database and of its log."""
    return sum(os.path.getsize(p) for p in (database, database + "-wal") if os.path.isfile(p))


def run_trial(ctx, trial, data):
    database = os.path.join(data, DATABASE)
    tables = ctx.tables(trial.kind)
    writable_schema = trial.kind == "schema"
    before = read_tables(database, tables, ctx.largest, 0, immutable=True, writable_schema=writable_schema)
    trial.run = Run(ctx.tool, data, NEW_EVENT[trial.kind], ctx.timeout)
    after = read_tables(database, tables, ctx.largest, ROWID_MARGIN, writable_schema=writable_schema)
    if os.path.isfile(database):
        conn = connect(database, writable_schema=writable_schema)
        trial.stored = named_rowids(conn, EVENT_TABLE, NEW_EVENT[trial.kind], after[EVENT_TABLE],
                                    file_bytes(database))
        conn.close()
    count(ctx, trial, before, after, writable_schema)
    return trial


def trial_folder(ctx, name):
    folder = os.path.join(ctx.work, name)
    shutil.copytree(ctx.base, folder, symlinks=True)
    return folder


def damaged_trial(ctx, kind, index):
    rng = random.Random("%d-%s-%d" % (ctx.seed, kind, index))
    data = trial_folder(ctx, "%s-%03d" % (kind, index))
    database = os.path.join(data, DATABASE)
    where = (damage_last_leaf(database, ctx.raw_root, rng) if kind == "last-leaf"
             else damage_schema(database, ctx.entries, rng))
    return run_trial(ctx, Trial(kind, index, where), data), data


def control_trial(ctx, kind):
    data = trial_folder(ctx, kind + "-control")
    trial = run_trial(ctx, Trial(kind, "ctl", "no damage"), data)
    shutil.rmtree(data)
    return trial


def print_trial(trial, usual_codes):
    faulty = trial.lost or trial.misreported()
    print("%4s  %s" % (trial.index, trial.where))
    print("      read %d (%d events altered), lost %d (%d events altered, %d read otherwise, %d still read in "
          "the file set aside), base rows missing %d; %s stored %d; %s%s"
          % (trial.readable, trial.altered, trial.lost, trial.lost_altered, trial.changed, trial.left_behind,
             trial.base_missing, NEW_EVENT[trial.kind], len(trial.stored), trial.run.note(usual_codes),
             "  <-" if faulty else ""))
    if len(trial.tables) > 1:
        for table, n in trial.tables.items():
            if n["lost"] or n["base missing"]:
                print("        %-22s base %5d, read %5d, lost %5d, still read set aside %5d, base rows missing %5d"
                      % (table, n["base"], n["read"], n["lost"], n["left behind"], n["base missing"]))
    sys.stdout.flush()


def print_totals(kind, trials, base_rows):
    runs = [t.run for t in trials]
    times = sorted(r.seconds for r in runs)
    statuses = {}
    for r in runs:
        statuses[r.status] = statuses.get(r.status, 0) + 1
    said0 = [t for t in trials if t.run.said_stored()]
    said_not = [t for t in trials if not t.run.said_stored()]
    total = lambda field: sum(getattr(t, field) for t in trials)
    print("\n%s totals, %d trials:" % (kind, len(trials)))
    print("  rows in the base: %d a trial; read before the command: %d (events altered by the damage: %d)"
          % (base_rows, total("readable"), total("altered")))
    print("  rows read before and lost after: %d, in %d trials; of them events read otherwise: %d, events the "
          "damage had altered: %d, rows still read in the file set aside: %d"
          % (total("lost"), sum(t.lost > 0 for t in trials), total("changed"), total("lost_altered"),
             total("left_behind")))
    as_stored = sum(t.lost_as_stored() for t in trials)
    left = sum(t.lost_as_stored("left behind as stored") for t in trials)
    print("  events lost that had read as stored: %d, in %d trials; %d of them still read in the file set "
          "aside (the carry left them), %d read in neither file after the command"
          % (as_stored, sum(t.lost_as_stored() > 0 for t in trials), left, as_stored - left))
    print("  rows of the base missing after: %d" % total("base_missing"))
    print("  exit statuses: %s" % ", ".join("%s: %d" % kv for kv in sorted(statuses.items(), key=str)))
    print("  the new event: said stored (0) and stored %d, said stored and not stored %d; said not stored "
          "and stored %d, said not stored and not stored %d; stored more than once %d"
          % (sum(bool(t.stored) for t in said0), sum(not t.stored for t in said0),
             sum(bool(t.stored) for t in said_not), sum(not t.stored for t in said_not),
             sum(len(t.stored) > 1 for t in trials)))
    print("  set aside in %d trials; -damaged mark left in %d; -carry left in %d"
          % (sum(bool(r.set_aside) for r in runs), sum(r.marked for r in runs), sum(r.carry_left for r in runs)))
    print("  command time: median %.3f s, longest %.3f s; timed out %d"
          % (statistics.median(times), times[-1], statuses.get(TIMED_OUT, 0)))


def run_kind(ctx, kind, trials, keep):
    control = control_trial(ctx, kind)
    usual = control.run.codes
    print("\n%s: %d trials; the control's codes (left out below): %s"
          % (kind, trials, ",".join(sorted(usual)) or "-"))
    print_trial(control, usual)
    done = []
    for index in range(trials):
        trial, folder = damaged_trial(ctx, kind, index)
        print_trial(trial, usual)
        done.append(trial)
        if keep and (trial.lost or trial.misreported()):
            shutil.move(folder, os.path.join(keep, os.path.basename(folder)))
        else:
            shutil.rmtree(folder)
    print_totals(kind, done, sum(len(ctx.base_rows[t]) for t in ctx.tables(kind)))


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("tool", help="the velmora tool of the build under trial")
    parser.add_argument("--kind", choices=KINDS + ("both",), default="both")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--trials", type=int, help="trials of each kind (160 last-leaf, 100 schema)")
    parser.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "velmora-damage-trials"),
                        help="where the base of each build is kept")
    parser.add_argument("--keep", help="a folder to move the trials that lost rows or misreported into")
    parser.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT, help="seconds a command may take")
    args = parser.parse_args()
    args.tool = os.path.abspath(args.tool)
    return args


def main():
    args = arguments()
    print("damage trials of %s, seed %d; load average at start %.2f %.2f %.2f"
          % ((args.tool, args.seed) + os.getloadavg()))
    base = base_folder(args.tool, args.cache, BASE_EVENTS)
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
    work = tempfile.mkdtemp(prefix="velmora-trials-")
    try:
        ctx = Context(args, base, work)
        print("base %s: %s" % (base, ", ".join("%s %d" % (t, len(r)) for t, r in ctx.base_rows.items())))
        for kind in (KINDS if args.kind == "both" else [args.kind]):
            run_kind(ctx, kind, args.trials if args.trials is not None else DEFAULT_TRIALS[kind], args.keep)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("\nload average at end %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
