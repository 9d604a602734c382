"""The local collector as the upload benchmarks run it: started on a free
loopback port with its batches logged to a file, and the counts read back
from that log and from what the data folder still holds."""
import collections, http.client, http.server, json, os, subprocess, threading, time


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


# Headers a forwarder passes on to the collector, and those of the
# collector's answer it does not copy (it sets its own).
_FORWARDED = ("content-type", "content-encoding", "if-modified-since", "if-none-match")
_NOT_COPIED = ("content-length", "connection", "transfer-encoding", "date", "server")


def start_forwarder(collector_port, on_batch):
    """A loopback HTTP server that hands each request to the collector at
    once and gives the client the collector's answer; for a batch (POST /a)
    `on_batch()` runs between the two, so that a trial can hold or slow the
    answer. Returns the server, serving on its own threads."""

    class Handler(http.server.BaseHTTPRequestHandler):
        def relay(self):
            body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
            headers = {k: v for k, v in self.headers.items() if k.lower() in _FORWARDED}
            connection = http.client.HTTPConnection("127.0.0.1", collector_port, timeout=120)
            connection.request(self.command, self.path, body=body, headers=headers)
            answer = connection.getresponse()
            payload = answer.read()
            if self.command == "POST" and self.path.split("?")[0] == "/a":
                on_batch()
            try:
                self.send_response(answer.status)
                for name, value in answer.getheaders():
                    if name.lower() not in _NOT_COPIED:
                        self.send_header(name, value)
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)
            except (BrokenPipeError, ConnectionResetError):
                pass  # the client gave up waiting

        do_GET = do_POST = relay

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


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
