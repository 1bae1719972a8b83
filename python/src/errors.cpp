#include "errors.h"

#include <cstring>
#include <exception>

#include "brindle.h"
#include "brindle/result_codes.h"
#include "brindle/tool_error.h"
#include "md_exception.h"
#include "values.h"

namespace py = pybind11;

namespace brindle::python {
namespace {

// Raises the exception object that brindle._errors's `maker` (a factory or a class) builds
// from the arguments.
void RaiseFromFactory(const char* maker, const py::tuple& arguments) {
    py::object errors = py::module_::import("brindle._errors");
    py::object error = errors.attr(maker)(*arguments);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
}

// The code table's text, except where it names one of the tool's options: there the module
// names its own parameter.
std::string MessageOf(const tool::ResultCode& row) {
    if (row.code == BRN_ERR_FILE_EXISTS) {
        return "the export file exists already (pass overwrite=True to replace it)";
    }
    return row.message;
}

// A change refused because the database was opened read-only is, to a caller, the same
// refusal as a read-only main key's; every other open failure (held by another process, no
// database, not a database, no permission, another durability level) is a StoreError that
// carries its code.
const char* ClassOf(int code) {
    return code == BRN_ERR_OPENED_READ_ONLY ? "ReadOnly" : nullptr;
}

void RaiseResult(const tool::ToolError& error) {
    const int code = error.code();
    for (const tool::ResultCode& row : tool::ResultCodes()) {
        if (row.code == code) {
            // The text ends with the table's message and the code; give the module's message.
            std::string text = error.what();
            const std::size_t table_text = text.rfind(row.message);
            if (table_text != std::string::npos) {
                text.replace(table_text, std::strlen(row.message), MessageOf(row));
            }
            if (const char* name = ClassOf(code)) {
                RaiseFromFactory(name,
                                 py::make_tuple(DecodeText(text), code, row.name, MessageOf(row)));
                return;
            }
            RaiseFromFactory("from_code",
                             py::make_tuple(code, row.name, MessageOf(row), DecodeText(text)));
            return;
        }
    }
    RaiseFromFactory("from_code",
                     py::make_tuple(code, py::none(), py::none(), DecodeText(error.what())));
}

}  // namespace

void RegisterErrorTranslation() {
    py::register_exception_translator([](std::exception_ptr pending) {
        try {
            if (pending) {
                std::rethrow_exception(pending);
            }
        } catch (const tool::ToolError& error) {
            RaiseResult(error);
        } catch (const MDException& error) {
            RaiseFromFactory("internal", py::make_tuple(DecodeText(error.GetTypeName()),
                                                        DecodeText(error.GetMessage())));
        } catch (const ClosedError& error) {
            RaiseFromFactory("closed", py::make_tuple(DecodeText(error.what())));
        }
    });
}

void ThrowResult(int code, const std::string& what) {
    tool::CheckResult(code, what);
    throw tool::ToolError(what, code);  // CheckResult throws for every code but BRN_OK
}

py::list ResultCodeRows() {
    py::list rows;
    for (const tool::ResultCode& row : tool::ResultCodes()) {
        rows.append(py::make_tuple(row.code, row.name, MessageOf(row)));
    }
    return rows;
}

}  // namespace brindle::python
