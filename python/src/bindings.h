#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "brindle/key_address.h"

namespace brindle::python {

// An argument that must be a str: taken as any object, so that the module's own checks say
// what is wrong with it, and shown as `str` in signatures.
struct Text {
    pybind11::object object;
    operator pybind11::handle() const { return object; }
};

void BindDatabase(pybind11::module_& module);
void BindKey(pybind11::module_& module);
// Watches of databases (_watch, _unwatch), and the library's diagnostic lines to logging.
void BindWatch(pybind11::module_& module);

// A key address as the tool reads it ("App/net" or "App\net"); brindle.InvalidName for an
// empty level, an overlong name, or an address that names no key.
tool::KeyAddress ParseAddress(pybind11::handle text);

// A key or property name as the exports take it; brindle.InvalidName when it cannot be one.
std::string Name(pybind11::handle text, const char* what);

}  // namespace brindle::python

namespace pybind11::detail {
template <>
struct type_caster<brindle::python::Text> {
    PYBIND11_TYPE_CASTER(brindle::python::Text, const_name("str"));
    bool load(handle source, bool) {
        value.object = reinterpret_borrow<object>(source);
        return true;
    }
    static handle cast(const brindle::python::Text& text, return_value_policy, handle) {
        return text.object.inc_ref();
    }
};
}  // namespace pybind11::detail
