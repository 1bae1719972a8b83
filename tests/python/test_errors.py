"""Every error class raised by a real failure, carrying the library's code and its text."""
import os

import pytest

import brindle


def error_of(call):
    with pytest.raises(brindle.Error) as caught:
        call()
    return caught.value


@pytest.mark.parametrize("call, kind, code", [
    (lambda db, key, tmp: db.key("Nowhere"), brindle.KeyNotFound, 13),
    (lambda db, key, tmp: db.key("App/nowhere"), brindle.KeyNotFound, 14),
    (lambda db, key, tmp: key["nothing"], brindle.PropertyNotFound, 7),
    (lambda db, key, tmp: db.key("Locked").append_child("x"), brindle.ReadOnly, 51),
    (lambda db, key, tmp: db.create_main_key("Locked"), brindle.Exists, 16),
    (lambda db, key, tmp: key.child("x" * 256), brindle.InvalidName, 102),
    (lambda db, key, tmp: db.key("App").delete(), brindle.NotAllowed, 54),
    (lambda db, key, tmp: key.export(tmp / "no" / "such.brx"), brindle.TransferError, 49),
])
def test_each_failure_raises_its_class_with_the_code(db, key, tmp_path, call, kind, code):
    db.create_main_key("Locked", readonly=True)
    error = error_of(lambda: call(db, key, tmp_path))
    assert type(error) is kind and error.code == code


def test_error_carries_the_code_tables_name_and_reason(db, key):
    missing_key = error_of(lambda: db.key("App/nowhere"))
    assert missing_key.name == "BRN_ERR_KEY_NOT_FOUND"
    assert missing_key.reason == "a key on the path does not exist"
    assert "App/nowhere" in str(missing_key) and "(code 14)" in str(missing_key)


def test_exception_escaping_the_library(db_path):
    with brindle.open(db_path) as db:
        app = db.key("App", create=True)
        for number in range(200):
            app.append_child(f"c{number}")["text"] = "x" * 500
    with brindle.open(db_path) as db:
        os.truncate(db_path + "001", 4096)  # pages the library has not read yet are gone
        app = db.key("App")
        escaped = error_of(lambda: [app.child(name).items() for name in app.children()])
        assert type(escaped) is brindle.InternalError and escaped.code is None
        assert escaped.type_name and escaped.detail
        assert str(escaped) == f"{escaped.type_name}: {escaped.detail}"


def test_database_already_open_in_this_process(db, db_path):
    failed = error_of(lambda: brindle.open(db_path))
    assert type(failed) is brindle.StoreError and failed.code == 0


def test_code_table_is_the_librarys():
    rows = {code: name for code, name, _ in brindle.result_codes()}
    assert rows[1] == "BRN_OK" and rows[1000] == "BRN_ERR_EXCEPTION" and len(rows) == 48
    assert rows[56] == "BRN_ERR_OPENED_READ_ONLY" and rows[62] == "BRN_ERR_DURABILITY_MISMATCH"
