// Tree store: how the linear walks of the format grow with the number of properties and
// children, and the cost of appending properties.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "pool/pager.h"
#include "pool/write_transaction.h"
#include "support/temp_dir.h"
#include "tree/tree_store.h"
#include "vell/endian.h"
#include "vell/output.h"

namespace {

using brindle::Pager;
using brindle::TreeStore;

std::vector<uint8_t> Property(const std::string& name, size_t payload) {
    std::vector<uint8_t> data(4 + name.size() + 1 + payload, 7);
    vell::StoreU32(data.data(), static_cast<uint32_t>(data.size()));
    std::copy(name.begin(), name.end(), data.begin() + 4);
    data[4 + name.size()] = 0;
    return data;
}

// A fresh database in a temporary directory, removed at the end.
struct Database {
    Database() {
        pool = std::make_unique<Pager>();
        pool->Options().max_file_size = 2097152000u;
        pool->Options().head_flags = brindle::kHeadEncrypted;
        pool->Options().max_cached_pages = 200000;
        pool->Open(dir.File("db"));
        tree = std::make_unique<TreeStore>(pool.get(), "root");
        Change([&] { tree->OpenTree(TreeStore::kOpenCreate); });
    }
    // Runs one change of the tree as its own write transaction, as a call of the exports does.
    template <typename Body>
    void Change(Body body) {
        brindle::WriteTransaction transaction(pool.get());
        body();
        transaction.Commit();
    }
    ~Database() {
        tree.reset();
        pool.reset();
    }
    testsupport::TempDir dir;
    vell::OutputCapture quiet;
    std::unique_ptr<Pager> pool;
    std::unique_ptr<TreeStore> tree;
};

void BM_FindNodeProperty(benchmark::State& state) {
    Database db;
    uint64_t node = 0;
    db.Change([&] { db.tree->AppendSubNode(db.tree->RootPage(), node, "node"); });
    const int count = static_cast<int>(state.range(0));
    for (int i = 0; i < count; ++i) {
        auto data = Property("property" + std::to_string(i), 16);
        db.Change([&] {
            db.tree->AppendNodeRecord(node, data.data(), static_cast<uint32_t>(data.size()));
        });
    }
    const std::string last = "property" + std::to_string(count - 1);
    brindle::RecordPos position;
    for (auto _ : state) {
        benchmark::DoNotOptimize(db.tree->FindNodeProperty(node, last, position));
    }
}
BENCHMARK(BM_FindNodeProperty)->Arg(10)->Arg(1000);

void BM_GetSubNodeIndex(benchmark::State& state) {
    Database db;
    uint64_t parent = 0;
    db.Change([&] { db.tree->AppendSubNode(db.tree->RootPage(), parent, "parent"); });
    const int count = static_cast<int>(state.range(0));
    for (int i = 0; i < count; ++i) {
        uint64_t child = 0;
        db.Change([&] { db.tree->AppendSubNode(parent, child, "child" + std::to_string(i)); });
    }
    const std::string last = "child" + std::to_string(count - 1);
    uint64_t found = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(db.tree->GetSubNodeIndex(parent, last, found));
    }
}
BENCHMARK(BM_GetSubNodeIndex)->Arg(10)->Arg(10000);

void BM_Append100000Properties(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto db = std::make_unique<Database>();
        uint64_t node = 0;
        db->Change([&] { db->tree->AppendSubNode(db->tree->RootPage(), node, "node"); });
        auto data = Property("property", 24);
        state.ResumeTiming();
        for (int i = 0; i < 100000; ++i) {
            db->Change([&] {
                db->tree->AppendNodeRecord(node, data.data(), static_cast<uint32_t>(data.size()));
            });
        }
        state.PauseTiming();
        db.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_Append100000Properties)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace
