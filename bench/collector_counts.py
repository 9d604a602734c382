"""The local collector as the upload benchmarks run it: started on a free
loopback port with its batches logged to a file, and the counts read back
from that log and from what the data folder still holds."""
import collections, json, os, subprocess, time


def start_collector(tool, folder):
    """Starts `tool collector` with its log in `folder`; returns the process,
    its port and the log's path once it listens."""
    log = os.path.join(folder, "collector.jsonl")
    # The collector prints every batch: its output goes to a file, not a pipe that could fill.
    printed = open(os.path.join(folder, "collector.out"), "w+")
    collector = subprocess.Popen([tool, "collector", "--port", "0", "--log", log], stdout=printed,
                                 stderr=subprocess.DEVNULL)
    while "listening on" not in open(printed.name).read():
        if collector.poll() is not None:
            raise SystemExit(tool + ": the collector did not start")
        time.sleep(0.05)
    return collector, int(open(printed.name).readline().strip().rsplit(":", 1)[1]), log


def received(log):
    """What the collector's log holds: how often each event name arrived,
    the first-open events among them and the app instance IDs sent."""
    names, first_opens, instance_ids = collections.Counter(), 0, set()
    with open(log) as lines:
        for line in lines:
            for bundle in json.loads(line).get("bundles", []):
                instance_ids.add(bundle.get("app_instance_id"))
                for event in bundle.get("events", []):
                    names[event["name"]] += 1
                    first_opens += event["name"] == "_f"
    return names, first_opens, instance_ids


def left_stored(tool, data):
    """The names of the events still in the data folder: raw or queued."""
    dump = json.loads(subprocess.run([tool, "analytics", "dump", "--data", data], capture_output=True,
                                     text=True).stdout)
    return {e["name"] for e in dump["raw_events"]} | {n for b in dump["queued_bundles"] for n in b["events"]}


def tally(stored, received, left):
    """What became of the events stored: (received, received twice, left
    stored, lost), each a set of names. Lost is stored but neither received
    nor left in the folder."""
    got = {name for name in stored if received[name] > 0}
    twice = {name for name in stored if received[name] > 1}
    return got, twice, (stored - got) & left, stored - got - left
