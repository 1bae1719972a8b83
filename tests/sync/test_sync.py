"""Two databases kept in step through etcd by `brindle sync`: changes made by the tool and by a
host travel both ways, values stay bit-exact, and conflicting writers end in agreement."""

import json
import os
import subprocess
import sys
import textwrap
import threading

from conftest import (MAIN, PREFIX, dump, eventually, get, key_exists, mkkeys, new_db, tool,
                      tree_of_dump, tree_of_etcd, wait_converged)


def test_changes_of_values_keys_and_names_travel_both_ways(pair):
    a, b = pair.a, pair.b
    mkkeys(a, "App/x")
    tool(a, "set", "App/x", "n", "5", "-t", "int")
    eventually(lambda: get(b, "App/x", "n") == "5", "A's new property at B")

    tool(b, "set", "App/x", "n", "6")
    eventually(lambda: get(a, "App/x", "n") == "6", "B's change at A")
    tool(b, "unset", "App/x", "n")
    eventually(lambda: get(a, "App/x", "n") is None, "B's delete at A")

    # A key that holds nothing but a child with nothing: only the markers say they exist.
    mkkeys(a, "App/empty/deeper")
    eventually(lambda: key_exists(b, "App/empty/deeper"), "A's empty keys at B")

    mkkeys(a, "App/old/child")
    tool(a, "set", "App/old", "p", "kept")
    tool(a, "set", "App/old/child", "q", "7", "-t", "short")
    eventually(lambda: get(b, "App/old/child", "q") == "7", "the subtree at B")
    tool(a, "mvkey", "App/old", "new")
    eventually(lambda: get(b, "App/new/child", "q") == "7" and not key_exists(b, "App/old"),
               "the rename at B")
    assert get(b, "App/new", "p") == "kept"

    tool(b, "rmkey", "App/new")
    eventually(lambda: not key_exists(a, "App/new"), "B's key delete at A")
    wait_converged(a, b, pair.etcd)


def every_type_dump():
    """A dump of App holding each type, the values a text round trip would bend (NaN
    payloads, -0.0, denormals, bytes that are not UTF-8, NULs in a block), and names that
    need escaping in an etcd key."""
    properties = [
        {"name": "empty", "type": "empty"},
        {"name": "text", "type": "string", "value": "line one\nline \"two\" é"},
        {"name": "latin1", "type": "string", "value": {"base64": "Y2Fm6Q=="}},
        {"name": "short", "type": "short", "value": -32768},
        {"name": "int", "type": "int", "value": -2147483648},
        {"name": "int64", "type": "int64", "value": 9223372036854775807},
        {"name": "small_int64", "type": "int64", "value": 1},
        {"name": "byte", "type": "byte", "value": 255},
        {"name": "pi", "type": "double", "bits": "0x400921fb54442d18"},
        {"name": "negative_zero", "type": "double", "bits": "0x8000000000000000"},
        {"name": "denormal", "type": "double", "bits": "0x0000000000000001"},
        {"name": "nan_payload", "type": "double", "bits": "0x7ff8000000000123"},
        {"name": "float", "type": "float", "bits": "0x3dcccccd"},
        {"name": "float_nan", "type": "float", "bits": "0xffc00001"},
        {"name": "blob", "type": "binary", "base64": "AAEC/wA="},
        {"name": "when", "type": "datetime", "utc": "2024-03-05T10:00:00Z"},
        {"name": "far_future", "type": "datetime", "value": 9223372036854775807},
    ]
    odd_names = ["a/b", "100%", "k=v", "with space", "ünï©ødé", "tab\there", "=", "%2F"]
    odd = [{"name": name, "type": "int", "value": i} for i, name in enumerate(odd_names)]
    return {"brindle_dump": 1, "at": [], "keys": [{
        "name": MAIN, "properties": [],
        "keys": [{"name": "types", "properties": properties},
                 {"name": "names", "properties": odd,
                  "keys": [{"name": name, "properties": []} for name in odd_names]}]}]}


def test_every_type_and_awkward_names_arrive_bit_exact(pair, tmp_path):
    document = every_type_dump()
    source = tmp_path / "types.json"
    source.write_text(json.dumps(document, ensure_ascii=False))
    tool(pair.a, "load", str(source))
    expected = dump(pair.a)
    wait_converged(pair.a, pair.b, pair.etcd)
    assert tree_of_dump(dump(pair.b)) == tree_of_dump(expected)

    # The names went through etcd escaped, one level per key, not split at their '/'.
    keys = pair.etcd.get_prefix(f"{PREFIX}/{MAIN}/names/")
    assert f"{PREFIX}/{MAIN}/names/a%2Fb/=" in keys
    assert f"{PREFIX}/{MAIN}/names/%252F/=" in keys
    assert f"{PREFIX}/{MAIN}/names/=k%3Dv" in keys
    assert f"{PREFIX}/{MAIN}/names/=tab%09here" in keys
    assert f"{PREFIX}/{MAIN}/names/ünï©ødé/=" in keys
    # A property's value in etcd is its dump entry without the name.
    nan = json.loads(pair.etcd.get_prefix(f"{PREFIX}/{MAIN}/types/=nan_payload")[
        f"{PREFIX}/{MAIN}/types/=nan_payload"])
    assert nan["type"] == "double" and nan["bits"] == "0x7ff8000000000123"

    # And back: B's delete of an escaped name removes the same property at A.
    tool(pair.b, "unset", "App/names", "a/b")
    eventually(lambda: "a/b" not in tree_of_dump(dump(pair.a))["/App/names"],
               "B's delete of 'a/b' at A")
    wait_converged(pair.a, pair.b, pair.etcd)


