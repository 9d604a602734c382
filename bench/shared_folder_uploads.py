#!/usr/bin/env python3
"""Many `velmora analytics log` processes on one data folder, with the local
collector up: how many events were stored, uploaded, uploaded twice, lost.

    shared_folder_uploads.py VELMORA [PROCESSES ...]

VELMORA is the tool (`build/tools/velmora`); each count of processes (2, 20
and 100 by default) gets a fresh folder, and its processes start together,
each logging 3 events one after the other. Counted: an event whose command
exited 0 is stored; uploaded when the collector received it, twice when more
than once; left stored when not uploaded but still in the database; lost when
stored but neither received nor left in the database. Also printed: the
first-open events and the app instance IDs the collector received.
"""
import os, shutil, subprocess, sys, tempfile, time

from collector_counts import left_stored, received as counts_received, start_collector, tally

EVENTS_PER_PROCESS = 3


def run(tool, processes):
    folder = tempfile.mkdtemp(prefix="velmora-shared-")
    data = os.path.join(folder, "data")
    collector, port, log = start_collector(tool, folder)
    env = dict(os.environ, VELMORA_MEASUREMENT_SERVICE_URL="http://127.0.0.1:%d" % port)
    script = " && ".join(f'"$0" analytics log w$1_e{j} --data "$2" >/dev/null 2>&1 && echo w$1_e{j}'
                         for j in range(EVENTS_PER_PROCESS))
    workers = [subprocess.Popen(["sh", "-c", script, tool, str(i), data], env=env, stdout=subprocess.PIPE, text=True)
               for i in range(processes)]
    stored = set()
    for worker in workers:
        stored.update(worker.communicate()[0].split())
    # The collector logs a batch as it answers it: the last one may still be on its way.
    time.sleep(0.5)
    collector.terminate()
    collector.wait()
    received, first_opens, instance_ids = counts_received(log)
    uploaded, twice, left, lost = tally(stored, received, left_stored(tool, data))
    print(f"{processes:4d} processes: logged {processes * EVENTS_PER_PROCESS}, stored {len(stored)}, "
          f"uploaded {len(uploaded)}, uploaded twice {len(twice)}, left stored {len(left)}, "
          f"lost {len(lost)}; _f received {first_opens}, app instance IDs {len(instance_ids)}")
    shutil.rmtree(folder)


if __name__ == "__main__":
    for count in [int(a) for a in sys.argv[2:]] or [2, 20, 100]:
        run(os.path.abspath(sys.argv[1]), count)
