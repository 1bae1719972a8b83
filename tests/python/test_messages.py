"""The module's own wording: what a failure says names the module's parameters, never the
tool's options, and says what is wrong in the module's terms."""
import re
import subprocess
import sys
import threading

import pytest

import brindle

TOOL_OPTION = re.compile(r"--[a-z]")


@pytest.fixture
def held_elsewhere(db_path):
    """The database, held open by another process until the test ends."""
    holder = subprocess.Popen(
        [sys.executable, "-c", "import brindle, sys; db = brindle.open(sys.argv[1]); "
         "print('open', flush=True); sys.stdin.read()", db_path],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    while holder.stdout.readline().strip() != "open":
        assert holder.poll() is None, "the holding process ended"
    yield db_path
    holder.stdin.close()
    holder.wait()


def export_twice(db, tmp_path):
    key = db.key("App", create=True)
    key.export(tmp_path / "app.brx")
    key.export(tmp_path / "app.brx")


MESSAGES = [
    (export_twice, brindle.Exists, "overwrite=True"),
    (lambda db, tmp_path: brindle.open(tmp_path), brindle.StoreError, "base path"),
    (lambda db, tmp_path: brindle.open(db.path), brindle.StoreError,
     "already open in this process"),
    (lambda db, tmp_path: brindle.open(db.path, timeout=0.1), brindle.StoreError,
     "(waited 0.1 s)"),
    (lambda db, tmp_path: brindle.open(tmp_path / "x", timeout=-1), ValueError, "timeout"),
    (lambda db, tmp_path: brindle.Float(1e39), OverflowError, "32-bit float"),
]


@pytest.mark.parametrize("call, kind, says", MESSAGES)
def test_failure_says_what_is_wrong_in_the_modules_terms(db, tmp_path, call, kind, says):
    with pytest.raises(kind) as caught:
        call(db, tmp_path)
    assert says in str(caught.value) and not TOOL_OPTION.search(str(caught.value))


def test_held_by_another_process_names_it_and_the_timeout(held_elsewhere):
    with pytest.raises(brindle.StoreError) as caught:
        brindle.open(held_elsewhere)
    assert "in use by process" in str(caught.value) and "timeout=" in str(caught.value)
    assert not TOOL_OPTION.search(str(caught.value))


def test_code_table_names_no_tool_option():
    assert not [row for row in brindle.result_codes() if TOOL_OPTION.search(row[2])]


def test_open_waits_for_a_database_closed_meanwhile(db_path):
    first = brindle.open(db_path)
    threading.Timer(0.2, first.close).start()
    with brindle.open(db_path, timeout=60) as second:
        assert not second.closed
