"""db.batch(): the changes of a block, made on one thread, are kept together or not at all."""
import threading

import pytest

import brindle


def test_a_block_that_ends_normally_keeps_every_change(db_path):
    with brindle.open(db_path) as db:
        with db.batch():
            key = db.key("App/net", create=True)
            key["port"] = 8080
            with pytest.raises(brindle.PropertyNotFound):  # a failed call changes nothing...
                del key["missing"]
            key["host"] = "example"                       # ...and the batch goes on
    with brindle.open(db_path) as db:
        assert dict(db.key("App/net").items()) == {"port": 8080, "host": "example"}


def test_a_block_that_raises_keeps_nothing(db):
    key = db.key("App/net", create=True)
    key["port"] = 1
    with pytest.raises(RuntimeError):
        with db.batch():
            key["port"] = 2
            db.create_main_key("Other")
            raise RuntimeError("changed my mind")
    assert key["port"] == 1
    assert db.main_keys() == ["App"]


def test_another_threads_reader_waits_and_never_sees_a_rolled_back_block(db):
    key = db.key("App", create=True)
    seen = []
    reader = threading.Thread(target=lambda: seen.append(db.key("App").get("x")))
    with pytest.raises(RuntimeError):
        with db.batch():
            key["x"] = 7
            reader.start()
            raise RuntimeError
    reader.join()
    assert seen == [None]


def test_batches_do_not_nest_and_a_database_does_not_close_under_its_own_batch(db):
    with db.batch():
        with pytest.raises(brindle.Error):
            with db.batch():
                pass
        with pytest.raises(brindle.Error):
            db.close()
    assert not db.closed
