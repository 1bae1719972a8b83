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

py::object GetProperty(KeyState& state, py::handle name) {
    const std::string property = Name(name, "a property name");
    return FromValue(state.Call([&](tool::Key& key) { return key.Get(property); }));
}

py::object GetPropertyOr(KeyState& state, py::handle name, py::object fallback) {
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

void SetProperty(KeyState& state, py::handle name, py::handle value) {
    const std::string property = Name(name, "a property name");
    const vell::VariableData stored = ToValue(value);
    state.Call([&](tool::Key& key) { Assign(key, property, stored); });
}

void DeleteProperty(KeyState& state, py::handle name) {
    const std::string property = Name(name, "a property name");
    state.Call([&](tool::Key& key) { key.DeleteProperty(property); });
}

bool HasProperty(KeyState& state, py::handle name) {
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
    key.def("__getitem__", &GetProperty, py::arg("name"))
        .def("__setitem__", &SetProperty, py::arg("name"), py::arg("value"))
        .def("__delitem__", &DeleteProperty, py::arg("name"))
        .def("__contains__", &HasProperty, py::arg("name"))
        .def("__len__", [](KeyState& state) { return Properties(state).size(); })
        .def("__iter__", [](KeyState& state) { return py::iter(PropertyNames(state)); })
        .def("keys", &PropertyNames)
        .def("values", &PropertyValues)
        .def("items", &PropertyItems)
        .def("get", &GetPropertyOr, py::arg("name"), py::arg("default") = py::none());
}

void BindTree(py::class_<KeyState, KeyPointer>& key) {
    key.def("children",
            [](KeyState& state) {
                return NameList(state.Call([](tool::Key& key) { return key.SubKeys(); }));
            })
        .def(
            "child",
            [](KeyState& state, py::handle name) {
                return state.Child(Name(name, "a key name"), false);
            },
            py::arg("name"))
        .def(
            "append_child",
            [](KeyState& state, py::handle name) {
                return state.Child(Name(name, "a key name"), true);
            },
            py::arg("name"))
        .def("append_generated", [](KeyState& state) { return state.Child("", true); })
        .def(
            "rename",
            [](KeyState& state, py::handle new_name) {
                state.Rename(Name(new_name, "a key name"));
            },
            py::arg("new_name"))
        .def("delete", &KeyState::Delete)
        .def(
            "export",
            [](KeyState& state, const std::filesystem::path& file, bool overwrite) {
                state.Call([&](tool::Key& key) { key.Export(file.string(), overwrite); });
            },
            py::arg("path"), py::kw_only(), py::arg("overwrite") = false);
}

}  // namespace

void BindKey(py::module_& module) {
    py::class_<KeyState, KeyPointer> key(module, "Key");
    key.def_property_readonly(
           "path", [](KeyState& state) { return DecodeText(state.Address().ToString()); })
        .def_property_readonly("name",
                               [](KeyState& state) { return DecodeText(state.Address().Leaf()); })
        .def_property_readonly("closed", &KeyState::IsClosed)
        .def("close", &KeyState::Close)
        .def("__enter__", [](KeyPointer self) { return self; })
        .def("__exit__", [](KeyState& state, py::args) { state.Close(); })
        .def("__repr__", &Describe);
    BindMapping(key);
    BindTree(key);
}

}  // namespace brindle::python
