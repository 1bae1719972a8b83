"""Every error class raised by a real failure, carrying the library's code and its text."""
import os
import struct

import pytest

import brindle


def error_of(call):
    with pytest.raises(brindle.Error) as caught:
        call()
    return caught.value


def test_lookup_failures(db, key):
    missing_main = error_of(lambda: db.key("Nowhere"))
    missing_key = error_of(lambda: db.key("App/nowhere"))
    missing_property = error_of(lambda: key["nothing"])
    assert type(missing_main) is brindle.KeyNotFound and missing_main.code == 13
    assert type(missing_key) is brindle.KeyNotFound and missing_key.code == 14
    assert missing_key.name == "BRN_ERR_KEY_NOT_FOUND"
    assert missing_key.reason == "a key on the path does not exist"
    assert "App/nowhere" in str(missing_key) and "(code 14)" in str(missing_key)
    assert type(missing_property) is brindle.PropertyNotFound
    assert isinstance(missing_property, KeyError) and missing_property.code == 7


def test_refused_changes(db, key):
    db.create_main_key("Locked", readonly=True)
    read_only = error_of(lambda: db.key("Locked").append_child("x"))
    assert type(read_only) is brindle.ReadOnly and read_only.code == 51
    with pytest.raises(brindle.ReadOnly):
        db.key("Locked")["x"] = 1
    assert type(error_of(lambda: db.create_main_key("Locked"))) is brindle.Exists
    assert type(error_of(lambda: key.child("x" * 256))) is brindle.InvalidName
    not_allowed = error_of(lambda: db.key("App").delete())
    assert type(not_allowed) is brindle.NotAllowed and not_allowed.code == 54


def test_transfer_failures(db, key, tmp_path):
    missing = error_of(lambda: db.import_(tmp_path / "missing.brx"))
    assert type(missing) is brindle.TransferError and missing.code == 48
    (tmp_path / "garbage.brx").write_bytes(b"x" * 3000)
    assert type(error_of(lambda: db.import_(tmp_path / "garbage.brx"))) is brindle.TransferError
    no_folder = error_of(lambda: key.export(tmp_path / "no" / "such.brx"))
    assert type(no_folder) is brindle.TransferError and no_folder.code == 49


def export_with_bad_type_byte(key, path):
    """An export file whose one property has an unknown type byte and a valid checksum."""
    key["zzz"] = brindle.Short(0x4141)
    key.export(path)
    image = bytearray(path.read_bytes())
    image[image.index(b"zzz\0\x02", 2068) + 4] = 0x0A
    area = bytes(image[2068:])
    total = sum(struct.unpack_from(f"<{len(area) // 4}I", area))
    total += (len(area) % 4) * (area[len(area) // 4 * 4] if len(area) % 4 else 0)
    struct.pack_into("<I", image, 2064, ~total & 0xFFFFFFFF)
    path.write_bytes(bytes(image))


def test_library_internal_failure(db, key, tmp_path):
    export_with_bad_type_byte(key, tmp_path / "bad.brx")
    internal = error_of(lambda: db.import_(tmp_path / "bad.brx"))
    assert type(internal) is brindle.InternalError and internal.code == 1000


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
    assert rows[1] == "BRN_OK" and rows[1000] == "BRN_ERR_EXCEPTION" and len(rows) == 41
