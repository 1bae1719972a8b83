// Subtree transfer: export and import of a subtree of about 100,000 keys with five
// properties each, through the host exports. Keys per second and MB/s of the export file.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "brindle.h"
#include "keys/common_tree.h"
#include "keys/config_record.h"
#include "pool/write_transaction.h"
#include "support/temp_dir.h"
#include "tree/property_record.h"
#include "vell/output.h"

namespace {

// 10 groups of 100 sections of 99 leaves below the main key.
constexpr int kGroups = 10;
constexpr int kSections = 100;
constexpr int kLeaves = 99;
constexpr int kKeys = kGroups + kGroups * kSections + kGroups * kSections * kLeaves;

std::string Numbered(const char* prefix, int number) {
    std::string name(prefix);
    name += std::to_string(number);
    return name;
}

// Five properties of the kinds hosts keep: a number, a name, a measure, a stamp and a small
// block.
void AddProperties(brindle::TreeStore& tree, uint64_t node, int index) {
    const unsigned char block[32] = {1, 2, 3, 4, 5, 6, 7, 8};
    const brindle::NamedValue properties[] = {
        {"id", vell::VariableData(index)},
        {"name", vell::VariableData(Numbered("item-", index).c_str())},
        {"weight", vell::VariableData(index * 0.25)},
        {"stamp", vell::VariableData(int64_t{1700000000} + index)},
        {"data", vell::VariableData(block, static_cast<int>(sizeof(block)))}};
    std::vector<uint8_t> record(256);
    for (const auto& property : properties) {
        uint32_t size = static_cast<uint32_t>(record.size());
        if (!brindle::EncodeProperty(property, record.data(), size) ||
            !tree.AppendNodeRecord(node, record.data(), size)) {
            std::abort();
        }
    }
}

uint64_t AddKey(brindle::TreeStore& tree, uint64_t parent, const std::string& name, int index) {
    uint64_t node = 0;
    if (!tree.AppendSubNode(parent, node, name)) {
        std::abort();
    }
    AddProperties(tree, node, index);
    return node;
}

struct OpenDatabase {
    explicit OpenDatabase(const std::string& path) {
        vell::OutputCapture quiet;
        if (BRN_OpenFile(path.c_str(), file, 0) != BRN_OK) {
            std::abort();
        }
    }
    ~OpenDatabase() { BRN_CloseBRNFHandle(file); }
    void* file = nullptr;
};

// The source database and its export file, made once for the whole run.
class Source {
public:
    static Source& Get() {
        static Source source;
        return source;
    }
    std::string database() const { return dir_.File("db"); }
    std::string file() const { return dir_.File("export"); }

private:
    Source() {
        Build();
        OpenDatabase db(database());
        void* key = nullptr;
        if (BRN_OpenKey(db.file, key, "bench", "", MODE_OPEN) != BRN_OK ||
            BRN_ExportSubTree(key, file(), true) != BRN_OK) {
            std::abort();
        }
        BRN_CloseBRNHandle(key);
    }
    void Build() {
        vell::OutputCapture quiet;
        brindle::ConfigRecord config;
        config.dataPath = database();
        brindle::CommonTree tree;
        brindle::MainKeyInfo* record = nullptr;
        uint64_t main_key = 0;
        if (!tree.Open(&config) ||
            tree.CreateMainKey("bench", 0, record, main_key) != brindle::Status::kOk) {
            std::abort();
        }
        brindle::TreeStore& store = *tree.Tree();
        brindle::WriteTransaction transaction(tree.Pool());  // the source is built as one change
        int index = 0;
        for (int g = 0; g < kGroups; ++g) {
            const uint64_t group = AddKey(store, main_key, Numbered("g", g), index++);
            for (int s = 0; s < kSections; ++s) {
                const uint64_t section = AddKey(store, group, Numbered("s", s), index++);
                for (int l = 0; l < kLeaves; ++l) {
                    AddKey(store, section, Numbered("l", l), index++);
                }
            }
        }
        transaction.Commit();
    }
    testsupport::TempDir dir_;
};

void Report(benchmark::State& state) {
    const auto bytes = static_cast<int64_t>(std::filesystem::file_size(Source::Get().file()));
    state.SetBytesProcessed(bytes * state.iterations());
    state.counters["keys/s"] = benchmark::Counter(static_cast<double>(kKeys) * state.iterations(),
                                                  benchmark::Counter::kIsRate);
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}

void BM_Export(benchmark::State& state) {
    Source& source = Source::Get();
    OpenDatabase db(source.database());
    void* key = nullptr;
    if (BRN_OpenKey(db.file, key, "bench", "", MODE_OPEN) != BRN_OK) {
        std::abort();
    }
    for (auto _ : state) {
        if (BRN_ExportSubTree(key, source.file(), true) != BRN_OK) {
            state.SkipWithError("export failed");
        }
    }
    BRN_CloseBRNHandle(key);
    Report(state);
}
BENCHMARK(BM_Export)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// Into an empty database (fresh), or over an earlier copy (merge: every key found, every
// property replaced).
void BM_Import(benchmark::State& state) {
    const bool fresh = state.range(0) == 1;
    Source& source = Source::Get();
    testsupport::TempDir dir;
    OpenDatabase db(dir.File("db"));
    if (!fresh && BRN_ImportSubTree(db.file, source.file(), true) != BRN_OK) {
        std::abort();
    }
    for (auto _ : state) {
        std::unique_ptr<OpenDatabase> target;
        testsupport::TempDir fresh_dir;
        if (fresh) {
            state.PauseTiming();
            target = std::make_unique<OpenDatabase>(fresh_dir.File("db"));
            state.ResumeTiming();
        }
        void* file = fresh ? target->file : db.file;
        if (BRN_ImportSubTree(file, source.file(), fresh) != BRN_OK) {
            state.SkipWithError("import failed");
        }
        state.PauseTiming();
        target.reset();
        state.ResumeTiming();
    }
    Report(state);
}
BENCHMARK(BM_Import)
    ->ArgName("fresh")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();

}  // namespace
