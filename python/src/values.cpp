#include "values.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>

namespace py = pybind11;

namespace brindle::python {
namespace {

// The classes and helpers of brindle._types. Looked up once and kept for the life of the
// process: never released, since the interpreter may be gone when static objects end.
struct PythonTypes {
    py::object short_type;
    py::object byte_type;
    py::object int64_type;
    py::object float_type;
    py::object datetime_type;     // a date-time past what datetime holds, as seconds
    py::object datetime_seconds;  // aware datetime -> seconds since 1970, or raises
    py::object datetime_from_seconds;
};

const PythonTypes& Types() {
    static const PythonTypes* types = [] {
        py::module_ module = py::module_::import("brindle._types");
        return new PythonTypes{module.attr("Short"),
                               module.attr("Byte"),
                               module.attr("Int64"),
                               module.attr("Float"),
                               module.attr("DateTime"),
                               module.attr("datetime_seconds"),
                               module.attr("datetime_from_seconds")};
    }();
    return *types;
}

bool IsInstance(py::handle object, const py::object& type) {
    return PyObject_IsInstance(object.ptr(), type.ptr()) == 1;
}

vell::VariableData FromInt(py::handle object) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(object.ptr(), &overflow);
    if (overflow != 0) {
        PyErr_SetString(PyExc_OverflowError, "an int value must fit in 64 signed bits");
        throw py::error_already_set();
    }
    if (number >= INT32_MIN && number <= INT32_MAX) {
        return vell::VariableData(static_cast<int>(number));
    }
    return vell::VariableData(static_cast<int64_t>(number));
}

vell::VariableData FromBlock(const char* data, Py_ssize_t length) {
    if (length == 0) {
        throw py::value_error(
            "an empty bytes value would read back as None (the library keeps an empty block "
            "as an empty value); store None instead");
    }
    if (length > INT_MAX) {
        throw py::value_error("a bytes value holds at most 2147483647 bytes");
    }
    return vell::VariableData(data, static_cast<int>(length));
}

vell::VariableData FromExactType(py::handle object, const PythonTypes& types) {
    vell::VariableData value;
    if (IsInstance(object, types.short_type)) {
        value.SetShort(static_cast<short>(object.cast<int>()));
    } else if (IsInstance(object, types.byte_type)) {
        value.SetByte(static_cast<unsigned char>(object.cast<int>()));
    } else if (IsInstance(object, types.int64_type)) {
        value.SetInt64(object.cast<int64_t>());
    } else {
        value.SetFloat(static_cast<float>(object.cast<double>()));
    }
    return value;
}

}  // namespace

std::string EncodeText(py::handle text, const char* what) {
    if (!PyUnicode_Check(text.ptr())) {
        throw py::type_error(std::string(what) + " must be a str");
    }
    PyObject* encoded = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogateescape");
    if (encoded == nullptr) {
        throw py::error_already_set();
    }
    std::string bytes(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
    Py_DECREF(encoded);
    if (bytes.find('\0') != std::string::npos) {
        throw py::value_error(std::string(what) + " cannot hold a NUL character");
    }
    return bytes;
}

py::str DecodeText(const char* text, size_t length) {
    PyObject* decoded =
        PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), "surrogateescape");
    if (decoded == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(decoded);
}

vell::VariableData ToValue(py::handle object) {
    const PythonTypes& types = Types();
    if (object.is_none()) {
        return vell::VariableData();
    }
    if (PyBool_Check(object.ptr())) {
        throw py::type_error("a bool has no stored type; store int(flag) or brindle.Byte(flag)");
    }
    if (IsInstance(object, types.short_type) || IsInstance(object, types.byte_type) ||
        IsInstance(object, types.int64_type) || IsInstance(object, types.float_type)) {
        return FromExactType(object, types);
    }
    if (IsInstance(object, types.datetime_type)) {
        vell::VariableData value;
        value.SetDateTime(vell::DateTime(object.cast<int64_t>()));
        return value;
    }
    if (PyLong_Check(object.ptr())) {
        return FromInt(object);
    }
    if (PyFloat_Check(object.ptr())) {
        return vell::VariableData(PyFloat_AS_DOUBLE(object.ptr()));
    }
    if (PyUnicode_Check(object.ptr())) {
        return vell::VariableData(EncodeText(object, "a string value").c_str());
    }
    if (PyBytes_Check(object.ptr())) {
        return FromBlock(PyBytes_AS_STRING(object.ptr()), PyBytes_GET_SIZE(object.ptr()));
    }
    if (PyByteArray_Check(object.ptr())) {
        return FromBlock(PyByteArray_AS_STRING(object.ptr()), PyByteArray_GET_SIZE(object.ptr()));
    }
    // Anything else must be an aware datetime; the helper raises TypeError otherwise.
    vell::VariableData value;
    value.SetDateTime(vell::DateTime(types.datetime_seconds(object).cast<int64_t>()));
    return value;
}

py::object FromValue(const vell::VariableData& value) {
    const PythonTypes& types = Types();
    switch (value.GetType()) {
        case vell::TypeString: {
            const char* text = value.GetString();
            return DecodeText(text, std::strlen(text));
        }
        case vell::TypeShort:
            return types.short_type(value.GetShort());
        case vell::TypeInt:
            return py::int_(value.GetInt());
        case vell::TypeInt64:
            return types.int64_type(value.GetInt64());
        case vell::TypeByte:
            return types.byte_type(value.GetByte());
        case vell::TypeDouble:
            return py::float_(value.GetDouble());
        case vell::TypeFloat:
            return types.float_type(static_cast<double>(value.GetFloat()));
        case vell::TypeBinary: {
            int length = 0;
            value.GetBinary(nullptr, length);
            std::string bytes(static_cast<size_t>(length), '\0');
            value.GetBinary(reinterpret_cast<unsigned char*>(bytes.data()), length);
            return py::bytes(bytes);
        }
        case vell::TypeDateTime: {
            vell::DateTime when;
            value.GetDateTime(when);
            return types.datetime_from_seconds(when.Count());
        }
        default:
            return py::none();
    }
}

}  // namespace brindle::python