HOST_SCRIPT = textwrap.dedent("""
    import sys
    import brindle
    with brindle.open(sys.argv[1], mode="shared") as db:
        with db.batch():
            for k in range(3):
                key = db.key(f"App/batch/k{k}", create=True)
                for i in range(10):
                    key[f"p{i}"] = k * 100 + i
            db.key("App/batch")["done"] = "yes"
        db.key("App/host", create=True)["single"] = 1.5
""")


def python_module_works():
    """True when this interpreter imports the build's module (PYTHONPATH names it), checked
    in a child so that a module this process cannot load does not take the test run down."""
    return subprocess.run([sys.executable, "-c", "import brindle"],
                          capture_output=True).returncode == 0


def write_batch_as_host(db, tmp_path):
    """Writes 30 properties on three keys and a 'done' flag in one commit from another
    process: a Python host when the module is there (then one more change on its own; True),
    else a `brindle load` of the same (False)."""
    if python_module_works():
        subprocess.run([sys.executable, "-c", HOST_SCRIPT, db], check=True, timeout=120)
        return True
    keys = [{"name": f"k{k}", "properties": [
        {"name": f"p{i}", "type": "int", "value": k * 100 + i} for i in range(10)]}
        for k in range(3)]
    document = {"brindle_dump": 1, "at": [MAIN], "keys": [{
        "name": "batch", "properties": [{"name": "done", "type": "string", "value": "yes"}],
        "keys": keys}]}
    source = tmp_path / "batch.json"
    source.write_text(json.dumps(document))
    tool(db, "load", str(source))
    return False


def batch_state(db):
    """How many of the batch's 31 properties `db` holds (0 while it cannot be read)."""
    document = dump(db)
    tree = tree_of_dump(document) if document else {}
    return sum(len(tree.get(path, {})) for path in
               ["/App/batch", "/App/batch/k0", "/App/batch/k1", "/App/batch/k2"])


def test_a_hosts_batch_arrives_as_one_revision(pair, tmp_path):
    pushed_from = pair.sync_a.mark()
    seen = []
    watching = threading.Event()

    def watch_b():
        # Every state B shows must hold all of the batch or none of it.
        while not watching.is_set():
            seen.append(batch_state(pair.b))
            if seen[-1] == 31:
                return

    watcher = threading.Thread(target=watch_b)
    watcher.start()
    try:
        by_host = write_batch_as_host(pair.a, tmp_path)
        eventually(lambda: batch_state(pair.b) == 31, "the batch at B")
    finally:
        watching.set()
        watcher.join()
    assert set(seen) <= {0, 31}, f"B showed part of the batch: {sorted(set(seen))}"

    pushed = pair.sync_a.wait_event("pushed", since=pushed_from)
    assert pushed["keys"] >= 31, "one commit went out as several txns"
    applied = pair.sync_b.wait_event("applied", match=lambda e: e["revision"] ==
                                     pushed["revision"])
    assert applied["keys"] == pushed["keys"]
    if by_host:
        eventually(lambda: get(pair.b, "App/host", "single") == "1.5", "the host's change")
    wait_converged(pair.a, pair.b, pair.etcd)


def test_conflicting_writers_end_in_agreement(pair):
    mkkeys(pair.a, "App/c")
    tool(pair.a, "set", "App/c", "n", "0", "-t", "int")
    eventually(lambda: get(pair.b, "App/c", "n") == "0", "the property at B")

    def write(db, base):
        for i in range(30):
            tool(db, "set", "App/c", "n", str(base + i))
            tool(db, "set", "App/c", f"only_{base}", str(i), "-t", "int")

    writers = [threading.Thread(target=write, args=(pair.a, 1000)),
               threading.Thread(target=write, args=(pair.b, 2000))]
    for writer in writers:
        writer.start()
    for writer in writers:
        writer.join()
    final = wait_converged(pair.a, pair.b, pair.etcd)
    values = {p["name"]: p["value"] for p in final["keys"][0]["keys"][0]["properties"]}
    # Properties only one side wrote are never lost to the other side's conflicts.
    assert values["only_1000"] == 29 and values["only_2000"] == 29
    assert values["n"] in set(range(1000, 1030)) | set(range(2000, 2030))
    # Only the property both sides wrote can have been in conflict.
    conflicts = pair.sync_a.named("conflict") + pair.sync_b.named("conflict")
    assert {(event["key"], event["property"]) for event in conflicts} <= {("App/c", "n")}


