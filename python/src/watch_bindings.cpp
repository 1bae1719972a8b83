// The change feed and the library's diagnostic lines, as the package brindle offers them:
// Database.watch and Database.changes (in brindle/_watch.py) over _watch and _unwatch here,
// and every diagnostic line handed to the logger "brindle".
//
// Both come from threads of the library, which must never wait for the GIL while the thread
// holding it waits for them. Callbacks take the GIL on the feed's thread: closing a database or
// ending a watch releases the GIL before it waits for a running callback. Diagnostic lines can
// be written by any thread under any lock of the library, so they are queued and logged by
// the interpreter's main thread at its next chance (a pending call), never waited for; so are
// the callables of ended watches let go of.
#include <pybind11/functional.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "bindings.h"
#include "brindle_diagnostics.h"
#include "brindle_watch.h"
#include "handles.h"
#include "values.h"

namespace py = pybind11;

namespace brindle::python {
namespace {

// Set once the interpreter is on its way out (atexit): from then on no callback runs, no line
// is logged and no Python object is released from a thread of the library.
std::atomic<bool> exiting{false};

// Work for the interpreter's main thread, queued from any thread without the GIL and done at
// its next chance: diagnostic lines to log, and Python objects the library let go of. Letting
// go of an object may run any Python code (a key's handle closes), which must not run on a
// thread of the library that a closing database waits for.
class MainThreadWork {
public:
    static MainThreadWork& Get() {
        static auto* work = new MainThreadWork();  // outlives every thread of the library
        return *work;
    }

    void AddLine(std::string_view line) {
        std::lock_guard guard(mutex_);
        lines_.emplace_back(line);
        Schedule();
    }
    void AddRelease(PyObject* object) {
        std::lock_guard guard(mutex_);
        releases_.push_back(object);
        Schedule();
    }

    // Does what is queued; with the GIL.
    void Run() {
        std::vector<std::string> lines;
        std::vector<PyObject*> releases;
        {
            std::lock_guard guard(mutex_);
            lines.swap(lines_);
            releases.swap(releases_);
            scheduled_ = false;
        }
        if (exiting.load()) {
            return;  // left to the interpreter's end
        }
        for (PyObject* object : releases) {
            Py_DECREF(object);
        }
        if (!lines.empty()) {
            Log(lines);
        }
    }

private:
    void Schedule() {
        if (!scheduled_ && !exiting.load() &&
            Py_AddPendingCall(&MainThreadWork::Pending, nullptr) == 0) {
            scheduled_ = true;
        }
    }

    static void Log(const std::vector<std::string>& lines) {
        py::object log = py::module_::import("logging").attr("getLogger")("brindle").attr("info");
        for (std::string_view line : lines) {
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
                line.remove_suffix(1);
            }
            log(DecodeText(line.data(), line.size()));
        }
    }

    static int Pending(void*) {
        try {
            Get().Run();
        } catch (py::error_already_set& error) {
            error.discard_as_unraisable("brindle diagnostic line");
        }
        return 0;
    }

    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<PyObject*> releases_;
    bool scheduled_ = false;
};

// A Python callable held by a watch of the library, which may drop it on any thread.
class PythonCallback {
public:
    explicit PythonCallback(py::object callable) : callable_(callable.release().ptr()) {}
    ~PythonCallback() { MainThreadWork::Get().AddRelease(callable_); }
    PythonCallback(const PythonCallback&) = delete;
    PythonCallback& operator=(const PythonCallback&) = delete;

    void operator()(const Change& change) const {
        if (exiting.load()) {
            return;
        }
        py::gil_scoped_acquire gil;
        try {
            py::handle callable(callable_);
            callable(change.sequence, DecodeText(change.main_key), DecodeText(change.path),
                     ChangeKindName(change.kind), DecodeText(change.name));
        } catch (py::error_already_set& error) {
            // As Python reports an exception of a thread nobody joins.
            error.discard_as_unraisable("brindle watch callback");
        }
    }

private:
    PyObject* callable_;
};

// The watched key: none (every change of the database), or a main key and the path below it.
void SplitAddress(const py::object& address, std::string& main_key, std::string& path) {
    if (address.is_none() || (py::isinstance<py::str>(address) && py::len(address) == 0)) {
        return;
    }
    const tool::KeyAddress key = ParseAddress(address);
    main_key = key.MainKey();
    for (size_t i = 1; i < key.Names().size(); ++i) {
        path += (i > 1 ? "\\" : "") + key.Names()[i];
    }
}

WatchToken StartWatch(const std::shared_ptr<DatabaseState>& database, py::object address,
                      py::object callback, bool recursive) {
    if (!PyCallable_Check(callback.ptr())) {
        throw py::type_error("the callback must be callable");
    }
    std::string main_key;
    std::string path;
    SplitAddress(address, main_key, path);
    auto held = std::make_shared<PythonCallback>(std::move(callback));
    py::gil_scoped_release unlocked;
    return database->AddWatch(main_key, path, recursive,
                              [held](const Change& change) { (*held)(change); });
}

bool EndWatch(const std::shared_ptr<DatabaseState>& database, WatchToken token) {
    py::gil_scoped_release unlocked;
    return database->EndWatch(token);
}

}  // namespace

void BindWatch(py::module_& module) {
    SetDiagnosticSink([](std::string_view line) {
        if (!exiting.load()) {
            MainThreadWork::Get().AddLine(line);
        }
    });
    module.def("_watch", &StartWatch,
               "Starts a watch: callback(seq, main, path, kind, name) for every change of the\n"
               "key at `address` (every key of the database for None), and below it when\n"
               "`recursive`; returns its token.",
               py::arg("database"), py::arg("address"), py::arg("callback"), py::arg("recursive"));
    module.def("_unwatch", &EndWatch,
               "Ends a watch; once it returns its callback is not running (unless the caller\n"
               "is that callback) and is not called again. False when it had ended.",
               py::arg("database"), py::arg("token"));
    module.def(
        "_flush_diagnostics", [] { MainThreadWork::Get().Run(); },
        "Logs the library's diagnostic lines still waiting for the main thread (and lets go\n"
        "of the callbacks of ended watches).");
    module.def(
        "_python_exiting", [] { exiting.store(true); },
        "From now on no callback runs and no diagnostic line is logged: the interpreter ends.");
}

}  // namespace brindle::python
