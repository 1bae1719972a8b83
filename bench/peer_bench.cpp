// The peer benchmark: the same seeded workloads on Brindle (through its exports), SQLite and
// LMDB (through their C APIs), printed side by side with Brindle's rate over each peer's.
//
//   peer_bench [--quick] [--seed N] [--budget SECONDS] [--rounds N] [--keep DIR]
//              [--only brindle|sqlite|lmdb] [--power-safe]
//
// --quick runs small counts (a smoke run of a few seconds); --budget bounds each phase of
// the wide-key workloads per store (default 10 s), and the table says how many operations
// ran when it cut one short. --rounds repeats the whole run on fresh databases and prints
// each rate's median, which steadies the figures on a shared machine. The stores run one
// after another in one process, Brindle first, so that its resident-set figures (from the
// first round) are not inflated by the peers. The exit status is 1 when an operation failed
// or the stores' reads or listings disagree. By default every store runs without syncs
// (Brindle `off`, SQLite `synchronous=OFF`, LMDB `MDB_NOSYNC`); --power-safe runs each at its
// power-safe default instead (Brindle `normal`, SQLite WAL `synchronous=NORMAL`, LMDB's
// syncs). --only runs one store alone, for a profiler.

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "md_exception.h"
#include "peer/brindle_store.h"
#include "peer/lmdb_store.h"
#include "peer/sqlite_store.h"
#include "peer/workloads.h"
#include "vell/output.h"

namespace {

struct Arguments {
    bool quick = false;
    int rounds = 1;
    uint64_t seed = 20261205;
    peer::RunOptions options;
    std::string keep;         // a folder to leave the databases in; empty: a removed temporary one
    std::string only;         // brindle, sqlite or lmdb: run that store alone (for profiling)
    bool power_safe = false;  // every store at its power-safe default instead of without syncs
};

bool ParseArguments(int argc, char** argv, Arguments& arguments) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const bool has_value = i + 1 < argc;
        if (word == "--quick") {
            arguments.quick = true;
        } else if (word == "--seed" && has_value) {
            arguments.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (word == "--budget" && has_value) {
            arguments.options.budget_seconds = std::strtod(argv[++i], nullptr);
        } else if (word == "--rounds" && has_value) {
            arguments.rounds = std::max(1, std::atoi(argv[++i]));
        } else if (word == "--keep" && has_value) {
            arguments.keep = argv[++i];
        } else if (word == "--power-safe") {
            arguments.power_safe = true;
        } else if (word == "--only" && has_value) {
            arguments.only = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: peer_bench [--quick] [--seed N] [--budget SECONDS] "
                         "[--rounds N] [--keep DIR] [--only brindle|sqlite|lmdb] [--power-safe]\n");
            return false;
        }
    }
    return true;
}

// The first line of `path` that starts with `key`, after the key; empty when there is none.
std::string ReadField(const char* path, const std::string& key) {
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (line.rfind(key, 0) == 0) {
            return line.substr(key.size());
        }
    }
    return "";
}

std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one;
    std::string five;
    file >> one >> five;
    return one + " (1 min), " + five + " (5 min)";
}

// A folder for the run's databases, removed when it goes unless the caller named it.
class RunFolder {
public:
    explicit RunFolder(const std::string& keep) {
        if (!keep.empty()) {
            path_ = keep;
            std::filesystem::create_directories(path_);
            return;
        }
        std::string pattern = std::filesystem::temp_directory_path() / "brindle-peer-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a temporary folder");
        }
        path_ = pattern;
        remove_ = true;
    }
    ~RunFolder() {
        if (remove_) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }

    // A fresh, empty subfolder for one store.
    std::filesystem::path Store(const char* name) const {
        std::filesystem::path folder = path_ / name;
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        return folder;
    }

private:
    std::filesystem::path path_;
    bool remove_ = false;
};

template <peer::PeerStore Store>
peer::StoreReport RunStore(const std::filesystem::path& where, const peer::WorkloadPlan& plan,
                           const peer::RunOptions& options) {
    peer::StoreReport report;
    report.store = Store::kName;
    try {
        Store store(where);
        peer::WorkloadRunner<Store>(store, plan, options, report).Run();
    } catch (const std::exception& failure) {
        report.failure = failure.what();
    } catch (const MDException& failure) {
        report.failure = std::string(failure.GetTypeName()) + ": " + failure.GetMessage();
    }
    std::fprintf(stderr, "%s done%s%s\n", report.store.c_str(), report.failure.empty() ? "" : ": ",
                 report.failure.c_str());
    return report;
}

