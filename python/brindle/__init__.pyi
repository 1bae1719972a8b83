"""Brindle, an embedded hierarchical configuration store: databases of keys with typed
properties below named main keys.

Names and text are bytes in the store, read and written as UTF-8. Bytes that are not UTF-8
come back as str with surrogate escapes (b"bad\xff" as "bad\udcff"), in listings, paths,
reprs and error messages alike; such a str passed back names the same bytes."""

import datetime
import os
from typing import Callable, Iterator, Literal, MutableMapping, NamedTuple, Optional, Union

_Path = Union[str, os.PathLike[str]]

class Short(int):
    """A signed 16-bit integer; OverflowError outside -32768 to 32767."""

class Byte(int):
    """An unsigned 8-bit integer; OverflowError outside 0 to 255."""

class Int64(int):
    """A signed 64-bit integer, stored as such even when it would fit in 32 bits."""

class Float(float):
    """An IEEE single: rounded to single precision on creation; OverflowError when the value
    does not fit a 32-bit float."""

class DateTime(int):
    """A stored date-time that datetime cannot hold (after 9999-12-31T23:59:59Z): the count
    of seconds since 1970-01-01T00:00:00Z, 0 to 2**63 - 1. Reads give one only for such
    values; written back, it is stored as a date-time again."""

Value = Union[None, int, float, str, bytes, bytearray, datetime.datetime, Short, Byte, Int64,
              Float, DateTime]
"""What a property accepts. int is stored as int32 when it fits, else int64; float as a
double; str as text (no NUL); bytes as a block (not empty); an aware datetime as a UTC
date-time in whole seconds from 1970 on."""

Stored = Union[None, int, float, str, bytes, datetime.datetime, Short, Byte, Int64, Float,
               DateTime]
"""What a read gives back: the stored type (int64 as Int64, date-times as aware UTC
datetimes, or as DateTime past year 9999)."""

def open(path: _Path, *, timeout: float = 0,
         mode: Literal["write", "shared", "read"] = "write") -> Database:
    """Opens the database whose data files have the base path `path` (PATH001, ...),
    creating it and its folder on first use (not with mode "read"). "write": this process
    writes alone and other processes may read (a second "write" open, here or elsewhere,
    waits up to `timeout` seconds, then raises StoreError: "already open in this process", or
    "in use by process N"); "shared": several processes write, one change at a time; "read":
    read-only, each call sees the latest commit of any process."""

def result_codes() -> list[tuple[int, str, str]]:
    """The library's result codes as (code, name, meaning) rows."""

