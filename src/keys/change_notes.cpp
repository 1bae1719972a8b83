#include "keys/change_notes.h"

#include <cstdint>

#include "pool/pager.h"
#include "vell/endian.h"

namespace brindle {
namespace {

constexpr size_t kLengthBytes = 4;

void AppendU32(std::string& out, uint32_t value) {
    uint8_t bytes[kLengthBytes];
    vell::StoreU32(bytes, value);
    out.append(reinterpret_cast<const char*>(bytes), kLengthBytes);
}

void AppendText(std::string& out, const std::string& text) {
    AppendU32(out, static_cast<uint32_t>(text.size()));
    out.append(text);
}

// Takes a 32-bit length and that many bytes from the front of `bytes` into `piece`.
bool TakePrefixed(std::string_view& bytes, std::string_view& piece) {
    if (bytes.size() < kLengthBytes) {
        return false;
    }
    const uint32_t length = vell::LoadU32(reinterpret_cast<const uint8_t*>(bytes.data()));
    bytes.remove_prefix(kLengthBytes);
    if (length > bytes.size()) {
        return false;
    }
    piece = bytes.substr(0, length);
    bytes.remove_prefix(length);
    return true;
}

bool TakeText(std::string_view& bytes, std::string& text) {
    std::string_view piece;
    if (!TakePrefixed(bytes, piece)) {
        return false;
    }
    text.assign(piece);
    return true;
}

bool DecodeOne(std::string_view body, ChangeNote& note) {
    if (body.empty() || body[0] > static_cast<char>(ChangeKind::kResync) || body[0] < 0) {
        return false;
    }
    note.kind = static_cast<ChangeKind>(body[0]);
    body.remove_prefix(1);
    return TakeText(body, note.main_key) && TakeText(body, note.path) &&
           TakeText(body, note.name) && body.empty();
}

}  // namespace

void AppendChangeNote(std::string& out, const ChangeNote& note) {
    const size_t body =
        1 + 3 * kLengthBytes + note.main_key.size() + note.path.size() + note.name.size();
    AppendU32(out, static_cast<uint32_t>(body));
    out.push_back(static_cast<char>(note.kind));
    AppendText(out, note.main_key);
    AppendText(out, note.path);
    AppendText(out, note.name);
}

bool DecodeChangeNotes(std::string_view bytes, std::vector<ChangeNote>& notes) {
    while (!bytes.empty()) {
        std::string_view body;
        ChangeNote note;
        if (!TakePrefixed(bytes, body) || !DecodeOne(body, note)) {
            return false;
        }
        notes.push_back(std::move(note));
    }
    return true;
}

void ChangeNoteBuffer::Add(const ChangeNote& note) {
    main_keys_.insert(note.main_key);
    if (resync_) {
        return;
    }
    AppendChangeNote(bytes_, note);
    if (bytes_.size() > kLimit) {
        resync_ = true;
        bytes_.clear();
        bytes_.shrink_to_fit();
    }
}

void ChangeNoteBuffer::RecordTo(Pager& pool) const {
    if (!resync_) {
        if (!bytes_.empty()) {
            pool.AddChangeNote(bytes_);
        }
        return;
    }
    std::string bytes;
    for (const std::string& main_key : main_keys_) {
        AppendChangeNote(bytes, ChangeNote{ChangeKind::kResync, main_key, "", ""});
    }
    pool.AddChangeNote(bytes);
}

void RecordChange(Pager& pool, const ChangeNote& note) {
    std::string bytes;
    AppendChangeNote(bytes, note);
    pool.AddChangeNote(bytes);
}

}  // namespace brindle
