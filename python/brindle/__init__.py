"""Brindle, an embedded hierarchical configuration store, from Python.

    import brindle
    with brindle.open("/var/lib/myapp/config") as db:
        key = db.key("MyApp/network", create=True)
        key["port"] = 8080
"""

from collections.abc import MutableMapping as _MutableMapping

from brindle._errors import (Closed, Error, Exists, InternalError, InvalidName, KeyNotFound,
                             NotAllowed, PropertyNotFound, ReadOnly, StoreError, TransferError)
from brindle._types import Byte, DateTime, Float, Int64, Short
from brindle._brindle import Batch, Database, Key, result_codes
from brindle._watch import Change, Changes, Watch, changes as _changes, watch as _watch

__all__ = [
    "open", "Database", "Key", "Batch", "Watch", "Changes", "Change", "Short", "Byte", "Int64",
    "Float", "DateTime", "result_codes",
    "Error", "Closed", "KeyNotFound", "PropertyNotFound", "Exists", "ReadOnly", "InvalidName",
    "NotAllowed", "TransferError", "InternalError", "StoreError",
]


def open(path, *, timeout=0, mode="write"):  # noqa: A001 - the module's entry point
    """Opens the database whose data files have the base path `path`, creating it on first use.

    mode "write" (the default): this process writes, alone; other processes may open it "read".
    "shared": several processes write, one change at a time. "read": reads only, each call
    seeing the latest commit; the database must exist. While a process holds it in a way that
    excludes this open, waits up to `timeout` seconds, then raises StoreError.
    """
    return Database(path, timeout=timeout, mode=mode)


def _walk(key):
    """Yields (path, key) for this key and every key below it, depth first, parents first.

    Each key below this one is opened as the walk reaches it and closed when the walk leaves
    its subtree; open its path again to keep it longer.
    """
    # An explicit stack rather than recursion, so that a tree of any depth can be walked. Each
    # entry is a key and the names of its children still to visit; all but the first were
    # opened here.
    yield key.path, key
    stack = [(key, iter(key.children()))]
    try:
        while stack:
            parent, names = stack[-1]
            name = next(names, None)
            if name is None:
                stack.pop()
                if stack:
                    parent.close()
                continue
            child = parent.child(name)
            stack.append((child, iter(())))
            yield child.path, child
            stack[-1] = (child, iter(child.children()))
    finally:
        for opened, _ in stack[1:]:
            opened.close()


Key.walk = _walk
Database.watch = _watch
Database.changes = _changes
# Key implements the mapping methods itself; the rest of the mutable-mapping protocol comes
# from collections.abc, which builds it on those.
for _name in ("pop", "popitem", "clear", "update", "setdefault"):
    setattr(Key, _name, getattr(_MutableMapping, _name))
Key._MutableMapping__marker = _MutableMapping._MutableMapping__marker  # pop's "no default"
_MutableMapping.register(Key)

# Shown as brindle.X in tracebacks and reprs, where users find them.
for _name in __all__:
    if isinstance(globals()[_name], type):
        globals()[_name].__module__ = __name__
