"""Value classes that keep a stored type exactly, and the date-time conversions."""

import datetime as _datetime
import struct as _struct

_EPOCH = _datetime.datetime(1970, 1, 1, tzinfo=_datetime.timezone.utc)
_ONE_SECOND = _datetime.timedelta(seconds=1)


class _SizedInt(int):
    """An int that is stored as one integer type of the library; checked on creation."""

    _low = 0
    _high = 0

    def __new__(cls, value=0):
        number = int.__new__(cls, value)
        if not cls._low <= number <= cls._high:
            raise OverflowError(
                f"{cls.__name__} holds {cls._low} to {cls._high}, not {int(number)}")
        return number

    def __repr__(self):
        return f"brindle.{type(self).__name__}({int(self)})"


class Short(_SizedInt):
    """A signed 16-bit integer."""

    _low, _high = -(1 << 15), (1 << 15) - 1


class Byte(_SizedInt):
    """An unsigned 8-bit integer."""

    _low, _high = 0, 255


class Int64(_SizedInt):
    """A signed 64-bit integer, stored as such even when it would fit in 32 bits."""

    _low, _high = -(1 << 63), (1 << 63) - 1


class Float(float):
    """An IEEE single: the value is rounded to single precision on creation."""

    def __new__(cls, value=0.0):
        number = float(value)
        # struct rounds to the nearest single; what rounds past the largest single it refuses.
        try:
            packed = _struct.pack("<f", number)
        except OverflowError:
            raise OverflowError(
                f"{number!r} does not fit a 32-bit float (its largest finite value is "
                f"{_FLOAT_MAX!r}); store it as a plain float, a 64-bit double") from None
        return float.__new__(cls, _struct.unpack("<f", packed)[0])

    def __repr__(self):
        return f"brindle.Float({float(self)!r})"


_FLOAT_MAX = _struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]


class DateTime(_SizedInt):
    """A stored date-time that datetime cannot hold (after 9999-12-31T23:59:59Z): the count
    of seconds since 1970-01-01T00:00:00Z. Reads give one only for such values; written
    back, it is stored as a date-time again."""

    _low, _high = 0, (1 << 63) - 1


def datetime_seconds(value):
    """Seconds since 1970 in UTC of an aware datetime; refuses what the store cannot keep."""
    if not isinstance(value, _datetime.datetime):
        raise TypeError(
            f"a value of type {type(value).__name__} cannot be stored; use None, int, float, "
            "str, bytes, datetime or a brindle value class")
    if value.tzinfo is None or value.utcoffset() is None:
        raise ValueError(
            "a naive datetime has no defined moment; give it a time zone, for example "
            "value.replace(tzinfo=datetime.timezone.utc)")
    if value.microsecond:
        raise ValueError("date-times are stored in whole seconds; drop the microseconds first")
    if value < _EPOCH:
        raise ValueError("date-times are stored from 1970-01-01T00:00:00Z on")
    return (value - _EPOCH) // _ONE_SECOND


def datetime_from_seconds(seconds):
    """The aware UTC datetime of a stored count of seconds, or a DateTime past year 9999."""
    try:
        return _EPOCH + _datetime.timedelta(seconds=seconds)
    except OverflowError:
        return DateTime(seconds)
