#!/usr/bin/env python3
"""Propagation latency of `brindle sync` across a fleet of local databases, next to etcd's own
put-to-watch latency on the same cluster.

    cmake --build build -j2        # the brindle tool and the Python module
    PYTHONPATH=build/python python3 bench/fleet_bench.py [--rate 1000] [--seconds 5]
        [--hosts 2,4,8] [--members 1,3] [--tool build/tools/brindle] [--json]

For each cluster size (1 and 3 etcd members on loopback, started through tests/sync's
EtcdCluster):

- Anchor: etcd alone. One client process puts a key through the JSON gateway at --rate (about
  2,000 puts); another client process watches the prefix and records, for every event, now minus
  the put time carried in the value.
- Fleet: K databases ("hosts", one folder each), each with its own running
  `brindle --db DBk sync --etcd URLS --prefix /fleet App --json`. A writer process on host 1
  sets App\\w's property t at --rate for --seconds through the Python module (shared open), the
  value being its clock (time.time_ns()) at the change. A watcher process on every host follows
  the database's changes (read-only open), reads t on each change and records now - t: the time
  from the commit on host 1 to the value being visible in host k's database. Host 1's own
  watcher is the floor: what a change costs to reach another process of the same database.

A host may see only the last of several quick changes (a later value overwrites an earlier one
before its watcher reads it; host 1's sync may also take several local changes into one etcd
write, counted as "pushed"). "arrived" counts the distinct values each host saw, and p50/p99
are over those. "every change" is over all values written: the time until the host showed
that value or a later one, which is what a reader there waited for the change.
All processes share one machine, so with many hosts the figures include CPU contention.
Every process started here is stopped on the way out, also on Ctrl-C or a failure.
"""
import argparse
import base64
import http.client
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PYTHON_MODULE_DIR = ROOT / "build" / "python"
CLUSTER_HELPER_DIR = ROOT / "tests" / "sync"
ANCHOR_PUTS = 2000
FLEET_PREFIX = "/fleet"
ANCHOR_PREFIX = "/anchor/"
MAIN_KEY = "App"
WRITTEN_KEY = "App\\w"
STARTUP_TIMEOUT = 60.0
# A watcher that sees no change for this long gives up waiting for the writer's last value.
IDLE_LIMIT = 20.0


# Statistics ----------------------------------------------------------------------------------


def percentile(sorted_values, fraction):
    """The nearest-rank percentile of an ascending list; None for an empty one."""
    if not sorted_values:
        return None
    rank = max(1, math.ceil(len(sorted_values) * fraction - 1e-9))
    return sorted_values[rank - 1]


def latency_summary(latencies_ns):
    """p50/p99/max in milliseconds of a list of nanosecond latencies."""
    ordered = sorted(latencies_ns)

    def ms(value):
        return None if value is None else round(value / 1e6, 3)

    return {"samples": len(ordered), "p50_ms": ms(percentile(ordered, 0.50)),
            "p99_ms": ms(percentile(ordered, 0.99)), "max_ms": ms(ordered[-1] if ordered else None)}


class Pacer:
    """Yields the numbers of changes due at `rate` per second, sleeping until each is due, until
    `limit` changes or `seconds` have passed; a late loop goes on at once without catching up
    by bursts beyond what is due."""

    def __init__(self, rate, seconds=None, limit=None):
        self.interval = 1.0 / rate
        self.seconds = seconds
        # What is due within `seconds`, counted without the rounding of a clock difference.
        due_in_time = None if seconds is None else math.ceil(rate * seconds - 1e-9)
        self.limit = min(n for n in (limit, due_in_time, sys.maxsize) if n is not None)
        self.sent = 0
        self.elapsed = 0.0

    def __iter__(self):
        start = time.perf_counter()
        while self.sent < self.limit:
            now = time.perf_counter()
            if self.seconds is not None and now - start >= self.seconds:
                break  # fell behind: the run keeps its length, not its count
            due = start + self.sent * self.interval
            if due > now:
                time.sleep(due - now)
            yield self.sent
            self.sent += 1
        self.elapsed = time.perf_counter() - start

    def report(self):
        """What was really sent and at which rate."""
        rate = self.sent / self.elapsed if self.elapsed > 0 else 0.0
        return {"sent": self.sent, "seconds": round(self.elapsed, 3), "rate": round(rate, 1)}


