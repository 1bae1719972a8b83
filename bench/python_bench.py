#!/usr/bin/env python3
"""Calls per second through the Python module, for comparison with bench/api_bench.cpp.

    PYTHONPATH=build/python python3 bench/python_bench.py

Builds the same shapes as api_bench: a key with five 32-bit properties (the third is read,
the fifth edited) and a chain l1/l2/l3/l4/l5 below a main key, each level the fifth of five
children. Reports the median of five timed rounds of each operation.
"""
import os
import statistics
import sys
import tempfile
import threading
import time

import brindle

ROUNDS = 5


def rate(operation, calls):
    """Calls per second of operation(), median of ROUNDS rounds of `calls` calls."""
    rates = []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        for _ in range(calls):
            operation()
        rates.append(calls / (time.perf_counter() - start))
    return statistics.median(rates)


def threaded_reads(db, threads, calls):
    """Reads per second of `threads` threads together, each with its own handle."""
    keys = [db.key("bench/reader") for _ in range(threads)]
    go = threading.Barrier(threads + 1)

    def read(key):
        go.wait()
        for _ in range(calls):
            key["property2"]

    workers = [threading.Thread(target=read, args=(key,)) for key in keys]
    for worker in workers:
        worker.start()
    go.wait()
    start = time.perf_counter()
    for worker in workers:
        worker.join()
    return threads * calls / (time.perf_counter() - start)


def build(db):
    reader = db.key("bench/reader", create=True)
    for number in range(5):
        reader[f"property{number}"] = number
    parent = db.key("bench")
    for level in range(1, 6):
        for sibling in range(4):
            parent.append_child(f"s{sibling}")
        parent = parent.append_child(f"l{level}")
    return reader


def main():
    with tempfile.TemporaryDirectory() as folder, brindle.open(os.path.join(folder, "db")) as db:
        reader = build(db)
        values = iter([1, 2] * 1_000_000)
        figures = {
            "read key['property2']": rate(lambda: reader["property2"], 100_000),
            "edit key['property4'] = n": rate(lambda: reader.__setitem__(
                "property4", next(values)), 2_000),
            "db.key('bench/l1/l2/l3/l4/l5') + close": rate(
                lambda: db.key("bench/l1/l2/l3/l4/l5").close(), 20_000),
        }
        for threads in (1, 2):
            figures[f"reads, {threads} thread(s) together"] = statistics.median(
                threaded_reads(db, threads, 100_000) for _ in range(ROUNDS))
    for name, per_second in figures.items():
        print(f"{name:45} {per_second:12,.0f} /s  {1e6 / per_second:8.2f} us")
    return 0


if __name__ == "__main__":
    sys.exit(main())
