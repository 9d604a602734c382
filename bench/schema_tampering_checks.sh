#!/usr/bin/env bash
# What one `velmora analytics log` does with a measurement file whose schema was tampered with by hand.
#
#     bench/schema_tampering_checks.sh VELMORA [EVENTS] [FOLDER]
#
# VELMORA is the tool of the build under check (`build/tools/velmora`). A data folder of EVENTS
# events (3001 by default) is logged with it once, under FOLDER (a new folder under /tmp by default,
# left in place to look into), and each case below works on a copy of it, made with the sqlite3
# shell and dd as a person would, then logs one event and prints what became of the rows and files:
#   tail       the raw_events declaration ends in statements that attach a database outside the data
#              folder and write into it, and the header's write version is 3 (a file SQLite reads but
#              will not write): a sound build makes nothing outside the data folder
#   tail-only  the same tail without the header byte
#   wipe       a trigger that deletes every earlier event when one is stored: a sound build keeps them
#   rename     a trigger that renames the new event: a sound build stores it under its own name
#   index      one byte of the raw_events_by_timestamp declaration, `ON` made `0N`: a sound build
#              keeps every row that reads with writable_schema on
set -u
tool=$(realpath "$1")
events=${2:-3001}
work=${3:-$(mktemp -d /tmp/velmora-tampering-XXXXXX)}
database="Application Support/Rozeda/Measurement/rozeda-app-measurement.sql"
# The warnings every command prints on a folder without services.
usual='\[I-ACS(800023|029023|044002|023048)\]'

db() { echo "$work/$1/$database"; }

make_base() {
  if [ -f "$(db base)" ]; then return; fi
  echo "logging $events events into $work/base"
  for ((i = 0; i < events; i++)); do
    "$tool" analytics log "e$i" --data "$work/base" 2>/dev/null || { echo "event $i not stored"; exit 1; }
  done
  sqlite3 "$(db base)" "PRAGMA wal_checkpoint(TRUNCATE)" >/dev/null
}

fresh() {
  rm -rf "${work:?}/$1"
  cp -a "$work/base" "$work/$1"
}

# Every event as "rowid name", as SQLite reads the file with writable_schema on.
events_of() {
  [ -f "$1" ] || return 0
  sqlite3 -readonly "$1" "PRAGMA writable_schema=ON" "SELECT rowid || ' ' || name FROM raw_events ORDER BY rowid" \
    2>/dev/null | sort
}

log_one() {
  local case=$1 event=$2 status
  events_of "$(db "$case")" >"$work/$case.before"
  "$tool" analytics log "$event" --data "$work/$case" 2>"$work/$case.stderr"
  status=$?
  events_of "$(db "$case")" >"$work/$case.after"
  echo "  velmora analytics log $event: exit status $status"
  grep -Ev "$usual" "$work/$case.stderr" | cut -c1-300 | sed 's/^/    /'
  echo "  events before: $(wc -l <"$work/$case.before"); kept after (same row ID and name): $(comm -12 "$work/$case.before" "$work/$case.after" | wc -l)"
  echo "  $event stored under its name: $(grep -c " $event\$" "$work/$case.after"); rows after that were not there before: $(comm -13 "$work/$case.before" "$work/$case.after" | tr '\n' ',' | cut -c1-200)"
  echo "  triggers in the file at the path: $(sqlite3 -readonly "$(db "$case")" "PRAGMA writable_schema=ON" "SELECT group_concat(name) FROM sqlite_master WHERE type = 'trigger'" 2>/dev/null)"
  echo "  files set aside:"
  for aside in "$(db "$case")".corrupt*; do
    case $aside in *-wal|*-shm|*-lock) continue ;; esac
    [ -f "$aside" ] && echo "    $(basename "$aside"): $(events_of "$aside" | wc -l) events read with writable_schema on"
  done
}

tail_case() {
  local case=$1 header=$2 elsewhere="$work/$1-elsewhere"
  echo
  echo "== $case: the raw_events declaration attaches $elsewhere/x.db and writes into it$([ "$header" = 3 ] && echo ', and the write version is 3')"
  fresh "$case"
  rm -rf "$elsewhere" && mkdir -p "$elsewhere"
  sqlite3 "$(db "$case")" "PRAGMA writable_schema=ON" \
    "UPDATE sqlite_master SET sql = sql || '; ATTACH ''$elsewhere/x.db'' AS x; CREATE TABLE x.t(a); INSERT INTO x.t VALUES(''from the file'')' WHERE name = 'raw_events'"
  echo "  quick_check before: $(sqlite3 -readonly "$(db "$case")" "PRAGMA quick_check")"
  if [ "$header" = 3 ]; then printf '\003' | dd of="$(db "$case")" bs=1 seek=18 conv=notrunc status=none; fi
  log_one "$case" s2
  echo "  made outside the data folder: $(find "$elsewhere" -mindepth 1 -printf '%f ')$([ -f "$elsewhere/x.db" ] && sqlite3 -readonly "$elsewhere/x.db" 'SELECT group_concat(a) FROM t')"
  echo "  the declaration at the path keeps the tail: $(sqlite3 -readonly "$(db "$case")" "PRAGMA writable_schema=ON" "SELECT count(*) FROM sqlite_master WHERE sql LIKE '%ATTACH%'" 2>/dev/null)"
}

trigger_case() {
  local case=$1 event=$2 body=$3
  echo
  echo "== $case: CREATE TRIGGER $case AFTER INSERT ON raw_events BEGIN $body END"
  fresh "$case"
  sqlite3 "$(db "$case")" "CREATE TRIGGER $case AFTER INSERT ON raw_events BEGIN $body END"
  log_one "$case" "$event"
}

index_case() {
  local at prefix='INDEX raw_events_by_timestamp '
  echo
  echo "== index: one byte of the raw_events_by_timestamp declaration, ON made 0N"
  fresh index
  at=$(grep -boa "${prefix}ON" "$(db index)" | head -1 | cut -d: -f1)
  at=$((at + ${#prefix}))
  printf '0' | dd of="$(db index)" bs=1 seek="$at" conv=notrunc status=none
  echo "  the declaration now: $(dd if="$(db index)" bs=1 skip=$((at - ${#prefix})) count=$((${#prefix} + 25)) status=none | tr -c '[:print:]' '.')"
  log_one index i1
}

make_base
tail_case tail 3
tail_case tail-only 2
trigger_case wipe t1 "DELETE FROM raw_events WHERE rowid < NEW.rowid;"
trigger_case rename t2 "UPDATE raw_events SET name = 'renamed' WHERE rowid = NEW.rowid;"
index_case
echo
echo "folders left in $work"
