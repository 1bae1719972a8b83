#pragma once

#include <cstdint>
#include <string>

#include "keys/common_tree.h"

namespace brindle {

// Reads the export file at `path` into memory and imports it (ImportImage). BRN_OK, or 48
// when the file does not exist, 45 when it is 4 GiB or larger, 50 when it cannot be opened
// or read (an empty file among them), and the codes of ImportImage.
int ImportSubtree(CommonTree& database, const std::string& path, bool fresh);

// Recreates the subtree of an image at the key path its header names. Merging (fresh
// false) opens or creates the main key, reuses keys found by name and replaces properties
// of the same name; fresh creates the main key (16 when it exists) and appends every key and
// property. The header and checksum are checked before anything is written, and the whole
// record area is checked after the main key is opened and before anything below it is
// written, so a malformed image changes nothing. The whole import is one write transaction
// (a main key it creates included), whatever its size: it holds a before-image and an
// encoded image of each page it changes in memory until it commits. Holds the writer gate,
// then the main key's write lock from the main key's opening to the end (every main key's,
// when it creates its main key).
//
// BRN_OK, or: 11 without a tree; the header codes of CheckImageHeader; 43 for a key path
// that does not split into names of 1 to 255 characters; OpenKey's codes for the main key;
// 51 for a read-only main key; 5 when the main key is deleted meanwhile; the record and
// property codes of the image reader; 44 when a key cannot be appended; tree-store codes
// unchanged (0 when a property record cannot be appended). Tree-store exceptions pass.
int ImportImage(CommonTree& database, const uint8_t* image, uint64_t size, bool fresh);

}  // namespace brindle
