#!/usr/bin/env python3
"""Upload damage trials: events the collector receives twice, or never, when
damage comes while the service's answer to a batch is held.

    upload_damage_trials.py VELMORA [--where file|log|both] [--trials 20] [--only N ...] [--seed 1]
                            [--events 3001] [--how met|mark] [--rightmost] [--queued]
                            [--cache DIR] [--keep DIR] [--timeout 300] [--verbose]

VELMORA is the tool of the build under trial (`build/tools/velmora`). Each
trial copies a base data folder of that many events that this build logged
with no service to send them to (made once per build, kept under --cache, its
log checkpointed into the file; with --queued, bundled into the queue first
by commands whose batches a service refused), and starts the local collector
behind a forwarder of this script that hands each request to the collector
at once and answers the first batch (POST /a) only when told. Then:

1. `velmora analytics log p1` runs on the folder against the forwarder: it
   bundles events, and sends the first batch, which the collector takes;
2. while that answer is held, one leaf page of `raw_events` or of `queue`
   (drawn from the trial's seed; with --rightmost, the one new rows go to) is
   written over where its newest image lies, 20 to 600 random bytes from a
   byte the page uses past its header:
     file: a page the log (`-wal`) holds no frame of, written over in the
           file (a page only the log holds is then drawn instead, and said);
     log:  the newest committed frame of a page, written over in the log;
   met (the default): as a program that wrote the page so would leave it:
     the log's checksums from that frame on, and those its index keeps, made
     anew, or after the file's page another program's commit, so that the
     first command reads the page afresh and meets the damage itself;
   mark: the log's checksums left as they were, and the mark of damage
     (`-damaged`) made beside the file, as by another process that met it;
3. the answer goes back, and the first command ends as it does;
4. `velmora analytics log p2` runs on the folder with the answers no longer
   held, and sends what is left.

Counted: the events stored (the base's, and p1 and p2 when their commands
said so), those the collector received more than once, and those missing:
stored, never received, and not left in the folder (the dump). Missing
events include those the damaged page held, which no reader can bring back.
Beside each trial: the statuses, the monitor codes each command printed that
the control (the same without damage) did not, and what the damage hit.
The load average is printed at the start and the end.
"""
import argparse, json, http.server, os, random, re, shutil, sqlite3, struct, subprocess, sys, tempfile
import threading, time

from collector_counts import left_stored, received, start_collector, start_forwarder
from sqlite_file_pages import TABLE_LEAF, Layout, page_type, rightmost_leaf, tree_pages, used_ranges
from trial_base import DATABASE, base_folder, checkpoint, tool_environment

WHERE = ("file", "log")
TABLES = ("raw_events", "queue")
DAMAGE_BYTES = (20, 600)
DEFAULT_EVENTS = 3001
DEFAULT_TIMEOUT = 300
HOLD_TIMEOUT = 60
MONITOR_CODE = re.compile(r"\[I-ACS(\d+)\]")
WAL_HEADER = 32
FRAME_HEADER = 24
WAL_MAGIC_LE, WAL_MAGIC_BE = 0x377F0682, 0x377F0683


