#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "brindle/key_address.h"

namespace brindle::python {

void BindDatabase(pybind11::module_& module);
void BindKey(pybind11::module_& module);

// A key address as the tool reads it ("App/net" or "App\net"); brindle.InvalidName for an
// empty level, an overlong name, or an address that names no key.
tool::KeyAddress ParseAddress(pybind11::handle text);

// A key or property name as the exports take it; brindle.InvalidName when it cannot be one.
std::string Name(pybind11::handle text, const char* what);

}  // namespace brindle::python