// Each store in turn, on fresh databases.
std::vector<peer::StoreReport> RunRound(const RunFolder& folder, const peer::WorkloadPlan& plan,
                                        const Arguments& arguments) {
    const auto runs = [&](const char* name) {
        return arguments.only.empty() || arguments.only == name;
    };
    std::vector<peer::StoreReport> reports;
    if (runs("brindle")) {
        // The library's own diagnostic lines would mix into the table.
        vell::OutputCapture quiet;
        reports.push_back(
            RunStore<peer::BrindleStore>(folder.Store("brindle"), plan, arguments.options));
    }
    if (runs("sqlite")) {
        reports.push_back(
            RunStore<peer::SqliteStore>(folder.Store("sqlite"), plan, arguments.options));
    }
    if (runs("lmdb")) {
        reports.push_back(RunStore<peer::LmdbStore>(folder.Store("lmdb"), plan, arguments.options));
    }
    if (reports.empty()) {
        throw std::runtime_error("--only names no store: " + arguments.only);
    }
    return reports;
}

// True when every store finished and all agree on what they read and listed.
bool Agree(const std::vector<peer::StoreReport>& reports) {
    bool agree = true;
    for (const peer::StoreReport& report : reports) {
        if (!report.failure.empty()) {
            std::printf("%s failed: %s\n", report.store.c_str(), report.failure.c_str());
            agree = false;
        } else if (report.read_checksum != reports.front().read_checksum ||
                   report.list_checksum != reports.front().list_checksum ||
                   report.listed_entries != reports.front().listed_entries) {
            std::printf("%s read or listed other values than %s\n", report.store.c_str(),
                        reports.front().store.c_str());
            agree = false;
        }
    }
    return agree;
}

void PrintConditions(const Arguments& arguments, const peer::WorkloadPlan& plan) {
    std::printf("Machine: nproc = %u, model name:%s\n", std::thread::hardware_concurrency(),
                ReadField("/proc/cpuinfo", "model name\t:").c_str());
    std::printf(
        "Seed %llu, %s counts: %zu keys x %zu properties, wide-key budget %.0f s "
        "per phase per store, median of %d round(s)\n",
        static_cast<unsigned long long>(arguments.seed), arguments.quick ? "quick" : "full",
        plan.keys.size(), plan.property_names.size(), arguments.options.budget_seconds,
        arguments.rounds);
    std::printf("Syncs: %s\n", arguments.power_safe ? "power-safe defaults" : "off");
    std::printf("Load average at the start: %s\n\n", LoadAverage().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    Arguments arguments;
    if (!ParseArguments(argc, argv, arguments)) {
        return 2;
    }
    const peer::WorkloadPlan plan = peer::MakePlan(
        arguments.quick ? peer::PlanSizes::Quick() : peer::PlanSizes::Full(), arguments.seed);
    peer::SetSyncs(arguments.power_safe ? peer::Syncs::kPowerSafe : peer::Syncs::kOff);
    PrintConditions(arguments, plan);
    std::vector<std::vector<peer::StoreReport>> rounds;
    try {
        RunFolder folder(arguments.keep);
        for (int round = 0; round < arguments.rounds; ++round) {
            rounds.push_back(RunRound(folder, plan, arguments));
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "peer_bench: %s\n", failure.what());
        return 1;
    }
    const std::vector<peer::StoreReport> reports = peer::MedianOfRounds(rounds);
    peer::PrintRateTable(reports, false);
    std::printf("\n");
    peer::PrintRateTable(reports, true);
    std::printf("\n");
    peer::PrintMemory(reports.front());
    std::printf("Load average at the end: %s\n", LoadAverage().c_str());
    std::vector<peer::StoreReport> every_run;
    for (const auto& round : rounds) {
        every_run.insert(every_run.end(), round.begin(), round.end());
    }
    return Agree(every_run) ? 0 : 1;
}
