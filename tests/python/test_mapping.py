"""A key as a mutable mapping of its properties."""
import pytest

import brindle


def test_set_get_replace_delete_and_membership(key):
    key["port"] = 8080
    key["port"] = 2.5  # assignment replaces value and type
    assert type(key["port"]) is float and key["port"] == 2.5 and len(key) == 1
    assert "port" in key and "missing" not in key
    assert "" not in key and 5 not in key and "x" * 300 not in key
    del key["port"]
    assert "port" not in key
    with pytest.raises(KeyError):
        key["port"]
    with pytest.raises(brindle.PropertyNotFound):
        del key["port"]
    key["n" * 255] = 1
    with pytest.raises(ValueError):
        key["a\0b"] = 1


def test_listing_keeps_stored_order_and_types(key):
    key.update({"a": 1, "b": brindle.Short(2), "c": None})
    assert list(key) == ["a", "b", "c"]
    assert key.keys() == ["a", "b", "c"]
    assert key.values() == [1, 2, None]
    assert [(name, type(value)) for name, value in key.items()] == [
        ("a", int), ("b", brindle.Short), ("c", type(None))]
    assert len(key) == 3 and dict(key) == {"a": 1, "b": 2, "c": None}


def test_mixin_methods_follow_the_mapping_protocol(key):
    assert key.get("missing") is None and key.get("missing", 7) == 7
    assert key.setdefault("level", 3) == 3 and key.setdefault("level", 9) == 3
    assert key.pop("level") == 3 and key.pop("level", None) is None
    key.update(x=1, y=2)
    key.clear()
    assert len(key) == 0