def wal_checksum(data, start, end, s0, s1, big_endian):
    words = struct.unpack_from((">" if big_endian else "<") + "%dI" % ((end - start) // 4), data, start)
    for i in range(0, len(words), 2):
        s0 = (s0 + words[i] + s1) & 0xFFFFFFFF
        s1 = (s1 + words[i + 1] + s0) & 0xFFFFFFFF
    return s0, s1


def committed_frames(wal):
    """{page: offset of its data in the log} for the newest frame of each page
    up to the log's last valid commit, and the page count that commit gives."""
    if len(wal) < WAL_HEADER:
        return {}, 0
    magic, _, page_size, _, salt1, salt2, c0, c1 = struct.unpack_from(">8I", wal, 0)
    if magic not in (WAL_MAGIC_LE, WAL_MAGIC_BE):
        return {}, 0
    big_endian = magic == WAL_MAGIC_BE
    s0, s1 = wal_checksum(wal, 0, 24, 0, 0, big_endian)
    if (s0, s1) != (c0, c1):
        return {}, 0
    frames, pending, pages = {}, {}, 0
    at = WAL_HEADER
    while at + FRAME_HEADER + page_size <= len(wal):
        page, size, f1, f2, k0, k1 = struct.unpack_from(">6I", wal, at)
        if (f1, f2) != (salt1, salt2):
            break
        s0, s1 = wal_checksum(wal, at, at + 8, s0, s1, big_endian)
        s0, s1 = wal_checksum(wal, at + FRAME_HEADER, at + FRAME_HEADER + page_size, s0, s1, big_endian)
        if (s0, s1) != (k0, k1):
            break
        pending[page] = at + FRAME_HEADER
        if size:
            frames.update(pending)
            pending, pages = {}, size
        at += FRAME_HEADER + page_size
    return frames, pages


class Image:
    """The database as a fresh open reads it: the file with the log's committed frames over it."""

    def __init__(self, database):
        with open(database, "rb") as f:
            self.file = bytearray(f.read())
        self.wal = bytearray()
        if os.path.exists(database + "-wal"):
            with open(database + "-wal", "rb") as f:
                self.wal = bytearray(f.read())
        layout = Layout(self.file)
        self.frames, pages = committed_frames(self.wal)
        self.data = bytearray(self.file)
        if pages:
            self.data[pages * layout.page_size:] = b""
            self.data.extend(bytes(max(0, pages * layout.page_size - len(self.data))))
        for page, at in self.frames.items():
            start = (page - 1) * layout.page_size
            self.data[start:start + layout.page_size] = self.wal[at:at + layout.page_size]
        self.layout = Layout(self.data)

    def roots(self, work):
        copy = os.path.join(work, "image.sqlite")
        with open(copy, "wb") as f:
            f.write(self.data)
        conn = sqlite3.connect("file:%s?mode=ro&immutable=1" % copy, uri=True)
        try:
            return dict(conn.execute("SELECT name, rootpage FROM sqlite_master WHERE type = 'table'"))
        finally:
            conn.close()
            os.remove(copy)

    def leaves(self, root):
        return [p for p in tree_pages(self.data, self.layout, root) if page_type(self.data, self.layout, p) == TABLE_LEAF]


def valid_frames_end(wal):
    """The offset past the last frame whose running checksum holds."""
    if len(wal) < WAL_HEADER:
        return WAL_HEADER
    magic, _, page_size, _, salt1, salt2, _, _ = struct.unpack_from(">8I", wal, 0)
    big_endian = magic == WAL_MAGIC_BE
    s0, s1 = wal_checksum(wal, 0, 24, 0, 0, big_endian)
    at = WAL_HEADER
    while at + FRAME_HEADER + page_size <= len(wal):
        _, _, f1, f2, k0, k1 = struct.unpack_from(">6I", wal, at)
        s0, s1 = wal_checksum(wal, at, at + 8, s0, s1, big_endian)
        s0, s1 = wal_checksum(wal, at + FRAME_HEADER, at + FRAME_HEADER + page_size, s0, s1, big_endian)
        if (f1, f2) != (salt1, salt2) or (s0, s1) != (k0, k1):
            break
        at += FRAME_HEADER + page_size
    return at


def rechain(wal, end):
    """Writes the running checksums of the frames before `end` anew, so that the log stays one SQLite reads
    whole; the last one."""
    magic, _, page_size, _, _, _, _, _ = struct.unpack_from(">8I", wal, 0)
    big_endian = magic == WAL_MAGIC_BE
    s0, s1 = wal_checksum(wal, 0, 24, 0, 0, big_endian)
    at = WAL_HEADER
    while at < end:
        s0, s1 = wal_checksum(wal, at, at + 8, s0, s1, big_endian)
        s0, s1 = wal_checksum(wal, at + FRAME_HEADER, at + FRAME_HEADER + page_size, s0, s1, big_endian)
        struct.pack_into(">2I", wal, at + 16, s0, s1)
        at += FRAME_HEADER + page_size
    return s0, s1


# The log's index: two copies of its header, each with the running checksum of the log's last frame and a
# checksum of its own first 40 bytes, in the machine's byte order.
INDEX_HEADER = 48
INDEX_FRAME_CHECKSUM = 24
INDEX_CHECKSUMMED = 40


def index_takes(database, last):
    """Gives the log's index the running checksum of the last frame, so that the next commit of a process
    that has the file open chains on from it; every reader then finds the index changed and reads afresh."""
    with open(database + "-shm", "r+b") as f:
        index = bytearray(f.read(2 * INDEX_HEADER))
        for copy in (0, INDEX_HEADER):
            struct.pack_into("=2I", index, copy + INDEX_FRAME_CHECKSUM, *last)
            struct.pack_into("=2I", index, copy + INDEX_CHECKSUMMED,
                             *wal_checksum(index, copy, copy + INDEX_CHECKSUMMED, 0, 0, sys.byteorder == "big"))
        f.seek(0)
        f.write(index)


def another_commit(database):
    """A write of another program that changes nothing: the processes that have the file open read its pages
    afresh at their next transaction."""
    conn = sqlite3.connect(database, timeout=60)
    try:
        version = conn.execute("PRAGMA user_version").fetchone()[0]
        conn.execute("PRAGMA user_version = %d" % version)
        conn.commit()
    finally:
        conn.close()


def damage(database, where, rng, work, how, rightmost=False):
    """Writes over one leaf page of raw_events or queue where its newest image lies; says what it hit."""
    image = Image(database)
    roots = image.roots(work)
    tables = list(TABLES)
    rng.shuffle(tables)
    candidates = []
    for wanted in (where, "file" if where == "log" else "log"):
        for table in tables:
            leaves = [p for p in image.leaves(roots[table]) if (p in image.frames) == (wanted == "log")
                      and sum(e - s for s, e in used_ranges(image.data, image.layout, p)) > 0]
            if rightmost:
                last = rightmost_leaf(image.data, image.layout, roots[table])
                leaves = [p for p in leaves if p == last]
            if leaves:
                candidates = [(table, wanted, leaves)]
                break
        if candidates:
            break
    if not candidates:
        return "no leaf page of raw_events or queue to damage"
    table, hit, leaves = candidates[0]
    page = rng.choice(leaves)
    layout = image.layout
    ranges = [r for r in used_ranges(image.data, layout, page) if r[1] > r[0]]
    pick = rng.randrange(sum(e - s for s, e in ranges))
    for s, e in ranges:
        if pick < e - s:
            start = s + pick
            break
        pick -= e - s
    end = min(start + rng.randint(*DAMAGE_BYTES), layout.start(page) + layout.page_size)
    noise = rng.randbytes(end - start)
    offset = start - layout.start(page)
    if hit == "log":
        at = image.frames[page] + offset
        wal = bytearray(image.wal)
        valid = valid_frames_end(wal)
        wal[at:at + len(noise)] = noise
        last = rechain(wal, valid) if how == "met" else None
        with open(database + "-wal", "r+b") as f:
            f.write(wal[:valid])
        if last:
            index_takes(database, last)
    else:
        with open(database, "r+b") as f:
            f.seek(start)
            f.write(noise)
        if how == "met":
            another_commit(database)
    if how == "mark":
        with open(database + "-damaged", "w") as f:
            f.write("damage written by a trial\n")
    return "%s page %d (%d leaves), in the %s%s, +%d, %d bytes" % (
        table, page, len(leaves), hit, "" if hit == where else " (none only in the %s)" % where, offset, end - start)


class Forwarder:
    """Hands each request to the collector at once; holds the answer to the first batch until released."""

    def __init__(self, collector_port):
        self.arrived, self.release = threading.Event(), threading.Event()
        self.batches = 0
        self.lock = threading.Lock()
        self.server = start_forwarder(collector_port, self.batch_answered)

    def batch_answered(self):
        with self.lock:
            self.batches += 1
            first = self.batches == 1
        if first:
            self.arrived.set()
            self.release.wait(HOLD_TIMEOUT)

    def url(self):
        return "http://127.0.0.1:%d" % self.server.server_address[1]


def command(tool, data, event, url, timeout):
    env = dict(tool_environment(), VELMORA_MEASUREMENT_SERVICE_URL=url)
    return subprocess.Popen([tool, "analytics", "log", event, "--data", data], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, errors="replace")


def finish(process, timeout):
    try:
        _, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        _, err = process.communicate()
    return process.returncode, set(MONITOR_CODE.findall(err)), err


class Refuser:
    """Answers every batch with a server error, so that a command bundles its events and keeps them queued."""

    def __init__(self):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                self.rfile.read(int(self.headers.get("Content-Length") or 0))
                self.send_response(500)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def do_GET(self):
                self.send_response(404)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()


def queued_base(tool, cache, events):
    """The base with its events bundled into the queue: commands whose batches the service refused bundled
    them, as after a time offline. Their own events (q0, q1...) are among the base's."""
    raw = base_folder(tool, cache, events)
    folder = os.path.dirname(raw) + "-queued"
    data = os.path.join(folder, "data")
    if os.path.isdir(data):
        return data, json.load(open(os.path.join(folder, "names.json")))
    making = "%s.making-%d" % (folder, os.getpid())
    shutil.rmtree(making, ignore_errors=True)
    shutil.copytree(raw, os.path.join(making, "data"), symlinks=True)
    refuser = Refuser()
    url = "http://127.0.0.1:%d" % refuser.server.server_address[1]
    database = os.path.join(making, "data", DATABASE)
    names = []
    try:
        while True:
            conn = sqlite3.connect("file:%s?mode=ro" % database, uri=True)
            left = conn.execute("SELECT count(*) FROM raw_events").fetchone()[0]
            conn.close()
            if left <= 1 or len(names) > events:
                break
            name = "q%d" % len(names)
            status, _, err = finish(command(tool, os.path.join(making, "data"), name, url, DEFAULT_TIMEOUT),
                                    DEFAULT_TIMEOUT)
            if status != 0:
                raise SystemExit("%s: %s was not stored: %s" % (tool, name, err[-400:]))
            names.append(name)
    finally:
        refuser.server.shutdown()
    checkpoint(database)
    with open(os.path.join(making, "names.json"), "w") as f:
        json.dump(names, f)
    os.rename(making, folder)
    return data, names


def trial(args, base, work, index, where):
    folder = os.path.join(work, "trial-%s-%d" % (where or "control", index))
    data = os.path.join(folder, "data")
    shutil.copytree(base, data, symlinks=True)
    collector, port, log = start_collector(args.tool, folder)
    forwarder = Forwarder(port)
    try:
        first = command(args.tool, data, "p1", forwarder.url(), args.timeout)
        what = "no damage"
        if forwarder.arrived.wait(args.timeout):
            if where:
                what = damage(os.path.join(data, DATABASE), where, random.Random("%d-%s-%d" % (args.seed, where, index)),
                              folder, args.how, args.rightmost)
        else:
            what = "no batch sent"
        forwarder.release.set()
        status1, codes1, err1 = finish(first, args.timeout)
        second = command(args.tool, data, "p2", forwarder.url(), args.timeout)
        status2, codes2, err2 = finish(second, args.timeout)
        time.sleep(0.5)  # the collector logs a batch as it takes it
    finally:
        forwarder.server.shutdown()
        collector.terminate()
        collector.wait()
    names = received(log)[0] if os.path.exists(log) else {}
    stored = {"e%d" % i for i in range(args.events)} | set(args.base_names)
    stored |= {"p1"} if status1 == 0 else set()
    stored |= {"p2"} if status2 == 0 else set()
    left = left_stored(args.tool, data)
    twice = {n for n in stored if names.get(n, 0) > 1}
    missing = {n for n in stored if names.get(n, 0) == 0 and n not in left}
    result = {"what": what, "statuses": (status1, status2), "codes": (codes1, codes2), "twice": twice,
              "missing": missing, "left": len({n for n in stored if names.get(n, 0) == 0} & left),
              "errors": (err1, err2)}
    if args.keep and (twice or missing):
        for name, err in zip(("p1.err", "p2.err"), (err1, err2)):
            with open(os.path.join(folder, name), "w") as f:
                f.write(err)
        shutil.move(folder, os.path.join(args.keep, os.path.basename(folder)))
    else:
        shutil.rmtree(folder, ignore_errors=True)
    return result


def note(result, usual):
    extra = lambda codes, ordinary: ",".join(sorted(codes - ordinary)) or "-"
    return "statuses %s/%s, codes p1 %s, p2 %s" % (result["statuses"] + (extra(result["codes"][0], usual[0]),
                                                                        extra(result["codes"][1], usual[1])))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("tool")
    parser.add_argument("--where", choices=WHERE + ("both",), default="both")
    parser.add_argument("--trials", type=int, default=20)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--events", type=int, default=DEFAULT_EVENTS)
    parser.add_argument("--cache", default=os.path.join(tempfile.gettempdir(), "velmora-damage-trials"))
    parser.add_argument("--keep", help="a folder to move the trials that doubled or lost events into")
    parser.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT)
    parser.add_argument("--queued", action="store_true",
                        help="the base's events bundled into the queue first, by commands whose batches were refused")
    parser.add_argument("--rightmost", action="store_true",
                        help="damage the table's rightmost leaf, which the check before a table's first write reads")
    parser.add_argument("--how", choices=("met", "mark"), default="met",
                        help="met: another program commits after the damage (before it, for the log, whose "
                             "checksums are then made anew), so that the first command reads the page afresh and "
                             "meets the damage; mark: the mark of damage made, the log's checksums left as they are")
    parser.add_argument("--only", type=int, nargs="*", help="run only the trials of these numbers")
    parser.add_argument("--verbose", action="store_true", help="print each command's standard error")
    args = parser.parse_args()
    args.tool = os.path.abspath(args.tool)
    print("upload damage trials of %s, seed %d; load average at start %.2f %.2f %.2f"
          % ((args.tool, args.seed) + os.getloadavg()), flush=True)
    if args.queued:
        base, args.base_names = queued_base(args.tool, args.cache, args.events)
    else:
        base, args.base_names = base_folder(args.tool, args.cache, args.events), []
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
    work = tempfile.mkdtemp(prefix="velmora-upload-damage-")
    try:
        control = trial(args, base, work, 0, None)
        usual = control["codes"]
        print("control: received twice %d, missing %d, left stored %d; %s"
              % (len(control["twice"]), len(control["missing"]), control["left"], note(control, (set(), set()))))
        for where in (WHERE if args.where == "both" else (args.where,)):
            totals = {"twice": 0, "missing": 0, "doubled": 0, "lost": 0}
            print("\ndamage in the %s:" % where, flush=True)
            for index in (args.only or range(args.trials)):
                result = trial(args, base, work, index, where)
                print("%3d  %s\n     received twice %d, missing %d, left stored %d; %s%s"
                      % (index, result["what"], len(result["twice"]), len(result["missing"]), result["left"],
                         note(result, usual), "  <-" if result["twice"] else ""), flush=True)
                if args.verbose:
                    print("       twice: %s; missing: %s" % (" ".join(sorted(result["twice"])[:10]),
                                                          " ".join(sorted(result["missing"])[:10])))
                    for err in result["errors"]:
                        print("\n".join("       | " + l for l in err.splitlines() if "ACS34" in l or "ACS23" in l))
                totals["twice"] += len(result["twice"])
                totals["missing"] += len(result["missing"])
                totals["doubled"] += bool(result["twice"])
                totals["lost"] += bool(result["missing"])
            print("%s totals, %d trials: events received twice %d (in %d trials), missing %d (in %d trials)"
                  % (where, args.trials, totals["twice"], totals["doubled"], totals["missing"], totals["lost"]),
                  flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("\nload average at end %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
