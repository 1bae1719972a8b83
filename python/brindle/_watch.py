"""Watching a database for committed changes: Database.watch and Database.changes."""

import atexit
import queue
import threading
from collections import namedtuple

from brindle import _brindle

Change = namedtuple("Change", "seq main path kind name")
Change.__doc__ = """One committed change.

seq: the commit's sequence number (changes of one commit or batch share it; it grows with every
commit). main: the main key. path: the key below it, names joined with '\\' ('' for the main
key). kind: "key-added", "key-deleted", "key-renamed" (name: the new name), "property-set",
"property-deleted" (name: the property) or "resync" (changes were lost to this watcher, as when
it fell too far behind: read the main key afresh; path and name are '')."""

# Watches not closed yet, closed when the interpreter ends so that no callback is left waiting
# for it.
_live = set()
_live_lock = threading.Lock()


class Watch:
    """A running watch (Database.watch); a context manager that closes it on exit."""

    def __init__(self, database, address, callback, recursive):
        def deliver(seq, main, path, kind, name):
            callback(Change(seq, main, path, kind, name))

        self._database = database
        self._token = _brindle._watch(database, address, deliver, recursive)
        with _live_lock:
            _live.add(self)

    @property
    def closed(self):
        """True once the watch was closed (closing its database ends it too, but leaves it
        open here)."""
        return self._token == 0

    def close(self):
        """Ends the watch: once it returns, its callback is not running (unless close was
        called from that callback) and is never called again."""
        token, self._token = self._token, 0
        with _live_lock:
            _live.discard(self)
        if token:
            _brindle._unwatch(self._database, token)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class Changes:
    """The changes of a key as an iterator (Database.changes); a context manager that ends the
    watch on exit. Iteration stops when `timeout` seconds pass without a change (never, for
    None) or when the watch is closed."""

    _END = object()

    def __init__(self, database, address, recursive, timeout):
        self._queue = queue.SimpleQueue()
        self._timeout = timeout
        self._watch = Watch(database, address, self._queue.put, recursive)

    def __iter__(self):
        return self

    def __next__(self):
        try:
            change = self._queue.get(timeout=self._timeout)
        except queue.Empty:
            change = self._END
        if change is self._END:
            self.close()
            raise StopIteration
        return change

    def close(self):
        """Ends the watch; changes already queued are dropped."""
        if not self._watch.closed:
            self._watch.close()
            self._queue.put(self._END)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        self._watch.close()


def watch(self, address, callback, *, recursive=True):
    """Calls callback(change) for every change committed from now on to the key at `address`
    (None: every key of the database) and, when `recursive`, to the keys below it; without
    it, of the keys below only their adding, deleting and renaming. Changes made by other
    processes arrive within about 100 ms. Returns the Watch; close it to stop.

    Callbacks run one at a time, in commit order, on a thread of the library, holding the GIL;
    they may use the database (changes too), and an exception they raise is reported as
    unraisable and dropped. Closing the database ends its watches."""
    return Watch(self, address, callback, recursive)


def changes(self, address=None, *, recursive=True, timeout=None):
    """The changes committed from now on to the key at `address` (see watch), as an iterator
    of Change: `for change in db.changes("App", timeout=5): ...` ends after 5 s without a
    change."""
    return Changes(self, address, recursive, timeout)


def _at_exit():
    with _live_lock:
        watches = list(_live)
    for running in watches:
        running.close()
    _brindle._python_exiting()


atexit.register(_at_exit)
