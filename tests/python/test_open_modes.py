"""Opening a database for reading, or shared between writing processes, from Python."""
import subprocess
import sys

import pytest

import brindle


def test_a_reader_follows_the_writer_and_changes_nothing(db, db_path):
    settings = db.key("App", create=True)
    settings["n"] = 1
    with brindle.open(db_path, mode="read") as reader:
        seen = reader.key("App")
        assert seen["n"] == 1
        settings["n"] = 2
        db.key("Other", create=True)
        assert seen["n"] == 2
        assert sorted(reader.main_keys()) == ["App", "Other"]
        with pytest.raises(brindle.ReadOnly):
            seen["n"] = 3
    assert settings["n"] == 2


def test_read_mode_neither_creates_nor_takes_bad_modes(tmp_path):
    with pytest.raises(brindle.StoreError):
        brindle.open(str(tmp_path / "none"), mode="read")
    assert list(tmp_path.iterdir()) == []
    with pytest.raises(ValueError):
        brindle.open(str(tmp_path / "db"), mode="append")


def test_shared_writers_in_two_processes_add_up(db_path):
    with brindle.open(db_path) as db:
        db.key("App", create=True)["count"] = 0
    script = (
        "import sys, brindle\n"
        "with brindle.open(sys.argv[1], mode='shared', timeout=30) as db:\n"
        "    key = db.key('App')\n"
        "    for _ in range(200):\n"
        "        with db.batch():\n"
        "            key['count'] = key['count'] + 1\n"
    )
    children = [subprocess.Popen([sys.executable, "-c", script, db_path]) for _ in range(2)]
    assert [child.wait(timeout=120) for child in children] == [0, 0]
    with brindle.open(db_path, mode="read") as db:
        assert db.key("App")["count"] == 400
