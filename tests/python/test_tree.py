"""Keys: addresses, children, renames, deletion, walking, and moving subtrees through files."""
import pytest

import brindle


def test_addresses_follow_the_tools_rules(db):
    db.key("App/net/tls", create=True)["on"] = 1
    assert db.key("App\\net\\tls")["on"] == 1
    assert db.key("/App/net/tls/").path == "App/net/tls"
    with db.key("App", create=True) as app:
        app.append_child("a/b")["slash"] = 1
    slash = db.key("App\\a/b")
    assert slash.name == "a/b" and slash["slash"] == 1 and slash.path == "App\\a/b"
    for bad in ("", "/", "App//x", "App/" + "x" * 256):
        with pytest.raises(brindle.InvalidName):
            db.key(bad)


def test_children_appends_and_generated_names(db):
    app = db.key("App", create=True)
    first = app.append_child("first")
    generated = app.append_generated()
    assert app.children() == ["first", generated.name]
    assert first.append_generated().name.startswith("first.")
    assert app.child("first").children() == [first.children()[0]]


def test_rename_moves_the_handle(db):
    app = db.key("App", create=True)
    net = app.append_child("net")
    net["port"] = 1
    net.rename("network")
    assert net.path == "App/network" and net["port"] == 1
    app.rename("Application")
    db.create_main_key("Vault", hidden=True)  # listed nowhere, reached by name
    assert db.main_keys() == ["Application"] and db.key("Vault").name == "Vault"
    assert app.child("network")["port"] == 1


def test_delete_removes_the_subtree_and_closes_the_key(db):
    doomed = db.key("App/doomed/inner", create=True)
    parent = db.key("App/doomed")
    parent.delete()
    assert parent.closed
    assert db.key("App").children() == []
    doomed.close()


def build_tree(key, depth, fanout):
    key["depth"] = depth
    if depth:
        for _ in range(fanout):
            build_tree(key.append_generated(), depth - 1, fanout)


def test_walk_visits_every_key_depth_first(db):
    root = db.key("Tree", create=True)
    build_tree(root, 3, 2)
    walked = [(path, key["depth"]) for path, key in root.walk()]
    assert len(walked) == 1 + 2 + 4 + 8
    assert [depth for _, depth in walked[:4]] == [3, 2, 1, 0]
    paths = [path for path, _ in walked]
    for path in paths[1:]:
        assert paths.index(path.rsplit("/", 1)[0]) < paths.index(path)


def test_walk_reaches_any_depth_and_closes_what_it_opened(db):
    # Deeper than the interpreter's recursion limit.
    key = db.key("Chain", create=True)
    for _ in range(3000):
        with key:
            key = key.append_child("k")
    key.close()
    root = db.key("Chain")
    walked = list(root.walk())
    assert len(walked) == 3001 and walked[-1][0] == "Chain" + "/k" * 3000
    assert not root.closed and all(key.closed for _, key in walked[1:])


def test_export_then_import_merges_or_builds_afresh(db, tmp_path):
    # What a merge keeps and replaces is the library's test; here, that the options reach it.
    source = db.key("App/net", create=True)
    source.append_child("tls")["on"] = 1
    exported = str(tmp_path / "net.brx")
    source.export(exported)
    with pytest.raises(brindle.Exists):
        source.export(exported)
    source.export(exported, overwrite=True)
    source.child("tls").delete()
    db.import_(exported)
    assert source.child("tls")["on"] == 1
    with brindle.open(str(tmp_path / "other" / "db")) as other:
        other.import_(tmp_path / "net.brx", fresh=True)  # a path object does as well
        assert other.key("App/net/tls")["on"] == 1
        with pytest.raises(brindle.Exists):
            other.import_(exported, fresh=True)


def test_names_that_are_not_utf8_come_and_go_as_surrogate_escapes(db, tmp_path):
    bad = b"bad\xffname".decode("utf-8", "surrogateescape")
    key = db.create_main_key(bad)
    key.append_child(bad)[bad] = bad
    child = db.key(bad + "/" + bad)
    assert db.main_keys() == [bad] and key.children() == [bad] and list(child) == [bad]
    assert child.path == bad + "/" + bad and child.name == bad and child[bad] == bad
    assert [path for path, _ in key.walk()] == [bad, bad + "/" + bad]
    assert bad in repr(child).encode("ascii").decode("unicode_escape")
    failures = [(lambda: child["nope"], brindle.PropertyNotFound),
                (lambda: db.key(bad + "/nope"), brindle.KeyNotFound),
                (lambda: key.append_child(bad), brindle.Exists)]
    for call, kind in failures:
        with pytest.raises(kind, match=bad):
            call()
    child.close()
    with pytest.raises(brindle.Closed, match=bad):
        child.children()
    odd_path = str(tmp_path / bad / "db")
    with brindle.open(odd_path) as other:
        assert other.path == odd_path and "\\udcff" in repr(other)
