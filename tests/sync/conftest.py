"""Running `brindle sync` processes against a real etcd cluster, and ways to compare what each
side holds. Every process a test starts is stopped by a finalizer, also when the test fails."""

import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from etcd_cluster import EtcdCluster, etcd_available  # noqa: E402

TOOL = os.environ.get("BRINDLE_TOOL", "brindle")
PREFIX = "/fleet"
MAIN = "App"
DEADLINE = 30.0

def tool(db, *args, check=True, input_bytes=None):
    """Runs the tool on `db`; returns the completed process (bytes output)."""
    result = subprocess.run([TOOL, "--db", db, *args], capture_output=True, input=input_bytes,
                            timeout=120)
    if check and result.returncode != 0:
        raise AssertionError(f"brindle {' '.join(args)}: {result.stderr.decode()}")
    return result


def dump(db, key=MAIN):
    """The parsed `brindle dump` of one main key, or None when the key does not exist."""
    result = tool(db, "dump", key, check=False)
    return json.loads(result.stdout) if result.returncode == 0 else None


def get(db, key, name):
    """A property's value as `brindle get` prints it, or None when it cannot be read."""
    result = tool(db, "get", key, name, check=False)
    return result.stdout.decode().strip() if result.returncode == 0 else None


def key_exists(db, address):
    return tool(db, "ls", address, check=False).returncode == 0


def mkkeys(db, address):
    """Creates every missing level of `address` (the tool's mkkey makes one level)."""
    parts = address.split("/")
    for depth in range(2, len(parts) + 1):
        level = "/".join(parts[:depth])
        if not key_exists(db, level):
            tool(db, "mkkey", level)


def eventually(condition, what, timeout=DEADLINE):
    """Polls `condition` until it returns something true and returns that; fails naming
    `what` after `timeout` seconds. Only ever a generous upper bound, never a measurement."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.1)


class Sync:
    """One `brindle sync --json` process. A thread reads its stdout into `events` so that the
    pipe never fills; stderr goes to a file beside the database for the failure report."""

    def __init__(self, db, url, *options, main_keys=(MAIN,), prefix=PREFIX):
        self.db = db
        self.command = [TOOL, "--db", db, "sync", "--etcd", url, "--prefix", prefix, "--json",
                        *options, *main_keys]
        self.events = []
        self.lines = []
        self._changed = threading.Condition()
        self._stderr = open(db + ".sync-stderr", "ab")
        self.process = subprocess.Popen(self.command, stdout=subprocess.PIPE,
                                        stderr=self._stderr, stdin=subprocess.DEVNULL)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.process.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            try:
                event = json.loads(line)
            except ValueError:
                event = {"event": "unparsed", "line": line}
            with self._changed:
                self.lines.append(line)
                self.events.append(event)
                self._changed.notify_all()
        with self._changed:
            self._changed.notify_all()

    def wait_event(self, name, since=0, match=None, timeout=DEADLINE):
        """The first event called `name` at index `since` or later (matching `match`, a
        predicate, when given). Fails with everything printed so far when none comes, or when
        the process exits first."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for event in self.events[since:]:
                    if event.get("event") == name and (match is None or match(event)):
                        return event
                if not self._reader.is_alive():
                    raise AssertionError(f"sync exited ({self.process.poll()}) without "
                                         f"'{name}':\n{self.output()}")
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"no '{name}' from sync in {timeout} s:\n"
                                         f"{self.output()}")
                self._changed.wait(min(left, 0.5))

    def ready(self, since=0, timeout=DEADLINE):
        return self.wait_event("ready", since=since, timeout=timeout)

    def mark(self):
        """The index of the next event, for wait_event(since=...)."""
        with self._changed:
            return len(self.events)

    def named(self, name):
        with self._changed:
            return [event for event in self.events if event.get("event") == name]

    def output(self):
        with self._changed:
            stdout = "\n".join(self.lines)
        with open(self.db + ".sync-stderr", "rb") as stderr:
            return f"stdout:\n{stdout}\nstderr:\n{stderr.read().decode('utf-8', 'replace')}"

    def stop(self):
        """SIGTERM; returns the exit status (SIGKILL and a failure after 30 s)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(timeout=DEADLINE)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise AssertionError("sync did not stop on SIGTERM:\n" + self.output())
        finally:
            self._reader.join(timeout=5)
            self._stderr.close()
        return status

    def kill(self):
        """SIGKILL, as a crash would."""
        self.process.kill()
        self.process.wait()
        self._reader.join(timeout=5)
        self._stderr.close()


@pytest.fixture
def etcd_factory(tmp_path):
    """Starts clusters on demand: etcd_factory(members=1, extra_args=()); stops them all.
    Skips the test where etcd is not installed."""
    if not etcd_available():
        pytest.skip("etcd is not installed")
    clusters = []

    def start(members=1, extra_args=()):
        cluster = EtcdCluster(tmp_path / f"etcd{len(clusters)}", members, extra_args)
        clusters.append(cluster)
        return cluster.start()

    yield start
    for cluster in clusters:
        cluster.stop()


@pytest.fixture
def etcd(etcd_factory):
    return etcd_factory()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """Keeps each phase's report on the test, so that fixtures know whether it failed."""
    outcome = yield
    report = outcome.get_result()
    setattr(item, "report_" + report.when, report)


