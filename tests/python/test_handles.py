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


def test_setting_and_creating_from_many_threads_never_reports_existing(db):
    # Every thread sets the same new properties and opens-or-creates the same new paths, so
    # that most steps meet another thread's add of the same name.
    key = db.key("K", create=True)
    failures = []

    def race(number):
        try:
            for index in range(300):
                key[f"p{index}"] = number
                db.key(f"R/a{index}/b", create=True)
        except brindle.Error as error:
            failures.append(error)

    threads = [threading.Thread(target=race, args=(number,)) for number in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert len(key) == 300 and set(key.values()) <= {0, 1, 2, 3}
    tree = db.key("R")
    assert len(tree.children()) == 300
    assert all(tree.child(name).children() == ["b"] for name in tree.children())
