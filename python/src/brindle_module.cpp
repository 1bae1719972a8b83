// The extension module brindle._brindle: the Database and Key classes over the exports. The
// package brindle around it adds the value classes, the error classes and the mapping helpers.
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>

#include "bindings.h"
#include "brindle.h"
#include "brindle/tool_error.h"
#include "errors.h"
#include "handles.h"
#include "values.h"

namespace py = pybind11;

namespace brindle::python {
namespace {

using DatabasePointer = std::shared_ptr<DatabaseState>;

py::str Describe(DatabaseState& state) {
    return py::str("<brindle.Database {}{}>")
        .format(py::repr(DecodeText(state.Path())), state.IsClosed() ? " (closed)" : "");
}

py::list MainKeys(DatabaseState& state) {
    py::list names;
    for (const std::string& name :
         state.Call([](tool::Database& database) { return database.MainKeys(); })) {
        names.append(DecodeText(name));
    }
    return names;
}

std::shared_ptr<KeyState> CreateMainKey(DatabaseState& state, Text name, bool hidden,
                                        bool read_only) {
    const std::string main_key = Name(name, "a main key name");
    return state.Call([&](tool::Database& database) {
        database.CreateMainKey(main_key, hidden, read_only);
        return state.OpenKey(tool::KeyAddress({main_key}), false);
    });
}

std::shared_ptr<KeyState> OpenKey(DatabaseState& state, Text address, bool create) {
    const tool::KeyAddress key = ParseAddress(address);
    return state.Call([&](tool::Database&) { return state.OpenKey(key, create); });
}

void Import(DatabaseState& state, const std::filesystem::path& file, bool fresh) {
    state.Call([&](tool::Database& database) { database.Import(file.string(), fresh); });
}

}  // namespace

tool::KeyAddress ParseAddress(py::handle text) {
    const std::string address = EncodeText(text, "a key address");
    tool::KeyAddress parsed;
    try {
        parsed = tool::KeyAddress::Parse(address);
    } catch (const tool::ToolError& error) {
        ThrowResult(BRN_ERR_INVALID_ARGUMENT, error.what());
    }
    if (parsed.IsDatabase()) {
        ThrowResult(BRN_ERR_INVALID_ARGUMENT, "the address '" + address + "' names no key");
    }
    return parsed;
}

std::string Name(py::handle text, const char* what) {
    std::string name = EncodeText(text, what);
    if (name.empty() || name.size() > brindle::kMaxNameLength) {
        ThrowResult(BRN_ERR_INVALID_ARGUMENT, std::string(what) + " must have 1 to 255 bytes");
    }
    return name;
}

// The context manager db.batch() gives: the calls of the `with` block's thread are one unit.
struct BatchScope {
    DatabasePointer database;
};

void BindBatch(py::module_& module) {
    py::class_<BatchScope>(
        module, "Batch",
        "A context manager that makes the changes of its block one unit: on a normal exit\n"
        "they are committed together, on an exception none of them is kept. Only the calls\n"
        "of the thread that entered it join; other threads' changes wait for it to end.\n"
        "A failed call inside changes nothing and leaves the batch usable.")
        .def(
            "__enter__",
            [](BatchScope& scope) {
                DatabasePointer database = scope.database;
                py::gil_scoped_release unlocked;
                database->BeginBatch();
                return scope;
            },
            "Starts the batch, waiting while another thread writes.")
        .def(
            "__exit__",
            [](BatchScope& scope, py::object type, py::object, py::object) {
                DatabasePointer database = scope.database;
                const bool commit = type.is_none();
                py::gil_scoped_release unlocked;
                database->EndBatch(commit);
                return false;
            },
            "Commits the batch, or rolls it back when the block raised.");
}

void BindDatabase(py::module_& module) {
    py::class_<DatabaseState, DatabasePointer>(
        module, "Database",
        "An open database, and a context manager that closes it on exit.\n\n"
        "A database is open once at a time, in one process. Its keys are reached through\n"
        "key() and create_main_key(); calls release the GIL, so threads may share it.")
        .def(py::init(
                 [](const std::filesystem::path& path, double timeout, const std::string& mode) {
                     return std::make_shared<DatabaseState>(path.string(), timeout, mode);
                 }),
             "Opens the database whose data files have the base path `path`, creating it\n"
             "and its folder on first use (not with mode 'read'). mode 'write' (the default):\n"
             "this process writes alone, other processes may read; 'shared': several writing\n"
             "processes take turns; 'read': read-only, each call sees the latest commit. While\n"
             "a process holds it in a way that excludes this one, waits up to `timeout`\n"
             "seconds, then raises StoreError.",
             py::arg("path"), py::kw_only(), py::arg("timeout") = 0.0, py::arg("mode") = "write",
             py::call_guard<py::gil_scoped_release>())
        .def_property_readonly(
            "path", [](DatabaseState& state) { return DecodeText(state.Path()); },
            "The base path of the database's data files.")
        .def_property_readonly("closed", &DatabaseState::IsClosed,
                               "True once the database is closed.")
        .def("close", &DatabaseState::Close,
             "Closes every key still open through this database, then the database itself.\n"
             "Waits for calls running in other threads; later uses raise Closed.")
        .def(
            "__enter__", [](DatabasePointer self) { return self; }, "Returns the database.")
        .def(
            "__exit__", [](DatabaseState& state, py::args) { state.Close(); },
            "Closes the database.")
        .def("__repr__", &Describe, "The database's base path, and whether it is closed.")
        .def("main_keys", &MainKeys,
             "The names of the main keys that are not hidden, in byte-wise order.")
        .def("create_main_key", &CreateMainKey,
             "Creates a main key and opens it. A hidden main key is listed nowhere and\n"
             "reached by name; a read-only one refuses every change below it. Exists when\n"
             "it exists already.",
             py::arg("name"), py::kw_only(), py::arg("hidden") = false, py::arg("readonly") = false)
        .def("key", &OpenKey,
             "Opens the key at `address`: the main key, then one name per level, separated\n"
             "by '\\', or by '/' when the address holds no backslash. create=True first\n"
             "makes the levels that are missing. KeyNotFound when a level is missing.",
             py::arg("address"), py::kw_only(), py::arg("create") = false)
        .def(
            "batch", [](DatabasePointer self) { return BatchScope{std::move(self)}; },
            "A context manager that makes the changes of its block, made on this thread, one\n"
            "unit: all of them are kept, or none. See Batch.")
        .def("import_", &Import,
             "Reads an export file back in, at the key path it records. Merges into existing\n"
             "keys unless fresh, which builds a new main key (Exists when it is there).",
             py::arg("path"), py::kw_only(), py::arg("fresh") = false);
}

}  // namespace brindle::python

PYBIND11_MODULE(_brindle, module) {
    module.doc() = "Database and key handles over the Brindle library's exports";
    brindle::python::RegisterErrorTranslation();
    // Key first: Database's methods return keys, and a signature names a class only once it
    // is bound.
    brindle::python::BindKey(module);
    brindle::python::BindBatch(module);
    brindle::python::BindDatabase(module);
    brindle::python::BindWatch(module);
    module.def("result_codes", &brindle::python::ResultCodeRows,
               "The result codes of the library as (code, name, message) rows");
}
