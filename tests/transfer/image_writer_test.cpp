#include "transfer/image_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transfer_test_util.h"

namespace brindle {
namespace {

using namespace export_image;
using testing_transfer::Database;
using testing_transfer::VectorSink;
using testing_transfer::Word;

struct Record {
    std::string name;
    uint32_t flags, id, parent, block_length;
};

// The records of an image, read in order up to the end record.
std::vector<Record> Records(const std::vector<uint8_t>& image) {
    std::vector<Record> records;
    size_t at = kHeaderSize;
    while ((Word(image, at + 4) & kExportEnd) == 0) {
        Record r{reinterpret_cast<const char*>(&image[at + 20]), Word(image, at + 4),
                 Word(image, at + 12), Word(image, at + 16), Word(image, at + 8)};
        EXPECT_EQ(Word(image, at + 21 + r.name.size()), r.block_length);  // block's own word
        at += 21 + r.name.size() + r.block_length;
        records.push_back(r);
    }
    EXPECT_EQ(at + kExportRecordHeaderSize, image.size());
    return records;
}

TEST(ExportChecksumTest, TrailingBytesCountOnlyByTheFirst) {
    uint8_t data[] = {1, 0, 0, 0, 5, 9};
    EXPECT_EQ(ExportChecksum(data, 6), 0xFFFFFFF4u);
    data[5] = 200;
    EXPECT_EQ(ExportChecksum(data, 6), 0xFFFFFFF4u);
    data[4] = 6;
    EXPECT_EQ(ExportChecksum(data, 6), ~(1u + 2 * 6));
    EXPECT_EQ(ExportChecksum(data, 0), 0xFFFFFFFFu);
}

TEST(ImageWriterTest, RecordsCarryFlagsAndIdsInWritingOrder) {
    Database db;
    const uint64_t key = db.Child(db.MainKey("M"), "K");
    const uint64_t a = db.Child(key, "A");
    db.Property(db.Child(a, "A1"), "p", vell::VariableData(7));
    db.Child(a, "A2");
    db.Child(key, "B");
    const std::vector<uint8_t> image = db.Image(key, "M\\K");

    EXPECT_EQ(Word(image, 0), kHeaderSize);
    EXPECT_EQ(Word(image, 4), 0x00080304u);
    EXPECT_EQ(Word(image, 8), 1u);
    EXPECT_STREQ(reinterpret_cast<const char*>(&image[12]), "M\\K");
    EXPECT_EQ(Word(image, kAreaLengthOffset), image.size() - kHeaderSize);
    EXPECT_EQ(
        Word(image, kChecksumOffset),
        ExportChecksum(&image[kHeaderSize], static_cast<uint32_t>(image.size() - kHeaderSize)));

    std::vector<Record> records = Records(image);
    ASSERT_EQ(records.size(), 5u);
    const char* names[] = {"K", "A", "A1", "A2", "B"};
    const uint32_t flags[] = {0x19, 0x0A, 0x0E, 0x34, 0x34};
    const uint32_t ids[] = {0, 1, 2, 3, 5};
    const uint32_t parents[] = {0, 0, 1, 1, 0};
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].name, names[i]);
        EXPECT_EQ(records[i].flags, flags[i]) << names[i];
        EXPECT_EQ(records[i].id, ids[i]) << names[i];
        EXPECT_EQ(records[i].parent, parents[i]) << names[i];
    }
    EXPECT_EQ(records[1].block_length, kEmptyBlockSize);
    // A1's block: length, count 1, then the record's length and the record itself.
    EXPECT_GT(records[2].block_length, kEmptyBlockSize + 4);

    // A leaf without properties: one record, root and leaf at once.
    const uint64_t leaf = db.Child(db.MainKey("L"), "leaf");
    const std::vector<uint8_t> single = db.Image(leaf, "L\\leaf");
    records = Records(single);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].flags, 0x1Du);
    EXPECT_EQ(single.size(), kHeaderSize + 20 + 5 + kEmptyBlockSize + 20);
}

TEST(ImageWriterTest, RefusesWhatDoesNotFit) {
    Database db;
    const uint64_t key = db.MainKey("M");
    db.Property(db.Child(key, "child"), "text", vell::VariableData("some value"));
    const std::vector<uint8_t> image = db.Image(key, "M");
    const auto length = static_cast<uint32_t>(image.size());

    for (uint32_t capacity :
         {length, length - 1, length - 20, kHeaderSize + 21, kHeaderSize + 20}) {
        VectorSink sink(capacity);
        ImageWriter writer(*db.tree->Tree(), sink);
        EXPECT_EQ(writer.Write(key, "M"), capacity == length ? Status::kOk : Status::kImageTooLarge)
            << capacity;
    }
    VectorSink sink(1u << 20);
    ImageWriter writer(*db.tree->Tree(), sink);
    EXPECT_EQ(writer.Write(key, std::string(2047, 'k')), Status::kOk);
    EXPECT_EQ(writer.Write(key, std::string(2048, 'k')), Status::kKeyPathTooLong);
    EXPECT_EQ(writer.Write(0, "M"), Status::kBadNode);
}

}  // namespace
}  // namespace brindle
