#!/usr/bin/env python3
"""Four `velmora analytics log` loops on one data folder against a measurement
service that answers batches late: how many events were stored, received,
received twice and lost.

    slow_service_uploads.py VELMORA [VELMORA ...] [--seconds 40] [--delays 0,0.3,0.8,12] [--loggers 4]

Each tool given (`build/tools/velmora`, or an older build to compare with) is
run at each delay on a fresh folder, the delays in turn. The service is the
local collector behind a small forwarder of this script: a batch reaches the
collector (and counts as received) at once, and its answer goes back only
after the delay, as from a service that takes a batch and answers slowly;
other requests are answered at once. Each logger logs events one command
after the other until the seconds are up, and the last commands are waited
for. Counted: an event whose command exited 0 is stored; received when the
collector got it, twice when more than once; left stored when not received
but still in the database; lost when stored but neither received nor left.
Printed beside each row: the load average at its end and the context
switches of the whole machine during it.
"""
import argparse, os, shutil, subprocess, tempfile, time

from collector_counts import left_stored, received as counts_received, start_collector, start_forwarder, tally


def context_switches():
    with open("/proc/stat") as stat:
        for line in stat:
            if line.startswith("ctxt "):
                return int(line.split()[1])
    return 0


def forwarder(collector_port, delay):
    """A loopback HTTP server that hands each request to the collector at
    once and answers a batch (POST /a) only `delay` seconds later."""
    return start_forwarder(collector_port, lambda: time.sleep(delay))


def run(tool, delay, seconds, loggers):
    folder = tempfile.mkdtemp(prefix="velmora-slow-")
    data = os.path.join(folder, "data")
    collector, port, log = start_collector(tool, folder)
    relay = forwarder(port, delay)
    env = dict(os.environ, VELMORA_MEASUREMENT_SERVICE_URL="http://127.0.0.1:%d" % relay.server_address[1])
    # Each logger: events w<i>_e<j>, one command after the other until the time is up.
    script = ('end=$(( $(date +%s) + $3 )); j=0; '
              'while [ $(date +%s) -lt $end ]; do '
              '"$0" analytics log w$1_e$j --data "$2" >/dev/null 2>&1 && echo w$1_e$j; j=$((j+1)); done')
    switches = context_switches()
    started = time.monotonic()
    workers = [subprocess.Popen(["sh", "-c", script, tool, str(i), data, str(seconds)], env=env,
                                stdout=subprocess.PIPE, text=True) for i in range(loggers)]
    stored = set()
    for worker in workers:
        stored.update(worker.communicate()[0].split())
    elapsed = time.monotonic() - started
    switches = context_switches() - switches
    load = os.getloadavg()
    # The collector logs a batch as it takes it: the last one may still be on its way.
    time.sleep(0.5)
    relay.shutdown()
    collector.terminate()
    collector.wait()
    got, twice, left, lost = tally(stored, counts_received(log)[0], left_stored(tool, data))
    print(f"delay {delay:5.1f} s: stored {len(stored):5d}, received {len(got):5d}, received twice {len(twice):4d}, "
          f"left stored {len(left):4d}, lost {len(lost):3d}; ran {elapsed:5.1f} s, "
          f"load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}, context switches {switches}", flush=True)
    shutil.rmtree(folder)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("tools", nargs="+")
    parser.add_argument("--seconds", type=float, default=40)
    parser.add_argument("--delays", default="0,0.3,0.8,12")
    parser.add_argument("--loggers", type=int, default=4)
    options = parser.parse_args()
    for tool in options.tools:
        print(os.path.abspath(tool), flush=True)
        for delay in [float(d) for d in options.delays.split(",")]:
            run(os.path.abspath(tool), delay, int(options.seconds), options.loggers)