# etcd's JSON gateway -------------------------------------------------------------------------


def _b64(text):
    return base64.b64encode(text.encode()).decode()


def _prefix_end(prefix):
    """The end of the key range of every key that starts with `prefix`."""
    raw = prefix.encode()
    return base64.b64encode(raw[:-1] + bytes([raw[-1] + 1])).decode()


def _host_port(url):
    parsed = urllib.parse.urlsplit(url if "://" in url else "http://" + url)
    return parsed.hostname, parsed.port or 80


class Gateway:
    """One keep-alive connection to an etcd member's JSON gateway."""

    def __init__(self, url, timeout=10.0):
        host, port = _host_port(url)
        self.connection = http.client.HTTPConnection(host, port, timeout=timeout)
        self.stream = None  # the response a watch streams its events on

    def call(self, path, body):
        """POSTs a JSON body; the decoded JSON answer. RuntimeError on an HTTP error."""
        self.connection.request("POST", path, json.dumps(body),
                                {"Content-Type": "application/json"})
        response = self.connection.getresponse()
        answer = response.read()
        if response.status != 200:
            raise RuntimeError(f"etcd {path}: HTTP {response.status}: {answer[:200]!r}")
        return json.loads(answer)

    def put(self, key, value):
        self.call("/v3/kv/put", {"key": _b64(key), "value": _b64(value)})

    def delete_prefix(self, prefix):
        self.call("/v3/kv/deleterange", {"key": _b64(prefix), "range_end": _prefix_end(prefix)})

    def watch(self, prefix):
        """Starts a watch of every key below `prefix`; returns once etcd has created it. Then
        events() yields (key, value) for each put that follows."""
        self.connection.request("POST", "/v3/watch", json.dumps(
            {"create_request": {"key": _b64(prefix), "range_end": _prefix_end(prefix)}}))
        self.stream = self.connection.getresponse()
        if self.stream.status != 200:
            raise RuntimeError(f"etcd watch: HTTP {self.stream.status}")
        first = json.loads(self.stream.readline())
        if not first.get("result", {}).get("created"):
            raise RuntimeError(f"etcd watch not created: {first}")

    def events(self):
        while line := self.stream.readline():
            result = json.loads(line).get("result", {})
            for event in result.get("events", []):
                if event.get("type", "PUT") == "PUT":
                    kv = event["kv"]
                    yield (base64.b64decode(kv["key"]).decode(),
                           base64.b64decode(kv.get("value", "")).decode())


# Roles: the measuring processes, each this script run with --role ----------------------------


def say(record):
    """One JSON line to the parent, flushed at once (the parent waits for it)."""
    print(json.dumps(record), flush=True)


def role_anchor_watch(options):
    """Watches the anchor prefix until the putter's `done` key; reports every latency."""
    gateway = Gateway(options["url"], timeout=IDLE_LIMIT)
    gateway.watch(ANCHOR_PREFIX)
    say({"ready": True})
    latencies = []
    try:
        for key, value in gateway.events():
            if key.endswith("done"):
                break
            latencies.append(time.time_ns() - int(value))
    except TimeoutError:
        pass  # the putter stopped early; report what arrived
    say({"latencies": latencies})


def role_anchor_put(options):
    """Puts one key at the given rate, its value the put time; then the `done` key."""
    gateway = Gateway(options["url"])
    pacer = Pacer(options["rate"], limit=options["count"])
    for _ in pacer:
        gateway.put(ANCHOR_PREFIX + "t", str(time.time_ns()))
    gateway.put(ANCHOR_PREFIX + "done", "1")
    say(pacer.report())


