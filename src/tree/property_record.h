#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "vell/variable_data.h"

namespace brindle {

// A property as the host sees it: its name and its value.
using NamedValue = std::pair<std::string, vell::VariableData>;

// The stored form of a property (a property record): a 32-bit little-endian total length L
// (these 4 bytes included), the name with one NUL, then the value's stored form; so L is
// the value's binary size + name length + 5.

// Writes the record of `property` into buffer, whose room is `size`; `size` becomes the
// record's length. A null buffer only reports the length. False, writing nothing useful, for
// an empty name or one holding a NUL, a record too long for its length word, or too little
// room.
bool EncodeProperty(const NamedValue& property, uint8_t* buffer, uint32_t& size);

// Reads a record of `length` bytes back into `property`. False for a null record, a length
// below 4, a length word that differs from `length`, a name not ended within the record,
// or a value that does not decode. Never throws.
bool DecodeProperty(const uint8_t* record, uint32_t length, NamedValue& property);

}  // namespace brindle
