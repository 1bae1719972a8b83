#pragma once

#include <string>

#include "vell/variable_data.h"

namespace testsupport {

// A value's stored form: its type byte and its bytes. Two values are the same value exactly
// when their stored forms are equal.
inline std::string StoredForm(const vell::VariableData& value) {
    std::string bytes(static_cast<size_t>(value.GetBinarySize()), '\0');
    int length = static_cast<int>(bytes.size());
    value.ToBinary(reinterpret_cast<unsigned char*>(bytes.data()), length);
    return bytes;
}

}  // namespace testsupport
