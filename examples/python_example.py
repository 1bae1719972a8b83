#!/usr/bin/env python3
"""A small Python host: stores typed settings, reads them back, walks the tree, and moves a
subtree into a second database through an export file.

    PYTHONPATH=build/python python3 examples/python_example.py [database path]

(default: ./example-db-py/db; a second database is made beside it). Safe to run again.
"""
import datetime
import os
import sys

import brindle


def main(path):
    with brindle.open(path) as db:
        network = db.key("Service/network", create=True)
        network["host"] = "example.org"
        network["port"] = brindle.Short(8080)       # an exact type; plain ints are int32/int64
        network["timeout"] = 2.5
        network["started"] = datetime.datetime(2024, 3, 5, 10, 0, tzinfo=datetime.timezone.utc)
        network["certificate"] = b"\x30\x82\x01\x0a"
        if not network.children():
            network.append_generated()["note"] = "a child named by the library"

        print("port is", network["port"], "of type", type(network["port"]).__name__)
        for address, key in db.key("Service").walk():
            print(address, dict(key.items()))

        exported = os.path.join(os.path.dirname(path) or ".", "network.brx")
        network.export(exported, overwrite=True)

    copy_path = path + "-copy"
    with brindle.open(copy_path) as copy:
        copy.import_(exported)                       # merges; fresh=True wants a new main key
        print("imported:", copy.key("Service/network")["host"])
        try:
            copy.key("Service/missing")
        except brindle.KeyNotFound as error:
            print("as expected:", error)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "./example-db-py/db")
