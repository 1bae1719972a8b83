"""Closing databases and keys, use after close, and threads sharing a database."""
import threading

import pytest

import brindle


def test_database_close_closes_open_keys_first(db_path):
    db = brindle.open(db_path)
    key = db.key("App/a", create=True)
    walker = db.key("App").walk()
    next(walker)
    db.close()
    db.close()
    assert db.closed and key.closed
    uses = [lambda: db.key("App"), db.main_keys, lambda: db.import_("x"),
            lambda: key["x"], lambda: key.children(), key.delete, lambda: next(walker)]
    for use in uses:
        with pytest.raises(brindle.Closed):
            use()
    key.close()
    with brindle.open(db_path) as again:  # context managers close too
        with again.key("App/a") as reopened:
            assert reopened.path == "App/a"
        assert reopened.closed and not again.closed
    assert again.closed and "closed" in repr(again)


def test_keys_dropped_by_python_are_closed_before_reopening(db):
    for _ in range(200):
        db.key("App/a", create=True)["n"] = 1
    assert db.key("App/a")["n"] == 1


def test_closing_the_database_while_threads_use_it_never_crashes(db_path):
    db = brindle.open(db_path)
    key = db.key("App", create=True)
    writing = threading.Barrier(3)
    outcomes = []

    def hammer():
        key["n"] = 1
        writing.wait()
        try:
            while True:
                key["n"] = 1
        except brindle.Closed:
            outcomes.append("closed")

    threads = [threading.Thread(target=hammer) for _ in range(2)]
    for thread in threads:
        thread.start()
    writing.wait()
    db.close()
    for thread in threads:
        thread.join()
    assert outcomes == ["closed", "closed"]
