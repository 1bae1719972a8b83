// Memory figures: the bytes one indexed name costs, and the resident set of a process that
// holds a database of many keys (1,000,000 unless BRINDLE_MEMORY_KEYS says otherwise) with
// every key opened once and, at the peak, every handle still open.

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "brindle.h"
#include "keys/path_cache.h"
#include "support/temp_dir.h"
#include "tree/node_index.h"
#include "vell/output.h"

namespace {

std::string Numbered(const char* prefix, long number) {
    std::string name(prefix);
    name += std::to_string(number);
    return name;
}

size_t HeapInUse() {
    return mallinfo2().uordblks;
}

double ResidentMib() {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return static_cast<double>(kib) / 1024.0;
        }
    }
    return -1;
}

// Heap bytes per name of child-name indexes: nodes of `width` children named like real keys,
// built through the cache as a first search builds them.
void BM_IndexBytesPerEntry(benchmark::State& state) {
    const long width = state.range(0);
    const long nodes = 1000000 / width;
    for (auto _ : state) {
        const size_t before = HeapInUse();
        brindle::NodeIndexCache cache(2000000);
        for (long node = 1; node <= nodes; ++node) {
            cache.Find(brindle::NodeIndexCache::Kind::kChildren, static_cast<uint64_t>(node),
                       "absent", [&](brindle::NodeIndexCache::Table& table) {
                           for (long child = 0; child < width; ++child) {
                               table.try_emplace(
                                   Numbered("key", child),
                                   brindle::RecordPos{0, static_cast<uint64_t>(child) + 1});
                           }
                           return true;
                       });
        }
        const size_t after = HeapInUse();
        state.counters["entries"] = static_cast<double>(cache.EntryCount());
        state.counters["bytes_per_entry"] =
            static_cast<double>(after - before) / static_cast<double>(cache.EntryCount());
    }
}
BENCHMARK(BM_IndexBytesPerEntry)->Arg(10)->Arg(1000)->Arg(100000)->Iterations(1);

// Heap bytes per property record held by the name indexes (records of `length` bytes, as a
// first read of each leaves them), beside the index entries themselves.
void BM_HeldRecordBytesPerEntry(benchmark::State& state) {
    const uint32_t length = static_cast<uint32_t>(state.range(0));
    const long nodes = 100000;
    const long width = 5;
    const std::vector<uint8_t> record(length, 7);
    for (auto _ : state) {
        brindle::NodeIndexCache cache(2000000, 1u << 30);
        for (long node = 1; node <= nodes; ++node) {
            cache.Find(brindle::NodeIndexCache::Kind::kProperties, static_cast<uint64_t>(node),
                       "absent", [&](brindle::NodeIndexCache::Table& table) {
                           for (long property = 0; property < width; ++property) {
                               table.try_emplace(Numbered("p", property),
                                                 brindle::RecordPos{0, uint64_t(property) + 1});
                           }
                           return true;
                       });
        }
        const size_t before = HeapInUse();
        for (long node = 1; node <= nodes; ++node) {
            for (long property = 0; property < width; ++property) {
                cache.HoldRecord(static_cast<uint64_t>(node), Numbered("p", property),
                                 brindle::RecordPos{0, uint64_t(property) + 1}, record.data(),
                                 length);
            }
        }
        const size_t after = HeapInUse();
        state.counters["records"] = static_cast<double>(nodes * width);
        state.counters["bytes_per_record"] =
            static_cast<double>(after - before) / static_cast<double>(nodes * width);
    }
}
BENCHMARK(BM_HeldRecordBytesPerEntry)->Arg(24)->Arg(100)->Iterations(1);

// Heap bytes per resolved path held by the path cache (paths like "p12\\key345").
void BM_PathCacheBytesPerEntry(benchmark::State& state) {
    const long count = 200000;
    for (auto _ : state) {
        const size_t before = HeapInUse();
        brindle::PathCache cache(count + 1);
        for (long index = 0; index < count; ++index) {
            cache.Add(1, false, Numbered("p", index / 1000) + "\\" + Numbered("key", index % 1000),
                      static_cast<uint64_t>(index) + 2, 1);
        }
        const size_t after = HeapInUse();
        state.counters["paths"] = static_cast<double>(cache.Size());
        state.counters["bytes_per_path"] =
            static_cast<double>(after - before) / static_cast<double>(cache.Size());
    }
}
BENCHMARK(BM_PathCacheBytesPerEntry)->Iterations(1);

void* OpenKeyOrDie(void* file, const std::string& path, unsigned int mode) {
    void* key = nullptr;
    if (BRN_OpenKey(file, key, "memory", path, mode) != BRN_OK) {
        std::abort();
    }
    return key;
}

// 1,000 parents with keys / 1,000 children each. Built in a child process, so that what the
// build left in memory does not count.
void BuildManyKeys(const std::string& path, long parents, long width) {
    pid_t child = fork();
    if (child == 0) {
        vell::OutputCapture quiet;
        void* file = nullptr;
        if (BRN_OpenFile(path.c_str(), file, 0) != BRN_OK) {
            _exit(1);
        }
        void* root = OpenKeyOrDie(file, "", MODE_CREATE);
        for (long parent = 0; parent < parents; ++parent) {
            std::string parent_name = Numbered("p", parent);
            BRN_AppendSubKey(root, parent_name);
            void* parent_key = OpenKeyOrDie(file, parent_name, MODE_OPEN);
            for (long index = 0; index < width; ++index) {
                std::string name = Numbered("key", index);
                BRN_AppendSubKey(parent_key, name);
            }
            BRN_CloseBRNHandle(parent_key);
        }
        BRN_CloseBRNHandle(root);
        BRN_CloseBRNFHandle(file);
        _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        std::abort();
    }
}

void BM_ManyKeysOpen(benchmark::State& state) {
    const char* set = std::getenv("BRINDLE_MEMORY_KEYS");
    const long keys = set != nullptr ? std::atol(set) : 1000000;
    const long parents = 1000;
    const long width = keys / parents;
    for (auto _ : state) {
        testsupport::TempDir dir;
        BuildManyKeys(dir.File("db"), parents, width);
        vell::OutputCapture quiet;
        const double at_start = ResidentMib();
        void* file = nullptr;
        if (BRN_OpenFile(dir.File("db").c_str(), file, 0) != BRN_OK) {
            std::abort();
        }
        std::vector<void*> handles;
        handles.reserve(static_cast<size_t>(parents * width));
        for (long parent = 0; parent < parents; ++parent) {
            std::string prefix = Numbered("p", parent) + "\\";
            for (long index = 0; index < width; ++index) {
                handles.push_back(OpenKeyOrDie(file, prefix + Numbered("key", index), MODE_OPEN));
            }
        }
        const double all_open = ResidentMib();
        for (void* handle : handles) {
            BRN_CloseBRNHandle(handle);
        }
        handles = {};
        const double all_closed = ResidentMib();
        BRN_CloseBRNFHandle(file);
        state.counters["keys"] = static_cast<double>(parents * width);
        state.counters["rss_mib_before_open"] = at_start;
        state.counters["rss_mib_all_handles_open"] = all_open;
        state.counters["rss_mib_handles_closed"] = all_closed;
    }
}
BENCHMARK(BM_ManyKeysOpen)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
