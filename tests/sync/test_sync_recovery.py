"""`brindle sync` through failures: etcd down, the sync process killed, history compacted
away, a cluster member lost. Afterwards both databases and etcd hold the same, with nothing
lost and nothing applied twice."""

import threading

from conftest import dump, eventually, get, mkkeys, new_db, tool, tree_of_dump, wait_converged


def bump_counter(db, times):
    """Adds 1 to App/counter n, `times` times, each a read and a write of its own."""
    for _ in range(times):
        value = int(get(db, "App/counter", "n"))
        tool(db, "set", "App/counter", "n", str(value + 1))


def test_changes_made_while_etcd_is_down_arrive_once_it_is_back(pair):
    mkkeys(pair.a, "App/counter")
    mkkeys(pair.a, "App/offline")
    tool(pair.a, "set", "App/counter", "n", "0", "-t", "int")
    eventually(lambda: get(pair.b, "App/counter", "n") == "0", "the counter at B")

    since = pair.sync_a.mark()
    pair.etcd.stop()
    for i in range(50):
        tool(pair.a, "set", "App/offline", f"p{i}", str(i), "-t", "int")
    bump_counter(pair.a, 20)
    pair.sync_a.wait_event("offline", since=since)
    assert pair.sync_a.process.poll() is None

    pair.etcd.start_member(0)
    pair.sync_a.wait_event("ready", since=since)
    final = wait_converged(pair.a, pair.b, pair.etcd)
    tree = tree_of_dump(final)
    assert len(tree["/App/offline"]) == 50
    assert tree["/App/counter"]["n"]["value"] == 20

    # Both go on working in both directions after the outage.
    tool(pair.b, "set", "App/counter", "n", "21")
    eventually(lambda: get(pair.a, "App/counter", "n") == "21", "B's change at A")


def test_a_killed_sync_resumes_where_it_stopped(pair, sync_factory):
    mkkeys(pair.a, "App/stream")
    writing = threading.Thread(target=lambda: [
        tool(pair.a, "set", "App/stream", f"p{i}", str(i), "-t", "int") for i in range(60)])
    writing.start()
    try:
        eventually(lambda: len(pair.sync_a.named("pushed")) >= 3, "A's first pushes")
        pair.sync_a.kill()
        tool(pair.a, "set", "App/stream", "while_down", "1")
    finally:
        writing.join()
    # What etcd got from A before the kill, B changes meanwhile: A must take B's word for
    # it on resuming, not push back what it had pushed itself.
    eventually(lambda: get(pair.b, "App/stream", "p0") == "0", "A's first property at B")
    tool(pair.b, "unset", "App/stream", "p0")
    tool(pair.b, "set", "App/stream", "from_b", "1")
    eventually(lambda: not pair.etcd.get_prefix("/fleet/App/stream/=p0"), "B's delete in etcd")

    restarted = sync_factory(pair.a, pair.etcd.url)
    assert restarted.ready()["start"] == "resume"
    final = wait_converged(pair.a, pair.b, pair.etcd)
    stream = tree_of_dump(final)["/App/stream"]
    assert "p0" not in stream and "from_b" in stream and "while_down" in stream
    assert len(stream) == 61

    tool(pair.b, "set", "App/stream", "after", "1")
    eventually(lambda: get(pair.a, "App/stream", "after") == "1", "B's change at A")
    assert not restarted.named("full-reconciliation")


def test_a_sync_behind_compacted_history_reconciles_in_full(pair, sync_factory):
    mkkeys(pair.a, "App/k")
    tool(pair.a, "set", "App/k", "gone", "1")
    tool(pair.a, "set", "App/k", "changed", "1")
    eventually(lambda: get(pair.b, "App/k", "changed") == "1", "A's properties at B")
    assert pair.sync_a.stop() == 0

    tool(pair.b, "unset", "App/k", "gone")
    tool(pair.b, "set", "App/k", "changed", "2")
    mkkeys(pair.b, "App/k/new")
    tool(pair.b, "set", "App/k/new", "n", "3", "-t", "int")
    eventually(lambda: pair.etcd.get_prefix("/fleet/App/k/new/=n"), "B's changes in etcd")
    pair.etcd.compact_to_latest()

    restarted = sync_factory(pair.a, pair.etcd.url)
    full = restarted.wait_event("full-reconciliation")
    assert full["reason"] == "compacted"
    restarted.ready()
    final = wait_converged(pair.a, pair.b, pair.etcd)
    tree = tree_of_dump(final)
    assert "gone" not in tree["/App/k"] and tree["/App/k"]["changed"]["value"] == "2"
    assert tree["/App/k/new"]["n"]["value"] == 3


def test_changes_travel_through_a_cluster_that_loses_a_member(tmp_path, etcd_factory,
                                                               sync_factory):
    etcd = etcd_factory(members=3)
    a, b = new_db(tmp_path, "a"), new_db(tmp_path, "b")
    sync_a, sync_b = sync_factory(a, etcd.url), sync_factory(b, etcd.url)
    sync_a.ready()
    sync_b.ready()
    mkkeys(a, "App/x")
    tool(a, "set", "App/x", "before", "1")
    eventually(lambda: get(b, "App/x", "before") == "1", "a change before the loss")

    etcd.kill_member(0)
    tool(a, "set", "App/x", "from_a", "1")
    tool(b, "set", "App/x", "from_b", "1")
    eventually(lambda: get(b, "App/x", "from_a") == "1", "A's change at B", timeout=60)
    eventually(lambda: get(a, "App/x", "from_b") == "1", "B's change at A", timeout=60)
    assert tree_of_dump(dump(a)) == tree_of_dump(dump(b))