def role_writer(options):
    """Sets App\\w's t to the commit time at the given rate, then sets `done`; reports every
    value it wrote."""
    import brindle

    written = []
    with brindle.open(options["db"], mode="shared") as db, \
            db.key(WRITTEN_KEY, create=True) as key:
        pacer = Pacer(options["rate"], seconds=options["seconds"])
        for _ in pacer:
            value = time.time_ns()
            key["t"] = brindle.Int64(value)
            written.append(value)
        key["done"] = 1
    say({**pacer.report(), "written": written})


def role_watcher(options):
    """Notes [value, when seen] for every newer value of App\\w's t this database shows, until
    it shows `done` (or nothing changes for IDLE_LIMIT seconds)."""
    import brindle

    seen = []
    with brindle.open(options["db"], mode="read") as db, db.key(WRITTEN_KEY) as key:
        last = key.get("t")
        with db.changes(WRITTEN_KEY, timeout=IDLE_LIMIT) as changes:
            say({"ready": True})
            for change in changes:
                value = key.get("t")
                if value > last:
                    seen.append([value, time.time_ns()])
                    last = value
                if change.name == "done" or change.kind == "resync":
                    if key.get("done"):
                        break
    say({"seen": seen})


ROLES = {"anchor-watch": role_anchor_watch, "anchor-put": role_anchor_put,
         "writer": role_writer, "watcher": role_watcher}


# Child processes -----------------------------------------------------------------------------


class Child:
    """A started process whose stdout (JSON lines) and stderr go to files in the run folder."""

    def __init__(self, name, command, folder, env):
        self.name = name
        self.out_path = Path(folder) / f"{name}.out"
        self.err_path = Path(folder) / f"{name}.err"
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            # A session of its own: Ctrl-C reaches only this script, which stops the children
            # in order (sync processes first, then etcd).
            self.process = subprocess.Popen(command, stdout=out, stderr=err, env=env,
                                            start_new_session=True)
        self.read_lines = 0

    def records(self):
        """Every complete JSON line written so far (other lines are skipped)."""
        with open(self.out_path, "rb") as out:
            lines = out.read().split(b"\n")[:-1]
        parsed = []
        for line in lines:
            try:
                parsed.append(json.loads(line))
            except ValueError:
                pass
        return parsed

    def wait_for(self, accept, timeout):
        """The first new record for which accept(record) holds; RuntimeError when the process
        ends or `timeout` passes first."""
        deadline = time.monotonic() + timeout
        while True:
            # Whether it had ended before the read: then the read holds all it wrote.
            ended = self.process.poll() is not None
            records = self.records()
            for index in range(self.read_lines, len(records)):
                if accept(records[index]):
                    self.read_lines = index + 1
                    return records[index]
            self.read_lines = len(records)
            if ended:
                raise RuntimeError(f"{self.name} exited ({self.process.returncode}): "
                                   f"{self.stderr_tail()}")
            if time.monotonic() > deadline:
                raise RuntimeError(f"{self.name}: nothing awaited within {timeout:.0f} s: "
                                   f"{self.stderr_tail()}")
            time.sleep(0.02)

    def stderr_tail(self):
        return self.err_path.read_text(errors="replace")[-600:].strip()

    def stop(self, grace=10.0):
        """SIGTERM, then SIGKILL after `grace` seconds; the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(grace)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.returncode


class Children:
    """Every child of one run; a context manager that stops those still running on exit."""

    def __init__(self, folder, env):
        self.folder = folder
        self.env = env
        self.started = []

    def start(self, name, command):
        # An interrupt between the start of a process and its listing here would leave it
        # running: it waits until the child is listed.
        with interrupts_deferred():
            child = Child(name, command, self.folder, self.env)
            self.started.append(child)
        return child

    def role(self, name, role, **options):
        return self.start(name, [sys.executable, __file__, "--role", role, json.dumps(options)])

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for child in reversed(self.started):
            child.stop()


def child_environment():
    """This environment with the Python module and the cluster helper on the module path,
    after what PYTHONPATH names already."""
    env = dict(os.environ)
    paths = [str(PYTHON_MODULE_DIR), str(CLUSTER_HELPER_DIR)]
    if env.get("PYTHONPATH"):
        paths.insert(0, env["PYTHONPATH"])  # a module given by the caller (another build) wins
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


# The runs ------------------------------------------------------------------------------------


def run_anchor(cluster, rate, folder):
    """etcd's own put-to-watch latency, both clients on the first endpoint (the member the
    sync processes use first)."""
    url = cluster.endpoints[0]
    with Children(folder, child_environment()) as children:
        watcher = children.role("anchor-watch", "anchor-watch", url=url)
        watcher.wait_for(lambda record: record.get("ready"), STARTUP_TIMEOUT)
        putter = children.role("anchor-put", "anchor-put", url=url, rate=rate, count=ANCHOR_PUTS)
        sent = putter.wait_for(lambda record: "sent" in record, ANCHOR_PUTS / rate + 60)
        latencies = watcher.wait_for(lambda record: "latencies" in record,
                                     IDLE_LIMIT + 10)["latencies"]
    return {**sent, "arrived": len(latencies), **latency_summary(latencies)}


def prepare_first_host(database):
    """Host 1 holds App\\w with t and done before any sync starts; the others start empty and
    receive it from etcd."""
    import brindle

    with brindle.open(database, mode="shared") as db:
        db.create_main_key(MAIN_KEY).close()
        with db.key(WRITTEN_KEY, create=True) as key:
            key["t"] = brindle.Int64(0)
            key["done"] = 0


def wait_until_present(database, timeout):
    """Waits until the database shows App\\w (the sync process has received it)."""
    import brindle

    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with brindle.open(database, mode="read") as db:
            try:
                db.key(WRITTEN_KEY).close()
                return
            except brindle.KeyNotFound:
                pass
        time.sleep(0.1)
    raise RuntimeError(f"{database}: {WRITTEN_KEY} did not arrive within {timeout:.0f} s")


def start_sync(children, tool, database, urls, name):
    """Starts one host's sync process and waits for its first "ready"."""
    sync = children.start(name, [str(tool), "--db", database, "sync", "--etcd", urls,
                                 "--prefix", FLEET_PREFIX, MAIN_KEY, "--json"])
    sync.wait_for(lambda record: record.get("event") == "ready", STARTUP_TIMEOUT)
    return sync


