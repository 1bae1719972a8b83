#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "brindle_watch.h"

namespace brindle {

class Pager;

// One change a committed call made, as the key layer writes it into the call's journal
// record: which main key, which key below it (names joined with '\', empty for the main
// key's own node), what happened and the name it concerns (a property's, or a key's new
// name).
struct ChangeNote {
    ChangeKind kind = ChangeKind::kPropertySet;
    std::string main_key;
    std::string path;
    std::string name;

    bool operator==(const ChangeNote&) const = default;
};

// Appends the note to `out`. Notes are self-delimiting, so the notes of several calls (a
// batch) are simply one after the other. Layout, little-endian: a 32-bit length of what
// follows, the kind as one byte, then main key, path and name, each as a 32-bit length and
// its bytes.
void AppendChangeNote(std::string& out, const ChangeNote& note);

// Appends every note of `bytes` to `notes`. False (with `notes` holding what came before
// the fault) when the bytes are not a sequence of whole, well-formed notes.
bool DecodeChangeNotes(std::string_view bytes, std::vector<ChangeNote>& notes);

// Adds the note to the pool's running write transaction; a rollback of the call drops it
// again, so only changes that commit are ever told.
void RecordChange(Pager& pool, const ChangeNote& note);

// The notes of one call that may change a great many keys (an import). Past kLimit bytes it
// gives up the single notes and keeps one resync note per main key touched instead: a
// watcher then reads those main keys afresh rather than every journal record growing with
// the size of the change.
class ChangeNoteBuffer {
public:
    static constexpr size_t kLimit = 64 * 1024;

    void Add(const ChangeNote& note);
    // Adds what was collected to the pool's running write transaction.
    void RecordTo(Pager& pool) const;

private:
    std::string bytes_;
    std::set<std::string> main_keys_;
    bool resync_ = false;
};

}  // namespace brindle
