#include "transfer/subtree_import.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "transfer_test_util.h"
#include "tree/tree_verifier.h"

namespace brindle {
namespace {

using namespace export_image;
using testing_transfer::Database;
using testing_transfer::Reseal;
using testing_transfer::Word;

Status Import(Database& db, const std::vector<uint8_t>& image, bool fresh) {
    return ImportImage(*db.tree, image.data(), image.size(), fresh);
}

// An image of M\A\B: B holds x = 1 and y = "new", and has one child C holding z.
struct Source {
    Source() {
        const uint64_t b = db.Child(db.Child(db.MainKey("M"), "A"), "B");
        db.Property(b, "x", vell::VariableData(1));
        db.Property(b, "y", vell::VariableData("new"));
        db.Property(db.Child(b, "C"), "z", vell::VariableData(2.5));
        image = db.Image(b, "M\\A\\B");
        root_block = kHeaderSize + 20 + 2;
        first_child = root_block + Word(image, root_block);
    }
    Database db;
    std::vector<uint8_t> image;
    size_t root_block;   // offset of B's property block
    size_t first_child;  // offset of C's record
};

TEST(SubtreeImportTest, HeaderFaultsAreFoundBeforeAnythingIsWritten) {
    Source source;
    Database target;
    auto with = [&](auto change, bool reseal) {
        std::vector<uint8_t> image = source.image;
        change(image);
        if (reseal) {
            Reseal(image);
        }
        return Import(target, image, false);
    };
    auto word = [](size_t at, uint32_t value) {
        return [=](std::vector<uint8_t>& image) { vell::StoreU32(&image[at], value); };
    };
    auto path = [](const std::string& text) {
        return [=](std::vector<uint8_t>& image) {
            std::fill(&image[12], &image[12 + kKeyPathField], 0);
            std::copy(text.begin(), text.end(), &image[12]);
        };
    };
    EXPECT_EQ(with([](auto& image) { image.resize(kHeaderSize - 1); }, false),
              Status::kImportFormat);
    EXPECT_EQ(with([](auto& image) { image.pop_back(); }, false), Status::kImportFormat);
    EXPECT_EQ(with(word(0, kHeaderSize + 1), false), Status::kImportHeader);
    EXPECT_EQ(with(word(4, kVersion + 1), false), Status::kVersion);
    EXPECT_EQ(with(word(kAreaLengthOffset, 5), false), Status::kImportFormat);
    EXPECT_EQ(with(word(kHeaderSize + 12, 9), false), Status::kChecksum);
    EXPECT_EQ(with(path(""), true), Status::kImportEmptyPath);
    EXPECT_EQ(with(path("M\\\\B"), true), Status::kImportPath);
    EXPECT_EQ(with(path("M\\" + std::string(256, 'n')), true), Status::kImportPath);
    EXPECT_EQ(target.tree->FindMainKey("M"), nullptr);

    // Of the bytes after the last whole word only the first is summed.
    std::vector<uint8_t> padded = source.image;
    padded.resize(padded.size() + (7 - (padded.size() - kHeaderSize) % 4));
    Reseal(padded);
    std::vector<uint8_t> changed = padded;
    changed[changed.size() - 3] ^= 1;
    EXPECT_EQ(Import(target, changed, false), Status::kChecksum);
    changed = padded;
    changed[changed.size() - 2] ^= 1;
    EXPECT_EQ(Import(target, changed, false), Status::kOk);  // unseen, but past the end record
}

TEST(SubtreeImportTest, MalformedRecordsWriteNothingBelowTheMainKey) {
    Source source;
    Database target;
    const uint64_t main_key = target.MainKey("M");
    const size_t entry = source.root_block + 8;  // x's entry: length, then its record
    const size_t x_type = entry + 4 + 4 + 2;
    struct Case {
        size_t at;
        uint32_t value;
        Status expected;
    } cases[] = {
        {kHeaderSize, 21, Status::kImportHeader},
        {kHeaderSize + 4, 0x18, Status::kImportFormat},  // not marked as the root
        {kHeaderSize + 12, 1, Status::kImportFormat},    // root id
        {source.root_block, 9, Status::kImportHeader},   // block length word
        {entry, 0x1000, Status::kImportFormat},          // entry runs past its block
        {entry + 4, 3, Status::kException},              // record length word
        {x_type, 99, Status::kException},                // unknown value type
        {source.first_child, 19, Status::kImportFormat},
        {source.first_child + 4, 0x34, Status::kImportFormat},   // first child not marked first
        {source.first_child + 4, 0x0E, Status::kImportFormat},   // last child not marked last
        {source.first_child + 8, 0x100, Status::kImportFormat},  // block runs past the image
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> image = source.image;
        vell::StoreU32(&image[c.at], c.value);
        Reseal(image);
        EXPECT_EQ(Import(target, image, false), c.expected) << c.at;
        EXPECT_EQ(target.Find(main_key, "A"), 0u) << c.at;
    }
    std::vector<uint8_t> cut(source.image.begin(), source.image.begin() + source.first_child + 21);
    Reseal(cut);
    EXPECT_EQ(Import(target, cut, false), Status::kImportFormat);
    EXPECT_EQ(target.Find(main_key, "A"), 0u);

    Database read_only;
    read_only.MainKey("M", MODE_READONLY);
    EXPECT_EQ(Import(read_only, source.image, false), Status::kReadOnly);
    EXPECT_EQ(target.Problems(), "");
}

TEST(SubtreeImportTest, MergeReusesKeysAndReplacesPropertiesFreshAppends) {
    Source source;
    Database target;
    const uint64_t main_key = target.MainKey("M");
    const uint64_t b = target.Child(target.Child(main_key, "A"), "B");
    target.Property(b, "x", vell::VariableData("old"));
    target.Property(b, "w", vell::VariableData(5));
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(Import(target, source.image, false), Status::kOk);
        EXPECT_EQ(target.Value(b, "x"), vell::VariableData(1));
        EXPECT_EQ(target.Value(b, "y"), vell::VariableData("new"));
        EXPECT_EQ(target.Value(b, "w"), vell::VariableData(5));
        EXPECT_EQ(target.Value(target.Find(b, "C"), "z"), vell::VariableData(2.5));
        std::vector<std::pair<uint64_t, std::string>> children;
        target.tree->Tree()->GetSubNodes(b, children);
        EXPECT_EQ(children.size(), 1u);
    }
    EXPECT_EQ(Import(target, source.image, true), Status::kKeyExists);

