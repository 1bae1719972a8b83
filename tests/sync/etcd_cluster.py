"""A real etcd cluster on loopback, in a scratch folder, for the tests and benchmarks of sync.

Plain Python with no test framework in it, so that a benchmark script can start a cluster the
same way the tests do. Every member listens on 127.0.0.1 only, on ports picked free by the
system, and writes its data and its log under `base_dir`. Call stop() whatever happens: the
members are separate processes and outlive the caller otherwise.
"""

import base64
import json
import os
import signal
import socket
import subprocess
import time
import urllib.error
import urllib.request
import uuid

ETCD = os.environ.get("BRINDLE_ETCD", "/usr/bin/etcd")
ETCDCTL = os.environ.get("BRINDLE_ETCDCTL", "/usr/bin/etcdctl")
START_TIMEOUT = 15.0
STOP_TIMEOUT = 10.0


def etcd_available():
    """True when both the server and etcdctl are installed where this module looks."""
    return os.access(ETCD, os.X_OK) and os.access(ETCDCTL, os.X_OK)


def free_ports(count):
    """`count` distinct loopback ports the system had free a moment ago. The sockets stay
    bound until all are picked, so the system cannot hand out one port twice."""
    sockets = []
    try:
        for _ in range(count):
            sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            sock.bind(("127.0.0.1", 0))
            sockets.append(sock)
        return [sock.getsockname()[1] for sock in sockets]
    finally:
        for sock in sockets:
            sock.close()


class Member:
    """One etcd server: its name, folder, ports and, while running, its process."""

    def __init__(self, name, folder, client_port, peer_port):
        self.name = name
        self.folder = folder
        self.client_url = f"http://127.0.0.1:{client_port}"
        self.peer_url = f"http://127.0.0.1:{peer_port}"
        self.process = None
        self.log = None

    @property
    def running(self):
        return self.process is not None and self.process.poll() is None


