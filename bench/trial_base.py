"""The base data folder the damage trials copy: events logged by the build under trial, made once per build."""
import hashlib, os, shutil, sqlite3, subprocess, sys

DATABASE = os.path.join("Application Support", "Rozeda", "Measurement", "rozeda-app-measurement.sql")
HASH_CHUNK = 1 << 20
BUILD_KEY_LENGTH = 16
PROGRESS_EVERY = 500
# A run stores nothing outside its data folder and sends nothing: no service address reaches it.
KEPT_VARIABLES = ("VELMORA_RESOURCES", "VELMORA_LOCK_WAIT_SECONDS")


def tool_environment():
    return {k: v for k, v in os.environ.items() if not k.startswith("VELMORA_") or k in KEPT_VARIABLES}


def build_key(tool):
    digest = hashlib.sha256()
    with open(tool, "rb") as binary:
        while chunk := binary.read(HASH_CHUNK):
            digest.update(chunk)
    return digest.hexdigest()[:BUILD_KEY_LENGTH]


def log_events(tool, data, count):
    for i in range(count):
        done = subprocess.run([tool, "analytics", "log", "e%d" % i, "--data", data], env=tool_environment(),
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            raise SystemExit("%s: event %d of the base was not stored (status %d): %s"
                             % (tool, i, done.returncode, done.stderr.strip()[-400:]))
        if (i + 1) % PROGRESS_EVERY == 0:
            print("  base: %d of %d events logged" % (i + 1, count), file=sys.stderr)


def checkpoint(database):
    """Moves the log's pages into the file, so that damage to the file's pages is damage to the data."""
    conn = sqlite3.connect(database)
    try:
        busy, _, _ = conn.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchone()
    finally:
        conn.close()
    wal = database + "-wal"
    if busy or (os.path.exists(wal) and os.path.getsize(wal) > 0):
        raise SystemExit("%s: the log could not be checkpointed into the file" % database)


def base_folder(tool, cache, events):
    """The data folder of `events` events logged by `tool`, made the first time and kept under `cache`."""
    folder = os.path.join(cache, "%s-%d" % (build_key(tool), events))
    data = os.path.join(folder, "data")
    if os.path.isdir(data):
        return data
    making = "%s.making-%d" % (folder, os.getpid())
    shutil.rmtree(making, ignore_errors=True)
    print("making the base of %d events with %s in %s" % (events, tool, folder), file=sys.stderr)
    log_events(tool, os.path.join(making, "data"), events)
    checkpoint(os.path.join(making, "data", DATABASE))
    os.rename(making, folder)
    return data