    Database fresh;
    ASSERT_EQ(Import(fresh, source.image, true), Status::kOk);
    const uint64_t copy = fresh.Find(fresh.Find(fresh.tree->FindMainKey("M")->node, "A"), "B");
    EXPECT_EQ(fresh.Value(copy, "y"), vell::VariableData("new"));
    EXPECT_EQ(fresh.Value(fresh.Find(copy, "C"), "z"), vell::VariableData(2.5));

    // An image of a main key fills the main key itself.
    const std::vector<uint8_t> whole = source.db.Image(source.db.tree->FindMainKey("M")->node, "M");
    Database other;
    const uint64_t other_main = other.MainKey("M");
    ASSERT_EQ(Import(other, whole, false), Status::kOk);
    EXPECT_NE(other.Find(other.Find(other_main, "A"), "B"), 0u);
    EXPECT_EQ(target.Problems() + fresh.Problems() + other.Problems(), "");
    // The name indexes the imports used and changed still agree with the pages.
    for (Database* db : {&target, &fresh, &other}) {
        EXPECT_TRUE(db->tree->Tree()->CheckIndexes().empty());
        EXPECT_GT(db->tree->Tree()->Indexes().EntryCount(), 0u);
    }
}

TEST(SubtreeImportTest, FilesThatCannotBeRead) {
    Database db;
    const std::string dir = db.dir.path().string();
    EXPECT_EQ(ImportSubtree(*db.tree, dir + "/absent", false), Status::kFileNotFound);
    std::ofstream(dir + "/empty").close();
    EXPECT_EQ(ImportSubtree(*db.tree, dir + "/empty", false), Status::kImportFile);
    EXPECT_EQ(ImportSubtree(*db.tree, dir, false), Status::kImportFile);
    ASSERT_EQ(mkfifo((dir + "/pipe").c_str(), 0600), 0);
    EXPECT_EQ(ImportSubtree(*db.tree, dir + "/pipe", false), Status::kImportFile);
    std::ofstream(dir + "/huge").close();
    std::filesystem::resize_file(dir + "/huge", uint64_t{4} << 30);
    EXPECT_EQ(ImportSubtree(*db.tree, dir + "/huge", false), Status::kFileTooLarge);
}

}  // namespace
}  // namespace brindle
