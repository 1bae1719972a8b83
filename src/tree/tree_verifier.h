#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pool/pager.h"

namespace brindle {

// What the structural check of a pool found. `problems` are broken invariants, one line
// each; `freed_links` counts those that lead from the tree to a page on the free list (the
// kind of damage that lets a later allocation overwrite live data). `leaks` are pages that
// belong to nothing: a crash may leave these behind, and they are harmless. `notes` are
// legal but surprising shapes, such as two children of one name (a path reaches the first).
struct VerifyReport {
    std::vector<std::string> problems;
    std::vector<std::string> leaks;
    std::vector<std::string> notes;
    uint64_t freed_links = 0;
    uint64_t nodes = 0;
    uint64_t records = 0;
    uint64_t free_pages = 0;

    bool Sound() const { return problems.empty(); }
    // Every problem and leak, one per line.
    std::string Text() const;
    // Every note, one per line, each starting "note: ".
    std::string NotesText() const;
};

// Walks a whole pool: the common queue, every node with its links both ways, every record
// chain with its data across continuation pages, the pieces counted in every page, the
// nodes' tail pages, and the free list; then lists pages that belong to nothing. Reads
// pages through the pool only and never changes them.
class TreeVerifier {
public:
    static VerifyReport Verify(Pager& pool);
};

}  // namespace brindle
