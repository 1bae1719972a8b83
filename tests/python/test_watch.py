"""Watching a database: callbacks and iterators of committed changes, from the library's
thread into Python, and the library's diagnostic lines in logging."""
import logging
import queue
import subprocess
import sys
import threading

import pytest

import brindle
from brindle import _brindle

WAIT = 60  # seconds: only keeps a broken feed from hanging the run


def collect(db, address=None, **options):
    changes = queue.SimpleQueue()
    return changes, db.watch(address, changes.put, **options)


def take(changes, count):
    return [changes.get(timeout=WAIT) for _ in range(count)]


def summary(changes):
    return [(change.kind, change.main, change.path, change.name) for change in changes]


def test_changes_arrive_in_commit_order_with_growing_sequence_numbers(db):
    changes, watch = collect(db)
    key = db.key("App/net", create=True)
    key["port"] = 80
    key["port"] = 81
    del key["port"]
    key.rename("lan")
    with db.batch():
        key["a"] = 1
        key["b"] = 2
    got = take(changes, 8)
    assert summary(got) == [
        ("key-added", "App", "", ""), ("key-added", "App", "net", ""),
        ("property-set", "App", "net", "port"), ("property-set", "App", "net", "port"),
        ("property-deleted", "App", "net", "port"), ("key-renamed", "App", "net", "lan"),
        ("property-set", "App", "lan", "a"), ("property-set", "App", "lan", "b")]
    assert [change.seq for change in got[:7]] == sorted(set(change.seq for change in got[:7]))
    assert got[6].seq == got[7].seq
    watch.close()
    assert watch.closed


def test_watch_of_a_key_and_the_iterator_form(db):
    deep = db.key("App/a/b", create=True)
    other = db.key("Other", create=True)
    flat, flat_watch = collect(db, "App/a", recursive=False)
    with db.changes("App\\a", timeout=WAIT) as below:
        deep["x"] = 1
        other["y"] = 1
        db.key("App/a")["z"] = 1
        assert summary([next(below), next(below)]) == [
            ("property-set", "App", "a\\b", "x"), ("property-set", "App", "a", "z")]
    assert summary([flat.get(timeout=WAIT)]) == [("property-set", "App", "a", "z")]
    flat_watch.close()
    with db.changes(timeout=0.05) as quiet:
        assert list(quiet) == []


def test_callbacks_may_read_and_change_the_database(db):
    key = db.key("App", create=True)
    echoed = queue.SimpleQueue()

    def echo(change):
        if change.name == "ping":
            key["pong"] = key["ping"] + 1
        echoed.put(change)

    with db.watch("App", echo):
        key["ping"] = 1
        assert [change.name for change in take(echoed, 2)] == ["ping", "pong"]
    assert key["pong"] == 2


def test_a_failing_callback_is_reported_and_the_feed_goes_on(db, monkeypatch):
    reported = queue.SimpleQueue()
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reported.put(report.exc_value))
    seen = queue.SimpleQueue()

    def fail_first(change):
        seen.put(change)
        if change.name == "first":
            raise RuntimeError("callback failed")

    key = db.key("App", create=True)
    with db.watch("App", fail_first):
        key["first"] = 1
        key["second"] = 2
        assert [change.name for change in take(seen, 2)] == ["first", "second"]
    assert str(reported.get(timeout=WAIT)) == "callback failed"


def test_a_callback_may_end_its_own_watch_and_closing_ends_the_others(db):
    key = db.key("App", create=True)
    calls = queue.SimpleQueue()
    holder = {}

    def once(change):
        holder["watch"].close()
        calls.put(change)

    holder["watch"] = db.watch("App", once)
    slow_started = threading.Event()

    def slow(change):
        slow_started.set()
        threading.Event().wait(0.2)  # still running while the database closes

    db.watch("App", slow)
    key["a"] = 1
    key["b"] = 2
    assert calls.get(timeout=WAIT).name == "a"
    assert slow_started.wait(WAIT)
    db.close()  # waits for the slow callback without holding the GIL
    assert calls.empty()


def test_diagnostic_lines_go_to_logging_not_to_standard_output(tmp_path, caplog, capfd):
    with caplog.at_level(logging.INFO, logger="brindle"):
        with brindle.open(tmp_path / "fresh" / "db"):
            pass
        _brindle._flush_diagnostics()
    lines = [record.getMessage() for record in caplog.records if record.name == "brindle"]
    assert "Load file failed" in lines
    assert "Load file failed" not in capfd.readouterr().out


def test_interpreter_exit_with_live_watches_and_an_open_database(tmp_path):
    # The feed is still busy with queued changes when the interpreter ends.
    script = """
import brindle, sys, threading
db = brindle.open(sys.argv[1])
key = db.key("App", create=True)
started = threading.Event()
db.watch("App", lambda change: (started.set(), [key.get("p") for _ in range(50)]))
for i in range(300):
    key["p"] = i
started.wait()
"""
    for _ in range(3):
        result = subprocess.run([sys.executable, "-c", script, str(tmp_path / "db")],
                                capture_output=True, text=True, timeout=WAIT)
        assert result.returncode == 0, result.stderr
        assert result.stdout == ""
