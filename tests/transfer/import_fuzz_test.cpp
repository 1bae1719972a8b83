#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "md_exception.h"
#include "transfer/subtree_import.h"
#include "transfer_test_util.h"

namespace brindle {
namespace {

using namespace export_image;
using testing_transfer::Database;
using testing_transfer::Reseal;
using testing_transfer::Word;

// Offsets of every record header and every property entry of a well-formed image.
struct Layout {
    std::vector<size_t> records;
    std::vector<size_t> entries;
};

Layout Parse(const std::vector<uint8_t>& image) {
    Layout layout;
    size_t at = kHeaderSize;
    while ((Word(image, at + 4) & kExportEnd) == 0) {
        layout.records.push_back(at);
        const size_t block = at + 21 + std::strlen(reinterpret_cast<const char*>(&image[at + 20]));
        for (size_t entry = block + 8; entry < block + Word(image, block);
             entry += 4 + Word(image, entry)) {
            layout.entries.push_back(entry);
        }
        at = block + Word(image, block);
    }
    layout.records.push_back(at);
    return layout;
}

std::vector<uint8_t> SourceImage() {
    Database db;
    const uint64_t top = db.MainKey("F");
    db.Property(top, "name", vell::VariableData("top"));
    std::vector<uint8_t> big(3000, 0x5A);
    uint64_t parent = top;
    for (int level = 0; level < 3; ++level) {
        for (int i = 0; i < 3; ++i) {
            const uint64_t child =
                db.Child(parent, "k" + std::to_string(level) + std::to_string(i));
            db.Property(child, "i", vell::VariableData(level * 10 + i));
            db.Property(child, "s", vell::VariableData("text"));
            if (i == 1) {
                db.Property(child, "blob",
                            vell::VariableData(big.data(), static_cast<int>(big.size())));
                parent = child;
            }
        }
    }
    return db.Image(top, "F");
}

TEST(ImportFuzzTest, MutatedImagesNeverCrashOrDamageTheDatabase) {
    const std::vector<uint8_t> source = SourceImage();
    const Layout layout = Parse(source);
    const std::set<Status> allowed = {
        Status::kOk,           Status::kFailed,       Status::kKeyExists, Status::kImportFormat,
        Status::kImportHeader, Status::kImportAppend, Status::kChecksum,  Status::kException};
    const uint32_t interesting[] = {0, 1, 4, 8, 20, 21, 0x7FFFFFFF, 0xFFFFFFFF, 0xFFFFFFF0};
    std::mt19937 rng(20240611);
    auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    Database target;
    std::map<Status, int> seen;
    for (int round = 0; round < 400; ++round) {
        std::vector<uint8_t> image = source;
        const size_t area = image.size() - kHeaderSize;
        const size_t record = layout.records[pick(layout.records.size())];
        switch (round % 6) {
            case 0:  // bit flips
                for (size_t n = 1 + pick(3); n > 0; --n) {
                    image[kHeaderSize + pick(area)] ^= static_cast<uint8_t>(1u << pick(8));
                }
                break;
            case 1:  // truncation
                image.resize(kHeaderSize + pick(area));
                break;
            case 2: {  // a length or header word that lies
                const size_t fields[] = {record,
                                         record + 8,
                                         record + 12,
                                         record + 16,
                                         layout.entries[pick(layout.entries.size())],
                                         layout.entries[pick(layout.entries.size())] + 4};
                const size_t at = fields[pick(6)];
                const uint32_t old = Word(image, at);
                const uint32_t choices[] = {interesting[pick(9)], old + 1, old - 1,
                                            static_cast<uint32_t>(rng())};
                vell::StoreU32(&image[at], choices[pick(4)]);
                break;
            }
            case 3:  // nesting flags that lie
                vell::StoreU32(&image[record + 4], Word(image, record + 4) ^ (1u << pick(7)));
                break;
            case 4: {  // records spliced out or repeated
                const size_t from = layout.records[pick(layout.records.size())];
                const size_t to = layout.records[pick(layout.records.size())];
                std::vector<uint8_t> piece(source.begin() + std::min(from, to),
                                           source.begin() + std::max(from, to));
                if (pick(2) == 0) {
                    image.erase(image.begin() + std::min(from, to),
                                image.begin() + std::max(from, to));
                } else {
                    image.insert(image.begin() + record, piece.begin(), piece.end());
                }
                break;
            }
            default:  // noise after the root record
                image.resize(layout.records[1] + pick(4096));
                for (size_t at = layout.records[1]; at < image.size(); ++at) {
                    image[at] = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : 0x14 * (rng() % 2));
                }
        }
        const bool fresh = round % 3 == 0;
        if (fresh) {  // a main key of its own, so that the records are read
            const std::string path = "F" + std::to_string(round);
            std::copy(path.begin(), path.end(), &image[kKeyPathOffset]);
        }
        if (pick(20) != 0) {
            Reseal(image);
        }
        Status result = Status::kOk;
        bool threw = false;
        try {
            result = ImportImage(*target.tree, image.data(), image.size(), fresh);
        } catch (const MDException&) {
            threw = true;
        }
        if (!threw) {
            ++seen[result];
        }
        EXPECT_TRUE(threw || allowed.count(result) != 0)
            << "round " << round << ": " << static_cast<int>(result);
        if (round % 20 == 19) {
            ASSERT_EQ(target.Problems(), "") << "round " << round;
        }
    }
    EXPECT_GT(seen[Status::kOk], 0);
    EXPECT_GT(seen[Status::kImportFormat], 0);
    EXPECT_EQ(target.Problems(), "");
}

TEST(ImportFuzzTest, DeepNestingIsWalkedWithoutRecursion) {
    Database db;
    std::vector<uint8_t> image = SourceImage();
    image.resize(Parse(image).records[1]);
    vell::StoreU32(&image[kHeaderSize + 4], kExportRoot | kExportFirst | kExportLast);
    // 300,000 levels, each the first and only child of the one before, then nothing.
    const uint8_t level[] = {20, 0, 0, 0, 0x0A, 0,   0, 0, 8, 0, 0, 0, 0, 0, 0,
                             0,  0, 0, 0, 0,    'n', 0, 8, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 300000; ++i) {
        image.insert(image.end(), std::begin(level), std::end(level));
    }
    Reseal(image);
    EXPECT_EQ(ImportImage(*db.tree, image.data(), image.size(), false), Status::kImportFormat);
    // A refused import leaves nothing behind, not even its main key.
    EXPECT_EQ(db.tree->FindMainKey("F"), nullptr);
}

}  // namespace
}  // namespace brindle
