#include "keys/change_notes.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace brindle {
namespace {

std::vector<ChangeNote> SomeNotes() {
    return {
        {ChangeKind::kKeyAdded, "app", "a\\b", ""},
        {ChangeKind::kKeyRenamed, "app", "a", "renamed"},
        {ChangeKind::kPropertySet, "", "", std::string("bin\0ary", 7)},
        {ChangeKind::kResync, "other", "", ""},
    };
}

TEST(ChangeNotesTest, NotesAppendedOneAfterAnotherDecodeInOrder) {
    std::string bytes;
    for (const ChangeNote& note : SomeNotes()) {
        AppendChangeNote(bytes, note);
    }
    std::vector<ChangeNote> decoded;
    ASSERT_TRUE(DecodeChangeNotes(bytes, decoded));
    EXPECT_EQ(decoded, SomeNotes());
}

TEST(ChangeNotesTest, CutOrDamagedBytesAreRefusedWithoutReadingPastThem) {
    std::string bytes;
    for (const ChangeNote& note : SomeNotes()) {
        AppendChangeNote(bytes, note);
    }
    // Every cut but those at a note's end is refused.
    size_t whole_cuts = 0;
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        std::vector<ChangeNote> decoded;
        whole_cuts += DecodeChangeNotes(std::string_view(bytes).substr(0, cut), decoded) ? 1 : 0;
    }
    EXPECT_EQ(whole_cuts, SomeNotes().size());  // the empty cut and three notes' ends

    std::string bad_kind = bytes;
    bad_kind[4] = 9;
    std::vector<ChangeNote> decoded;
    EXPECT_FALSE(DecodeChangeNotes(bad_kind, decoded));

    // Random garbage never decodes past its end (the sanitizer builds check the reads).
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
        std::string garbage = bytes;
        garbage[random() % garbage.size()] = static_cast<char>(random());
        decoded.clear();
        DecodeChangeNotes(garbage, decoded);
    }
}

}  // namespace
}  // namespace brindle
