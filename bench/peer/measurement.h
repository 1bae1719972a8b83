#pragma once

// Timing and memory figures of the peer benchmark, and the side-by-side tables they print as.

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace peer {

// One workload on one store.
struct Measurement {
    std::string workload;
    uint64_t planned = 0;  // operations planned
    uint64_t done = 0;     // operations done: fewer when the time budget ran out
    double wall_seconds = 0;
    double cpu_seconds = 0;  // of the whole process, background threads included
};

// Everything one store's run produced.
struct StoreReport {
    std::string store;
    std::vector<Measurement> rows;
    std::vector<std::pair<std::string, long>> resident_kib;  // (moment, RSS) in run order
    uint64_t read_checksum = 0;
    uint64_t list_checksum = 0;
    uint64_t listed_entries = 0;
    std::string failure;  // empty when every operation succeeded
};

// Wall and CPU time since it was made.
class Stopwatch {
public:
    Stopwatch();
    Measurement Stop(std::string workload, uint64_t planned, uint64_t done) const;

private:
    std::chrono::steady_clock::time_point wall_start_;
    double cpu_start_;
};

// A point after which budgeted workloads stop; checked every few operations.
class Deadline {
public:
    explicit Deadline(double seconds);
    bool Passed(uint64_t done) const;

private:
    std::chrono::steady_clock::time_point end_;
};

double ProcessCpuSeconds();
// The process's resident set size in KiB, or -1 when /proc cannot be read.
long ResidentKib();

// Per store and workload, the median rate over several rounds of the same run, by wall and
// by CPU time apart; the rest (memory, checksums) is the first round's.
std::vector<StoreReport> MedianOfRounds(const std::vector<std::vector<StoreReport>>& rounds);

// Prints the rates of every workload side by side, with Brindle's rate over each peer's.
// `cpu` picks CPU time over wall time.
void PrintRateTable(const std::vector<StoreReport>& reports, bool cpu);
void PrintMemory(const StoreReport& report);

}  // namespace peer
