#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "brindle.h"
#include "keys/key_test_util.h"
#include "pool/write_transaction.h"
#include "transfer/export_image.h"
#include "transfer/image_writer.h"
#include "tree/property_record.h"
#include "vell/endian.h"

namespace brindle::testing_transfer {

// An image written into plain memory.
class VectorSink : public ImageSink {
public:
    explicit VectorSink(uint32_t capacity) : bytes(capacity) {}
    uint8_t* Base() override { return bytes.data(); }
    uint32_t Capacity() const override { return static_cast<uint32_t>(bytes.size()); }
    bool Reserve(uint64_t end) override { return end <= bytes.size(); }
    std::vector<uint8_t> bytes;
};

// A database object with shortcuts for building trees.
class Database : public testing_keys::TestTree {
public:
    Database() { Reopen(); }

    uint64_t MainKey(const std::string& name, uint32_t mode = 0) {
        MainKeyInfo* record = nullptr;
        uint64_t node = 0;
        EXPECT_EQ(tree->CreateMainKey(name, mode, record, node), Status::kOk);
        return node;
    }
    uint64_t Child(uint64_t parent, const std::string& name) {
        uint64_t child = 0;
        WriteTransaction transaction(tree->Pool());
        EXPECT_TRUE(tree->Tree()->AppendSubNode(parent, child, name));
        transaction.Commit();
        return child;
    }
    void Property(uint64_t node, const std::string& name, const vell::VariableData& value) {
        NamedValue property(name, value);
        uint32_t size = 0;
        ASSERT_TRUE(EncodeProperty(property, nullptr, size));
        std::vector<uint8_t> record(size);
        ASSERT_TRUE(EncodeProperty(property, record.data(), size));
        WriteTransaction transaction(tree->Pool());
        ASSERT_TRUE(tree->Tree()->AppendNodeRecord(node, record.data(), size));
        transaction.Commit();
    }
    // The value of a property, or an empty value when it is missing.
    vell::VariableData Value(uint64_t node, const std::string& name) {
        uint32_t length = 0;
        NamedValue property;
        if (tree->Tree()->GetNodePropertyByName(node, name, nullptr, length) == Status::kOk) {
            std::vector<uint8_t> record(length);
            tree->Tree()->GetNodePropertyByName(node, name, record.data(), length);
            EXPECT_TRUE(DecodeProperty(record.data(), length, property));
        }
        return property.second;
    }
    uint64_t Find(uint64_t parent, const std::string& name) {
        uint64_t child = 0;
        return tree->Tree()->GetSubNodeIndex(parent, name, child) ? child : 0;
    }
    std::vector<uint8_t> Image(uint64_t node, const std::string& key_path) {
        VectorSink sink(16u << 20);
        ImageWriter writer(*tree->Tree(), sink);
        EXPECT_EQ(writer.Write(node, key_path), Status::kOk);
        sink.bytes.resize(writer.Length());
        return sink.bytes;
    }
};

// Makes the header's length word and checksum agree with the record area again.
inline void Reseal(std::vector<uint8_t>& image) {
    using namespace export_image;
    const auto area = static_cast<uint32_t>(image.size() - kHeaderSize);
    vell::StoreU32(image.data() + kAreaLengthOffset, area);
    vell::StoreU32(image.data() + kChecksumOffset,
                   ExportChecksum(image.data() + kHeaderSize, area));
}

inline uint32_t Word(const std::vector<uint8_t>& image, size_t at) {
    return vell::LoadU32(image.data() + at);
}

}  // namespace brindle::testing_transfer
