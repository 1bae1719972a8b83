// Benchmarks of the host exports: property reads through an open handle, opening a key five
// levels deep, appending, editing and deleting properties, deleting a subtree of 1,000 keys,
// and reads from several threads on one main key.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <list>
#include <mutex>
#include <string>

#include "brindle.h"
#include "support/temp_dir.h"
#include "vell/output.h"

namespace {

// "<prefix><number>". (Spelt out: g++ 12 at -O3 warns falsely on "text" + std::string.)
std::string Numbered(const char* prefix, int number) {
    std::string name(prefix);
    name += std::to_string(number);
    return name;
}

// One database for the whole run, in a fresh temporary directory that is removed at exit.
class BenchDatabase {
public:
    static BenchDatabase& Get() {
        static BenchDatabase database;
        return database;
    }

    void* file() { return file_; }

    // A key handle that must open; the caller closes it.
    void* Key(const std::string& path, unsigned int mode = MODE_OPEN) {
        void* key = nullptr;
        if (BRN_OpenKey(file_, key, "bench", path, mode) != BRN_OK) {
            std::abort();
        }
        return key;
    }

private:
    BenchDatabase() {
        vell::OutputCapture quiet;
        if (BRN_OpenFile(dir_.File("db").c_str(), file_, 0) != BRN_OK) {
            std::abort();
        }
        void* created = Key("", MODE_CREATE);
        BRN_CloseBRNHandle(created);
        BuildTree();
    }
    ~BenchDatabase() { BRN_CloseBRNFHandle(file_); }

    // bench\reader with a few properties; bench\appender; a chain l1\l2\l3\l4\l5, each level with
    // four siblings appended before it, so each level's lookup walks five children; bench\wide
    // with 100 children.
    void BuildTree() {
        void* root = Key("");
        for (std::string name : {"reader", "appender"}) {
            BRN_AppendSubKey(root, name);
        }
        void* key = Key("reader");
        for (int i = 0; i < 5; ++i) {
            vell::VariableData value(i);
            BRN_AppendProperty(key, Numbered("property", i), value);
        }
        BRN_CloseBRNHandle(key);
        std::string path;
        void* parent = root;
        for (int level = 1; level <= 5; ++level) {
            for (int sibling = 0; sibling < 4; ++sibling) {
                std::string name = Numbered("s", sibling);
                BRN_AppendSubKey(parent, name);
            }
            std::string name = Numbered("l", level);
            BRN_AppendSubKey(parent, name);
            if (!path.empty()) {
                path += "\\";
            }
            path += name;
            if (parent != root) {
                BRN_CloseBRNHandle(parent);
            }
            parent = Key(path);
        }
        BRN_CloseBRNHandle(parent);
        std::string wide = "wide";
        BRN_AppendSubKey(root, wide);
        void* wide_key = Key(wide);
        for (int child = 0; child < 100; ++child) {
            std::string name = Numbered("c", child);
            BRN_AppendSubKey(wide_key, name);
        }
        BRN_CloseBRNHandle(wide_key);
        BRN_CloseBRNHandle(root);
    }

