#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/handles.h"
#include "api_test_util.h"
#include "brindle.h"
#include "support/whole_file.h"
#include "vell/shared_memory.h"

namespace brindle {
namespace {

using testing_api::Append;
using testing_api::Dump;
using testing_api::PropertyList;
using testing_api::TestDatabase;

// The exports take the handle by reference; these take a copy.
int Export(void* key, const std::string& path, bool overwrite) {
    return BRN_ExportSubTree(key, path, overwrite);
}
int ExportSingle(void* key, const std::string& path, bool overwrite) {
    return BRN_ExportSubTree2(key, path, overwrite);
}
int AppendSubKey(void* key, std::string& name) {
    return BRN_AppendSubKey(key, name);
}

// Main key "Src": a\b holds a value of every type and a block spanning several pages, with
// two levels of keys below it; "a" has a sibling "z".
void Fill(TestDatabase& db) {
    db.Key("Src", "", MODE_CREATE);
    void* top = db.Key("Src");
    for (std::string name : {"a", "z"}) {
        ASSERT_EQ(BRN_AppendSubKey(top, name), BRN_OK);
    }
    void* a = db.Key("Src", "a");
    std::string b = "b";
    ASSERT_EQ(BRN_AppendSubKey(a, b), BRN_OK);
    void* key = db.Key("Src", "a\\b");
    std::vector<unsigned char> block(5000);
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<unsigned char>(i * 7);
    }
    vell::VariableData byte;
    byte.SetByte(200);
    vell::VariableData date;
    date.SetDateTime(vell::DateTime(2024, 2, 29, 12, 30, 1));
    const vell::VariableData values[] = {
        vell::VariableData(),
        vell::VariableData("text"),
        vell::VariableData(short{-3}),
        vell::VariableData(-70000),
        vell::VariableData(int64_t{1} << 40),
        byte,
        vell::VariableData(2.5),
        vell::VariableData(1.5f),
        vell::VariableData(block.data(), static_cast<int>(block.size())),
        date};
    for (size_t i = 0; i < std::size(values); ++i) {
        ASSERT_EQ(Append(key, "v" + std::to_string(i), values[i]), BRN_OK);
    }
    for (std::string name : {"c", "d"}) {
        ASSERT_EQ(BRN_AppendSubKey(key, name), BRN_OK);
    }
    void* c = db.Key("Src", "a\\b\\c");
    std::string empty;
    ASSERT_EQ(BRN_AppendSubKey(c, empty), BRN_OK);  // a generated, dotted name
    ASSERT_EQ(Append(db.Key("Src", "a\\b\\c\\" + empty), "deep", vell::VariableData(9)), BRN_OK);
}

TEST(TransferExportsTest, RoundTripsCopyEveryKeyAndValue) {
    TestDatabase source;
    Fill(source);
    TestDatabase target;
    const std::string whole = target.dir().File("whole");
    const std::string part = target.dir().File("part");
    ASSERT_EQ(Export(source.Key("Src"), whole, false), BRN_OK);
    ASSERT_EQ(ExportSingle(source.Key("Src", "a\\b"), part, false), BRN_OK);

    ASSERT_EQ(BRN_ImportSubTree(target.file(), whole, true), BRN_OK);
    EXPECT_EQ(Dump(target, "Src"), Dump(source, "Src"));

    // The part lands at its own path (merging twice is the import's own test).
    TestDatabase other;
    ASSERT_EQ(BRN_ImportSubTree(other.file(), part, false), BRN_OK);
    std::vector<std::string> expected = Dump(source, "Src");
    expected.pop_back();  // "z" was not exported
    EXPECT_EQ(Dump(other, "Src"), expected);
    other.Reopen();
    EXPECT_EQ(Dump(other, "Src"), expected);
}

// The exports' handle checks are in the table of every key-handle export.
TEST(TransferExportsTest, ImportHandleChecksAndDottedPaths) {
    TestDatabase db;
    Fill(db);
    const std::string out = db.dir().File("out");
    void* none = testing_api::NoHandleValue();
    void* null = nullptr;
    EXPECT_EQ(BRN_ImportSubTree(none, out, false), BRN_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(BRN_ImportSubTree(null, out, false), BRN_ERR_NULL_HANDLE);

    // A dotted handle records every level by its full name.
    std::string first;
    std::string second;
    ASSERT_EQ(AppendSubKey(db.Key("Src"), first), BRN_OK);
    ASSERT_EQ(AppendSubKey(db.Key("Src", first), second), BRN_OK);
    ASSERT_EQ(Export(db.Key("Src", second, MODE_OPEN | MODE_DOTTED), out, true), BRN_OK);
    EXPECT_EQ(std::string(testsupport::ReadWholeFile(out).c_str() + 12),
              "Src\\" + first + "\\" + second);
}

TEST(TransferExportsConcurrency, NumberedExportsShareAKeyTheSingleNameDoesNot) {
    TestDatabase db;
    Fill(db);
    void* key = db.Key("Src", "a");
    const uint64_t node = static_cast<BRNHandle*>(key)->node;
    // Another export of the key with the single name is running.
    auto running =
        std::make_unique<vell::SharedMemory>("ZR_Brindle_ShareMemory_Name_" + std::to_string(node));
    ASSERT_TRUE(running->Create(4096));
    ASSERT_FALSE(running->Existed());
    EXPECT_EQ(BRN_ExportSubTree2(key, db.dir().File("refused"), true), BRN_ERR_NO_SEGMENT_NAME);
    vell::SharedMemory still_held("ZR_Brindle_ShareMemory_Name_" + std::to_string(node));
    ASSERT_TRUE(still_held.Create(4096));
    EXPECT_TRUE(still_held.Existed());  // the refused claim left the other's name alone

    std::vector<std::thread> threads;
    std::vector<int> failures(2, 0);
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            void* own = nullptr;
            BRN_OpenKey(db.file(), own, "Src", "a", MODE_OPEN);
            for (int i = 0; i < 10; ++i) {
                const std::string path = db.dir().File("t" + std::to_string(t));
                failures[t] += BRN_ExportSubTree(own, path, true) != BRN_OK;
            }
            BRN_CloseBRNHandle(own);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, std::vector<int>(2, 0));
    EXPECT_EQ(testsupport::ReadWholeFile(db.dir().File("t0")),
              testsupport::ReadWholeFile(db.dir().File("t1")));
    running.reset();
    EXPECT_EQ(BRN_ExportSubTree2(key, db.dir().File("single"), true), BRN_OK);
}

}  // namespace
}  // namespace brindle
