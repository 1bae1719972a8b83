"""Every value type written and read back, at its edges, and the values that are refused."""
import datetime
import math
import struct

import pytest

import brindle

UTC = datetime.timezone.utc


def bits(number):
    return struct.pack("<d", number)


ROUND_TRIPS = [
    (None, type(None)),
    (0, int), (2**31 - 1, int), (-2**31, int),
    (2**31, brindle.Int64), (-2**31 - 1, brindle.Int64),
    (2**63 - 1, brindle.Int64), (-2**63, brindle.Int64),
    (brindle.Int64(5), brindle.Int64),
    (brindle.Short(-32768), brindle.Short), (brindle.Short(32767), brindle.Short),
    (brindle.Byte(0), brindle.Byte), (brindle.Byte(255), brindle.Byte),
    (0.1, float), (-0.0, float), (math.inf, float), (5e-324, float), (1.7976931348623157e308, float),
    (brindle.Float(0.1), brindle.Float), (brindle.Float(-math.inf), brindle.Float),
    (struct.unpack("<d", b"\x01\x02\x03\x04\x05\x06\xf8\x7f")[0], float),  # NaN payloads
    (brindle.Float(struct.unpack("<f", b"\x01\x02\xc0\xff")[0]), brindle.Float),
    ("", str), ("grüße, 世界", str), ("x" * 5000, str),
    (b"\x00", bytes), (bytes(range(256)) * 40, bytes),
    (datetime.datetime(1970, 1, 1, tzinfo=UTC), datetime.datetime),
    (datetime.datetime(9999, 12, 31, 23, 59, 59, tzinfo=UTC), datetime.datetime),
    (brindle.DateTime(253402300800), brindle.DateTime),  # 10000-01-01T00:00:00Z
    (brindle.DateTime(2**63 - 1), brindle.DateTime),
]


@pytest.mark.parametrize("value, stored_type", ROUND_TRIPS)
def test_round_trip_keeps_value_and_type(key, value, stored_type):
    key["v"] = value
    read = key["v"]
    assert type(read) is stored_type
    if isinstance(value, float):
        assert bits(read) == bits(value)
    else:
        assert read == value


def test_bytearray_and_offset_datetime_are_stored_as_their_kind(key):
    key["block"] = bytearray(b"abc")
    key["when"] = datetime.datetime(2024, 3, 5, 12, 0, tzinfo=datetime.timezone(
        datetime.timedelta(hours=2)))
    assert key["block"] == b"abc"
    assert key["when"] == datetime.datetime(2024, 3, 5, 10, 0, tzinfo=UTC)
    assert key["when"].tzinfo is UTC


def test_a_date_time_past_what_datetime_holds_keeps_the_key_readable(key):
    key["late"] = brindle.DateTime(253402300800)
    key["early"] = brindle.DateTime(0)  # a DateTime datetime can hold reads as a datetime
    assert key.items() == [("late", 253402300800),
                           ("early", datetime.datetime(1970, 1, 1, tzinfo=UTC))]
    assert dict(key)["late"] == 253402300800 and type(key.values()[0]) is brindle.DateTime


def test_text_that_is_not_utf8_round_trips_through_surrogate_escapes(key):
    text = b"caf\xe9".decode("utf-8", "surrogateescape")
    key["latin-1"] = text
    assert key["latin-1"] == text


@pytest.mark.parametrize("value, error", [
    (True, TypeError),
    (object(), TypeError),
    ("a\0b", ValueError),
    (b"", ValueError),
    (2**63, OverflowError),
    (-2**63 - 1, OverflowError),
    (datetime.datetime(2024, 1, 1), ValueError),
    (datetime.datetime(2024, 1, 1, 0, 0, 0, 5, tzinfo=UTC), ValueError),
    (datetime.datetime(1969, 12, 31, 23, 59, 59, tzinfo=UTC), ValueError),
])
def test_values_the_store_cannot_keep_are_refused_and_nothing_is_written(key, value, error):
    with pytest.raises(error):
        key["v"] = value
    assert "v" not in key


@pytest.mark.parametrize("make, value", [
    (brindle.Short, 32768), (brindle.Short, -32769), (brindle.Byte, 256), (brindle.Byte, -1),
    (brindle.Int64, 2**63), (brindle.Float, 1e39), (brindle.Float, -3.4028236e38),
    (brindle.DateTime, -1),
])
def test_value_classes_refuse_what_does_not_fit(make, value):
    with pytest.raises(OverflowError):
        make(value)


def test_value_classes_read_as_their_plain_kind():
    assert brindle.Short(7) == 7 and repr(brindle.Short(7)) == "brindle.Short(7)"
    assert brindle.Float(0.1) != 0.1 and brindle.Float(0.5) == 0.5