def live_events(sync):
    """How many events of each kind a sync process printed after its first "ready" (what the
    writer's changes caused, not the start's reconciliation)."""
    counts = {}
    records = sync.records()
    ready = next((index for index, record in enumerate(records)
                  if record.get("event") == "ready"), len(records))
    for record in records[ready + 1:]:
        kind = record.get("event", "?")
        counts[kind] = counts.get(kind, 0) + 1
    return counts


def run_fleet(cluster, hosts, args, folder):
    """One fleet run of `hosts` databases on the cluster; see the module's description."""
    Gateway(cluster.endpoints[0]).delete_prefix(FLEET_PREFIX)
    databases = [str(Path(folder) / f"host{number}" / "db") for number in range(1, hosts + 1)]
    prepare_first_host(databases[0])
    with Children(folder, child_environment()) as children:
        syncs = [start_sync(children, args.tool, database, cluster.url, f"sync{number}")
                 for number, database in enumerate(databases, 1)]
        for database in databases[1:]:
            wait_until_present(database, STARTUP_TIMEOUT)
        watchers = [children.role(f"watch{number}", "watcher", db=database)
                    for number, database in enumerate(databases, 1)]
        for watcher in watchers:
            watcher.wait_for(lambda record: record.get("ready"), STARTUP_TIMEOUT)
        writer = children.role("writer", "writer", db=databases[0], rate=args.rate,
                               seconds=args.seconds)
        sent = writer.wait_for(lambda record: "sent" in record, args.seconds + 60)
        results = [watcher.wait_for(lambda record: "seen" in record, IDLE_LIMIT + 30)
                   for watcher in watchers]
        statuses = [sync.stop() for sync in syncs]
    return fleet_result(hosts, sent, results, [live_events(sync) for sync in syncs], statuses)


def arrival_latencies(seen):
    """now - t for every value a host saw."""
    return [when - value for value, when in seen]


def supersede_latencies(written, seen):
    """For every written value, the time until the host showed it or a later one: what a
    reader of that host waited for the change, whether or not the value itself arrived."""
    latencies = []
    position = 0
    for value in written:
        while position < len(seen) and seen[position][0] < value:
            position += 1
        if position == len(seen):
            break  # never shown (the run ended early); not a latency
        latencies.append(seen[position][1] - value)
    return latencies


def fleet_result(hosts, sent, results, events, statuses):
    """The figures of one fleet run: host 1's own watcher apart, the other hosts together.
    `pushed` counts host 1's etcd writes: its sync process may take several quick local
    changes into one write, and the other hosts can only see what it wrote."""
    written = sent.pop("written")
    others = [result["seen"] for result in results[1:]]
    arrived = [len(seen) for seen in others]
    every_change = [latency for seen in others for latency in supersede_latencies(written, seen)]
    return {"hosts": hosts, **sent,
            **latency_summary([latency for seen in others for latency in arrival_latencies(seen)]),
            "every_change": latency_summary(every_change),
            "pushed": events[0].get("pushed", 0),
            "arrived_mean": round(sum(arrived) / len(arrived), 1), "arrived_min": min(arrived),
            "local": latency_summary(arrival_latencies(results[0]["seen"])),
            "per_host": [latency_summary(arrival_latencies(result["seen"])) for result in results],
            "sync_events": events, "sync_exit_statuses": statuses}


# Reporting -----------------------------------------------------------------------------------


def _cell(value):
    return "-" if value is None else f"{value:,.2f}" if isinstance(value, float) else f"{value:,}"


def markdown_table(runs):
    """The results as a Markdown table, one row per anchor and per fleet size."""
    lines = ["| etcd members | what | changes sent | sustained /s | pushed to etcd "
             "| arrived per host (mean, min) | p50 ms | p99 ms | every change p50 / p99 ms "
             "| host 1 watcher p50 / p99 ms |",
             "|---|---|---|---|---|---|---|---|---|---|"]
    for run in runs:
        anchor = run["anchor"]
        lines.append(f"| {run['members']} | etcd put → watch | {_cell(anchor['sent'])} "
                     f"| {_cell(anchor['rate'])} | {_cell(anchor['sent'])} "
                     f"| {_cell(anchor['arrived'])} "
                     f"| {_cell(anchor['p50_ms'])} | {_cell(anchor['p99_ms'])} | | |")
        for fleet in run["fleet"]:
            lines.append(
                f"| {run['members']} | {fleet['hosts']} hosts | {_cell(fleet['sent'])} "
                f"| {_cell(fleet['rate'])} | {_cell(fleet['pushed'])} "
                f"| {_cell(fleet['arrived_mean'])}, {_cell(fleet['arrived_min'])} "
                f"| {_cell(fleet['p50_ms'])} | {_cell(fleet['p99_ms'])} "
                f"| {_pair(fleet['every_change'])} | {_pair(fleet['local'])} |")
    return "\n".join(lines)


def _pair(summary):
    return f"{_cell(summary['p50_ms'])} / {_cell(summary['p99_ms'])}"


# Command line --------------------------------------------------------------------------------


def number_list(text):
    return [int(part) for part in text.split(",") if part]


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rate", type=float, default=1000.0,
                        help="changes (and anchor puts) per second (default 1000)")
    parser.add_argument("--seconds", type=float, default=5.0,
                        help="how long the fleet writer runs (default 5)")
    parser.add_argument("--hosts", type=number_list, default=[2, 4, 8],
                        help="fleet sizes, comma-separated (default 2,4,8)")
    parser.add_argument("--members", type=number_list, default=[1, 3],
                        help="etcd cluster sizes, comma-separated (default 1,3)")
    parser.add_argument("--tool", type=Path, default=ROOT / "build" / "tools" / "brindle",
                        help="the brindle tool (default build/tools/brindle)")
    parser.add_argument("--json", action="store_true",
                        help="print the results as one JSON document instead of the table")
    parser.add_argument("--anchor-only", action="store_true",
                        help="measure etcd alone: no fleet, no brindle tool needed")
    parser.add_argument("--keep", action="store_true",
                        help="keep the run folder (databases, logs) and print its path")
    args = parser.parse_args()
    if args.rate <= 0 or args.seconds <= 0 or min(args.hosts + args.members, default=0) < 1:
        parser.error("--rate and --seconds must be positive, --hosts and --members too")
    if any(hosts < 2 for hosts in args.hosts):
        parser.error("a fleet has at least 2 hosts")
    if args.anchor_only:
        args.hosts = []
    args.tool = args.tool.resolve()
    if args.hosts and not os.access(args.tool, os.X_OK):
        parser.error(f"no brindle tool at {args.tool} (build it, or give --tool)")
    return args