def test_a_value_over_etcds_request_limit_is_refused_and_sync_goes_on(
        tmp_path, etcd_factory, sync_factory):
    etcd = etcd_factory(extra_args=("--max-request-bytes", "65536"))
    a, b = new_db(tmp_path, "a"), new_db(tmp_path, "b")
    sync_a, sync_b = sync_factory(a, etcd.url), sync_factory(b, etcd.url)
    sync_a.ready()
    sync_b.ready()
    mkkeys(a, "App/big")
    big = tmp_path / "big.bin"
    big.write_bytes(os.urandom(100_000))
    tool(a, "set", "App/big", "blob", "-t", "binary", "--file", str(big))
    refused = sync_a.wait_event("refused")
    assert refused["key"] == "App/big" and refused["property"] == "blob"
    assert refused["bytes"] > 65536

    tool(a, "set", "App/big", "small", "1", "-t", "int")
    eventually(lambda: get(b, "App/big", "small") == "1", "a later small change at B")
    assert sync_a.process.poll() is None
    assert get(b, "App/big", "blob") is None
    assert f"{PREFIX}/App/big/=blob" not in etcd.get_prefix(f"{PREFIX}/App/")


def test_once_copies_a_populated_etcd_into_a_fresh_database(tmp_path, etcd, sync_factory):
    a = new_db(tmp_path, "a")
    sync_a = sync_factory(a, etcd.url)
    sync_a.ready()
    mkkeys(a, "App/net/tls")
    tool(a, "set", "App/net", "port", "8080", "-t", "int")
    tool(a, "set", "App/net/tls", "cert", "AAEC", "-t", "binary")
    eventually(lambda: tree_of_etcd(etcd) == tree_of_dump(dump(a)), "A's content in etcd")
    assert sync_a.stop() == 0

    fresh = str(tmp_path / "fresh" / "db")
    once = subprocess.run([os.environ.get("BRINDLE_TOOL", "brindle"), "--db", fresh, "sync",
                           "--etcd", etcd.url, "--prefix", PREFIX, "--once", "--json", MAIN],
                          capture_output=True, text=True, timeout=120)
    assert once.returncode == 0, once.stdout + once.stderr
    events = [json.loads(line)["event"] for line in once.stdout.splitlines()]
    assert "full-reconciliation" in events
    assert tree_of_dump(dump(fresh)) == tree_of_dump(dump(a))


def test_sync_touches_only_its_main_keys_below_its_prefix(tmp_path, etcd, sync_factory):
    # Neighbours whose names start the same: a range that forgot a trailing '/' takes them in.
    foreign = {"/fleet2/App/=": "{}", "/fleet2/App/=y": '{"type": "int", "value": 1}',
               "/fleet/Other/=": "{}", "/fleet/Other/=z": '{"type": "int", "value": 2}'}
    for key, value in foreign.items():
        etcd.put(key, value)
    a = new_db(tmp_path, "a", (MAIN, "Apple", "Other"))
    b = new_db(tmp_path, "b", (MAIN, "Apple"))
    tool(a, "set", "Other", "local_only", "1")
    sync_a = sync_factory(a, etcd.url, main_keys=(MAIN, "Apple"))
    sync_b = sync_factory(b, etcd.url, main_keys=(MAIN, "Apple"))
    sync_a.ready()
    sync_b.ready()

    mkkeys(a, "App/sub")
    mkkeys(a, "App/sub2")
    tool(a, "set", "App/sub2", "kept", "1")
    tool(a, "set", "Apple", "n", "1")
    eventually(lambda: get(b, "App/sub2", "kept") == "1" and get(b, "Apple", "n") == "1",
               "both main keys at B")
    tool(b, "rmkey", "App/sub")
    eventually(lambda: not key_exists(a, "App/sub"), "B's delete at A")
    tool(b, "unset", "Apple", "n")
    eventually(lambda: get(a, "Apple", "n") is None, "B's delete in Apple at A")
    wait_converged(a, b, etcd)

    assert get(a, "App/sub2", "kept") == "1"
    assert tree_of_dump(dump(a, "Other")) == {"/Other": {"local_only": {
        "type": "string", "value": "1"}}}
    held = etcd.get_prefix("/fleet")
    assert {key: held.get(key) for key in foreign} == foreign
    assert not any(key.startswith("/fleet/Other/=local") for key in held)


def test_sync_stops_cleanly_and_runs_once_per_database(pair):
    second = subprocess.run([os.environ.get("BRINDLE_TOOL", "brindle"), "--db", pair.a, "sync",
                             "--etcd", pair.etcd.url, "--prefix", PREFIX, "--json", MAIN],
                            capture_output=True, text=True, timeout=60)
    assert second.returncode == 1 and "another brindle sync" in second.stderr
    mkkeys(pair.a, "App/s")
    tool(pair.a, "set", "App/s", "n", "1")
    eventually(lambda: get(pair.b, "App/s", "n") == "1", "the change at B")
    assert pair.sync_a.stop() == 0
    stopped = pair.sync_a.named("stopped")
    assert len(stopped) == 1 and stopped[0]["pushed"] >= 1
