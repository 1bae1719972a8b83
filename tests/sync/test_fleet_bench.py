"""bench/fleet_bench.py: its figures come from every change it made, its runs end, and it leaves
no process behind when a sync fails or it is interrupted."""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BENCH = ROOT / "bench" / "fleet_bench.py"
TOOL = os.environ.get("BRINDLE_TOOL", str(ROOT / "build" / "tools" / "brindle"))
sys.path.insert(0, str(BENCH.parent))

import fleet_bench  # noqa: E402


def bench_environment(folder):
    """Run folders, which a failed run keeps, go below the test's own folder."""
    return dict(os.environ, TMPDIR=str(folder))


def run_bench(folder, *args, timeout=180):
    return subprocess.run([sys.executable, str(BENCH), *args], capture_output=True, text=True,
                          timeout=timeout, env=bench_environment(folder))


def test_percentiles_are_nearest_rank():
    hundred = list(range(1, 101))
    assert fleet_bench.percentile(hundred, 0.50) == 50
    assert fleet_bench.percentile(hundred, 0.99) == 99
    assert fleet_bench.percentile([7], 0.99) == 7
    assert fleet_bench.percentile([], 0.5) is None


def test_every_change_waits_for_itself_or_a_later_value():
    written = [10, 20, 30, 40, 50]
    seen = [[20, 25], [40, 47]]  # 10 and 30 were overwritten before the host showed them
    assert fleet_bench.supersede_latencies(written, seen) == [15, 5, 17, 7]
    assert fleet_bench.arrival_latencies(seen) == [5, 7]
    assert fleet_bench.supersede_latencies(written, []) == []


def test_pacer_never_sends_more_than_its_time_or_limit_allows():
    timed = fleet_bench.Pacer(rate=1000, seconds=0.05)
    assert len(list(timed)) <= 50
    counted = fleet_bench.Pacer(rate=1e9, limit=3)
    assert list(counted) == [0, 1, 2]
    assert counted.report()["sent"] == 3


def test_anchor_sees_every_put(tmp_path):
    result = run_bench(tmp_path, "--anchor-only", "--members", "1", "--rate", "4000", "--json")
    assert result.returncode == 0, result.stderr
    [run] = json.loads(result.stdout)
    anchor = run["anchor"]
    assert anchor["sent"] == fleet_bench.ANCHOR_PUTS
    assert anchor["arrived"] == anchor["sent"]
    assert 0 < anchor["p50_ms"] <= anchor["p99_ms"]


def test_fleet_run_counts_what_reached_the_other_host(tmp_path):
    pytest.importorskip("brindle")
    result = run_bench(tmp_path, "--hosts", "2", "--members", "1", "--seconds", "1",
                       "--rate", "200", "--tool", TOOL, "--json")
    assert result.returncode == 0, result.stderr
    [fleet] = json.loads(result.stdout)[0]["fleet"]
    assert fleet["sync_exit_statuses"] == [0, 0]
    assert 0 < fleet["sent"] <= 200
    # Host 2 can only see values host 1's sync wrote to etcd, each at most once.
    assert 0 < fleet["arrived_min"] <= fleet["pushed"] <= fleet["sent"] + 1
    assert all(events.get("conflict", 0) == 0 for events in fleet["sync_events"])


def fake_tool(folder, behaviour):
    """A stand-in for the brindle tool that first lists, in pids.txt, every process the
    benchmark runs at that moment (the etcd members and itself)."""
    script = folder / "fake-brindle"
    script.write_text(f"#!/bin/sh\nps -o pid= --ppid $PPID >> {folder}/pids.txt\n{behaviour}\n")
    script.chmod(0o755)
    return script, folder / "pids.txt"


def gone(pid):
    """True when the process the benchmark ran is no more: no live process has the id (a
    zombie awaiting its parent counts as gone), or the id now belongs to another program."""
    try:
        if Path(f"/proc/{pid}/stat").read_text().split(") ")[1].startswith("Z"):
            return True
        command = Path(f"/proc/{pid}/cmdline").read_bytes()
    except (FileNotFoundError, IndexError):
        return True
    return not any(name in command for name in (b"etcd", b"fake-brindle", b"sleep"))


def listed_pids(pids_file):
    return {int(line) for line in pids_file.read_text().split()} if pids_file.exists() else set()


def assert_all_gone(pids_file):
    pids = listed_pids(pids_file)
    assert len(pids) >= 2  # one etcd member and the fake tool at least
    # The benchmark has returned, but a member it killed may take a moment to be reaped.
    deadline = time.monotonic() + 20
    while any(not gone(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert [pid for pid in pids if not gone(pid)] == []


def test_failed_sync_stops_every_process(tmp_path):
    pytest.importorskip("brindle")
    tool, pids = fake_tool(tmp_path, "echo 'cannot reach etcd' >&2; exit 1")
    result = run_bench(tmp_path, "--hosts", "2", "--members", "1", "--tool", str(tool))
    assert result.returncode == 1
    assert "cannot reach etcd" in result.stderr
    assert_all_gone(pids)