class EtcdCluster:
    """`members` etcd servers forming one new cluster (a token of its own, so that members of
    another test's cluster never join it). extra_args go to every member, e.g.
    ("--max-request-bytes", "65536")."""

    def __init__(self, base_dir, members=1, extra_args=()):
        if members < 1:
            raise ValueError("a cluster needs at least one member")
        self.base_dir = os.fspath(base_dir)
        self.extra_args = tuple(extra_args)
        self.token = "brindle-test-" + uuid.uuid4().hex
        ports = free_ports(2 * members)
        self.members = [
            Member(f"m{i}", os.path.join(self.base_dir, f"m{i}"), ports[2 * i], ports[2 * i + 1])
            for i in range(members)]
        self.initial_cluster = ",".join(f"{m.name}={m.peer_url}" for m in self.members)

    @property
    def endpoints(self):
        """The client URLs, member 0 first."""
        return [member.client_url for member in self.members]

    @property
    def url(self):
        """The client URLs comma-joined, as `brindle sync --etcd` and etcdctl take them."""
        return ",".join(self.endpoints)

    def start(self):
        """Starts every member and returns once the cluster answers as healthy. Raises (after
        stopping what it started) when it does not within START_TIMEOUT seconds."""
        try:
            for index in range(len(self.members)):
                self._launch(index)
            self._wait_healthy(self.members)
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        """Stops every member still running: SIGTERM, then SIGKILL for one that does not exit
        in STOP_TIMEOUT seconds. Safe to call more than once."""
        for member in self.members:
            if member.running:
                member.process.send_signal(signal.SIGTERM)
        for member in self.members:
            self._reap(member)

    def kill_member(self, index):
        """Kills one member at once (SIGKILL), as a crash would."""
        member = self.members[index]
        if member.running:
            member.process.kill()
        self._reap(member)

    def start_member(self, index):
        """Starts a member again with its folder and ports; returns once it is healthy."""
        member = self.members[index]
        if member.running:
            return
        self._launch(index)
        self._wait_healthy([member])

    def ctl(self, *args, endpoints=None, check=True, timeout=30):
        """Runs etcdctl (API 3) against the cluster, or against `endpoints` when given; returns
        its standard output as text. Raises with etcdctl's message when it fails."""
        environment = dict(os.environ, ETCDCTL_API="3")
        command = [ETCDCTL, "--endpoints=" + (endpoints or self.url),
                   "--command-timeout=10s", *args]
        result = subprocess.run(command, capture_output=True, text=True, env=environment,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise RuntimeError(f"etcdctl {' '.join(args)} failed ({result.returncode}): "
                               f"{result.stderr.strip()}")
        return result.stdout

    def get_prefix(self, prefix, raw=False):
        """Every key under `prefix` with its value: str (UTF-8, undecodable bytes kept as
        surrogate escapes) or, with raw=True, bytes for both."""
        reply = json.loads(self.ctl("get", "--prefix", "-w", "json", "--", prefix))
        entries = {}
        for kv in reply.get("kvs", []):
            key = base64.b64decode(kv["key"])
            value = base64.b64decode(kv.get("value", ""))
            if raw:
                entries[key] = value
            else:
                entries[key.decode("utf-8", "surrogateescape")] = value.decode(
                    "utf-8", "surrogateescape")
        return entries

    def put(self, key, value):
        """Writes one key; returns the revision etcd gave the write."""
        reply = json.loads(self.ctl("put", "-w", "json", "--", key, value))
        return int(reply["header"]["revision"])

    def delete_prefix(self, prefix):
        """Deletes every key under `prefix`; returns how many went."""
        reply = json.loads(self.ctl("del", "--prefix", "-w", "json", "--", prefix))
        return int(reply.get("deleted", 0))

    def revision(self):
        """The cluster's current revision, as a running member reports it."""
        running = [m.client_url for m in self.members if m.running]
        reply = json.loads(self.ctl("endpoint", "status", "-w", "json",
                                    endpoints=",".join(running)))
        return max(int(status["Status"]["header"]["revision"]) for status in reply)

    def compact_to_latest(self):
        """Compacts the history up to the current revision and waits until the members have
        dropped it; returns that revision. A watch from an older revision is then refused."""
        revision = self.revision()
        self.ctl("compact", "--physical", str(revision))
        return revision

    def _launch(self, index):
        member = self.members[index]
        os.makedirs(member.folder, exist_ok=True)
        if member.log is None:
            member.log = open(os.path.join(member.folder, "etcd.log"), "ab")
        command = [
            ETCD,
            "--name", member.name,
            "--data-dir", os.path.join(member.folder, "data"),
            "--listen-client-urls", member.client_url,
            "--advertise-client-urls", member.client_url,
            "--listen-peer-urls", member.peer_url,
            "--initial-advertise-peer-urls", member.peer_url,
            "--initial-cluster", self.initial_cluster,
            "--initial-cluster-token", self.token,
            "--initial-cluster-state", "new",
            *self.extra_args,
        ]
        member.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=member.log,
                                          stderr=subprocess.STDOUT)

    def _wait_healthy(self, members):
        deadline = time.monotonic() + START_TIMEOUT
        waiting = list(members)
        while waiting:
            for member in list(waiting):
                if not member.running:
                    raise RuntimeError(f"etcd member {member.name} exited with "
                                       f"{member.process.returncode}; see {member.folder}/etcd.log")
                if self._healthy(member):
                    waiting.remove(member)
            if waiting and time.monotonic() > deadline:
                raise RuntimeError("etcd did not become healthy in time: "
                                   + ", ".join(m.name for m in waiting))
            if waiting:
                time.sleep(0.1)

    @staticmethod
    def _healthy(member):
        try:
            with urllib.request.urlopen(member.client_url + "/health", timeout=2) as response:
                return json.loads(response.read()).get("health") in ("true", True)
        except (OSError, ValueError, urllib.error.URLError):
            return False

    @staticmethod
    def _reap(member):
        if member.process is not None:
            try:
                member.process.wait(timeout=STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                member.process.kill()
                member.process.wait()
        if member.log is not None:
            member.log.close()
            member.log = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
