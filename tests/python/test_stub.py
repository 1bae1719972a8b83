"""The type stub describes the module as it is, and help() explains every public method."""
import ast
import collections.abc
import pathlib

import pytest

import brindle

STUB = ast.parse(pathlib.Path(brindle.__file__).with_name("__init__.pyi").read_text())
STUB_CLASSES = {node.name: node for node in STUB.body if isinstance(node, ast.ClassDef)}
TYPE_ALIASES = {"Value", "Stored"}


def stub_methods(name):
    return {node.name: node for node in STUB_CLASSES[name].body
            if isinstance(node, ast.FunctionDef)}


def public(names):
    return {name for name in names if not name.startswith("_")}


def test_stub_declares_the_modules_public_names():
    declared = {node.name for node in STUB.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    declared |= {target.id for node in STUB.body if isinstance(node, ast.Assign)
                 for target in node.targets}
    assert public(declared) - TYPE_ALIASES == set(brindle.__all__)


@pytest.mark.parametrize("cls, inherited", [
    (brindle.Database, set()),
    (brindle.Key, public(dir(collections.abc.MutableMapping))),
])
def test_stub_classes_match_the_handles(cls, inherited):
    declared = stub_methods(cls.__name__)
    assert public(declared) <= public(dir(cls))
    assert public(dir(cls)) - public(declared) <= inherited
    for name, node in declared.items():
        attribute = cls.__dict__.get(name)
        signature = (attribute.__doc__ or "").split("\n")[0] if callable(attribute) else ""
        if name == "walk" or not signature.startswith(name + "("):
            continue  # written in Python, or a property
        # pybind11 puts "name(self: ..., a: str, *, b: bool = False) -> T" first.
        runtime = [part.split(":")[0].strip() for part in
                   signature[len(name) + 1:signature.rindex(") ->")].split(", ") if ":" in part]
        arguments = node.args.args + node.args.kwonlyargs
        assert runtime == [argument.arg for argument in arguments], name


@pytest.mark.parametrize("cls", [brindle.Database, brindle.Key])
def test_every_public_method_has_a_docstring_and_no_cpp_names(cls):
    for name, attribute in vars(cls).items():
        if name in ("__init__", "__new__", "__doc__", "__module__") or not callable(
                attribute) and not isinstance(attribute, property):
            continue
        text = attribute.__doc__ or ""
        explained = text.split("\n\n", 1)[-1] if text.startswith(name + "(") else text
        assert explained.strip() and "::" not in text, name
    assert cls.__doc__ and "::" not in cls.__init__.__doc__
