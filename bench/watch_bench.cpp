// Benchmarks of the change feed: what a watch adds to a changing call, and how long a change
// takes to reach a callback, in this open and in a second (read-only) open of the database,
// which hears of it through the journal as another process would.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "brindle.h"
#include "brindle_watch.h"
#include "support/temp_dir.h"
#include "vell/output.h"

namespace {

// A fresh database with the main key "bench" holding the property "p".
class WatchedDatabase {
public:
    WatchedDatabase() {
        vell::OutputCapture quiet;
        if (BRN_OpenFile(dir_.File("db").c_str(), file_, 0) != BRN_OK ||
            BRN_OpenKey(file_, key_, "bench", "", MODE_CREATE) != BRN_OK) {
            std::abort();
        }
        vell::VariableData zero(0);
        BRN_AppendProperty(key_, "p", zero);
    }
    ~WatchedDatabase() {
        BRN_CloseBRNHandle(key_);
        BRN_CloseBRNFHandle(file_);
    }
    void Edit(int value) {
        vell::VariableData data(value);
        if (BRN_EditProperty(key_, "p", data) != BRN_OK) {
            std::abort();
        }
    }
    void*& file() { return file_; }
    const std::string Path() const { return dir_.File("db"); }

private:
    testsupport::TempDir dir_;
    void* file_ = nullptr;
    void* key_ = nullptr;
};

// One edit per iteration, with `state.range(0)` watches of the main key.
void BM_EditWithWatches(benchmark::State& state) {
    WatchedDatabase db;
    std::atomic<int64_t> told{0};
    for (int64_t i = 0; i < state.range(0); ++i) {
        brindle::Watch(db.file(), "bench", "", true, [&](const brindle::Change&) { ++told; });
    }
    int value = 0;
    for (auto _ : state) {
        db.Edit(++value);
    }
    state.counters["told"] = static_cast<double>(told.load());
}
BENCHMARK(BM_EditWithWatches)->Arg(0)->Arg(1)->Arg(8)->Unit(benchmark::kMicrosecond);

// From the start of an edit to its callback: `other` false in this open, true in a second,
// read-only open of the database.
void BM_EditToCallback(benchmark::State& state) {
    WatchedDatabase db;
    void* reader = nullptr;
    const bool other = state.range(0) != 0;
    if (other && BRN_OpenFile(db.Path().c_str(), reader, BRN_OPEN_READ_ONLY) != BRN_OK) {
        std::abort();
    }
    std::atomic<int> last{0};
    brindle::Watch(other ? reader : db.file(), "bench", "", true,
                   [&](const brindle::Change&) { last.fetch_add(1); });
    int value = 0;
    for (auto _ : state) {
        const int before = last.load();
        db.Edit(++value);
        while (last.load() == before) {
            std::this_thread::yield();
        }
    }
    BRN_CloseBRNFHandle(reader);
}
BENCHMARK(BM_EditToCallback)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