def run_members(members, args, folder):
    """The anchor and every fleet size on one fresh cluster of `members` members."""
    try:
        from etcd_cluster import EtcdCluster
    except ImportError as error:
        raise RuntimeError(f"no cluster helper in {CLUSTER_HELPER_DIR}: {error}") from error

    cluster = EtcdCluster(os.path.join(folder, "etcd"), members=members)
    cluster.start()
    try:
        progress(f"{members} member(s): anchor")
        run = {"members": members, "anchor": run_anchor(cluster, args.rate, folder), "fleet": []}
        for hosts in args.hosts:
            progress(f"{members} member(s): {hosts} hosts")
            fleet_folder = os.path.join(folder, f"fleet{hosts}")
            os.makedirs(fleet_folder)
            run["fleet"].append(run_fleet(cluster, hosts, args, fleet_folder))
            warn_about(run["fleet"][-1])
        return run
    finally:
        cluster.stop()


def warn_about(fleet):
    """Says on stderr when a sync process did more than follow the writer: its figures then
    include outages, conflicts or refusals."""
    for number, (events, status) in enumerate(
            zip(fleet["sync_events"], fleet["sync_exit_statuses"]), 1):
        unusual = {kind: count for kind, count in events.items()
                   if kind not in ("pushed", "applied", "stopped")}
        if unusual or status != 0:
            progress(f"  warning: {fleet['hosts']} hosts, sync{number}: exit status {status}, "
                     f"events {unusual}")


def progress(message):
    print(message, file=sys.stderr, flush=True)


_deferring = False
_deferred = False


def raise_interrupt(signum, frame):
    global _deferred
    if _deferring:
        _deferred = True
        return
    raise KeyboardInterrupt


class interrupts_deferred:
    """Within it, SIGINT and SIGTERM raise KeyboardInterrupt only on leaving."""

    def __enter__(self):
        global _deferring
        _deferring = True

    def __exit__(self, *exc):
        global _deferring, _deferred
        _deferring = False
        if _deferred:
            _deferred = False
            raise KeyboardInterrupt
        return False


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--role":
        ROLES[sys.argv[2]](json.loads(sys.argv[3]))
        return 0
    args = parse_arguments()
    sys.path += [str(PYTHON_MODULE_DIR), str(CLUSTER_HELPER_DIR)]  # after PYTHONPATH
    # A SIGTERM stops the children the same way Ctrl-C does.
    signal.signal(signal.SIGTERM, raise_interrupt)
    signal.signal(signal.SIGINT, raise_interrupt)
    folder = tempfile.mkdtemp(prefix="fleet-bench-")
    keep = args.keep
    try:
        runs = []
        for members in args.members:
            member_folder = os.path.join(folder, f"members{members}")
            os.makedirs(member_folder)
            runs.append(run_members(members, args, member_folder))
    except KeyboardInterrupt:
        progress("interrupted; every started process is stopped")
        return 130
    except (RuntimeError, OSError) as error:
        # The logs of the processes that were running tell why; they stay for reading.
        progress(f"fleet_bench: {error}")
        keep = True
        return 1
    finally:
        if keep:
            progress(f"run folder: {folder}")
        else:
            shutil.rmtree(folder, ignore_errors=True)
    print(json.dumps(runs, indent=2) if args.json else markdown_table(runs))
    return 0


if __name__ == "__main__":
    sys.exit(main())
