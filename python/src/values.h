#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "vell/variable_data.h"

namespace brindle::python {

// Python objects to stored values and back. Both run with the GIL held.
//
// None is the empty value, int an int32 when it fits and an int64 otherwise, float a double,
// str a string (UTF-8), bytes and bytearray a block, an aware datetime a date-time; the
// classes of brindle._types (Short, Byte, Int64, Float, DateTime) keep their exact type. Whatever
// the library could not give back as it was written is refused with TypeError, ValueError or
// OverflowError: bool, a str holding NUL, an empty block, a naive or pre-1970 datetime, or one
// with microseconds.
vell::VariableData ToValue(pybind11::handle object);

// Key and property names and string values as the library holds them: UTF-8, with surrogate
// escapes carrying bytes that are not UTF-8 through unchanged both ways. A NUL would end the
// text early, so EncodeText refuses it with ValueError; `what` names the text in the message.
std::string EncodeText(pybind11::handle text, const char* what);
pybind11::str DecodeText(const char* text, size_t length);
inline pybind11::str DecodeText(const std::string& text) {
    return DecodeText(text.data(), text.size());
}

// The stored type decides the Python type: int32 gives int, int64 brindle.Int64, and so on.
pybind11::object FromValue(const vell::VariableData& value);

}  // namespace brindle::python
