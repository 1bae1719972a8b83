// The Python class brindle.Key: a key handle that works as a mapping of the key's properties.
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <list>
#include <utility>

#include "bindings.h"
#include "brindle.h"
#include "errors.h"
#include "handles.h"
#include "values.h"

namespace py = pybind11;

namespace brindle::python {
namespace {

using KeyPointer = std::shared_ptr<KeyState>;
using PropertyList = std::list<std::pair<std::string, vell::VariableData>>;

py::list NameList(const std::vector<std::string>& names) {
    py::list list;
    for (const std::string& name : names) {
        list.append(DecodeText(name));
    }
    return list;
}

PropertyList Properties(KeyState& state) {
    return state.Call([](tool::Key& key) { return key.Properties(); });
}

py::list PropertyNames(KeyState& state) {
    py::list names;
    for (const auto& [name, value] : Properties(state)) {
        names.append(DecodeText(name));
    }
    return names;
}

py::list PropertyItems(KeyState& state) {
    py::list items;
    for (const auto& [name, value] : Properties(state)) {
        items.append(py::make_tuple(DecodeText(name), FromValue(value)));
    }
    return items;
}

py::list PropertyValues(KeyState& state) {
    py::list values;
    for (const auto& property : Properties(state)) {
        values.append(FromValue(property.second));
    }
    return values;
}

py::object GetProperty(KeyState& state, Text name) {
    const std::string property = Name(name, "a property name");
    return FromValue(state.Call([&](tool::Key& key) { return key.Get(property); }));
}

py::object GetPropertyOr(KeyState& state, Text name, py::object fallback) {
    const std::string property = Name(name, "a property name");
    vell::VariableData value;
    const bool found = state.Call([&](tool::Key& key) {
        if (!key.HasProperty(property)) {
            return false;
        }
        value = key.Get(property);
        return true;
    });
    return found ? FromValue(value) : fallback;
}

void SetProperty(KeyState& state, Text name, py::object value) {
    const std::string property = Name(name, "a property name");
    const vell::VariableData stored = ToValue(value);
    state.Call([&](tool::Key& key) { Assign(key, property, stored); });
}

void DeleteProperty(KeyState& state, Text name) {
    const std::string property = Name(name, "a property name");
    state.Call([&](tool::Key& key) { key.DeleteProperty(property); });
}

bool HasProperty(KeyState& state, py::object name) {
    // Only a str of 1 to 255 bytes without NUL can name a property; anything else is not in.
    if (!PyUnicode_Check(name.ptr())) {
        return false;
    }
    std::string property;
    try {
        property = EncodeText(name, "a property name");
    } catch (const py::value_error&) {
        return false;
    }
    if (property.empty() || property.size() > brindle::kMaxNameLength) {
        return false;
    }
    return state.Call([&](tool::Key& key) { return key.HasProperty(property); });
}

py::str Describe(KeyState& state) {
    return py::str("<brindle.Key {}{}>")
        .format(py::repr(DecodeText(state.Address().ToString())),
                state.IsClosed() ? " (closed)" : "");
}

void BindMapping(py::class_<KeyState, KeyPointer>& key) {
    key.def("__getitem__", &GetProperty,
            "The property's value in its stored type; PropertyNotFound (a KeyError) if none.",
            py::arg("name"))
        .def("__setitem__", &SetProperty,
             "Sets the property to `value`, adding it or replacing its value and type.",
             py::arg("name"), py::arg("value"))
        .def("__delitem__", &DeleteProperty,
             "Deletes the property; PropertyNotFound (a KeyError) if none.", py::arg("name"))
        .def("__contains__", &HasProperty, "True when the key has a property of that name.",
             py::arg("name"))
        .def(
            "__len__", [](KeyState& state) { return Properties(state).size(); },
            "The number of properties.")
        .def(
            "__iter__", [](KeyState& state) { return py::iter(PropertyNames(state)); },
            "The property names, in stored order, as they were when iteration began.")
        .def("keys", &PropertyNames, "The property names, in stored order.")
        .def("values", &PropertyValues, "The property values with their stored types.")
        .def("items", &PropertyItems,
             "(name, value) pairs with their stored types, in stored order.")
        .def("get", &GetPropertyOr,
             "The property's value, or `default` when the key has no property of that name.",
             py::arg("name"), py::arg("default") = py::none());
}

void BindTree(py::class_<KeyState, KeyPointer>& key) {
    key.def(
           "children",
           [](KeyState& state) {
               return NameList(state.Call([](tool::Key& key) { return key.SubKeys(); }));
           },
           "The names of the child keys, in stored order.")
        .def(
            "child",
            [](KeyState& state, Text name) { return state.Child(Name(name, "a key name"), false); },
            "Opens the child key of that name; KeyNotFound if there is none.", py::arg("name"))
        .def(
            "append_child",
            [](KeyState& state, Text name) { return state.Child(Name(name, "a key name"), true); },
            "Creates a child key and opens it; Exists if the key has a child of that name.",
            py::arg("name"))
        .def(
            "append_generated", [](KeyState& state) { return state.Child("", true); },
            "Creates a child key with a name the library generates, and opens it.")
        .def(
            "rename",
            [](KeyState& state, Text new_name) { state.Rename(Name(new_name, "a key name")); },
            "Renames the key (a main key too); Exists when a sibling has the name.",
            py::arg("new_name"))
        .def("delete", &KeyState::Delete,
             "Deletes the key with everything below it and closes this handle. A main key\n"
             "cannot be deleted (NotAllowed).")
        .def(
            "export",
            [](KeyState& state, const std::filesystem::path& file, bool overwrite) {
                state.Call([&](tool::Key& key) { key.Export(file.string(), overwrite); });
            },
            "Writes this key's subtree to an export file; Exists when the file is there and\n"
            "not overwrite.",
            py::arg("path"), py::kw_only(), py::arg("overwrite") = false);
}

}  // namespace

void BindKey(py::module_& module) {
    py::class_<KeyState, KeyPointer> key(
        module, "Key",
        "An open key: a mutable mapping of its properties, and a context manager that closes\n"
        "it on exit. Assigning a property adds it or replaces its value and type.");
    key.def_property_readonly(
           "path", [](KeyState& state) { return DecodeText(state.Address().ToString()); },
           "The key's address: levels joined by '/', or by '\\' when a name holds a '/'.")
        .def_property_readonly(
            "name", [](KeyState& state) { return DecodeText(state.Address().Leaf()); },
            "The key's own name, the last level of its path.")
        .def_property_readonly("closed", &KeyState::IsClosed, "True once the key is closed.")
        .def("close", &KeyState::Close,
             "Closes the key handle; the key stays in the database. Later uses raise Closed.")
        .def(
            "__enter__", [](KeyPointer self) { return self; }, "Returns the key.")
        .def(
            "__exit__", [](KeyState& state, py::args) { state.Close(); }, "Closes the key.")
        .def("__repr__", &Describe, "The key's address, and whether the handle is closed.");
    BindMapping(key);
    BindTree(key);
}

}  // namespace brindle::python