class Database:
    """An open database; a context manager that closes it on exit."""

    def __init__(self, path: _Path, *, timeout: float = 0,
                 mode: Literal["write", "shared", "read"] = "write") -> None: ...
    @property
    def path(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None:
        """Closes every key still open through this database, then the database itself.
        Waits for calls running in other threads; later uses raise Closed."""
    def __enter__(self) -> Database: ...
    def __exit__(self, *exc: object) -> None: ...
    def main_keys(self) -> list[str]:
        """The names of the main keys that are not hidden, in byte-wise order."""
    def create_main_key(self, name: str, *, hidden: bool = False,
                        readonly: bool = False) -> Key:
        """Creates a main key and opens it. A read-only main key refuses every change below
        it. Exists when it exists already."""
    def key(self, address: str, *, create: bool = False) -> Key:
        """Opens the key at `address`: the main key, then one name per level, separated by
        '\\', or by '/' when the address holds no backslash. create=True makes the missing
        levels first. KeyNotFound when a level is missing."""
    def import_(self, path: _Path, *, fresh: bool = False) -> None:
        """Reads an export file back in, at the key path it records. Merges into existing keys
        unless fresh, which builds a new main key (Exists when it is there already)."""
    def batch(self) -> Batch:
        """A context manager that makes the changes of its block, made on this thread, one
        unit: all of them are kept, or none. See Batch."""
    def watch(self, address: Optional[str], callback: Callable[[Change], object], *,
              recursive: bool = True) -> Watch:
        """Calls callback(change) for every change committed from now on to the key at
        `address` (None: every key) and, when `recursive`, below it; without it, of the keys
        below only their adding, deleting and renaming. Callbacks run one at a time, in commit
        order, on a thread of the library; they may use the database. Changes of other
        processes arrive within about 100 ms. Closing the database ends its watches."""
    def changes(self, address: Optional[str] = None, *, recursive: bool = True,
                timeout: Optional[float] = None) -> Changes:
        """The changes committed from now on to the key at `address` (see watch) as an
        iterator, which stops after `timeout` seconds without a change (None: never)."""

class Change(NamedTuple):
    """One committed change. Changes of one commit or batch share `seq`, which grows with every
    commit. `path` is below the main key, names joined with '\\' ('' for the main key). `kind`
    is "key-added", "key-deleted", "key-renamed" (`name`: the new name), "property-set",
    "property-deleted" (`name`: the property) or "resync": changes were lost to this watcher,
    which should read the main key afresh."""

    seq: int
    main: str
    path: str
    kind: str
    name: str

class Watch:
    """A running watch (Database.watch); a context manager that closes it on exit."""

    @property
    def closed(self) -> bool: ...
    def close(self) -> None:
        """Ends the watch: once it returns its callback is not running (unless called from
        that callback) and is never called again."""
    def __enter__(self) -> Watch: ...
    def __exit__(self, *exc: object) -> bool: ...

class Changes(Iterator[Change]):
    """Database.changes: an iterator of changes, and a context manager that ends the watch."""

    def __next__(self) -> Change: ...
    def close(self) -> None: ...
    def __enter__(self) -> Changes: ...
    def __exit__(self, *exc: object) -> bool: ...

class Batch:
    """A context manager that makes the changes of its block one unit: on a normal exit they
    are committed together, on an exception none of them is kept. Only the calls of the
    thread that entered it join; other threads' changes wait for it to end. A failed call
    inside changes nothing and leaves the batch usable."""

    def __enter__(self) -> Batch:
        """Starts the batch, waiting while another thread writes."""
    def __exit__(self, *exc: object) -> bool:
        """Commits the batch, or rolls it back when the block raised."""

class Key(MutableMapping[str, Stored]):
    """An open key: a mutable mapping of its properties, and a context manager that closes
    it on exit. Assigning a property adds it or replaces its value and type."""

    @property
    def path(self) -> str:
        """The key's address, levels joined by '/' (by '\\' when a name holds a '/')."""
    @property
    def name(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def __enter__(self) -> Key: ...
    def __exit__(self, *exc: object) -> None: ...
    def __getitem__(self, name: str) -> Stored:
        """The property's value in its stored type; PropertyNotFound (a KeyError) if none."""
    def __setitem__(self, name: str, value: Value) -> None: ...
    def __delitem__(self, name: str) -> None: ...
    def __contains__(self, name: object) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[str]:
        """The property names, in stored order, as they were when iteration began."""
    def keys(self) -> list[str]: ...  # type: ignore[override]
    def values(self) -> list[Stored]: ...  # type: ignore[override]
    def items(self) -> list[tuple[str, Stored]]:  # type: ignore[override]
        """(name, value) pairs with their stored types, in stored order."""
    def get(self, name: str, default: Optional[Stored] = None) -> Optional[Stored]: ...
    def children(self) -> list[str]:
        """The names of the child keys, in stored order."""
    def child(self, name: str) -> Key:
        """Opens the child key of that name; KeyNotFound if there is none."""
    def append_child(self, name: str) -> Key:
        """Creates a child key and opens it; Exists if the key has a child of that name."""
    def append_generated(self) -> Key:
        """Creates a child key with a name the library generates and opens it."""
    def rename(self, new_name: str) -> None:
        """Renames the key (a main key too); Exists when a sibling has the name."""
    def delete(self) -> None:
        """Deletes the key with everything below it and closes this handle. A main key cannot
        be deleted (NotAllowed)."""
    def walk(self) -> Iterator[tuple[str, Key]]:
        """(path, key) for this key and every key below, depth first. Keys below this one are
        closed when the walk leaves their subtree."""
    def export(self, path: _Path, *, overwrite: bool = False) -> None:
        """Writes this key's subtree to an export file; Exists when the file is there and not
        overwrite."""

class Error(Exception):
    """A failure: code is the library's result code (None when the module refused the call
    itself), name its constant and reason its meaning from the library's code table."""

    code: Optional[int]
    name: Optional[str]
    reason: Optional[str]

class Closed(Error, ValueError):
    """The database or key was closed before this use."""

class KeyNotFound(Error, LookupError):
    """No main key (13) or no key on the path (14) of that name."""

class PropertyNotFound(Error, KeyError):
    """The key has no property of that name (7)."""

class Exists(Error):
    """A key (16), property (19) or export file (47) of that name exists already."""

class ReadOnly(Error):
    """The main key is read-only (51)."""

class InvalidName(Error, ValueError):
    """A name or address the library does not accept: empty, 256 bytes or more, an empty
    level, or a path too long (10, 18, 55, 102)."""

class NotAllowed(Error):
    """The database does not allow this change of main keys (52, 53, 54)."""

class TransferError(Error):
    """An export or import file could not be written or read (40-50, 104, 112, 113)."""

class InternalError(Error):
    """The library failed inside: it caught an error (1000), or raised one (type_name and
    detail of the library's exception, code None)."""

    type_name: Optional[str]
    detail: Optional[str]

class StoreError(Error):
    """Any other failure reported with a result code, such as 0 when the database cannot be
    opened."""