    testsupport::TempDir dir_;  // outlives the file handle: closed in the destructor's body
    void* file_ = nullptr;
};

void BM_GetKeyProperty(benchmark::State& state) {
    void* key = BenchDatabase::Get().Key("reader");
    vell::VariableData value;
    for (auto _ : state) {
        if (BRN_GetKeyProperty(key, "property2", value) != BRN_OK) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(value.GetInt());
    }
    state.SetItemsProcessed(state.iterations());
    BRN_CloseBRNHandle(key);
}
BENCHMARK(BM_GetKeyProperty);
// The same read from several threads, each with its own handle on the same key.
BENCHMARK(BM_GetKeyProperty)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

void BM_OpenKeyFiveLevels(benchmark::State& state) {
    void* file = BenchDatabase::Get().file();
    for (auto _ : state) {
        void* key = nullptr;
        if (BRN_OpenKey(file, key, "bench", "l1\\l2\\l3\\l4\\l5", MODE_OPEN) != BRN_OK) {
            state.SkipWithError("open failed");
        }
        BRN_CloseBRNHandle(key);
    }
}
BENCHMARK(BM_OpenKeyFiveLevels);

// Lists the 100 children of one key again and again.
void BM_SelectSubKeys(benchmark::State& state) {
    void* key = BenchDatabase::Get().Key("wide");
    std::list<std::string> names;
    for (auto _ : state) {
        names.clear();
        if (BRN_SelectSubKeys(key, names) != BRN_OK) {
            state.SkipWithError("list failed");
        }
        benchmark::DoNotOptimize(names.size());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(names.size()));
    BRN_CloseBRNHandle(key);
}
BENCHMARK(BM_SelectSubKeys);

// Appends 16 properties to one key, then (untimed) deletes them again, so that the lookup
// before each append walks a short chain as it would in a typical key.
void BM_AppendProperty(benchmark::State& state) {
    void* key = BenchDatabase::Get().Key("appender");
    int appended = 0;
    vell::VariableData value("a value of some thirty characters");
    for (auto _ : state) {
        if (appended == 16) {
            state.PauseTiming();
            for (int i = 0; i < appended; ++i) {
                BRN_DeleteProperty(key, Numbered("p", i));
            }
            appended = 0;
            state.ResumeTiming();
        }
        if (BRN_AppendProperty(key, Numbered("p", appended++), value) != BRN_OK) {
            state.SkipWithError("append failed");
            break;
        }
    }
    for (int i = 0; i < appended; ++i) {
        BRN_DeleteProperty(key, Numbered("p", i));
    }
    BRN_CloseBRNHandle(key);
}
BENCHMARK(BM_AppendProperty);

void BM_EditProperty(benchmark::State& state) {
    void* key = BenchDatabase::Get().Key("reader");
    vell::VariableData values[2] = {vell::VariableData(1), vell::VariableData(2)};
    int turn = 0;
    for (auto _ : state) {
        if (BRN_EditProperty(key, "property4", values[turn ^= 1]) != BRN_OK) {
            state.SkipWithError("edit failed");
            break;
        }
    }
    BRN_CloseBRNHandle(key);
}
BENCHMARK(BM_EditProperty);

// Deletes one of 16 properties appended (untimed) before.
void BM_DeleteProperty(benchmark::State& state) {
    void* key = BenchDatabase::Get().Key("appender");
    vell::VariableData value("a value of some thirty characters");
    int left = 0;
    for (auto _ : state) {
        if (left == 0) {
            state.PauseTiming();
            for (int i = 0; i < 16; ++i) {
                BRN_AppendProperty(key, Numbered("d", i), value);
            }
            left = 16;
            state.ResumeTiming();
        }
        if (BRN_DeleteProperty(key, Numbered("d", --left)) != BRN_OK) {
            state.SkipWithError("delete failed");
            break;
        }
    }
    for (int i = 0; i < left; ++i) {
        BRN_DeleteProperty(key, Numbered("d", i));
    }
    BRN_CloseBRNHandle(key);
}
BENCHMARK(BM_DeleteProperty);

// Deletes a subtree of 1,000 keys (10 keys of 99 children each, two properties per key),
// built untimed before each deletion.
void BM_DeleteSubtree1000(benchmark::State& state) {
    BenchDatabase& database = BenchDatabase::Get();
    vell::VariableData value("a value of some thirty characters");
    for (auto _ : state) {
        state.PauseTiming();
        void* root = database.Key("");
        std::string name = "doomed";
        BRN_AppendSubKey(root, name);
        BRN_CloseBRNHandle(root);
        void* doomed = database.Key("doomed");
        for (int branch = 0; branch < 10; ++branch) {
            std::string branch_name = Numbered("b", branch);
            BRN_AppendSubKey(doomed, branch_name);
            void* parent = database.Key("doomed\\" + branch_name);
            for (int leaf = 0; leaf < 99; ++leaf) {
                std::string leaf_name = Numbered("k", leaf);
                BRN_AppendSubKey(parent, leaf_name);
                void* key = database.Key("doomed\\" + branch_name + "\\" + leaf_name);
                BRN_AppendProperty(key, "a", value);
                BRN_AppendProperty(key, "b", value);
                BRN_CloseBRNHandle(key);
            }
            BRN_CloseBRNHandle(parent);
        }
        state.ResumeTiming();
        if (BRN_DeleteKey(doomed) != BRN_OK) {
            state.SkipWithError("delete failed");
        }
        BRN_CloseBRNHandle(doomed);
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_DeleteSubtree1000)->Unit(benchmark::kMillisecond);

}  // namespace