@pytest.fixture
def sync_factory(request):
    """Starts sync processes: sync_factory(db, url, *options, main_keys=...); stops every one
    still running at the end and fails the test if one did not exit cleanly. When the test
    failed, every sync's output goes into the report."""
    started = []

    def start(db, url, *options, **named):
        process = Sync(db, url, *options, **named)
        started.append(process)
        return process

    yield start
    report = getattr(request.node, "report_call", None)
    if report is not None and report.failed:
        for process in started:
            report.sections.append((f"sync of {process.db}", process.output()))
    failures = []
    for process in started:
        if process.process.returncode is None:
            status = process.stop()
            if status != 0:
                failures.append(f"{' '.join(process.command)} exited {status}:\n"
                                f"{process.output()}")
    assert not failures, "\n".join(failures)


def new_db(tmp_path, name, main_keys=(MAIN,)):
    path = str(tmp_path / name / "db")
    for key in main_keys:
        tool(path, "mkkey", key)
    return path


@pytest.fixture
def pair(tmp_path, etcd, sync_factory):
    """Databases A and B, each with a running sync of App that has printed its ready line."""
    a, b = new_db(tmp_path, "a"), new_db(tmp_path, "b")
    sync_a = sync_factory(a, etcd.url)
    sync_a.ready()
    sync_b = sync_factory(b, etcd.url)
    sync_b.ready()
    return Pair(a, b, sync_a, sync_b, etcd)


class Pair:
    def __init__(self, a, b, sync_a, sync_b, etcd):
        self.a, self.b = a, b
        self.sync_a, self.sync_b = sync_a, sync_b
        self.etcd = etcd


def escape(name):
    """A key or property name as it appears in an etcd key."""
    out = []
    for byte in name.encode("utf-8", "surrogateescape"):
        if byte in b"%/=" or byte < 0x20 or byte == 0x7F:
            out.append(f"%{byte:02X}")
        else:
            out.append(chr(byte) if byte < 0x80 else bytes([byte]).decode("latin-1"))
    return "".join(out).encode("latin-1").decode("utf-8", "surrogateescape")


def tree_of_dump(document):
    """{escaped key path: {property name: property JSON without its name}} of a dump."""
    tree = {}

    def walk(entry, path):
        path = path + "/" + escape(entry["name"])
        tree[path] = {p["name"]: {k: v for k, v in p.items() if k != "name"}
                      for p in entry.get("properties", [])}
        for child in entry.get("keys", []):
            walk(child, path)

    for entry in document["keys"]:
        walk(entry, "")
    return tree


def tree_of_etcd(etcd, main=MAIN, prefix=PREFIX):
    """The same shape built from what etcd holds under PREFIX/main/: markers make keys,
    "=name" entries their properties. Property names are compared unescaped."""
    tree = {}
    for key, value in etcd.get_prefix(f"{prefix}/{escape(main)}/").items():
        path, _, name = key[len(prefix):].rpartition("/=")
        node = tree.setdefault(path, {})
        if name:
            node[unescape(name)] = json.loads(value)
    return tree


def unescape(text):
    raw = text.encode("utf-8", "surrogateescape")
    out, i = bytearray(), 0
    while i < len(raw):
        if raw[i] == ord("%"):
            out.append(int(raw[i + 1:i + 3], 16))
            i += 3
        else:
            out.append(raw[i])
            i += 1
    return out.decode("utf-8", "surrogateescape")


def same_everywhere(a, b, etcd, main=MAIN):
    """The dump of `main` when A, B and etcd all hold the same keys and properties (in any
    order: each side keeps them in the order it learnt of them), else None."""
    first, second = dump(a, main), dump(b, main)
    if first is None or second is None:
        return None
    tree = tree_of_dump(first)
    return first if tree == tree_of_dump(second) == tree_of_etcd(etcd, main) else None


def wait_converged(a, b, etcd, main=MAIN, timeout=DEADLINE):
    """Waits until A, B and etcd agree on `main`; the assertion shows all three otherwise."""
    try:
        return eventually(lambda: same_everywhere(a, b, etcd, main), "A, B and etcd to agree",
                          timeout)
    except AssertionError:
        tree_a = tree_of_dump(dump(a, main))
        assert tree_a == tree_of_dump(dump(b, main))
        assert tree_a == tree_of_etcd(etcd, main)
        raise
