#include "peer/measurement.h"

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

namespace peer {

namespace {

std::string FormatRate(double rate) {
    char text[32];
    if (rate >= 1e6) {
        std::snprintf(text, sizeof(text), "%.2fM", rate / 1e6);
    } else if (rate >= 1e4) {
        std::snprintf(text, sizeof(text), "%.0fk", rate / 1e3);
    } else if (rate >= 1e3) {
        std::snprintf(text, sizeof(text), "%.1fk", rate / 1e3);
    } else {
        std::snprintf(text, sizeof(text), "%.0f", rate);
    }
    return text;
}

double Rate(const Measurement& row, bool cpu) {
    const double seconds = cpu ? row.cpu_seconds : row.wall_seconds;
    return seconds > 0 ? static_cast<double>(row.done) / seconds : 0.0;
}

const Measurement* FindRow(const StoreReport& report, const std::string& workload) {
    for (const Measurement& row : report.rows) {
        if (row.workload == workload) {
            return &row;
        }
    }
    return nullptr;
}

// "83k", or "1.4k (7,700)" when the budget cut the workload short, or "-" when not run.
std::string Cell(const Measurement* row, bool cpu) {
    if (row == nullptr || row->done == 0) {
        return "-";
    }
    std::string cell = FormatRate(Rate(*row, cpu));
    if (row->done < row->planned) {
        cell += " (" + std::to_string(row->done) + " done)";
    }
    return cell;
}

std::string Ratio(const Measurement* brindle, const Measurement* peer, bool cpu) {
    if (brindle == nullptr || peer == nullptr || brindle->done == 0 || peer->done == 0) {
        return "-";
    }
    // Two significant digits, however small the ratio.
    const double ratio = Rate(*brindle, cpu) / Rate(*peer, cpu);
    const int digits =
        ratio >= 1 ? 2 : std::max(2, 1 - static_cast<int>(std::floor(std::log10(ratio))));
    char text[32];
    std::snprintf(text, sizeof(text), "%.*fx", digits, ratio);
    return text;
}

// The median (the upper one of an even count).
template <class T>
T Middle(std::vector<T> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

const StoreReport* FindStore(const std::vector<StoreReport>& reports, const char* name) {
    for (const StoreReport& report : reports) {
        if (report.store == name) {
            return &report;
        }
    }
    return nullptr;
}

}  // namespace

Stopwatch::Stopwatch()
    : wall_start_(std::chrono::steady_clock::now()), cpu_start_(ProcessCpuSeconds()) {}

Measurement Stopwatch::Stop(std::string workload, uint64_t planned, uint64_t done) const {
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wall_start_;
    return {std::move(workload), planned, done, wall.count(), ProcessCpuSeconds() - cpu_start_};
}

Deadline::Deadline(double seconds)
    : end_(std::chrono::steady_clock::now() +
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
               std::chrono::duration<double>(seconds))) {}

bool Deadline::Passed(uint64_t done) const {
    return done % 16 == 0 && std::chrono::steady_clock::now() >= end_;
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long ResidentKib() {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == "VmRSS:") {
            long kib = -1;
            status >> kib;
            return kib;
        }
    }
    return -1;
}

std::vector<StoreReport> MedianOfRounds(const std::vector<std::vector<StoreReport>>& rounds) {
    std::vector<StoreReport> median = rounds.front();
    for (size_t store = 0; store < median.size(); ++store) {
        for (size_t row = 0; row < median[store].rows.size(); ++row) {
            std::vector<double> wall;
            std::vector<double> cpu;
            std::vector<uint64_t> done;
            for (const auto& round : rounds) {
                if (row < round[store].rows.size()) {
                    const Measurement& measured = round[store].rows[row];
                    wall.push_back(Rate(measured, false));
                    cpu.push_back(Rate(measured, true));
                    done.push_back(measured.done);
                }
            }
            Measurement& result = median[store].rows[row];
            result.done = Middle(done);
            result.wall_seconds = result.done / std::max(Middle(wall), 1e-9);
            result.cpu_seconds = result.done / std::max(Middle(cpu), 1e-9);
        }
    }
    return median;
}

void PrintRateTable(const std::vector<StoreReport>& reports, bool cpu) {
    const StoreReport* brindle = FindStore(reports, "Brindle");
    const StoreReport* sqlite = FindStore(reports, "SQLite");
    const StoreReport* lmdb = FindStore(reports, "LMDB");
    std::printf(
        "| Workload (ops/s, %s time) | planned | Brindle | SQLite | LMDB | Brindle/LMDB | "
        "Brindle/SQLite |\n|---|---:|---:|---:|---:|---:|---:|\n",
        cpu ? "CPU" : "wall");
    // Rows in the order the first store ran them.
    for (const Measurement& row : reports.front().rows) {
        auto find = [&](const StoreReport* report) {
            return report != nullptr ? FindRow(*report, row.workload) : nullptr;
        };
        const Measurement* b = find(brindle);
        std::printf("| %s | %llu | %s | %s | %s | %s | %s |\n", row.workload.c_str(),
                    static_cast<unsigned long long>(row.planned), Cell(b, cpu).c_str(),
                    Cell(find(sqlite), cpu).c_str(), Cell(find(lmdb), cpu).c_str(),
                    Ratio(b, find(lmdb), cpu).c_str(), Ratio(b, find(sqlite), cpu).c_str());
    }
}

void PrintMemory(const StoreReport& report) {
    std::printf("%s resident set size:\n", report.store.c_str());
    for (const auto& [moment, kib] : report.resident_kib) {
        std::printf("  %-52s %8.1f MiB\n", moment.c_str(), static_cast<double>(kib) / 1024.0);
    }
}

}  // namespace peer
